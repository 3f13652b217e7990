#include "app/startup.h"

#include <cstdlib>
#include <filesystem>

#include "app/host.h"
#include "app/inifile.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/showmessage.h"

namespace qv {
namespace {

// A tool key counts as absent when its value starts with a lower-case "x" (the read default).
constexpr const char* kAbsent = "x";

bool IsAbsent(const std::string& value) { return !value.empty() && value.front() == 'x'; }

bool Stop(const char* format) {
  ShowMessage(nullptr, 0, {}, MB_ICONERROR, format, Settings().ConfigFilePath.c_str());
  return false;
}

std::string ReadKey(const char* key) {
  return ReadProfileString(Settings().ConfigFilePath, kConfigSection, key, kAbsent);
}

}  // namespace

std::string MakeAppDataFolder(const std::string& name) {
  std::string base;
  if (const char* appData = std::getenv("APPDATA"); appData && *appData) {
    base = appData;
  } else if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    base = xdg;
  } else {
    base = HomeFolder() + "/.config";
  }
  TrimTrailingBackslashes(base);
  std::string folder = (base == "/" ? std::string() : base) + "/" + name;
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) std::filesystem::create_directories(folder, ec);
  return folder;
}

bool RunStartupChecks() {
  AppSettings& settings = Settings();
  std::string folder = MakeAppDataFolder(kDataFolderName);
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  settings.ConfigFilePath = folder + "/" + kConfigFileName;

  const std::string ffmpeg = ReadKey("FFMpegExe");
  if (IsAbsent(ffmpeg)) {
    return Stop("Can't initialize the ffmpeg path from:\n\n   %s\n\nSorry, can't continue.");
  }
  if (!FileExistsNonEmpty(ffmpeg)) {
    return Stop(
        "Can't find the ffmpeg executable, specified in:\n\n   %s\n\nSorry, can't continue.");
  }
  settings.FfmpegPath = ffmpeg;

  const std::string options = ReadKey("FFMpegAud");
  if (IsAbsent(options)) {
    return Stop(
        "Can't initialize the ffmpeg audio options from:\n\n   %s\n\nSorry, can't continue.");
  }
  settings.FfmpegAudioOptions = options;

  const std::string faac = ReadKey("FAACExe");
  if (IsAbsent(faac)) {
    return Stop("Can't initialize the faac path from:\n\n   %s\n\nSorry, can't continue.");
  }
  if (!FileExistsNonEmpty(faac)) {
    return Stop(
        "Can't find the faac executable, specified in:\n\n   %s\n\nSorry, can't continue.");
  }
  settings.FaacPath = faac;

  const std::string autoPlay = ReadKey("autoplayonopen");
  if (!IsAbsent(autoPlay)) settings.AutoPlayOnOpen = (!autoPlay.empty() && autoPlay[0] == '0') ? 0 : 1;

  std::string working;
  if (!GetWorkingFolder(working)) return false;
  settings.LogFilePath = working + "/" + kLogFileName;
  return true;
}

}  // namespace qv
