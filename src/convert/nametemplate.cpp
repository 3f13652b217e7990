#include "convert/nametemplate.h"

#include <cstring>
#include <string_view>

#include "app/showmessage.h"

namespace qv {
namespace {

constexpr std::string_view kBlanksAndSeparators = " \t-_.,;:+~&()[]#";

bool IsPlaceholder(std::string_view name) {
  for (const char* known : kNamePlaceholders) {
    if (name == known) return true;
  }
  return false;
}

bool AllDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string Trimmed(std::string_view text, std::string_view blanks = " \t") {
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return std::string(text.substr(first, text.find_last_not_of(blanks) - first + 1));
}

// A placeholder "{name}" or "{name:width}" at `at` (the "{"); false when it is not one.
struct Placeholder {
  std::string name;
  std::string width;
  size_t end = 0;  // one past the "}"
};
bool ReadPlaceholder(const std::string& pattern, size_t at, Placeholder& out) {
  const size_t close = pattern.find('}', at);
  if (close == std::string::npos) return false;
  const std::string inside = pattern.substr(at + 1, close - at - 1);
  const size_t colon = inside.find(':');
  out.name = inside.substr(0, colon);
  out.width = colon == std::string::npos ? std::string() : inside.substr(colon + 1);
  out.end = close + 1;
  return true;
}

// A value made fit for one name part: no folder separator, no NUL, no control character, and
// with `portable` none of the characters FAT and exFAT refuse.
std::string SafeValue(std::string_view value, bool portable) {
  std::string out(value);
  for (char& c : out) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || byte < 0x20 || byte == 0x7f ||
        (portable && c != '\0' && std::strchr("\\:*?\"<>|", c) != nullptr)) {
      c = '_';
    }
  }
  return out;
}

std::string FirstValue(const NameFields* fields, const char* key) {
  if (!fields) return {};
  const auto found = fields->find(key);
  return found == fields->end() ? std::string() : Trimmed(found->second);
}

// A placeholder's value before it is made safe; {folder} keeps its "/".
std::string ValueOf(const Placeholder& p, const NameInputs& in) {
  std::string value;
  if (p.name == "artist" || p.name == "albumartist") {
    if (p.name == "albumartist") value = FirstValue(in.fields, "ALBUMARTIST");
    if (value.empty()) value = FirstValue(in.fields, "ARTIST");
    if (value.empty()) value = "Unknown Artist";
  } else if (p.name == "album") {
    value = FirstValue(in.fields, "ALBUM");
    if (value.empty()) value = "Unknown Album";
  } else if (p.name == "title") {
    value = FirstValue(in.fields, "TITLE");
    if (value.empty()) value = in.filename;
  } else if (p.name == "track" || p.name == "disc") {
    value = FirstValue(in.fields, p.name == "track" ? "TRACKNUMBER" : "DISCNUMBER");
    value = Trimmed(value.substr(0, value.find('/')));  // "3/12" where a total was left in
  } else if (p.name == "year") {
    value = FirstValue(in.fields, "DATE");
    if (value.size() >= 4 && AllDigits(std::string_view(value).substr(0, 4))) value.resize(4);
  } else if (p.name == "genre") {
    value = FirstValue(in.fields, "GENRE");
  } else if (p.name == "filename") {
    value = in.filename;
  } else if (p.name == "folder") {
    std::string safe;
    size_t start = 0;
    while (start <= in.folder.size() && !in.folder.empty()) {
      const size_t slash = in.folder.find('/', start);
      const std::string_view part =
          std::string_view(in.folder).substr(start, slash == std::string::npos ? slash : slash - start);
      if (!part.empty()) safe += (safe.empty() ? "" : "/") + SafeValue(part, in.portable);
      if (slash == std::string::npos) break;
      start = slash + 1;
    }
    return safe;
  }
  if (!p.width.empty() && AllDigits(value)) {
    const size_t width = static_cast<size_t>(std::stoi(p.width));
    if (value.size() < width && width <= 16) value.insert(0, width - value.size(), '0');
  }
  return SafeValue(value, in.portable);
}

// One name part made whole: blanks around it go, a leading "." becomes "_", and with
// `portable` trailing dots go too (FAT drops them).
std::string FinishPart(std::string part, bool portable) {
  part = Trimmed(part);
  if (portable) part = Trimmed(part, " \t.");
  for (char& c : part) {
    if (c != '.') break;
    c = '_';
  }
  return part;
}

// The length of `text` cut to at most `limit` bytes at a character boundary (UTF-8).
size_t CutAt(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text.size();
  size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut;
}

// Shortens `part` to `limit` bytes at a character boundary (UTF-8), with a note.
void Shorten(std::string& part, size_t limit, std::vector<std::string>& notes) {
  if (part.size() <= limit) return;
  const size_t cut = CutAt(part, limit);
  notes.push_back(FormatText("The name part \"%s\" is longer than a file system holds (%zu "
                             "bytes), so it was shortened to %zu bytes.",
                             part.c_str(), part.size(), cut));
  part.resize(cut);
}

}  // namespace

std::string FitName(std::string stem, std::size_t suffixBytes) {
  stem.resize(CutAt(stem, suffixBytes < kMaxNameBytes ? kMaxNameBytes - suffixBytes : 0));
  return stem;
}

namespace {

std::vector<std::string> SplitParts(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    const size_t slash = text.find('/', start);
    parts.push_back(text.substr(start, slash == std::string::npos ? slash : slash - start));
    if (slash == std::string::npos) return parts;
    start = slash + 1;
  }
}

}  // namespace

std::string CheckNameTemplate(const std::string& pattern) {
  if (Trimmed(pattern).empty()) return "the name template is empty";
  if (pattern.front() == '/') return "the name template must be a path below the destination, "
                                     "not begin with \"/\"";
  for (const std::string& part : SplitParts(pattern)) {
    const std::string trimmed = Trimmed(part);
    if (trimmed.empty()) return "the name template has an empty folder name (\"//\" or a \"/\" at its end)";
    if (trimmed == "." || trimmed == "..") return "the name template may not hold a \"" + trimmed + "\" folder";
  }
  for (size_t at = 0; at < pattern.size(); ++at) {
    if (pattern[at] == '}') return "the name template has a \"}\" without its \"{\"";
    if (pattern[at] != '{') continue;
    Placeholder p;
    if (!ReadPlaceholder(pattern, at, p)) return "the name template has a \"{\" without its \"}\"";
    if (!IsPlaceholder(p.name)) {
      return "unknown placeholder {" + p.name + "} in the name template (known: {artist}, "
             "{albumartist}, {album}, {title}, {track}, {disc}, {year}, {genre}, {filename}, "
             "{folder})";
    }
    if (!p.width.empty() && (!AllDigits(p.width) || p.width.size() > 2)) {
      return "{" + p.name + ":" + p.width + "}: the width after \":\" is a number of digits, as "
             "in {track:02}";
    }
    at = p.end - 1;
  }
  return {};
}

ExpandedName ExpandNameTemplate(const std::string& pattern, const NameInputs& inputs,
                                const std::string& extension) {
  ExpandedName result;
  std::string filename = FinishPart(SafeValue(inputs.filename, inputs.portable), inputs.portable);
  if (filename.empty()) filename = "_";
  std::vector<std::string> parts;
  for (const std::string& templatePart : SplitParts(pattern)) {
    std::string expanded;
    for (size_t at = 0; at < templatePart.size(); ++at) {
      Placeholder p;
      if (templatePart[at] == '{' && ReadPlaceholder(templatePart, at, p)) {
        expanded += ValueOf(p, inputs);
        at = p.end - 1;
      } else {
        expanded += templatePart[at];
      }
    }
    if (expanded.empty() && Trimmed(templatePart) == "{folder}") continue;  // no folder
    for (std::string part : SplitParts(expanded)) {  // {folder} may bring several
      part = FinishPart(part, inputs.portable);
      if (part.find_first_not_of(kBlanksAndSeparators) == std::string::npos) part = filename;
      parts.push_back(part);
    }
  }
  if (parts.empty()) parts.push_back(filename);
  const size_t extensionBytes = extension.empty() ? 0 : extension.size() + 1;
  for (size_t i = 0; i < parts.size(); ++i) {
    const bool last = i + 1 == parts.size();
    Shorten(parts[i], kMaxNameBytes - (last ? extensionBytes : 0), result.notes);
    result.path += (i ? "/" : "") + parts[i];
  }
  return result;
}

}  // namespace qv
