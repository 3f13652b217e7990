#include "app/paths.h"

#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/host.h"
#include "app/inifile.h"
#include "app/instance.h"
#include "app/settings.h"
#include "app/showmessage.h"

namespace qv {

// Every audio container the decoder reads, then the videos whose sound track the ffmpeg
// program extracts (an .mp4 is tried as audio first). The open-file filter, the folder scans
// and the command line all take this one table.
const MediaExtension kMediaExtensions[] = {
    {"aac", MediaKind::Audio},  {"ac3", MediaKind::Audio},  {"aif", MediaKind::Audio},
    {"aifc", MediaKind::Audio}, {"aiff", MediaKind::Audio}, {"amr", MediaKind::Audio},
    {"ape", MediaKind::Audio},  {"au", MediaKind::Audio},   {"caf", MediaKind::Audio},
    {"cda", MediaKind::Audio},  {"dts", MediaKind::Audio},  {"flac", MediaKind::Audio},
    {"m4a", MediaKind::Audio},  {"m4b", MediaKind::Audio},  {"mka", MediaKind::Audio},
    {"mp1", MediaKind::Audio},  {"mp2", MediaKind::Audio},  {"mp3", MediaKind::Audio},
    {"mp4", MediaKind::Audio},  {"mpc", MediaKind::Audio},  {"oga", MediaKind::Audio},
    {"ogg", MediaKind::Audio},  {"opus", MediaKind::Audio}, {"ra", MediaKind::Audio},
    {"tta", MediaKind::Audio},  {"w64", MediaKind::Audio},  {"wav", MediaKind::Audio},
    {"wma", MediaKind::Audio},  {"wv", MediaKind::Audio},
    {"avi", MediaKind::Video},  {"flv", MediaKind::Video},  {"m4v", MediaKind::Video},
    {"mkv", MediaKind::Video},  {"mov", MediaKind::Video},  {"mp4", MediaKind::Video},
    {"mpg", MediaKind::Video},  {"rm", MediaKind::Video},   {"webm", MediaKind::Video},
    {"wmv", MediaKind::Video},  {nullptr, MediaKind::None},
};

namespace {

void ShowPlainMessage(const std::string& text) {
  ShowMessage(nullptr, 0, {}, MB_OK, "%s", text.c_str());
}

bool HasKind(std::string_view path, MediaKind kind) {
  const std::string extension = GetLowerExtension(path);
  for (const MediaExtension* entry = kMediaExtensions; entry->extension; ++entry) {
    if (entry->kind == kind && extension == entry->extension) return true;
  }
  return false;
}

}  // namespace

std::string HomeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir && *pw->pw_dir) {
    return pw->pw_dir;
  }
  return "/";
}

bool GetWorkingFolder(std::string& folder) {
  folder.clear();
  std::string temp;
  if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir && *tmpdir) temp = tmpdir;
  else temp = "/tmp";
  if (!FolderExists(&temp)) {
    ShowPlainMessage(FormatText(
        "The System TEMP Directory does not exist:\n\n\t%s\n\nSorry, can't continue.",
        temp.c_str()));
    return false;
  }
  TrimTrailingBackslashes(temp);

  // A private folder: on a shared /tmp another user could otherwise create our names first.
  const uid_t uid = ::getuid();
  std::string own = (temp == "/" ? std::string() : temp) + "/quorvin-" + std::to_string(uid);
  if (::mkdir(own.c_str(), 0700) != 0 && errno != EEXIST) {
    ShowPlainMessage(FormatText(
        "Can't create the working folder:\n\n\t%s\n\n%s\n\nSorry, can't continue.",
        own.c_str(), std::strerror(errno)));
    return false;
  }
  struct stat st {};
  if (::lstat(own.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid) {
    ShowPlainMessage(FormatText(
        "The working folder can not be used, because it is not a folder of your own:\n\n\t%s\n\n"
        "Sorry, can't continue.",
        own.c_str()));
    return false;
  }
  if ((st.st_mode & 077) != 0) ::chmod(own.c_str(), 0700);
  char resolved[PATH_MAX];
  folder = ::realpath(own.c_str(), resolved) ? std::string(resolved) : own;
  return true;
}

std::string MakeTempWavName() { return MakeWorkingFile(kTempWavPrefix, ".wav"); }

bool FileExistsNonEmpty(std::string_view path) {
  struct stat st {};
  const std::string text(path);
  return ::stat(text.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size != 0;
}

bool FolderExists(std::string* path) {
  if (!IsDriveRoot(*path) && !path->empty() && path->back() == '/') path->pop_back();
  struct stat st {};
  return !path->empty() && ::stat(path->c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FolderExists(std::string_view path) {
  std::string copy(path);
  return FolderExists(&copy);
}

bool IsDriveRoot(std::string_view text) { return text == "/"; }

void AddRootBackslash(std::string& text) {
  if (text.empty()) text = "/";
}

std::string GetFileTitle(std::string_view path, bool keepExtension) {
  const auto slash = path.rfind('/');
  std::string_view title = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (!keepExtension) {
    if (const auto dot = title.rfind('.'); dot != std::string_view::npos) {
      title = title.substr(0, dot);
    }
  }
  return std::string(title);
}

std::string GetFolderPart(std::string_view path) {
  const auto slash = path.rfind('/');
  if (slash == std::string_view::npos) return std::string(path);
  if (slash == 0) return "/";  // a file in the root: its folder is the root, not ""
  return std::string(path.substr(0, slash));
}

void TrimTrailingBackslashes(std::string& text) {
  while (text.size() > 1 && text.back() == '/') text.pop_back();
}

std::string GetLowerExtension(std::string_view path) {
  const auto dot = path.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string extension(path.substr(dot + 1));
  for (char& c : extension) {
    if (static_cast<unsigned char>(c) < 0x80) c = static_cast<char>(std::tolower(c));
  }
  return extension;
}

bool IsAudioFile(std::string_view path) { return HasKind(path, MediaKind::Audio); }
bool IsVideoFile(std::string_view path) { return HasKind(path, MediaKind::Video); }

std::string ReadFolderSetting(const std::string& base) {
  std::string value =
      ReadProfileString(Settings().ConfigFilePath, kConfigSection, base + "Path", HomeFolder());
  if (!IsDriveRoot(value) && !value.empty() && (value.back() == '/' || value.back() == '\\')) {
    value.pop_back();
  }
  return value;
}

std::string ValidateChosenFolder(BatchHost* owner, const std::string& chosen) {
  std::string path = chosen;
  if (path.empty() || !FolderExists(&path)) {
    ShowMessage(owner, 0, {}, MB_ICONEXCLAMATION | MB_OK,
                "The chosen path can not be used to store computer files.  Please pick a "
                "directory that is on a physical hard drive.");
    return {};
  }
  return path;
}

bool WriteTextFile(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  const bool written = std::fputs(text.c_str(), file) >= 0 && std::fputc('\n', file) != EOF;
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}

std::string ShellQuote(std::string_view word) {
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'') quoted += "'\\''";
    else quoted += c;
  }
  quoted += "'";
  return quoted;
}

}  // namespace qv
