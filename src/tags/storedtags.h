#pragma once
// A ReadTags result kept with a row from its add to its conversion (SourceTags), and taken back:
// the fields whole, the cover found again among the pictures FFmpeg read of the same file.

#include "audio/metadata.h"
#include "model/qvlistitem.h"
#include "tags/tags.h"

namespace qv::tags {

// The most a row keeps of its file's tags, packed; longer tags (lyrics, a long embedded sheet)
// are read again from the file when needed, so 20,000 rows cannot grow without bound.
inline constexpr std::size_t kMaxStoredTagBytes = 4096;

// `read` as a row keeps it: not kept when its packed form is longer than kMaxStoredTagBytes.
SourceTags StoreTags(const ReadResult& read);

// The fields of stored tags; false when they were not kept.
bool RestoreFields(const SourceTags& stored, FieldMap& fields);

// The whole ReadTags result again. A cover is taken from `container` (FFmpeg's reading of the
// same file, a decoder's) when its picture has the stored size and fingerprint. False when the
// tags were not kept or their cover is not there (another picture comes first, no container):
// the caller then reads the file.
bool RestoreTags(const SourceTags& stored, const audio::ContainerMetadata* container,
                 ReadResult& read);

}  // namespace qv::tags
