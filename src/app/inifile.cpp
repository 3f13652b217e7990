#include "app/inifile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <vector>

#include "app/filedescriptor.h"

namespace qv {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[i]);
    if (ca < 0x80 && cb < 0x80) {
      if (std::tolower(ca) != std::tolower(cb)) return false;
    } else if (ca != cb) {
      return false;
    }
  }
  return true;
}

// One line of the file with its line end kept apart, so a rewrite keeps it exactly.
struct Line {
  std::string text;
  std::string end;  // "\r\n", "\n" or "" for a last line without one
};

std::optional<std::string> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  size_t start = 0;
  while (start < content.size()) {
    const size_t nl = content.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back({std::string(content.substr(start)), ""});
      break;
    }
    size_t textEnd = nl;
    if (textEnd > start && content[textEnd - 1] == '\r') --textEnd;
    lines.push_back({std::string(content.substr(start, textEnd - start)),
                     std::string(content.substr(textEnd, nl + 1 - textEnd))});
    start = nl + 1;
  }
  return lines;
}

// The section name of a "[name]" line, or nothing for another line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return std::nullopt;
  const auto close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
  line = Trim(line);
  return !line.empty() && (line.front() == ';' || line.front() == '#');
}

// Splits a "key=value" line; nothing when the line holds no "=" or is a comment.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view line) {
  if (IsComment(line)) return std::nullopt;
  const auto eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return std::make_pair(Trim(line.substr(0, eq)), Trim(line.substr(eq + 1)));
}

std::string_view StripQuotes(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::string_view WithoutBom(std::string_view content) {
  if (content.substr(0, kBom.size()) == kBom) content.remove_prefix(kBom.size());
  return content;
}

// Writes `content` to a new file beside `path`, then renames it over `path`, so that readers
// see either the old or the new file and a full disk leaves the old one intact.
bool ReplaceFileAtomically(const std::string& path, const std::string& content) {
  std::error_code ec;
  std::filesystem::path target = path;
  if (std::filesystem::is_symlink(target, ec)) {
    target = std::filesystem::canonical(target, ec);
    if (ec) return false;
  }
  std::string tmp = target.string() + ".XXXXXX";
  const int fd = ::mkstemp(tmp.data());
  if (fd < 0) return false;
  struct stat st {};
  if (::stat(target.c_str(), &st) == 0) ::fchmod(fd, st.st_mode & 07777);
  else ::fchmod(fd, 0644);

  bool ok = WriteAll(fd, content.data(), content.size());
  if (ok && ::fsync(fd) != 0) ok = false;
  if (::close(fd) != 0) ok = false;
  if (ok && std::rename(tmp.c_str(), target.c_str()) != 0) ok = false;
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}

}  // namespace

std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key, const std::string& defaultValue) {
  const auto content = ReadWholeFile(path);
  if (!content) return defaultValue;
  bool inSection = false;
  for (const Line& line : SplitLines(WithoutBom(*content))) {
    if (const auto name = SectionName(line.text)) {
      inSection = EqualsIgnoringCase(*name, section);
      continue;
    }
    if (!inSection) continue;
    const auto kv = KeyValue(line.text);
    if (kv && EqualsIgnoringCase(kv->first, key)) return std::string(StripQuotes(kv->second));
  }
  return defaultValue;
}

bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value) {
  // A line end inside a name or value would add lines of its own to the file.
  for (const std::string* text : {&section, &key, &value}) {
    if (text->find_first_of("\r\n") != std::string::npos) return false;
  }
  const auto existing = ReadWholeFile(path);
  std::string_view body = existing ? std::string_view(*existing) : std::string_view();
  const bool hadBom = body.substr(0, kBom.size()) == kBom;
  body = WithoutBom(body);
  std::vector<Line> lines = SplitLines(body);

  // New lines take the line end the file already uses.
  std::string newline = "\n";
  for (const Line& line : lines) {
    if (!line.end.empty()) {
      newline = line.end;
      break;
    }
  }
  const std::string keyLine = key + "=" + value;

  bool inSection = false;
  bool done = false;
  std::optional<size_t> lastInSection;  // index after which a new key goes
  for (size_t i = 0; i < lines.size() && !done; ++i) {
    if (const auto name = SectionName(lines[i].text)) {
      if (inSection) break;  // end of our section without the key
      inSection = EqualsIgnoringCase(*name, section);
      if (inSection) lastInSection = i;
      continue;
    }
    if (!inSection) continue;
    if (!Trim(lines[i].text).empty()) lastInSection = i;
    const auto kv = KeyValue(lines[i].text);
    if (kv && EqualsIgnoringCase(kv->first, key)) {
      lines[i].text = keyLine;
      done = true;
    }
  }
  if (!done) {
    if (lastInSection) {
      const size_t at = *lastInSection;
      if (lines[at].end.empty()) lines[at].end = newline;
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at) + 1, Line{keyLine, newline});
    } else {
      if (!lines.empty() && lines.back().end.empty()) lines.back().end = newline;
      lines.push_back({"[" + section + "]", newline});
      lines.push_back({keyLine, newline});
    }
  }

  std::string out = hadBom ? std::string(kBom) : std::string();
  for (const Line& line : lines) out += line.text + line.end;
  return ReplaceFileAtomically(path, out);
}

}  // namespace qv
