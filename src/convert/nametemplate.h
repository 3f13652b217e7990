#pragma once
// Output names from tags: a template such as "{albumartist}/{album}/{track:02} {title}" turned
// into a path below the destination. Plain values in, a relative path out; no file is touched.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace qv {

// The tags a name is made from, named as the tags module names them (ARTIST, ALBUMARTIST,
// ALBUM, TITLE, TRACKNUMBER, DISCNUMBER, DATE, GENRE), first value of each.
using NameFields = std::map<std::string, std::string>;

// The placeholders a template may hold.
inline constexpr const char* kNamePlaceholders[] = {
    "artist", "albumartist", "album", "title", "track", "disc", "year", "genre", "filename",
    "folder"};

// Empty when `pattern` can be used; otherwise what is wrong with it, in one sentence: an
// unknown placeholder, a brace without its pair, a width that is no number, an absolute path,
// a "." or ".." folder or an empty one ("a//b").
std::string CheckNameTemplate(const std::string& pattern);

struct NameInputs {
  const NameFields* fields = nullptr;  // may be null: no tags
  std::string filename;                // the source's name without its extension
  std::string folder;                  // the source's folder below the added root ("" for none)
  bool portable = false;               // also replace what FAT and exFAT refuse
};

struct ExpandedName {
  std::string path;                // relative, "/"-separated, without the extension
  std::vector<std::string> notes;  // log records: parts shortened to fit the file system
};

// The longest name a file system holds, in bytes.
inline constexpr std::size_t kMaxNameBytes = 255;

// `stem` cut at a character boundary (UTF-8) so that it and `suffixBytes` more (a number, an
// extension) fit in kMaxNameBytes; unchanged when they fit.
std::string FitName(std::string stem, std::size_t suffixBytes);

// Expands a checked template. Every value is made safe for one name part: "/", NUL and control
// characters (with `portable` also \ : * ? " < > |) become "_", and so does a leading "." of a
// part (no value can make a folder, a hidden file, or lead outside the destination). A missing
// artist, album or title reads "Unknown Artist", "Unknown Album" and the file name; a missing
// track, disc, year or genre is empty. A part left empty or holding only blanks and separators
// becomes the file name (a part that is only an empty {folder} is left out). A part longer than
// kMaxNameBytes (the last one with ".<extension>") is shortened at a character boundary.
ExpandedName ExpandNameTemplate(const std::string& pattern, const NameInputs& inputs,
                                const std::string& extension);

}  // namespace qv
