#pragma once
// Carrying a source's tags and front cover into a converted file, in the tag format native to
// the output: ID3v2.4 for MP3, iTunes-style atoms for M4A and MP4, ASF attributes for WMA, a
// RIFF INFO list plus an ID3v2 chunk for WAV, Vorbis comments for FLAC, Opus and Ogg Vorbis
// (the cover in a FLAC PICTURE block, or a METADATA_BLOCK_PICTURE comment in Ogg). Raw AAC
// (ADTS) has no tag container and stays untagged.
//
// The tag library behind this interface (TagLib, and FFmpeg's metadata reader for containers
// TagLib does not know) is seen nowhere else in the program. Everything here is plain values and
// blocking calls without shared state of their own: calls may run on any thread, and calls on
// different files at the same time (TagLib objects are never shared between calls).

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "audio/metadata.h"

namespace qv::tags {

// Fields are named as in TagLib's property interface, in upper case: TITLE, ARTIST, ALBUM,
// ALBUMARTIST, TRACKNUMBER, TRACKTOTAL, DISCNUMBER, DISCTOTAL, DATE, GENRE, COMMENT, COMPOSER,
// and every other text field that maps across formats (COPYRIGHT, LYRICS, CONDUCTOR, BPM,
// custom names, ...). Values are UTF-8; a field may hold several values. Track and disc numbers
// are split: TRACKNUMBER "3" and TRACKTOTAL "12", never "3/12".
using FieldMap = std::map<std::string, std::vector<std::string>>;

// Puts the fields of `over` into `fields`, replacing those of the same name; a name with an empty
// list in `over` is removed.
void Overlay(FieldMap& fields, const FieldMap& over);

// A picture as stored in the tag: the image file's own bytes.
struct Picture {
  std::string mimeType;  // "image/jpeg", "image/png", ...; worked out from the bytes if unknown
  std::string description;
  std::string data;
};

struct TagSet {
  FieldMap fields;
  std::optional<Picture> cover;  // the front cover (the first picture when none is marked so)
  bool Empty() const { return fields.empty() && !cover; }
};

// The largest cover carried, and the longest single text value. A larger picture or value is
// left out (and said so): hostile or broken tag blocks must not bloat every output.
inline constexpr std::size_t kMaxCoverBytes = audio::kMaxCoverBytes;
inline constexpr std::size_t kMaxTextBytes = 1024u * 1024;

struct ReadResult {
  TagSet tags;
  // What could not be read or was refused, one readable sentence each (for the batch log).
  std::vector<std::string> problems;
  // Names of fields left out on purpose: loudness and gain values (REPLAYGAIN_*, iTunNORM, ...)
  // and the source's encoder, which would be wrong in the output.
  std::vector<std::string> dropped;
};

// Reads the tags and the front cover of `path` (any format the program opens, and the video
// files whose sound track it extracts). Never fails: what cannot be read is left out and named
// in `problems`; a file without tags gives an empty set. `container`, when given, is FFmpeg's
// view of the same file read already (a decoder's), used instead of opening it with FFmpeg again.
ReadResult ReadTags(const std::string& path,
                    const audio::ContainerMetadata* container = nullptr);

struct WriteResult {
  bool ok = false;
  std::string error;                  // why nothing was written (when !ok)
  std::vector<std::string> problems;  // fields the output's tag format cannot hold
};

// The tag format of an output: ID3v2.4 (MP3), iTunes-style atoms (M4A, MP4), ASF attributes
// (WMA), RIFF INFO plus ID3v2 (WAV), Vorbis comments (FLAC, Opus, Ogg Vorbis). The format
// table (convert/formats.h) gives each output format's kind.
enum class OutputKind { Mp3, Mp4, Wma, Wav, Flac, Opus, Vorbis };

// Writes `tags` into the finished output `path` of format `formatKey` ("mp3", "m4a", "mp4",
// "wma", "wav", "flac", "opus", "ogg"; any case), replacing the tag it has. The tags are written into a copy beside
// the file that replaces it only when complete, so a failure (a full disk, a file that is not
// of its format) leaves the output exactly as it was.
WriteResult WriteTags(const std::string& path, const std::string& formatKey, const TagSet& tags);

// Writes `tags` into `path` in place, through the tag library, without a copy of the file: for
// an output that is not published yet (written under a hidden name), where a failure simply
// means the output is not used. Large outputs cost no copy and no second disk space.
WriteResult WriteTagsInPlace(const std::string& path, const std::string& formatKey,
                             const TagSet& tags);

enum class TagCopyStatus {
  Copied,         // the output carries the source's tags (perhaps without some, see skipped)
  NothingToCopy,  // the source has no tags (or none that could be read); the output is untouched
  NoTagFormat,    // the output format has no tag container (raw AAC); the output is untouched
  Failed,         // writing failed; the output may be damaged and must not be published
};

struct TagCopyResult {
  TagCopyStatus status = TagCopyStatus::NothingToCopy;
  std::vector<std::string> skipped;  // what was not carried, one sentence each
  std::string error;                 // with Failed: why the tags could not be written
  std::string logText;               // the message for the batch log; empty when all went well
  bool ok() const { return status != TagCopyStatus::Failed; }
};

// The step of a conversion after the encoder has finished: reads the tags of `tagSource` (the
// row's source file; for a video, the video file) and writes them into `output` (the hidden,
// unpublished output) in place, in the tag format of `formatKey`. Blocking. Never throws. After
// a failure the output is not to be published.
TagCopyResult CopyTags(const std::string& tagSource, const std::string& output,
                       const std::string& formatKey);
// The same with `extra` fields written too (values the program measured, such as ReplayGain
// gains, a row's own tags; they replace a source field of the same name, and an empty list
// removes it), and the tag set written kept in
// `written` when given. An empty `tagSource` copies nothing from a source: only `extra`.
// `container`: as for ReadTags. `read`: the ReadTags result of `tagSource` read already, used
// instead of reading it again.
TagCopyResult CopyTags(const std::string& tagSource, const std::string& output,
                       const std::string& formatKey, const FieldMap& extra, TagSet* written,
                       const audio::ContainerMetadata* container = nullptr,
                       const ReadResult* read = nullptr);
// Whether the output format has a tag container at all (raw AAC has none).
bool FormatHoldsTags(const std::string& formatKey);

}  // namespace qv::tags
