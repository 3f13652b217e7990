#pragma once
// The program's start: the per-user data folder, the configuration file, the checks of the two
// tools it names, the working folder and the log path.

#include <string>

namespace qv {

class BatchHost;

// The per-user data folder: `name` inside $APPDATA when set, else inside $XDG_CONFIG_HOME, else
// inside $HOME/.config. Creates it (and its parents) when missing; a failure is not reported
// here (the configuration file then cannot be read and start-up says so).
std::string MakeAppDataFolder(const std::string& name);

// Runs the start-up checks in order and fills Settings(). Returns false after it has shown the
// message that stops the program (through the ownerless host); true when the main window may run.
bool RunStartupChecks();

}  // namespace qv
