#include "tags/storedtags.h"

#include <cstdint>
#include <functional>
#include <string_view>

namespace qv::tags {
namespace {

// The packed form is a run of records: a kind byte, a 32-bit length and that many bytes.
enum Kind : char {
  kField = 'F',        // a field's name; its values follow
  kValue = 'V',
  kProblem = 'P',
  kDropped = 'D',
  kCoverMime = 'M',
  kCoverDescription = 'T',
};

void Put(std::string& packed, Kind kind, const std::string& text) {
  const auto size = static_cast<std::uint32_t>(text.size());
  packed += static_cast<char>(kind);
  for (int shift = 0; shift < 32; shift += 8) packed += static_cast<char>(size >> shift & 0xff);
  packed += text;
}

std::uint64_t Fingerprint(const std::string& bytes) {
  return std::hash<std::string_view>()(std::string_view(bytes));
}

// Calls `take(kind, text)` for each record; false when the packed form is damaged.
template <typename Take>
bool Walk(const std::string& packed, Take&& take) {
  std::size_t at = 0;
  while (at < packed.size()) {
    if (packed.size() - at < 5) return false;
    std::uint32_t size = 0;
    for (int i = 0; i < 4; ++i) {
      size |= static_cast<std::uint32_t>(static_cast<unsigned char>(packed[at + 1 + i])) << 8 * i;
    }
    if (packed.size() - at - 5 < size) return false;
    take(static_cast<Kind>(packed[at]), packed.substr(at + 5, size));
    at += 5 + size;
  }
  return true;
}

}  // namespace

SourceTags StoreTags(const ReadResult& read) {
  SourceTags stored;
  for (const auto& [name, values] : read.tags.fields) {
    Put(stored.packed, kField, name);
    for (const std::string& value : values) Put(stored.packed, kValue, value);
  }
  for (const std::string& problem : read.problems) Put(stored.packed, kProblem, problem);
  for (const std::string& name : read.dropped) Put(stored.packed, kDropped, name);
  if (read.tags.cover) {
    Put(stored.packed, kCoverMime, read.tags.cover->mimeType);
    Put(stored.packed, kCoverDescription, read.tags.cover->description);
    stored.coverBytes = static_cast<std::uint32_t>(read.tags.cover->data.size());
    stored.coverPrint = Fingerprint(read.tags.cover->data);
  }
  if (stored.packed.size() > kMaxStoredTagBytes) return SourceTags{};
  stored.packed.shrink_to_fit();
  stored.kept = true;
  return stored;
}

namespace {

// Every record of kept tags back into `read` and `cover` (its bytes aside); false when the tags
// were not kept or their packed form is damaged.
bool Unpack(const SourceTags& stored, ReadResult& read, Picture& cover) {
  if (!stored.kept) return false;
  std::vector<std::string>* values = nullptr;
  return Walk(stored.packed, [&](Kind kind, std::string text) {
    switch (kind) {
      case kField: values = &read.tags.fields[std::move(text)]; break;
      case kValue: if (values) values->push_back(std::move(text)); break;
      case kProblem: read.problems.push_back(std::move(text)); break;
      case kDropped: read.dropped.push_back(std::move(text)); break;
      case kCoverMime: cover.mimeType = std::move(text); break;
      case kCoverDescription: cover.description = std::move(text); break;
    }
  });
}

}  // namespace

bool RestoreFields(const SourceTags& stored, FieldMap& fields) {
  ReadResult restored;
  Picture cover;
  if (!Unpack(stored, restored, cover)) return false;
  fields = std::move(restored.tags.fields);
  return true;
}

bool RestoreTags(const SourceTags& stored, const audio::ContainerMetadata* container,
                 ReadResult& read) {
  ReadResult restored;
  Picture cover;
  if (!Unpack(stored, restored, cover)) return false;
  if (stored.coverBytes > 0) {
    if (!container || container->coverData.size() != stored.coverBytes ||
        Fingerprint(container->coverData) != stored.coverPrint) {
      return false;
    }
    cover.data = container->coverData;
    restored.tags.cover = std::move(cover);
  }
  read = std::move(restored);
  return true;
}

}  // namespace qv::tags
