#pragma once
// The program's start: the per-user data folder, the configuration file, the checks of the two
// tools it names, the working folder, this instance's lock and the log path.

#include <string>

namespace qv {

class BatchHost;

// The per-user data folder: `name` inside $APPDATA when set, else inside $XDG_CONFIG_HOME, else
// inside $HOME/.config. Creates it (and its parents) when missing; a failure is not reported
// here (the configuration file then cannot be read and start-up says so).
std::string MakeAppDataFolder(const std::string& name);

// The folder of the running program (from /proc/self/exe); empty when it cannot be known.
std::string ProgramFolder();

// The ffmpeg options of a new configuration: 16-bit PCM, mono stays mono, wider becomes stereo.
inline constexpr const char* kDefaultFfmpegAudioOptions =
    "-vn -sn -acodec pcm_s16le -af \"aformat=channel_layouts=mono|stereo\"";

// The first start of a user: writes a working configuration to `configPath`, which must not
// exist (the whole file is written beside it and then given the name without replacing, so an
// existing one is never rewritten and nobody reads a half-written one): the ffmpeg
// found on PATH, the default options, the qvfaac installed beside the program (or in the build
// folder's layout) and auto-play on. False when the file exists or cannot be written.
bool WriteDefaultConfiguration(const std::string& configPath, const std::string& programFolder);

// Runs the start-up checks in order and fills Settings(); once the working folder is known,
// starts this instance (its lock file) and removes what ended instances left there. When no configuration file exists at
// all, the defaults are written first. Returns false after it has shown the message that stops
// the program (through the ownerless host); true when the main window may run.
bool RunStartupChecks();
bool RunStartupChecks(const std::string& programFolder);

}  // namespace qv
