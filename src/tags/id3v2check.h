#pragma once
// A check of the frame structure of an ID3v2 tag, done on the raw bytes before the tag library
// reads it. The library stops at the first frame whose header is broken and drops every frame
// after it without a word; this check finds that place, so the batch log can say what was lost.

#include <cstddef>
#include <string>
#include <string_view>

namespace qv::tags {

struct Id3v2Check {
  bool present = false;  // the bytes start with an ID3v2 header
  bool checked = false;  // false when the layout cannot be walked (whole-tag unsynchronisation)
  bool damaged = false;
  std::size_t tagBytes = 0;       // header + frames + padding (+ footer), as the header says
  std::size_t damageOffset = 0;   // offset from the start of the tag of the broken frame
  std::string reason;             // what is wrong there, readable
};

// Size of the whole tag when `header` (at least 10 bytes) is an ID3v2 header, else 0.
std::size_t Id3v2TagSize(std::string_view header);

// Walks the frames of the tag at the start of `tag` (its header and as many bytes as the header
// announces; fewer bytes count as a tag cut short).
Id3v2Check CheckId3v2Frames(std::string_view tag);

}  // namespace qv::tags
