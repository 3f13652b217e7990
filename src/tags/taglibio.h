#pragma once
// The module's one contact with TagLib: reading the tags and pictures of a file and writing a
// prepared set into a file of a known format. No TagLib type leaves taglibio.cpp.

#include <string>
#include <vector>

#include "tags/tags.h"

namespace qv::tags::detail {

struct LibraryRead {
  bool recognised = false;  // TagLib has a reader for this content
  bool valid = false;       // and it could parse the file's structure
  FieldMap fields;          // as TagLib names them; not yet cleaned up (see ReadTags)
  std::vector<Picture> pictures;
  int frontIndex = -1;  // index of the picture marked as the front cover, -1 when none is
  std::vector<std::string> problems;
};

// Reads the regular file `path`, open as `fd` (which stays the caller's), with the TagLib class
// its extension suggests, else the one its content fits.
LibraryRead ReadWithTagLib(const std::string& path, int fd);

using OutputKind = tags::OutputKind;

// Writes `tags` into `path`, replacing the file's tag. Returns the empty text on success, else
// why it failed; fields the format cannot hold are named in `problems`.
std::string WriteWithTagLib(const std::string& path, OutputKind kind, const TagSet& tags,
                            std::vector<std::string>& problems);

}  // namespace qv::tags::detail
