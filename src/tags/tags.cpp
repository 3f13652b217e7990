#include "tags/tags.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <utility>
#include <vector>

#include "app/filedescriptor.h"
#include "app/instance.h"
#include "audio/metadata.h"
#include "convert/formats.h"
#include "tags/id3v2check.h"
#include "tags/taglibio.h"

namespace qv::tags {
namespace {

// All text of one file together: a tag of a hundred thousand small frames is as hostile as one
// huge frame.
constexpr std::size_t kMaxTotalTextBytes = 8u * 1024 * 1024;

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string Trimmed(const std::string& s) {
  const auto first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

std::string SizeText(std::size_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
  return text;
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Fields that describe the source file itself rather than the music: its loudness (ReplayGain,
// R128 gains, iTunes' normalization and gapless values, which are wrong after a normalized or
// re-encoded conversion) and the software that encoded it.
bool DescribesTheSourceFile(const std::string& key) {
  if (StartsWith(key, "REPLAYGAIN_") || StartsWith(key, "R128_")) return true;
  // iTunes' own data (iTunNORM, iTunSMPB, iTunPGAP, iTunMOVI, iTunes_CDDB_IDs), also when it
  // sits in an ID3v2 comment ("COMMENT:ITUNNORM").
  if (StartsWith(key, "ITUN") || key.find(":ITUN") != std::string::npos) return true;
  return key == "ENCODING" || key == "ENCODER" || key == "ENCODEDBY" ||
         key == "ENCODERSETTINGS";
}

// Names under which formats keep the same field. With `merge`, values under both names are
// joined; otherwise a field already present keeps `from` as a field of its own.
void RenameField(FieldMap& fields, const char* from, const char* to, bool merge) {
  const auto it = fields.find(from);
  if (it == fields.end()) return;
  const auto target = fields.find(to);
  if (target == fields.end()) {
    fields[to] = std::move(it->second);
  } else if (merge) {
    target->second.insert(target->second.end(), it->second.begin(), it->second.end());
  } else {
    return;
  }
  fields.erase(from);
}

// "3/12" → TRACKNUMBER 3, TRACKTOTAL 12 (a total of its own wins).
void SplitCount(FieldMap& fields, const char* numberKey, const char* totalKey) {
  const auto it = fields.find(numberKey);
  if (it == fields.end() || it->second.empty()) return;
  const std::string value = it->second.front();
  const auto slash = value.find('/');
  if (slash == std::string::npos) return;
  const std::string number = Trimmed(value.substr(0, slash));
  const std::string total = Trimmed(value.substr(slash + 1));
  if (number.empty()) fields.erase(it);
  else it->second = {number};
  if (!total.empty() && !fields.count(totalKey)) fields[totalKey] = {total};
}

void CleanUp(TagSet& tags, ReadResult& result) {
  FieldMap fields;
  for (auto& [key, values] : tags.fields) {
    const std::string name = Upper(Trimmed(key));
    if (name.empty()) continue;
    if (DescribesTheSourceFile(name)) {
      result.dropped.push_back(key);
      continue;
    }
    auto& list = fields[name];
    for (auto& value : values) {
      if (!value.empty()) list.push_back(std::move(value));
    }
  }
  RenameField(fields, "TOTALTRACKS", "TRACKTOTAL", false);
  RenameField(fields, "TOTALDISCS", "DISCTOTAL", false);
  RenameField(fields, "ALBUM ARTIST", "ALBUMARTIST", true);
  RenameField(fields, "YEAR", "DATE", false);
  RenameField(fields, "DESCRIPTION", "COMMENT", false);  // the Vorbis comment's name for it
  SplitCount(fields, "TRACKNUMBER", "TRACKTOTAL");
  SplitCount(fields, "DISCNUMBER", "DISCTOTAL");

  std::size_t total = 0;
  std::size_t beyondTotal = 0;  // values left out because the whole tag is too large
  for (auto it = fields.begin(); it != fields.end();) {
    auto& values = it->second;
    std::size_t tooLong = 0;
    std::size_t longest = 0;
    for (auto value = values.begin(); value != values.end();) {
      if (value->size() > kMaxTextBytes) {
        ++tooLong;
        longest = std::max(longest, value->size());
        value = values.erase(value);
      } else if (total + it->first.size() + value->size() > kMaxTotalTextBytes) {
        ++beyondTotal;
        value = values.erase(value);
      } else {
        total += it->first.size() + value->size();
        ++value;
      }
    }
    if (tooLong) {
      result.problems.push_back(it->first + " (" + SizeText(longest) + ") is longer than " +
                                SizeText(kMaxTextBytes) + " and was left out.");
    }
    it = values.empty() ? fields.erase(it) : std::next(it);
  }
  if (beyondTotal) {
    result.problems.push_back(std::to_string(beyondTotal) +
                              " values were left out: the tag's text exceeds " +
                              SizeText(kMaxTotalTextBytes) + ".");
  }
  tags.fields = std::move(fields);
}

// A hostile tag can hold thousands of broken frames: the log names the first few.
void LimitProblems(std::vector<std::string>& problems) {
  constexpr std::size_t kShown = 10;
  if (problems.size() <= kShown + 1) return;
  const std::size_t more = problems.size() - kShown;
  problems.resize(kShown);
  problems.push_back("... and " + std::to_string(more) + " more.");
}

// Opens `path` for reading when it is a regular file (a FIFO would block the reads and a device
// never ends); -1 otherwise. O_NONBLOCK keeps the open itself from waiting on a FIFO.
FileDescriptor OpenRegularFile(const std::string& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat info {};
  if (fd.Get() >= 0 && (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode))) fd.Close();
  return fd;
}

// The damage the tag library would pass over in silence: a broken frame in an ID3v2 tag at
// the start of the file ends its reading there.
void CheckLeadingId3v2(int fd, ReadResult& result) {
  const std::string header = ReadAt(fd, 10, 0);
  if (header.size() < 10) return;
  struct stat info {};
  const auto fileSize = ::fstat(fd, &info) == 0 ? static_cast<std::size_t>(info.st_size) : 0;
  // A header may claim 256 MB in a file of a few bytes: never more than the file holds.
  const std::size_t size = std::min(Id3v2TagSize(header), fileSize);
  if (size == 0) return;
  const Id3v2Check check = CheckId3v2Frames(ReadAt(fd, size, 0));
  if (check.damaged) {
    result.problems.push_back("The ID3v2 tag is damaged at byte " +
                              std::to_string(check.damageOffset) + " (" + check.reason +
                              "): the frames from there on could not be read.");
  }
}

// FFmpeg's generic names for the fields of containers TagLib does not read.
std::string FieldForContainerKey(const std::string& key) {
  static const std::pair<const char*, const char*> kNames[] = {
      {"title", "TITLE"},       {"artist", "ARTIST"},     {"album", "ALBUM"},
      {"album_artist", "ALBUMARTIST"}, {"track", "TRACKNUMBER"}, {"disc", "DISCNUMBER"},
      {"date", "DATE"},         {"year", "DATE"},         {"genre", "GENRE"},
      {"comment", "COMMENT"},   {"description", "COMMENT"}, {"composer", "COMPOSER"},
      {"copyright", "COPYRIGHT"}, {"performer", "PERFORMER"}, {"publisher", "LABEL"},
      {"lyrics", "LYRICS"},     {"language", "LANGUAGE"}, {"encoded_by", "ENCODEDBY"},
      {"encoder", "ENCODER"},
  };
  const std::string lower = Lower(key);
  for (const auto& [name, field] : kNames) {
    if (lower == name) return field;
  }
  // Facts of the container, not of the music.
  static const char* const kContainerFacts[] = {"creation_time", "major_brand", "minor_version",
                                                "compatible_brands", "handler_name", "vendor_id",
                                                "duration", "timecode", "location"};
  for (const char* fact : kContainerFacts) {
    if (lower == fact) return {};
  }
  const bool plain = std::all_of(key.begin(), key.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '_' || c == ' ' || c == '-';
  });
  return plain ? Upper(key) : std::string();
}

// Whether `text` is well-formed UTF-8: no stray or missing continuation bytes, no overlong
// forms, no surrogates, nothing past U+10FFFF.
bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    int more = 0;
    std::uint32_t code = c;
    if (c >= 0xF0 && c <= 0xF4) more = 3, code = c & 0x07;
    else if (c >= 0xE0 && c < 0xF0) more = 2, code = c & 0x0F;
    else if (c >= 0xC2 && c < 0xE0) more = 1, code = c & 0x1F;
    else if (c >= 0x80) return false;
    if (more > 0 && i + more >= text.size()) return false;
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if ((more == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
        (more == 3 && (code < 0x10000 || code > 0x10FFFF))) {
      return false;
    }
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

// One sentence for each field that held text that is not UTF-8 (and was left out).
void NameNonUtf8Fields(const std::vector<std::string>& fields, ReadResult& result) {
  for (const std::string& field : fields) {
    result.problems.push_back(field + " holds text that is not valid UTF-8 and was left out.");
  }
}

// The fields of FFmpeg's view of the container whose text is not UTF-8.
std::vector<std::string> NonUtf8Fields(const audio::ContainerMetadata& meta) {
  std::vector<std::string> fields;
  for (const auto& [key, value] : meta.tags) {
    const std::string field = FieldForContainerKey(key);
    if (field.empty() || IsUtf8(value)) continue;
    if (std::find(fields.begin(), fields.end(), field) == fields.end()) fields.push_back(field);
  }
  return fields;
}

// TagLib drops a field whose text is not UTF-8 (or empties it) without a word. FFmpeg's
// reader passes the bytes on as they are, so it tells which of the fields TagLib lacks held
// such text.
void NameFieldsTagLibDropped(const audio::ContainerMetadata& container, const FieldMap& fields,
                             ReadResult& result) {
  std::vector<std::string> dropped;
  for (const std::string& field : NonUtf8Fields(container)) {
    const auto it = fields.find(field);
    const bool kept = it != fields.end() &&
                      std::any_of(it->second.begin(), it->second.end(),
                                  [](const std::string& value) { return !value.empty(); });
    if (!kept) dropped.push_back(field);
  }
  NameNonUtf8Fields(dropped, result);
}

// `damaged`: TagLib knew the format but could not parse the file.
void ReadWithFfmpeg(const audio::ContainerMetadata& meta, TagSet& tags, ReadResult& result,
                    bool damaged) {
  if (!meta.opened) {
    if (damaged) {
      result.problems.push_back("The tags could not be read: the file's structure is damaged.");
    }
    return;
  }
  for (const auto& [key, value] : meta.tags) {
    const std::string field = FieldForContainerKey(key);
    if (!field.empty() && IsUtf8(value)) tags.fields[field].push_back(value);
  }
  NameNonUtf8Fields(NonUtf8Fields(meta), result);
  if (!meta.coverData.empty()) {
    tags.cover = Picture{meta.coverMimeType, {}, meta.coverData};
  } else if (meta.refusedCoverBytes) {
    result.problems.push_back("The cover (" + SizeText(meta.refusedCoverBytes) +
                              ") is larger than " + SizeText(kMaxCoverBytes) +
                              " and was left out.");
  }
}

// ---- writing into a copy ----

// A file beside the output that receives the tagged copy; removed unless it was moved into
// place.
class ScratchFile {
 public:
  ScratchFile() = default;
  ~ScratchFile() {
    if (!m_path.empty()) ::unlink(m_path.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& Path() const { return m_path; }
  void Set(std::string path) { m_path = std::move(path); }
  // Moves the copy over `target`; afterwards there is nothing left to remove.
  bool MoveTo(const std::string& target) {
    if (::rename(m_path.c_str(), target.c_str()) != 0) return false;
    m_path.clear();
    return true;
  }

 private:
  std::string m_path;
};

std::string SystemError(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

// Copies `path` into a new, exclusively created file in the same folder with the same
// permissions. Returns the empty text on success.
std::string CopyBeside(const std::string& path, ScratchFile& scratch) {
  FileDescriptor in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.Get() < 0) return SystemError("cannot open the file");
  struct stat info {};
  if (::fstat(in.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return "not a regular file";

  const auto slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  // Named with this instance's id, so a later instance can tell it from a live one's.
  std::string name = (folder.empty() ? std::string() : folder) + "/" + TagScratchPrefix() +
                     "XXXXXX";
  FileDescriptor out(::mkostemp(name.data(), O_CLOEXEC));
  if (out.Get() < 0) return SystemError("cannot create a file beside it");
  scratch.Set(name);

  std::vector<char> buffer(1024 * 1024);
  while (true) {
    const ssize_t n = ::read(in.Get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return SystemError("cannot read the file");
    if (n == 0) break;
    if (!WriteAll(out.Get(), buffer.data(), static_cast<std::size_t>(n))) {
      return SystemError("cannot write beside it");
    }
  }
  if (::fchmod(out.Get(), info.st_mode & 07777) != 0) return SystemError("cannot set permissions");
  if (!out.Close()) return SystemError("cannot write beside it");
  return {};
}

bool OutputKindOf(const std::string& formatKey, detail::OutputKind& kind) {
  const OutputFormat* format = FindOutputFormat(formatKey);
  if (!format || !format->tagKind) return false;
  kind = *format->tagKind;
  return true;
}

std::string Indented(const std::string& path) { return "\n\n   " + path + "\n\n"; }

}  // namespace

ReadResult ReadTags(const std::string& path, const audio::ContainerMetadata* container) {
  ReadResult result;
  // One descriptor serves every reading of the file but FFmpeg's.
  const FileDescriptor file = OpenRegularFile(path);
  if (file.Get() < 0) {
    result.problems.push_back("The tags could not be read: not a readable regular file.");
    return result;
  }
  TagSet tags;
  detail::LibraryRead read = detail::ReadWithTagLib(path, file.Get());
  if (read.valid) {
    // Where TagLib found nothing, FFmpeg's reader follows below and names such fields itself:
    // one reading of the file by FFmpeg, not two.
    if (!read.fields.empty() || !read.pictures.empty()) {
      NameFieldsTagLibDropped(container ? *container : audio::ReadContainerMetadata(path, 0),
                              read.fields, result);
    }
    tags.fields = std::move(read.fields);
    result.problems.insert(result.problems.end(), read.problems.begin(), read.problems.end());
    if (!read.pictures.empty()) {
      Picture& cover = read.pictures[read.frontIndex >= 0 ? read.frontIndex : 0];
      if (cover.data.size() > kMaxCoverBytes) {
        result.problems.push_back("The cover (" + SizeText(cover.data.size()) +
                                  ") is larger than " + SizeText(kMaxCoverBytes) +
                                  " and was left out.");
      } else {
        tags.cover = std::move(cover);
      }
    }
  }
  // Containers TagLib does not read (AVI, Matroska, MPEG, raw AAC), and QuickTime-style tags
  // of a video that TagLib reads without finding any: FFmpeg's view of the container.
  if (!read.valid || (tags.fields.empty() && read.pictures.empty())) {
    ReadWithFfmpeg(container ? *container : audio::ReadContainerMetadata(path, kMaxCoverBytes),
                   tags, result, read.recognised && !read.valid);
  }
  CheckLeadingId3v2(file.Get(), result);
  CleanUp(tags, result);
  LimitProblems(result.problems);
  result.tags = std::move(tags);
  return result;
}

namespace {

// Whether `path` can take tags of `formatKey`: a format with a tag container, and an existing
// regular file. Else `error` says why.
bool CheckTagTarget(const std::string& path, const std::string& formatKey,
                    detail::OutputKind& kind, std::string& error) {
  if (!OutputKindOf(formatKey, kind)) {
    error = "the format \"" + formatKey + "\" has no tag container";
    return false;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    error = "the file does not exist or is not a regular file";
    return false;
  }
  return true;
}

}  // namespace

WriteResult WriteTags(const std::string& path, const std::string& formatKey, const TagSet& tags) {
  WriteResult result;
  detail::OutputKind kind{};
  if (!CheckTagTarget(path, formatKey, kind, result.error)) return result;
  ScratchFile scratch;
  if (std::string error = CopyBeside(path, scratch); !error.empty()) {
    result.error = std::move(error);
    return result;
  }
  if (std::string error = detail::WriteWithTagLib(scratch.Path(), kind, tags, result.problems);
      !error.empty()) {
    result.error = std::move(error);
    return result;
  }
  {
    FileDescriptor written(::open(scratch.Path().c_str(), O_RDONLY | O_CLOEXEC));
    if (written.Get() < 0 || ::fsync(written.Get()) != 0) {
      result.error = SystemError("cannot write beside it");
      return result;
    }
  }
  if (!scratch.MoveTo(path)) {
    result.error = SystemError("cannot replace the file");
    return result;
  }
  result.ok = true;
  return result;
}

WriteResult WriteTagsInPlace(const std::string& path, const std::string& formatKey,
                             const TagSet& tags) {
  WriteResult result;
  detail::OutputKind kind{};
  if (!CheckTagTarget(path, formatKey, kind, result.error)) return result;
  if (std::string error = detail::WriteWithTagLib(path, kind, tags, result.problems);
      !error.empty()) {
    result.error = std::move(error);
    return result;
  }
  result.ok = true;
  return result;
}

TagCopyResult CopyTags(const std::string& tagSource, const std::string& output,
                       const std::string& formatKey) {
  return CopyTags(tagSource, output, formatKey, {}, nullptr);
}

void Overlay(FieldMap& fields, const FieldMap& over) {
  for (const auto& [key, values] : over) {
    if (values.empty()) {
      fields.erase(key);
    } else {
      fields[key] = values;
    }
  }
}

bool FormatHoldsTags(const std::string& formatKey) {
  detail::OutputKind kind{};
  return OutputKindOf(formatKey, kind);
}

TagCopyResult CopyTags(const std::string& tagSource, const std::string& output,
                       const std::string& formatKey, const FieldMap& extra, TagSet* writtenSet,
                       const audio::ContainerMetadata* container, const ReadResult* readAlready) {
  TagCopyResult result;
  detail::OutputKind kind{};
  if (!OutputKindOf(formatKey, kind)) {
    result.status = TagCopyStatus::NoTagFormat;
    return result;
  }
  ReadResult read;
  if (readAlready && !tagSource.empty()) {
    read = *readAlready;
  } else if (!tagSource.empty()) {
    read = ReadTags(tagSource, container);
  }
  result.skipped = std::move(read.problems);
  Overlay(read.tags.fields, extra);
  if (writtenSet) *writtenSet = read.tags;
  if (read.tags.Empty()) {
    result.status = TagCopyStatus::NothingToCopy;
  } else {
    WriteResult written = WriteTagsInPlace(output, formatKey, read.tags);
    result.skipped.insert(result.skipped.end(), written.problems.begin(), written.problems.end());
    if (written.ok) {
      result.status = TagCopyStatus::Copied;
    } else {
      result.status = TagCopyStatus::Failed;
      result.error = written.error;
      result.logText = "Could not write the tags into:" + Indented(output) + "Error was:\n\n   " +
                       written.error;
      return result;
    }
  }
  if (!result.skipped.empty()) {
    result.logText = "Some tags of:" + Indented(tagSource) + "were not copied into:" +
                     Indented(output);
    for (std::size_t i = 0; i < result.skipped.size(); ++i) {
      result.logText += (i ? "\n   - " : "   - ") + result.skipped[i];
    }
  }
  return result;
}

}  // namespace qv::tags
