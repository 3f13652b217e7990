#include "app/startup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "app/filedescriptor.h"
#include "app/host.h"
#include "app/inifile.h"
#include "app/instance.h"
#include "app/paths.h"
#include "app/renamefile.h"
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

// Sets `path` to the program `name` named under `key`; false (after saying so) when the key is
// absent or no such program is there.
bool ReadProgramPath(const char* key, const std::string& name, std::string& path) {
  const std::string value = ReadKey(key);
  if (IsAbsent(value)) {
    return Stop(("Can't initialize the " + name +
                 " path from:\n\n   %s\n\nSorry, can't continue.").c_str());
  }
  if (!FileExistsNonEmpty(value)) {
    return Stop(("Can't find the " + name +
                 " executable, specified in:\n\n   %s\n\nSorry, can't continue.").c_str());
  }
  path = value;
  return true;
}

// The first executable called `name` in $PATH, as the shell would find it; empty when none.
std::string FindOnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream folders(path && *path ? path : "/usr/local/bin:/usr/bin:/bin");
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) folder = ".";
    const std::string candidate = folder + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0 && FileExistsNonEmpty(candidate)) return candidate;
  }
  return {};
}

// qvfaac beside the program (an installed layout), else in the build folder's layout
// (src/ui/quorvin or src/cli/quorvin-cli beside src/qvfaac/qvfaac).
std::string FindQvfaac(const std::string& programFolder) {
  if (programFolder.empty()) return {};
  for (const char* relative : {"/qvfaac", "/../qvfaac/qvfaac"}) {
    std::error_code ec;
    const std::filesystem::path candidate =
        std::filesystem::weakly_canonical(programFolder + relative, ec);
    if (!ec && FileExistsNonEmpty(candidate.string())) return candidate.string();
  }
  return programFolder + "/qvfaac";  // missing: start-up then names the file it looked for
}

}  // namespace

std::string ProgramFolder() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  return self.parent_path().string();
}

bool WriteDefaultConfiguration(const std::string& configPath, const std::string& programFolder) {
  std::string ffmpeg = FindOnPath("ffmpeg");
  if (ffmpeg.empty()) ffmpeg = "/usr/bin/ffmpeg";  // start-up then says it cannot find it
  const std::string text = std::string("[") + kConfigSection + "]\n" +
                           "FFMpegExe=" + ffmpeg + "\n" +
                           "FFMpegAud=" + kDefaultFfmpegAudioOptions + "\n" +
                           "FAACExe=" + FindQvfaac(programFolder) + "\n" +
                           "autoplayonopen=1\n";
  // Written beside it, then given its name without replacing: two first starts at the same
  // moment must not let one of them read the other's half-written file.
  std::string partial = configPath + ".XXXXXX";
  const int fd = ::mkostemp(partial.data(), O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, text.data(), text.size());
  // mkostemp makes the file private; the configuration gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ok = ::fchmod(fd, 0644 & ~mask) == 0 && ok;
  ok = ::close(fd) == 0 && ok;
  ok = ok && RenameWithoutReplacing(partial, configPath);
  if (!ok) ::unlink(partial.c_str());
  return ok;
}

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

bool RunStartupChecks() { return RunStartupChecks(ProgramFolder()); }

bool RunStartupChecks(const std::string& programFolder) {
  AppSettings& settings = Settings();
  std::string folder = MakeAppDataFolder(kDataFolderName);
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  settings.ConfigFilePath = folder + "/" + kConfigFileName;
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(settings.ConfigFilePath, ec))) {
    WriteDefaultConfiguration(settings.ConfigFilePath, programFolder);
  }

  if (!ReadProgramPath("FFMpegExe", "ffmpeg", settings.FfmpegPath)) return false;

  const std::string options = ReadKey("FFMpegAud");
  if (IsAbsent(options)) {
    return Stop(
        "Can't initialize the ffmpeg audio options from:\n\n   %s\n\nSorry, can't continue.");
  }
  settings.FfmpegAudioOptions = options;

  if (!ReadProgramPath("FAACExe", "faac", settings.FaacPath)) return false;

  const std::string autoPlay = ReadKey("autoplayonopen");
  if (!IsAbsent(autoPlay)) settings.AutoPlayOnOpen = (!autoPlay.empty() && autoPlay[0] == '0') ? 0 : 1;

  // A value that is not a whole number of files counts as absent (one per core).
  const std::string jobs = ReadKey("jobs");
  settings.Jobs = IsAbsent(jobs) ? 0 : std::max(0, ParseJobsText(jobs));
  const std::string namePattern = ReadKey("namepattern");
  settings.NamePattern = IsAbsent(namePattern) ? std::string() : namePattern;
  const std::string existing = ReadKey("existing");
  settings.Existing = IsAbsent(existing) || existing.empty() ? "number" : existing;

  std::string working;
  if (!GetWorkingFolder(working)) return false;
  if (!StartInstance(working)) {
    ShowMessage(nullptr, 0, {}, MB_ICONERROR,
                "Can't create a lock file in the working folder:\n\n\t%s\n\n%s\n\n"
                "Sorry, can't continue.",
                working.c_str(), std::strerror(errno));
    return false;
  }
  // What crashed or killed instances left: nobody else would ever remove it.
  RemoveStaleTemporaries(working);
  settings.LogFilePath = working + "/" + kLogFileName;
  return true;
}

}  // namespace qv
