#include "tags/taglibio.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include <aifffile.h>
#include <apefile.h>
#include <apetag.h>
#include <asffile.h>
#include <asfpicture.h>
#include <asftag.h>
#include <attachedpictureframe.h>
#include <commentsframe.h>
#include <flacfile.h>
#include <flacpicture.h>
#include <id3v1tag.h>
#include <id3v2frame.h>
#include <id3v2tag.h>
#include <infotag.h>
#include <mp4coverart.h>
#include <mp4file.h>
#include <mp4tag.h>
#include <mpegfile.h>
#include <oggflacfile.h>
#include <opusfile.h>
#include <speexfile.h>
#include <textidentificationframe.h>
#include <tfilestream.h>
#include <tpropertymap.h>
#include <unsynchronizedlyricsframe.h>
#include <vorbisfile.h>
#include <wavfile.h>
#include <xiphcomment.h>

namespace qv::tags::detail {
namespace {

// ---- conversions between our plain values and TagLib's ----

std::string Utf8(const TagLib::String& s) { return s.to8Bit(true); }
TagLib::String Text(const std::string& s) { return TagLib::String(s, TagLib::String::UTF8); }
std::string Bytes(const TagLib::ByteVector& v) { return std::string(v.data(), v.size()); }
TagLib::ByteVector Data(const std::string& s) {
  return TagLib::ByteVector(s.data(), static_cast<unsigned>(s.size()));
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// TagLib builds some of its key tables on first use, without a lock (the MP4 and ASF key maps
// inside setProperties; older releases did the same for ID3v2), and rows are read and tagged on
// several threads at once: two first uses at the same moment corrupt the table and crash. Every
// translation between a tag and a property map therefore goes through one lock. These are
// in-memory steps; the file is read and written outside it.
std::mutex& PropertyTableLock() {
  static std::mutex lock;
  return lock;
}

template <class Tag>
TagLib::PropertyMap PropertiesOf(const Tag& tag) {
  std::lock_guard<std::mutex> hold(PropertyTableLock());
  return tag.properties();
}

template <class Tag>
TagLib::PropertyMap SetProperties(Tag& tag, const TagLib::PropertyMap& properties) {
  std::lock_guard<std::mutex> hold(PropertyTableLock());
  return tag.setProperties(properties);
}

// Adds TagLib's properties to `fields`. A secondary tag (ID3v1 behind ID3v2, INFO behind the
// ID3 chunk) only fills fields the primary one lacks.
void AddProperties(FieldMap& fields, const TagLib::PropertyMap& map, bool onlyMissing) {
  for (const auto& [key, values] : map) {
    const std::string name = Utf8(key);
    if (onlyMissing && fields.count(name)) continue;
    auto& out = fields[name];
    for (const auto& value : values) out.push_back(Utf8(value));
  }
}

// What a picture is, from its first bytes: tags often leave the type out or get it wrong.
std::string MimeFromBytes(const std::string& data) {
  auto starts = [&](std::string_view magic) { return data.compare(0, magic.size(), magic) == 0; };
  if (starts("\xFF\xD8\xFF")) return "image/jpeg";
  if (starts("\x89PNG\r\n\x1A\n")) return "image/png";
  if (starts("GIF87a") || starts("GIF89a")) return "image/gif";
  if (starts("BM")) return "image/bmp";
  if (data.size() >= 12 && starts("RIFF") && data.compare(8, 4, "WEBP") == 0) return "image/webp";
  return {};
}

void AddPicture(LibraryRead& out, std::string mime, std::string description, std::string data,
                bool front) {
  if (data.empty()) return;
  // No type, or one without a subtype ("image/", as TagLib gives for an old Vorbis COVERART).
  const auto slash = mime.find('/');
  if (slash == std::string::npos || slash + 1 == mime.size()) {
    const std::string sniffed = MimeFromBytes(data);
    if (!sniffed.empty()) mime = sniffed;
  }
  out.pictures.push_back({std::move(mime), std::move(description), std::move(data)});
  if (front && out.frontIndex < 0) out.frontIndex = static_cast<int>(out.pictures.size()) - 1;
}

// ---- reading ----

// Text encodings an ID3v2 frame may declare (Latin-1, UTF-16, UTF-16BE, UTF-8).
constexpr int kLastId3Encoding = 3;

bool HasBrokenEncoding(const TagLib::ID3v2::Frame* frame) {
  int encoding = 0;
  if (auto* text = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame)) {
    encoding = text->textEncoding();
  } else if (auto* comment = dynamic_cast<const TagLib::ID3v2::CommentsFrame*>(frame)) {
    encoding = comment->textEncoding();
  } else if (auto* lyrics =
                 dynamic_cast<const TagLib::ID3v2::UnsynchronizedLyricsFrame*>(frame)) {
    encoding = lyrics->textEncoding();
  } else if (auto* picture = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
    encoding = picture->textEncoding();
  }
  return encoding < 0 || encoding > kLastId3Encoding;
}

// The frames as plain pointers. A copy of TagLib's own list would share its data, and its
// owning flag with it: removing a frame detaches the tag's list, and the copy then deletes
// every frame when it goes.
std::vector<TagLib::ID3v2::Frame*> FramesOf(const TagLib::ID3v2::Tag& tag) {
  const TagLib::ID3v2::FrameList& list = tag.frameList();
  return std::vector<TagLib::ID3v2::Frame*>(list.begin(), list.end());
}

// A frame with a broken text encoding is taken out first (in memory only: the file is never
// saved) so it is left out instead of carried as garbage.
void ReadId3v2(TagLib::ID3v2::Tag& tag, LibraryRead& out, bool onlyMissing) {
  for (TagLib::ID3v2::Frame* frame : FramesOf(tag)) {
    if (HasBrokenEncoding(frame)) {
      out.problems.push_back("The ID3v2 frame " + Bytes(frame->frameID()) +
                             " declares an unknown text encoding and was left out.");
      tag.removeFrame(frame, true);
      continue;
    }
    if (auto* apic = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
      AddPicture(out, Utf8(apic->mimeType()), Utf8(apic->description()),
                 Bytes(apic->picture()),
                 apic->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    }
  }
  AddProperties(out.fields, PropertiesOf(tag), onlyMissing);
}

void ReadApe(const TagLib::APE::Tag& tag, LibraryRead& out) {
  AddProperties(out.fields, PropertiesOf(tag), true);
  // APE keeps a cover as a binary item: a file name, a zero byte, then the image.
  for (const auto& [key, item] : tag.itemListMap()) {
    if (item.type() != TagLib::APE::Item::Binary) continue;
    const std::string name = Upper(Utf8(key));
    if (name.rfind("COVER ART", 0) != 0) continue;
    const std::string raw = Bytes(item.binaryData());
    const auto zero = raw.find('\0');
    if (zero == std::string::npos) continue;
    AddPicture(out, {}, {}, raw.substr(zero + 1), name == "COVER ART (FRONT)");
  }
}

void ReadXiph(TagLib::Ogg::XiphComment* tag, LibraryRead& out) {
  if (!tag) return;
  AddProperties(out.fields, PropertiesOf(*tag), false);
  for (const TagLib::FLAC::Picture* picture : tag->pictureList()) {
    AddPicture(out, Utf8(picture->mimeType()), Utf8(picture->description()),
               Bytes(picture->data()), picture->type() == TagLib::FLAC::Picture::FrontCover);
  }
  // TagLib turns the older base64 COVERART comment into a picture (of type "image/", which
  // AddPicture mends from the bytes) but leaves its companion as text.
  out.fields.erase("COVERARTMIME");
}

// The gapless playback figures (priming, padding, length) of an MP4 file's AAC encoding.
constexpr const char* kGaplessAtom = "----:com.apple.iTunes:iTunSMPB";
constexpr const char* kGaplessKey = "ITUNSMPB";

void ReadMp4(const TagLib::MP4::Tag& tag, LibraryRead& out) {
  const TagLib::PropertyMap props = PropertiesOf(tag);
  AddProperties(out.fields, props, false);
  // Free-form text atoms TagLib has no name for keep their own ("----:com.apple.iTunes:MOOD").
  for (const auto& name : props.unsupportedData()) {
    const std::string atom = Utf8(name);
    if (atom.rfind("----:", 0) != 0 || !tag.contains(name)) continue;
    const auto colon = atom.rfind(':');
    const std::string key = Upper(atom.substr(colon + 1));
    const TagLib::MP4::Item item = tag.item(name);
    if (key.empty() || item.atomDataType() != TagLib::MP4::TypeUTF8) continue;
    // The source's gapless figures describe its own encoding, not an output's.
    if (key == kGaplessKey || out.fields.count(key)) continue;
    for (const auto& value : item.toStringList()) out.fields[key].push_back(Utf8(value));
  }
  if (tag.contains("covr")) {
    for (const auto& art : tag.item("covr").toCoverArtList()) {
      std::string mime;
      switch (art.format()) {
        case TagLib::MP4::CoverArt::JPEG: mime = "image/jpeg"; break;
        case TagLib::MP4::CoverArt::PNG: mime = "image/png"; break;
        case TagLib::MP4::CoverArt::BMP: mime = "image/bmp"; break;
        case TagLib::MP4::CoverArt::GIF: mime = "image/gif"; break;
        default: break;
      }
      AddPicture(out, mime, {}, Bytes(art.data()), false);
    }
  }
}

// The ASF attribute that holds each of several artists.
constexpr const char* kAsfAuthor = "Author";

// ASF attributes that TagLib does not name, under the names other writers use for them (the
// FFmpeg muxer writes "Description", "date" and lower-case "title").
std::string AsfFieldName(const std::string& attribute) {
  static const std::pair<const char*, const char*> kAliases[] = {
      {"Description", "COMMENT"}, {"Author", "ARTIST"}, {"title", "TITLE"},
      {"date", "DATE"},           {"WM/Year", "DATE"},  {"WM/Comments", "COMMENT"},
  };
  for (const auto& [name, field] : kAliases) {
    if (attribute == name) return field;
  }
  std::string key = attribute.rfind("WM/", 0) == 0 ? attribute.substr(3) : attribute;
  return Upper(key);
}

// Attributes the Windows Media tools write about the file and its encoding, not the music.
bool AsfTechnicalAttribute(const std::string& name) {
  static const char* const kPrefixes[] = {
      "WMFSDK",       "IsVBR",          "DeviceConformanceTemplate", "VBR Peak",
      "Buffer Average", "WM/Media",      "WM/WMContent",             "WM/WMCollection",
      "WM/Tool",      "WM/Encoding",    "WM/MCDI",                   "WM/UniqueFileIdentifier",
      "WM/Provider",  "WM/Codec",       "WM/WMADRC"};
  return std::any_of(std::begin(kPrefixes), std::end(kPrefixes),
                     [&](const char* prefix) { return name.rfind(prefix, 0) == 0; });
}

void ReadAsf(const TagLib::ASF::Tag& tag, LibraryRead& out) {
  const TagLib::PropertyMap props = PropertiesOf(tag);
  AddProperties(out.fields, props, false);
  for (const auto& name : props.unsupportedData()) {
    const std::string attribute = Utf8(name);
    if (attribute == "WM/Picture" || AsfTechnicalAttribute(attribute)) continue;
    const std::string key = AsfFieldName(attribute);
    // Several artists are "Author" attributes besides the content description's first one.
    const bool moreArtists = attribute == kAsfAuthor;
    if (key.empty() || (out.fields.count(key) && !moreArtists)) continue;
    auto& values = out.fields[key];
    for (const auto& value : tag.attribute(name)) {
      if (value.type() != TagLib::ASF::Attribute::UnicodeType) continue;
      std::string text = Utf8(value.toString());
      if (std::find(values.begin(), values.end(), text) == values.end()) {
        values.push_back(std::move(text));
      }
    }
    if (values.empty()) out.fields.erase(key);
  }
  for (const auto& value : tag.attribute("WM/Picture")) {
    if (value.type() != TagLib::ASF::Attribute::BytesType) continue;
    const TagLib::ASF::Picture picture = value.toPicture();
    if (!picture.isValid()) continue;
    AddPicture(out, Utf8(picture.mimeType()), Utf8(picture.description()),
               Bytes(picture.picture()), picture.type() == TagLib::ASF::Picture::FrontCover);
  }
}

// RIFF INFO chunk names and the fields they hold.
struct InfoField {
  const char* id;
  const char* field;
};
constexpr InfoField kInfoFields[] = {
    {"INAM", "TITLE"},     {"IART", "ARTIST"},    {"IPRD", "ALBUM"},
    {"ICMT", "COMMENT"},   {"IGNR", "GENRE"},     {"ICRD", "DATE"},
    {"ITRK", "TRACKNUMBER"}, {"IPRT", "TRACKNUMBER"}, {"ICOP", "COPYRIGHT"},
    {"ILNG", "LANGUAGE"},  {"ISFT", "ENCODING"},  {"ITCH", "ENCODEDBY"},
};

void ReadInfo(const TagLib::RIFF::Info::Tag& tag, LibraryRead& out) {
  for (const auto& [id, value] : tag.fieldListMap()) {
    const std::string chunk = Bytes(id);
    for (const auto& known : kInfoFields) {
      if (chunk != known.id) continue;
      if (!out.fields.count(known.field) && !value.isEmpty()) {
        out.fields[known.field].push_back(Utf8(value));
      }
      break;
    }
  }
}

// The TagLib classes for the formats the program reads.
enum class Reader { Mpeg, Flac, Vorbis, Opus, OggFlac, Speex, Mp4, Asf, Wav, Aiff };

std::vector<Reader> ReadersForExtension(const std::string& path) {
  const auto slash = path.rfind('/');
  const auto dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  const std::string ext = Upper(path.substr(dot + 1));
  if (ext == "MP3" || ext == "MP2" || ext == "MP1") return {Reader::Mpeg};
  if (ext == "FLAC") return {Reader::Flac};
  if (ext == "OGG" || ext == "OGA") {
    return {Reader::Vorbis, Reader::Opus, Reader::OggFlac, Reader::Speex};
  }
  if (ext == "OPUS") return {Reader::Opus};
  if (ext == "M4A" || ext == "MP4" || ext == "M4V" || ext == "MOV" || ext == "M4B" ||
      ext == "3GP") {
    return {Reader::Mp4};
  }
  if (ext == "WMA" || ext == "WMV" || ext == "ASF") return {Reader::Asf};
  if (ext == "WAV") return {Reader::Wav};
  if (ext == "AIF" || ext == "AIFF" || ext == "AIFC") return {Reader::Aiff};
  return {};
}

bool Fits(Reader reader, TagLib::IOStream* stream) {
  switch (reader) {
    case Reader::Mpeg: return TagLib::MPEG::File::isSupported(stream);
    case Reader::Flac: return TagLib::FLAC::File::isSupported(stream);
    case Reader::Vorbis: return TagLib::Ogg::Vorbis::File::isSupported(stream);
    case Reader::Opus: return TagLib::Ogg::Opus::File::isSupported(stream);
    case Reader::OggFlac: return TagLib::Ogg::FLAC::File::isSupported(stream);
    case Reader::Speex: return TagLib::Ogg::Speex::File::isSupported(stream);
    case Reader::Mp4: return TagLib::MP4::File::isSupported(stream);
    case Reader::Asf: return TagLib::ASF::File::isSupported(stream);
    case Reader::Wav: return TagLib::RIFF::WAV::File::isSupported(stream);
    case Reader::Aiff: return TagLib::RIFF::AIFF::File::isSupported(stream);
  }
  return false;
}

constexpr bool kNoAudioProperties = false;

// Ogg files of any codec: their tags are one Xiph comment.
template <typename OggFile>
void ReadOggFile(TagLib::IOStream* stream, LibraryRead& out) {
  OggFile file(stream, kNoAudioProperties);
  out.valid = file.isValid();
  if (out.valid) ReadXiph(file.tag(), out);
}

void ReadFile(Reader reader, TagLib::IOStream* stream, LibraryRead& out) {
  switch (reader) {
    case Reader::Mpeg: {
      TagLib::MPEG::File file(stream, TagLib::ID3v2::FrameFactory::instance(),
                              kNoAudioProperties);
      out.valid = file.isValid();
      if (!out.valid) return;
      if (file.hasID3v2Tag()) ReadId3v2(*file.ID3v2Tag(), out, false);
      if (file.hasAPETag()) ReadApe(*file.APETag(), out);
      if (file.hasID3v1Tag()) AddProperties(out.fields, PropertiesOf(*file.ID3v1Tag()), true);
      return;
    }
    case Reader::Flac: {
      TagLib::FLAC::File file(stream, TagLib::ID3v2::FrameFactory::instance(),
                              kNoAudioProperties);
      out.valid = file.isValid();
      if (!out.valid) return;
      if (file.hasXiphComment()) {
        AddProperties(out.fields, PropertiesOf(*file.xiphComment()), false);
      }
      if (file.hasID3v2Tag()) ReadId3v2(*file.ID3v2Tag(), out, true);
      if (file.hasID3v1Tag()) AddProperties(out.fields, PropertiesOf(*file.ID3v1Tag()), true);
      for (const TagLib::FLAC::Picture* picture : file.pictureList()) {
        AddPicture(out, Utf8(picture->mimeType()), Utf8(picture->description()),
                   Bytes(picture->data()), picture->type() == TagLib::FLAC::Picture::FrontCover);
      }
      return;
    }
    case Reader::Vorbis: return ReadOggFile<TagLib::Ogg::Vorbis::File>(stream, out);
    case Reader::Opus: return ReadOggFile<TagLib::Ogg::Opus::File>(stream, out);
    case Reader::OggFlac: return ReadOggFile<TagLib::Ogg::FLAC::File>(stream, out);
    case Reader::Speex: return ReadOggFile<TagLib::Ogg::Speex::File>(stream, out);
    case Reader::Mp4: {
      TagLib::MP4::File file(stream, kNoAudioProperties);
      out.valid = file.isValid() && file.tag();
      if (out.valid) ReadMp4(*file.tag(), out);
      return;
    }
    case Reader::Asf: {
      TagLib::ASF::File file(stream, kNoAudioProperties);
      out.valid = file.isValid() && file.tag();
      if (out.valid) ReadAsf(*file.tag(), out);
      return;
    }
    case Reader::Wav: {
      TagLib::RIFF::WAV::File file(stream, kNoAudioProperties);
      out.valid = file.isValid();
      if (!out.valid) return;
      if (file.hasID3v2Tag()) ReadId3v2(*file.ID3v2Tag(), out, false);
      if (file.hasInfoTag()) ReadInfo(*file.InfoTag(), out);
      return;
    }
    case Reader::Aiff: {
      TagLib::RIFF::AIFF::File file(stream, kNoAudioProperties);
      out.valid = file.isValid();
      if (out.valid && file.hasID3v2Tag()) ReadId3v2(*file.tag(), out, false);
      return;
    }
  }
}

// ---- writing ----

// Values joined for the fields that hold one text (RIFF INFO, ASF's content description).
std::string Joined(const std::vector<std::string>& values) {
  std::string out;
  for (const auto& value : values) {
    if (!out.empty()) out += "; ";
    out += value;
  }
  return out;
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isdigit(c);
  });
}

const std::string* First(const FieldMap& fields, const char* key) {
  const auto it = fields.find(key);
  return it == fields.end() || it->second.empty() ? nullptr : &it->second.front();
}

// "3" and "12" become the "3/12" that ID3v2 and MP4 store. With `numbersOnly`, a number that
// is not a number (a vinyl side "A1") is left out: the format stores integers there.
void CombineCount(FieldMap& fields, const char* numberKey, const char* totalKey,
                  bool numbersOnly, std::vector<std::string>& problems) {
  const std::string* number = First(fields, numberKey);
  const std::string* total = First(fields, totalKey);
  if (!number) return;
  if (numbersOnly && (!AllDigits(*number) || (total && !AllDigits(*total)))) {
    problems.push_back(std::string(numberKey) + " \"" + *number +
                       "\" is not a number and cannot be stored in this format.");
    fields.erase(numberKey);
    fields.erase(totalKey);
    return;
  }
  std::string combined = *number;
  if (total) combined += "/" + *total;
  fields[numberKey] = {combined};
  fields.erase(totalKey);
}

TagLib::PropertyMap ToProperties(const FieldMap& fields) {
  TagLib::PropertyMap map;
  for (const auto& [key, values] : fields) {
    TagLib::StringList list;
    for (const auto& value : values) list.append(Text(value));
    map.insert(Text(key), list);
  }
  return map;
}

void Unstored(const TagLib::PropertyMap& rejected, const char* format,
              std::vector<std::string>& problems) {
  for (const auto& entry : rejected) {
    problems.push_back(Utf8(entry.first) + " cannot be stored in " + format + " and was left out.");
  }
}

// Sets `fields` on `tag` (MP4 or ASF), several values as a list; each field the tag has no
// place for is handed to `storeFreeForm` with its name and values, unless the name cannot be
// stored (empty, or with a ':'), which is named in `problems`.
template <class Tag, class StoreFreeForm>
void SetFieldsOrFreeForm(Tag& tag, const FieldMap& fields, const char* format,
                         std::vector<std::string>& problems, StoreFreeForm storeFreeForm) {
  const TagLib::PropertyMap rejected = SetProperties(tag, ToProperties(fields));
  for (const auto& [key, values] : rejected) {
    const std::string name = Utf8(key);
    if (name.empty() || name.find(':') != std::string::npos) {
      problems.push_back(name + " cannot be stored in " + format + " and was left out.");
      continue;
    }
    storeFreeForm(key, values);
  }
}

// Replaces every frame of `tag` with the fields and the cover, all text in UTF-8 (version 2.4).
void FillId3v2(TagLib::ID3v2::Tag& tag, const TagSet& tags, std::vector<std::string>& problems) {
  for (TagLib::ID3v2::Frame* frame : FramesOf(tag)) tag.removeFrame(frame, true);
  FieldMap fields = tags.fields;
  CombineCount(fields, "TRACKNUMBER", "TRACKTOTAL", false, problems);
  CombineCount(fields, "DISCNUMBER", "DISCTOTAL", false, problems);
  Unstored(SetProperties(tag, ToProperties(fields)), "ID3v2", problems);
  for (TagLib::ID3v2::Frame* frame : tag.frameList()) {
    if (auto* text = dynamic_cast<TagLib::ID3v2::TextIdentificationFrame*>(frame)) {
      text->setTextEncoding(TagLib::String::UTF8);
    } else if (auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame)) {
      comment->setTextEncoding(TagLib::String::UTF8);
    } else if (auto* lyrics = dynamic_cast<TagLib::ID3v2::UnsynchronizedLyricsFrame*>(frame)) {
      lyrics->setTextEncoding(TagLib::String::UTF8);
    }
  }
  if (tags.cover) {
    auto picture = std::make_unique<TagLib::ID3v2::AttachedPictureFrame>();
    picture->setTextEncoding(TagLib::String::UTF8);
    picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
    picture->setMimeType(Text(tags.cover->mimeType));
    picture->setDescription(Text(tags.cover->description));
    picture->setPicture(Data(tags.cover->data));
    tag.addFrame(picture.release());  // the tag owns its frames
  }
}

std::string WriteMp3(const std::string& path, const TagSet& tags,
                     std::vector<std::string>& problems) {
  TagLib::MPEG::File file(path.c_str(), false);
  if (!file.isValid()) return "the file is not MPEG audio";
  FillId3v2(*file.ID3v2Tag(true), tags, problems);
  if (!file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4,
                 TagLib::File::DoNotDuplicate)) {
    return "the ID3v2 tag could not be saved";
  }
  return {};
}

std::string WriteMp4(const std::string& path, const TagSet& tags,
                     std::vector<std::string>& problems) {
  TagLib::MP4::File file(path.c_str(), false);
  if (!file.isValid() || !file.tag()) return "the file is not an MP4 container";
  TagLib::MP4::Tag& tag = *file.tag();
  // Every item goes but the gapless figures the encoder wrote into this file.
  std::vector<TagLib::String> old;
  for (const auto& entry : tag.itemMap()) {
    if (entry.first != kGaplessAtom) old.push_back(entry.first);
  }
  for (const auto& name : old) tag.removeItem(name);

  FieldMap fields = tags.fields;
  fields.erase(kGaplessKey);
  CombineCount(fields, "TRACKNUMBER", "TRACKTOTAL", true, problems);
  CombineCount(fields, "DISCNUMBER", "DISCTOTAL", true, problems);
  // Fields without an atom of their own go into free-form atoms under their own name, as
  // iTunes-style taggers do.
  SetFieldsOrFreeForm(tag, fields, "MP4", problems,
                      [&tag](const TagLib::String& key, const TagLib::StringList& values) {
                        TagLib::MP4::Item item(values);
                        item.setAtomDataType(TagLib::MP4::TypeUTF8);
                        tag.setItem(TagLib::String("----:com.apple.iTunes:") + key, item);
                      });
  if (tags.cover) {
    const std::string mime = MimeFromBytes(tags.cover->data);
    TagLib::MP4::CoverArt::Format format = TagLib::MP4::CoverArt::Unknown;
    if (mime == "image/jpeg") format = TagLib::MP4::CoverArt::JPEG;
    if (mime == "image/png") format = TagLib::MP4::CoverArt::PNG;
    if (mime == "image/gif") format = TagLib::MP4::CoverArt::GIF;
    if (mime == "image/bmp") format = TagLib::MP4::CoverArt::BMP;
    if (format == TagLib::MP4::CoverArt::Unknown) {
      problems.push_back("The cover (" + tags.cover->mimeType +
                         ") is not JPEG, PNG, GIF or BMP, which is all MP4 can hold.");
    } else {
      TagLib::MP4::CoverArtList covers;
      covers.append(TagLib::MP4::CoverArt(format, Data(tags.cover->data)));
      tag.setItem("covr", covers);
    }
  }
  if (!file.save()) return "the MP4 tag could not be saved";
  return {};
}

// ASF keeps title, artist, copyright and comment in its content description object, whose
// lengths are 16-bit byte counts of UTF-16 text with a terminating zero.
constexpr std::size_t kMaxAsfDescriptionUnits = 32766;

std::size_t Utf16Units(const std::string& utf8) {
  std::size_t units = 0;
  for (const unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++units;  // one per code point...
    if ((c & 0xF8) == 0xF0) ++units;  // ...and a second for a surrogate pair
  }
  return units;
}

std::string WriteWma(const std::string& path, const TagSet& tags,
                     std::vector<std::string>& problems) {
  TagLib::ASF::File file(path.c_str(), false);
  if (!file.isValid() || !file.tag()) return "the file is not an ASF container";
  TagLib::ASF::Tag& tag = *file.tag();
  tag.setTitle({});
  tag.setArtist({});
  tag.setCopyright({});
  tag.setComment({});
  tag.setRating({});
  std::vector<TagLib::String> old;
  for (const auto& entry : tag.attributeListMap()) old.push_back(entry.first);
  for (const auto& name : old) tag.removeItem(name);

  FieldMap fields = tags.fields;
  // WM/TrackNumber is a number; the total goes into an attribute of its own. WM/PartOfSet is
  // text and holds "1/2" as players write it.
  if (const std::string* track = First(fields, "TRACKNUMBER"); track && !AllDigits(*track)) {
    problems.push_back("TRACKNUMBER \"" + *track +
                       "\" is not a number and cannot be stored in WMA.");
    fields.erase("TRACKNUMBER");
  }
  CombineCount(fields, "DISCNUMBER", "DISCTOTAL", false, problems);
  for (const char* key : {"TITLE", "ARTIST", "COPYRIGHT", "COMMENT"}) {
    const auto it = fields.find(key);
    if (it != fields.end() && Utf16Units(Joined(it->second)) > kMaxAsfDescriptionUnits) {
      problems.push_back(std::string(key) +
                         " is too long for WMA and was left out: WMA keeps it in its content "
                         "description, which holds at most 32766 characters a field.");
      fields.erase(it);
    }
  }
  // The content description holds one text per field: several titles, copyrights or comments
  // are joined, several artists give it the first and each one an "Author" attribute (which
  // may repeat, as the other attributes do).
  for (const char* key : {"TITLE", "COPYRIGHT", "COMMENT"}) {
    if (const auto it = fields.find(key); it != fields.end() && it->second.size() > 1) {
      it->second = {Joined(it->second)};
    }
  }
  std::vector<std::string> artists;
  if (const auto it = fields.find("ARTIST"); it != fields.end() && it->second.size() > 1) {
    artists = it->second;
    it->second.resize(1);
  }
  SetFieldsOrFreeForm(tag, fields, "WMA", problems,
                      [&tag](const TagLib::String& key, const TagLib::StringList& values) {
                        for (const auto& value : values) {
                          tag.addAttribute(key, TagLib::ASF::Attribute(value));
                        }
                      });
  for (const std::string& artist : artists) {
    tag.addAttribute(kAsfAuthor, TagLib::ASF::Attribute(Text(artist)));
  }
  if (tags.cover) {
    TagLib::ASF::Picture picture;
    picture.setType(TagLib::ASF::Picture::FrontCover);
    picture.setMimeType(Text(tags.cover->mimeType));
    picture.setDescription(Text(tags.cover->description));
    picture.setPicture(Data(tags.cover->data));
    tag.setAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
  }
  if (!file.save()) return "the ASF attributes could not be saved";
  return {};
}

std::string WriteWav(const std::string& path, const TagSet& tags,
                     std::vector<std::string>& problems) {
  TagLib::RIFF::WAV::File file(path.c_str(), false);
  if (!file.isValid()) return "the file is not a RIFF WAVE file";
  // The ID3v2 chunk carries everything; the INFO list the fields it has names for, which is
  // what many WAV readers look at first.
  FillId3v2(*file.ID3v2Tag(), tags, problems);
  TagLib::RIFF::Info::Tag& info = *file.InfoTag();
  std::vector<TagLib::ByteVector> old;
  for (const auto& entry : info.fieldListMap()) old.push_back(entry.first);
  for (const auto& id : old) info.removeField(id);
  for (const auto& known : kInfoFields) {
    const std::string key = known.field;
    const auto it = tags.fields.find(key);
    if (it == tags.fields.end() || key == "ENCODING" || key == "ENCODEDBY") continue;
    if (std::string(known.id) == "IPRT") continue;  // ITRK holds the track number
    info.setFieldText(known.id, Text(Joined(it->second)));
  }
  if (!file.save(TagLib::RIFF::WAV::File::AllTags, TagLib::File::StripOthers,
                 TagLib::ID3v2::v4)) {
    return "the WAV tags could not be saved";
  }
  return {};
}

// A FLAC metadata block holds at most 2^24 - 1 bytes: a cover beyond that has no room in a
// FLAC file (an Ogg comment packet has no such limit).
constexpr std::size_t kMaxFlacBlockBytes = 0xFFFFFF;

TagLib::FLAC::Picture* FlacPicture(const Picture& cover) {
  auto* picture = new TagLib::FLAC::Picture;
  picture->setType(TagLib::FLAC::Picture::FrontCover);
  picture->setMimeType(Text(cover.mimeType));
  picture->setDescription(Text(cover.description));
  picture->setData(Data(cover.data));
  return picture;
}

// Replaces every field of the Vorbis comment (its vendor text stays): numbers and totals stay
// apart (TRACKNUMBER and TRACKTOTAL), several values stay a list, as Vorbis comments keep them.
void FillXiph(TagLib::Ogg::XiphComment& tag, const TagSet& tags, const char* format,
              std::vector<std::string>& problems) {
  tag.removeAllFields();
  tag.removeAllPictures();
  Unstored(SetProperties(tag, ToProperties(tags.fields)), format, problems);
}

std::string WriteFlac(const std::string& path, const TagSet& tags,
                      std::vector<std::string>& problems) {
  TagLib::FLAC::File file(path.c_str(), false);
  if (!file.isValid()) return "the file is not a FLAC file";
  FillXiph(*file.xiphComment(true), tags, "FLAC", problems);
  file.removePictures();
  if (tags.cover) {
    const std::size_t block = 32 + tags.cover->mimeType.size() +
                              tags.cover->description.size() + tags.cover->data.size();
    if (block > kMaxFlacBlockBytes) {
      char size[32];
      std::snprintf(size, sizeof size, "%.1f MB",
                    static_cast<double>(tags.cover->data.size()) / (1024.0 * 1024.0));
      problems.push_back(std::string("The cover (") + size +
                         ") is larger than the 16.0 MB a FLAC picture block can hold and was "
                         "left out.");
    } else {
      file.addPicture(FlacPicture(*tags.cover));  // the file owns its pictures
    }
  }
  file.strip(TagLib::FLAC::File::ID3v1 | TagLib::FLAC::File::ID3v2);
  if (!file.save()) return "the FLAC tags could not be saved";
  return {};
}

// Opus and Vorbis in Ogg: the comment packet, the cover as a METADATA_BLOCK_PICTURE field.
template <typename OggFile>
std::string WriteOgg(const std::string& path, const TagSet& tags, const char* format,
                     std::vector<std::string>& problems) {
  OggFile file(path.c_str(), false);
  if (!file.isValid() || !file.tag()) return std::string("the file is not Ogg ") + format;
  TagLib::Ogg::XiphComment& tag = *file.tag();
  FillXiph(tag, tags, format, problems);
  if (tags.cover) tag.addPicture(FlacPicture(*tags.cover));  // the tag owns its pictures
  if (!file.save()) return std::string("the ") + format + " comments could not be saved";
  return {};
}

}  // namespace

LibraryRead ReadWithTagLib(const std::string& path, int fd) {
  LibraryRead out;
  // The stream closes what it is given: a duplicate of the caller's descriptor, read from its
  // start (a duplicate shares the file position).
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0 || ::lseek(own, 0, SEEK_SET) != 0) {
    if (own >= 0) ::close(own);
    return out;
  }
  TagLib::FileStream stream(own, true);
  if (!stream.isOpen()) {
    ::close(own);  // fdopen failed: the descriptor is still ours
    return out;
  }
  std::vector<Reader> order = ReadersForExtension(path);
  // When the name does not fit the content, the content decides (as the decoder does).
  for (const Reader reader : {Reader::Mp4, Reader::Asf, Reader::Flac, Reader::Vorbis,
                              Reader::Opus, Reader::OggFlac, Reader::Speex, Reader::Wav,
                              Reader::Aiff, Reader::Mpeg}) {
    if (std::find(order.begin(), order.end(), reader) == order.end()) order.push_back(reader);
  }
  for (const Reader reader : order) {
    stream.seek(0);
    if (!Fits(reader, &stream)) continue;
    stream.seek(0);
    out.recognised = true;
    ReadFile(reader, &stream, out);
    return out;
  }
  return out;
}

std::string WriteWithTagLib(const std::string& path, OutputKind kind, const TagSet& tags,
                            std::vector<std::string>& problems) {
  // TagLib opens some files that are not of the format at all (any bytes pass as MPEG when
  // audio properties are not read); the content must fit before anything is written.
  {
    TagLib::FileStream stream(path.c_str(), true);
    if (!stream.isOpen()) return "the file cannot be opened";
    Reader reader = Reader::Wav;
    switch (kind) {
      case OutputKind::Mp3: reader = Reader::Mpeg; break;
      case OutputKind::Mp4: reader = Reader::Mp4; break;
      case OutputKind::Wma: reader = Reader::Asf; break;
      case OutputKind::Wav: reader = Reader::Wav; break;
      case OutputKind::Flac: reader = Reader::Flac; break;
      case OutputKind::Opus: reader = Reader::Opus; break;
      case OutputKind::Vorbis: reader = Reader::Vorbis; break;
    }
    if (!Fits(reader, &stream)) return "the file's content is not of its format";
  }
  switch (kind) {
    case OutputKind::Mp3: return WriteMp3(path, tags, problems);
    case OutputKind::Mp4: return WriteMp4(path, tags, problems);
    case OutputKind::Wma: return WriteWma(path, tags, problems);
    case OutputKind::Wav: return WriteWav(path, tags, problems);
    case OutputKind::Flac: return WriteFlac(path, tags, problems);
    case OutputKind::Opus: return WriteOgg<TagLib::Ogg::Opus::File>(path, tags, "Opus", problems);
    case OutputKind::Vorbis:
      return WriteOgg<TagLib::Ogg::Vorbis::File>(path, tags, "Vorbis", problems);
  }
  return "unknown output format";
}

}  // namespace qv::tags::detail
