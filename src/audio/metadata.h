#pragma once
// ReadContainerMetadata: the container-level tags and the attached cover picture of a media
// file, as the FFmpeg libraries see them. The tags module uses it for the containers its own
// tag library does not read (AVI, Matroska, FLV, MPEG, RealMedia, raw AAC with ID3). Plain
// values out, no FFmpeg types: callers need not include FFmpeg headers.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct AVFormatContext;

namespace qv::audio {

// The largest cover carried: a larger picture is left out (and said so), since hostile or broken
// tag blocks must not bloat every output.
inline constexpr std::size_t kMaxCoverBytes = 20u * 1024 * 1024;

struct ContainerMetadata {
  bool opened = false;   // false: not a regular file, or not a container FFmpeg can read
  std::string error;     // why it did not open (readable text)
  // FFmpeg's generic names ("title", "artist", "album_artist", "track", ...) and UTF-8 values,
  // in the container's order; a name may occur more than once.
  std::vector<std::pair<std::string, std::string>> tags;
  std::string coverData;      // bytes of the first attached picture (empty: none)
  std::string coverMimeType;  // "image/jpeg", "image/png", ... (empty when not known)
  std::size_t refusedCoverBytes = 0;  // size of a picture left out for being too large
};

// Reads the header of `path` (the named regular file only; nested files and other protocols
// are refused). Pictures larger than `maxCoverBytes` are not copied out. Blocking, any thread.
ContainerMetadata ReadContainerMetadata(const std::string& path, std::size_t maxCoverBytes);

// The same from a container the caller has open already (a decoder's), with no further reading.
ContainerMetadata MetadataOf(const AVFormatContext& fmt, std::size_t maxCoverBytes);

}  // namespace qv::audio
