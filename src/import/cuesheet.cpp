#include "import/cuesheet.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/paths.h"
#include "app/showmessage.h"

namespace qv {
namespace {

constexpr std::size_t kMaxSheetBytes = 1024 * 1024;

// The words of a line: blanks separate them, a pair of double quotes keeps blanks inside one.
std::vector<std::string> Words(std::string_view line) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < line.size()) {
    while (at < line.size() && (line[at] == ' ' || line[at] == '\t')) ++at;
    if (at >= line.size()) break;
    std::string word;
    if (line[at] == '"') {
      const std::size_t close = line.find('"', at + 1);
      const std::size_t end = close == std::string_view::npos ? line.size() : close;
      word = line.substr(at + 1, end - at - 1);
      at = end + 1;
    } else {
      const std::size_t end = std::min(line.find_first_of(" \t", at), line.size());
      word = line.substr(at, end - at);
      at = end;
    }
    words.push_back(std::move(word));
  }
  return words;
}

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// mm:ss:ff as CD frames; -1 when it is not such a time.
std::int64_t ParseTime(const std::string& text) {
  long long minutes = 0;
  int seconds = 0, frames = 0, used = 0;
  if (std::sscanf(text.c_str(), "%6lld:%2d:%2d%n", &minutes, &seconds, &frames, &used) != 3 ||
      used != static_cast<int>(text.size()) || minutes < 0 || seconds < 0 || seconds > 59 ||
      frames < 0 || frames >= kCueFramesPerSecond) {
    return -1;
  }
  return (minutes * 60 + seconds) * kCueFramesPerSecond + frames;
}

// The rest of the line after the command's words, for values written without quotes.
std::string ValueOf(const std::vector<std::string>& words, std::size_t first) {
  std::string value;
  for (std::size_t i = first; i < words.size(); ++i) value += (i > first ? " " : "") + words[i];
  return value;
}

bool IsUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    int more = 0;
    if (c >= 0xC2 && c <= 0xDF) {
      more = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3;
    } else if (c >= 0x80) {
      return false;
    }
    for (int k = 1; k <= more; ++k) {
      if (i + static_cast<std::size_t>(k) >= text.size() ||
          (static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]) & 0xC0) != 0x80) {
        return false;
      }
    }
    i += 1 + static_cast<std::size_t>(more);
  }
  return true;
}

std::string Latin1ToUtf8(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// The folder of a path, with its trailing "/", or "" for a bare name.
std::string FolderPrefix(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool IsRegularFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The audio file in `folder` (a prefix ending in "/", or "") whose name without its extension is `base` (the first in name
// order); empty when there is none.
std::string ImageWithBase(const std::string& folder, const std::string& base) {
  namespace fs = std::filesystem;
  std::error_code ec;
  std::vector<std::string> found;
  for (fs::directory_iterator it(folder.empty() ? "." : folder, ec), end; !ec && it != end;
       it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (GetFileTitle(name, false) == base && IsAudioFile(name) &&
        IsRegularFile(folder + name)) {
      found.push_back(folder + name);
    }
  }
  std::sort(found.begin(), found.end());
  return found.empty() ? std::string() : found.front();
}

}  // namespace

bool IsCueSheetName(std::string_view path) { return GetLowerExtension(path) == "cue"; }

bool ParseCueSheet(std::string_view text, CueSheet& sheet, std::string& error) {
  sheet = CueSheet{};
  CueTrack* track = nullptr;  // the current AUDIO track; null outside one or in another type
  bool inTrack = false;
  int lineNumber = 0;
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::vector<std::string> words = Words(line);
    if (words.empty()) continue;
    const std::string command = Upper(words[0]);
    const std::string value = ValueOf(words, 1);
    if (command == "FILE" && words.size() >= 2) {
      sheet.files.push_back(words[1]);
      track = nullptr;
      inTrack = false;
    } else if (command == "TRACK" && words.size() >= 3) {
      inTrack = true;
      track = nullptr;
      if (Upper(words[2]) != "AUDIO") continue;
      // A sheet without FILE (one kept inside its image) describes a single file.
      if (sheet.files.empty()) sheet.files.emplace_back();
      sheet.tracks.push_back({});
      track = &sheet.tracks.back();
      track->number = std::atoi(words[1].c_str());
      track->file = static_cast<int>(sheet.files.size()) - 1;
      track->start = -1;
    } else if (command == "INDEX" && words.size() >= 3 && track && std::atoi(words[1].c_str()) == 1) {
      track->start = ParseTime(words[2]);
      if (track->start < 0) {
        error = FormatText("Line %d: \"%s\" is not a time of the form mm:ss:ff.", lineNumber,
                           words[2].c_str());
        return false;
      }
    } else if (command == "TITLE" || command == "PERFORMER") {
      if (inTrack && !track) continue;
      std::string& field = command == "TITLE" ? (track ? track->title : sheet.title)
                                              : (track ? track->performer : sheet.performer);
      field = value;
    } else if (command == "REM" && words.size() >= 3 && !inTrack) {
      const std::string key = Upper(words[1]);
      if (key == "DATE") sheet.date = ValueOf(words, 2);
      if (key == "GENRE") sheet.genre = ValueOf(words, 2);
    }
  }
  if (sheet.tracks.empty()) {
    error = "The sheet lists no audio track.";
    return false;
  }
  for (std::size_t i = 0; i < sheet.tracks.size(); ++i) {
    const CueTrack& t = sheet.tracks[i];
    if (t.start < 0) {
      error = FormatText("Track %02d has no INDEX 01.", t.number);
      return false;
    }
    if (i > 0 && sheet.tracks[i - 1].file == t.file && sheet.tracks[i - 1].start >= t.start) {
      error = FormatText("Track %02d starts before the end of track %02d.", t.number,
                         sheet.tracks[i - 1].number);
      return false;
    }
  }
  return true;
}

bool ReadCueText(const std::string& path, std::string& text) {
  if (!IsRegularFile(path)) return false;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  std::string bytes(kMaxSheetBytes + 1, '\0');
  const std::size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed || got > kMaxSheetBytes) return false;
  bytes.resize(got);
  if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) bytes.erase(0, 3);
  text = IsUtf8(bytes) ? std::move(bytes) : Latin1ToUtf8(bytes);
  return true;
}

bool LoadCueSheet(const std::string& path, CueSheet& sheet, std::vector<std::string>& paths,
                  std::string& error) {
  std::string text;
  if (!ReadCueText(path, text)) {
    error = "The sheet could not be read.";
    return false;
  }
  if (!ParseCueSheet(text, sheet, error)) return false;
  const std::string folder = FolderPrefix(path);
  const auto inFolder = [&folder](const std::string& name) { return folder + name; };
  paths.clear();
  for (const std::string& name : sheet.files) {
    std::string found = !name.empty() && name[0] == '/' ? name : inFolder(name);
    if (!IsRegularFile(found)) {
      // A sheet written elsewhere may name its file with a folder of another machine.
      const std::size_t slash = name.find_last_of("/\\");
      found = inFolder(slash == std::string::npos ? name : name.substr(slash + 1));
    }
    if (!IsRegularFile(found) && sheet.files.size() == 1) {
      found = ImageWithBase(folder, GetFileTitle(path, false));
    }
    if (found.empty() || !IsRegularFile(found)) {
      error = "The file it names was not found:\n\n   " + inFolder(name);
      return false;
    }
    paths.push_back(found);
  }
  return true;
}

std::string SheetBesideImage(const std::string& imagePath) {
  const std::string prefix = FolderPrefix(imagePath);
  for (const std::string& name :
       {GetFileTitle(imagePath, false) + ".cue", GetFileTitle(imagePath, true) + ".cue"}) {
    if (IsRegularFile(prefix + name)) return prefix + name;
  }
  return {};
}

}  // namespace qv
