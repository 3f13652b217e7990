#pragma once

#include <cstdint>

namespace qv::audio {

// A part of a file in source sample frames: from `start` up to `end` (not included); a negative
// end is the end of the file.
struct FrameRange {
  std::int64_t start = 0;
  std::int64_t end = -1;
  bool Whole() const { return start <= 0 && end < 0; }
  bool operator==(const FrameRange&) const = default;
};

}  // namespace qv::audio
