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

// A whole file's length in frames as measured before (by the probe, when its row was added),
// with the size and modification time (ns since the epoch) the file had then: a decoder takes
// it instead of reading the file's end again while the file still has them. Negative frames:
// not known.
struct KnownLength {
  std::int64_t frames = -1;
  std::uint64_t fileBytes = 0;
  std::int64_t modifiedNs = 0;
};

}  // namespace qv::audio
