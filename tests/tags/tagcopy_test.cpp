// Tags and covers carried from every source format into every output format that has a tag
// container, checked through our own reader (TagLib) and through the ffprobe and ffmpeg
// programs; sources without tags, loudness fields that must stay behind, damaged, oversized and
// hostile tag blocks, write failures and video files.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "app/paths.h"
#include "support/tempdir.h"
#include "audio/metadata.h"
#include "tags/storedtags.h"
#include "tags/tags.h"
#include "taglibfixtures.h"
#include "tagtestutil.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
using tags::CopyTags;
using tags::FieldMap;
using tags::ReadTags;
using tags::TagCopyStatus;

constexpr const char* kSourceFormats[] = {"flac", "mp3", "m4a", "ogg", "wma", "wav"};
constexpr const char* kOutputFormats[] = {"mp3", "m4a",  "mp4",  "wma",
                                          "wav", "flac", "opus", "ogg"};

// The tag set of every source, under the ffmpeg program's names: accents, CJK, emoji.
const std::vector<std::pair<std::string, std::string>> kSourceTags = {
    {"title", "Tïtle ★ 漢字 😀"},
    {"artist", "Ärtist Ñame"},
    {"album", "Album 東京 – Ünïcode"},
    {"album_artist", "Album Ärtist"},
    {"track", "3/12"},
    {"disc", "1/2"},
    {"date", "2021"},
    {"genre", "Jazz"},
    {"comment", "Cömment with emoji 🎷"},
    {"composer", "Cömposer Ø"},
    {"copyright", "© 2021 Ïndie"},
};

// The same set as the tags module names it.
FieldMap ExpectedFields() {
  return {{"TITLE", {"Tïtle ★ 漢字 😀"}},
          {"ARTIST", {"Ärtist Ñame"}},
          {"ALBUM", {"Album 東京 – Ünïcode"}},
          {"ALBUMARTIST", {"Album Ärtist"}},
          {"TRACKNUMBER", {"3"}},
          {"TRACKTOTAL", {"12"}},
          {"DISCNUMBER", {"1"}},
          {"DISCTOTAL", {"2"}},
          {"DATE", {"2021"}},
          {"GENRE", {"Jazz"}},
          {"COMMENT", {"Cömment with emoji 🎷"}},
          {"COMPOSER", {"Cömposer Ø"}},
          {"COPYRIGHT", {"© 2021 Ïndie"}}};
}

// The outputs whose tag is a Vorbis comment: it keeps lists, and numbers apart from totals.
bool HasVorbisComment(const std::string& output) {
  return output == "flac" || output == "opus" || output == "ogg";
}

// What ffprobe shows of the set in each output: the generic names FFmpeg gives the native
// fields, and the names it passes through where it has none.
std::map<std::string, std::string> ExpectedFfprobe(const std::string& output) {
  if (HasVorbisComment(output)) {
    return {{"TITLE", "Tïtle ★ 漢字 😀"}, {"ARTIST", "Ärtist Ñame"},
            {"ALBUM", "Album 東京 – Ünïcode"}, {"album_artist", "Album Ärtist"},
            {"track", "3"}, {"TRACKTOTAL", "12"}, {"disc", "1"}, {"DISCTOTAL", "2"},
            {"DATE", "2021"}, {"GENRE", "Jazz"}, {"COMMENT", "Cömment with emoji 🎷"},
            {"COMPOSER", "Cömposer Ø"}, {"COPYRIGHT", "© 2021 Ïndie"}};
  }
  std::map<std::string, std::string> tags = {
      {"title", "Tïtle ★ 漢字 😀"}, {"artist", "Ärtist Ñame"}, {"album", "Album 東京 – Ünïcode"},
      {"genre", "Jazz"}, {"comment", "Cömment with emoji 🎷"}, {"copyright", "© 2021 Ïndie"}};
  if (output == "wav") {  // the INFO list, which FFmpeg prefers to the ID3v2 chunk
    tags["date"] = "2021";
    tags["track"] = "3";
    return tags;
  }
  tags["album_artist"] = "Album Ärtist";
  tags["composer"] = "Cömposer Ø";
  tags["disc"] = "1/2";
  if (output == "wma") {
    tags["track"] = "3";
    tags["TRACKTOTAL"] = "12";
    tags["WM/Year"] = "2021";
  } else {
    tags["track"] = "3/12";
    tags["date"] = "2021";
  }
  return tags;
}

std::string Base64(const std::string& bytes) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    std::uint32_t n = static_cast<unsigned char>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kAlphabet[n & 63] : '=';
  }
  return out;
}

// A FLAC picture block, the form in which Vorbis comments carry a cover.
std::string FlacPictureBlock(const std::string& mime, const std::string& data) {
  return BigEndian(3, 4) + BigEndian(static_cast<std::uint32_t>(mime.size()), 4) + mime +
         BigEndian(0, 4) + BigEndian(64, 4) + BigEndian(48, 4) + BigEndian(24, 4) +
         BigEndian(0, 4) + BigEndian(static_cast<std::uint32_t>(data.size()), 4) + data;
}

std::string MetadataArgs(const std::vector<std::pair<std::string, std::string>>& tags) {
  std::string args;
  for (const auto& [key, value] : tags) args += " -metadata " + ShellQuote(key + "=" + value);
  return args;
}

// The source set as an ID3v2.4 tag, written byte by byte.
std::string FullId3v2Tag(const std::string& cover) {
  return Id3Tag(4, {Id3Text(4, "TIT2", "Tïtle ★ 漢字 😀"), Id3Text(4, "TPE1", "Ärtist Ñame"),
                    Id3Text(4, "TALB", "Album 東京 – Ünïcode"), Id3Text(4, "TPE2", "Album Ärtist"),
                    Id3Text(4, "TRCK", "3/12"), Id3Text(4, "TPOS", "1/2"),
                    Id3Text(4, "TDRC", "2021"), Id3Text(4, "TCON", "Jazz"),
                    Id3Comment(4, "Cömment with emoji 🎷"), Id3Text(4, "TCOM", "Cömposer Ø"),
                    Id3Text(4, "TCOP", "© 2021 Ïndie"),
                    Id3UserText(4, "REPLAYGAIN_TRACK_GAIN", "-6.50 dB"),
                    Id3Frame(4, "COMM", std::string("\3eng", 4) + "iTunNORM" +
                                            std::string(1, '\0') + " 00000316 00000316"),
                    Id3Picture(4, "image/jpeg", cover)},
                200);
}

// Appends a chunk to a RIFF file and corrects the RIFF size.
void AppendWavChunk(const std::string& path, const std::string& id, const std::string& data) {
  std::string bytes = ReadBytes(path);
  std::string size;
  for (int i = 0; i < 4; ++i) size.push_back(static_cast<char>((data.size() >> (8 * i)) & 0xFF));
  bytes += id + size + data + (data.size() % 2 ? std::string(1, '\0') : std::string());
  const std::size_t riff = bytes.size() - 8;
  for (std::size_t i = 0; i < 4; ++i) bytes[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
  WriteBytes(path, bytes);
}

std::string Le32(std::size_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  return out;
}

// An APEv2 tag (items and a footer, as MP3 files carry it at their end). `binary` items hold
// bytes (a cover: a file name, a zero byte, the image), the others UTF-8 text.
std::string ApeTag(const std::vector<std::tuple<std::string, std::string, bool>>& items) {
  std::string body;
  for (const auto& [key, value, binary] : items) {
    body += Le32(value.size()) + Le32(binary ? 2 : 0) + key + std::string(1, '\0') + value;
  }
  const std::string footer = "APETAGEX" + Le32(2000) + Le32(body.size() + 32) +
                             Le32(items.size()) + Le32(0) + std::string(8, '\0');
  return body + footer;
}

// An ID3v1 tag: fixed Latin-1 fields at the end of the file.
std::string Id3v1Tag() {
  auto field = [](std::string text, std::size_t size) {
    text.resize(size, '\0');
    return text;
  };
  return "TAG" + field("Title v1", 30) + field("\xC4rtist \xD1" "ame", 30) +
         field("Album v1", 30) + "2021" + field("Comment v1", 28) + std::string(1, '\0') +
         std::string(1, '\3') + std::string(1, '\x08');  // track 3, genre 8 (Jazz)
}

const char* const kAudioIn = "-f lavfi -i sine=frequency=440:duration=0.3";
const char* const kExact = " -fflags +bitexact -flags:a +bitexact";

// Shared fixtures, made once: the cover, the tagged and untagged sources, the empty outputs.
class TagFiles : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TempDir;
    const std::string cover = s_dir->file("cover.jpg");
    ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=64x48:rate=1 -frames:v 1 -f mjpeg " +
                       ShellQuote(cover)));
    s_cover = new std::string(ReadBytes(cover));
    const std::string gain = MetadataArgs({{"REPLAYGAIN_TRACK_GAIN", "-6.50 dB"},
                                           {"REPLAYGAIN_TRACK_PEAK", "0.988"},
                                           {"REPLAYGAIN_ALBUM_GAIN", "-7.00 dB"}});
    const std::string meta = MetadataArgs(kSourceTags) + gain;
    const std::string pic = " -i " + ShellQuote(cover) +
                            " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic";
    const std::map<std::string, std::string> tagged = {
        {"mp3", pic + " -c:a libmp3lame -id3v2_version 3" + meta},
        {"m4a", pic + " -c:a aac" + meta},
        {"flac", pic + " -c:a flac" + meta},
        {"ogg", " -c:a libvorbis" + meta + " -metadata " +
                    ShellQuote("METADATA_BLOCK_PICTURE=" +
                               Base64(FlacPictureBlock("image/jpeg", *s_cover)))},
        {"wma", " -c:a wmav2" + meta},
        {"wav", " -c:a pcm_s16le" + meta},  // the INFO list; the ID3v2 chunk follows
    };
    for (const auto& [ext, args] : tagged) {
      ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + args + kExact + " " + Source(ext))) << ext;
    }
    // What the ffmpeg program cannot write: a cover in WMA, an ID3v2 chunk in WAV, iTunes'
    // free-form atoms.
    ASSERT_TRUE(AddCoverWithTagLib(Source("wma"), "image/jpeg", *s_cover));
    ASSERT_TRUE(AddAsfAttributeWithTagLib(Source("wma"), "WMFSDKVersion", "12.0.17763.1"));
    AppendWavChunk(Source("wav"), "id3 ", FullId3v2Tag(*s_cover));
    ASSERT_TRUE(AddMp4FreeformWithTagLib(Source("m4a"), "iTunNORM",
                                         " 00000316 00000316 00001F57 00001F57"));
    ASSERT_TRUE(AddMp4FreeformWithTagLib(Source("m4a"), "replaygain_track_gain", "-6.50 dB"));

    const std::map<std::string, std::string> codecs = {
        {"mp3", "-c:a libmp3lame -id3v2_version 0"}, {"m4a", "-c:a aac -f ipod"},
        {"mp4", "-c:a aac -f mp4"},                  {"wma", "-c:a wmav2"},
        {"wav", "-c:a pcm_s16le"},                   {"flac", "-c:a flac"},
        {"ogg", "-c:a libvorbis"},                   {"aac", "-c:a aac -f adts"},
        {"opus", "-c:a libopus"}};
    for (const auto& [ext, args] : codecs) {
      ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + " -map_metadata -1 " + args + kExact + " " +
                         Blank(ext)))
          << ext;
    }
  }
  static void TearDownTestSuite() {
    delete s_cover;
    delete s_dir;
  }

  static std::string Source(const std::string& ext) { return s_dir->file("source." + ext); }
  static std::string Blank(const std::string& ext) { return s_dir->file("blank." + ext); }
  static const std::string& Cover() { return *s_cover; }

  // A private copy of the untagged file of format `ext`, for one test to write into.
  std::string FreshOutput(const std::string& ext, const std::string& name = "out") {
    const std::string path = m_dir.file(name + "." + ext);
    fs::copy_file(Blank(ext), path, fs::copy_options::overwrite_existing);
    return path;
  }

  // An MP3 whose tag is `tag` (built by hand) followed by untagged MP3 audio.
  std::string Mp3WithTag(const std::string& tag, const std::string& name) {
    const std::string path = m_dir.file(name + ".mp3");
    WriteBytes(path, tag + ReadBytes(Blank("mp3")));
    return path;
  }

  TempDir m_dir;

 private:
  static TempDir* s_dir;
  static std::string* s_cover;
};

TempDir* TagFiles::s_dir = nullptr;
std::string* TagFiles::s_cover = nullptr;

bool HasKeyContaining(const std::map<std::string, std::string>& tags, const std::string& part) {
  return std::any_of(tags.begin(), tags.end(), [&](const auto& entry) {
    std::string key = entry.first;
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    return key.find(part) != std::string::npos;
  });
}

// ---- the matrix ----

class TagMatrix : public TagFiles,
                  public ::testing::WithParamInterface<std::tuple<const char*, const char*>> {};

TEST_P(TagMatrix, EveryFieldAndTheCoverArriveExactly) {
  const std::string source = Source(std::get<0>(GetParam()));
  const std::string format = std::get<1>(GetParam());
  const std::string output = FreshOutput(format);

  const auto copied = CopyTags(source, output, format);
  ASSERT_EQ(copied.status, TagCopyStatus::Copied) << copied.error;
  EXPECT_TRUE(copied.skipped.empty()) << copied.logText;
  EXPECT_TRUE(copied.logText.empty());

  // Through TagLib: the same fields, nothing more (no gain values), the same cover bytes.
  const auto back = ReadTags(output);
  EXPECT_EQ(back.tags.fields, ExpectedFields());
  ASSERT_TRUE(back.tags.cover);
  EXPECT_TRUE(back.tags.cover->data == Cover());
  EXPECT_EQ(back.tags.cover->mimeType, "image/jpeg");

  // Through ffprobe and ffmpeg: FFmpeg reads the output's native tag format the same way.
  const auto probed = FfprobeTags(output, m_dir.str());
  for (const auto& [key, value] : ExpectedFfprobe(format)) {
    const auto it = probed.find(key);
    EXPECT_TRUE(it != probed.end() && it->second == value)
        << key << " in " << format << ": " << (it == probed.end() ? "(none)" : it->second);
  }
  EXPECT_FALSE(HasKeyContaining(probed, "replaygain"));
  EXPECT_FALSE(HasKeyContaining(probed, "itunnorm"));
  EXPECT_TRUE(FfmpegCover(output, m_dir.str()) == Cover()) << "cover via ffmpeg in " << format;
}

INSTANTIATE_TEST_SUITE_P(
    SourcesByOutputs, TagMatrix,
    ::testing::Combine(::testing::ValuesIn(kSourceFormats), ::testing::ValuesIn(kOutputFormats)),
    [](const auto& param) {
      return std::string(std::get<0>(param.param)) + "_to_" + std::get<1>(param.param);
    });

// ---- sources ----

TEST_F(TagFiles, EverySourceFormatIsReadWhole_LoudnessFieldsAreDropped) {
  for (const char* ext : kSourceFormats) {
    const auto read = ReadTags(Source(ext));
    EXPECT_EQ(read.tags.fields, ExpectedFields()) << ext;
    ASSERT_TRUE(read.tags.cover) << ext;
    EXPECT_TRUE(read.tags.cover->data == Cover()) << ext;
    EXPECT_TRUE(read.problems.empty()) << ext << ": " << read.problems.front();
    const bool droppedGain = std::any_of(read.dropped.begin(), read.dropped.end(),
                                         [](const std::string& key) {
                                           return key.find("REPLAYGAIN") != std::string::npos ||
                                                  key.find("replaygain") != std::string::npos;
                                         });
    EXPECT_TRUE(droppedGain) << ext;
  }
}

TEST_F(TagFiles, OtherTagFormatsOfTheSourcesAreRead) {
  // RIFF INFO alone, ID3v1 alone, ID3v2 in AIFF.
  const std::string info = m_dir.file("info.wav");
  const std::string aiff = m_dir.file("id3.aiff");
  const std::string meta = MetadataArgs(kSourceTags);
  ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + meta + kExact + " " + ShellQuote(info)));
  ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + meta + " -write_id3v2 1" + kExact + " " +
                     ShellQuote(aiff)));

  FieldMap fromInfo = ExpectedFields();
  for (const char* key : {"ALBUMARTIST", "COMPOSER", "DISCNUMBER", "DISCTOTAL"}) {
    fromInfo.erase(key);  // INFO has no chunks for them
  }
  EXPECT_EQ(ReadTags(info).tags.fields, fromInfo);

  const std::string v1 = m_dir.file("v1.mp3");
  WriteBytes(v1, ReadBytes(Blank("mp3")) + Id3v1Tag());
  EXPECT_EQ(ReadTags(v1).tags.fields, (FieldMap{{"TITLE", {"Title v1"}},
                                                {"ARTIST", {"Ärtist Ñame"}},
                                                {"ALBUM", {"Album v1"}},
                                                {"DATE", {"2021"}},
                                                {"COMMENT", {"Comment v1"}},
                                                {"TRACKNUMBER", {"3"}},
                                                {"GENRE", {"Jazz"}}}));

  EXPECT_EQ(ReadTags(aiff).tags.fields, ExpectedFields());

  const std::string ape = m_dir.file("ape.mp3");
  WriteBytes(ape, ReadBytes(Blank("mp3")) +
                      ApeTag({{"Title", "Tïtle ☂", false}, {"Artist", "Ärtist", false},
                              {"Album Artist", "Älbum Ärtist", false}, {"Track", "3/12", false},
                              {"REPLAYGAIN_TRACK_GAIN", "-3.00 dB", false},
                              {"Cover Art (Front)", "cover.jpg" + std::string(1, '\0') + Cover(),
                               true}}));
  const auto fromApe = ReadTags(ape).tags;
  EXPECT_EQ(fromApe.fields, (FieldMap{{"TITLE", {"Tïtle ☂"}}, {"ARTIST", {"Ärtist"}},
                                      {"ALBUMARTIST", {"Älbum Ärtist"}},
                                      {"TRACKNUMBER", {"3"}}, {"TRACKTOTAL", {"12"}}}));
  ASSERT_TRUE(fromApe.cover);
  EXPECT_TRUE(fromApe.cover->data == Cover());

  // A cover in the older COVERART comment (base64 of the image itself).
  const std::string legacy = m_dir.file("legacy.ogg");
  ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + " -c:a libvorbis -metadata title=Old -metadata " +
                     ShellQuote("COVERART=" + Base64(Cover())) +
                     " -metadata COVERARTMIME=image/jpeg" + kExact + " " +
                     ShellQuote(legacy)));
  const auto old = ReadTags(legacy).tags;
  EXPECT_EQ(old.fields, (FieldMap{{"TITLE", {"Old"}}}));
  ASSERT_TRUE(old.cover);
  EXPECT_TRUE(old.cover->data == Cover());
  EXPECT_EQ(old.cover->mimeType, "image/jpeg");

  // Opus and Speex in Ogg, under the same .ogg name as Vorbis.
  for (const auto& [codec, rate] :
       {std::pair{"libopus", "48000"}, std::pair{"libspeex", "16000"}}) {
    const std::string ogg = m_dir.file(std::string(codec) + ".ogg");
    ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + " -ar " + rate + " -c:a " + codec + meta + kExact +
                       " " + ShellQuote(ogg)))
        << codec;
    EXPECT_EQ(ReadTags(ogg).tags.fields, ExpectedFields()) << codec;
  }
}

TEST_F(TagFiles, AVideoGivesItsSoundTrackTheTagsOfTheVideoFile) {
  const std::string meta = MetadataArgs({{"title", "Clïp 映像"}, {"artist", "Dïrector"},
                                         {"album", "Fïlms"}, {"date", "2020"}});
  for (const char* ext : {"mp4", "mov", "m4v", "avi", "mkv", "flv", "mpg"}) {
    const std::string video = m_dir.file(std::string("clip.") + ext);
    const std::string muxer = std::string(ext) == "m4v" ? " -f mp4" : "";  // not raw MPEG-4
    ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=32x24:rate=25:duration=0.4 " +
                       std::string(kAudioIn) + meta + kExact + muxer + " " + ShellQuote(video)))
        << ext;
    const auto read = ReadTags(video);
    const auto title = read.tags.fields.find("TITLE");
    if (std::string(ext) == "mpg") {
      // MPEG program streams have no tags at all: nothing to carry, nothing to complain about.
      EXPECT_TRUE(read.tags.Empty());
      EXPECT_TRUE(read.problems.empty());
      continue;
    }
    ASSERT_NE(title, read.tags.fields.end()) << ext;
    EXPECT_EQ(title->second, std::vector<std::string>{"Clïp 映像"}) << ext;
    EXPECT_EQ(read.tags.fields.at("ARTIST"), std::vector<std::string>{"Dïrector"}) << ext;

    const std::string output = FreshOutput("mp3", std::string("from-") + ext);
    ASSERT_EQ(CopyTags(video, output, "mp3").status, TagCopyStatus::Copied) << ext;
    EXPECT_EQ(FfprobeTags(output, m_dir.str())["title"], "Clïp 映像") << ext;
  }
}

// ---- outputs ----

TEST_F(TagFiles, ASourceWithoutTagsGivesAnOutputWithoutTags) {
  for (const char* ext : kSourceFormats) {
    for (const char* format : kOutputFormats) {
      const std::string output = FreshOutput(format);
      const std::string before = ReadBytes(output);
      const auto copied = CopyTags(Blank(ext), output, format);
      EXPECT_EQ(copied.status, TagCopyStatus::NothingToCopy) << ext << " to " << format;
      EXPECT_TRUE(copied.logText.empty()) << copied.logText;
      EXPECT_TRUE(ReadBytes(output) == before) << ext << " to " << format;
      const auto read = ReadTags(output);
      EXPECT_TRUE(read.tags.Empty()) << ext << " to " << format;
      auto probed = FfprobeTags(output, m_dir.str());
      // What the container says about itself: MP4's brands, the Ogg comment packet's vendor
      // text (which FFmpeg shows as "encoder").
      for (const char* container : {"major_brand", "minor_version", "compatible_brands",
                                    "encoder"}) {
        probed.erase(container);
      }
      EXPECT_TRUE(probed.empty()) << ext << " to " << format << ": " << probed.begin()->first;
    }
  }
}

TEST_F(TagFiles, RawAacStaysUntaggedAndUntouched) {
  const std::string output = FreshOutput("aac");
  const std::string before = ReadBytes(output);
  for (const char* key : {"aac", "AAC"}) {
    const auto copied = CopyTags(Source("flac"), output, key);
    EXPECT_EQ(copied.status, TagCopyStatus::NoTagFormat);
    EXPECT_TRUE(copied.ok());
  }
  EXPECT_TRUE(ReadBytes(output) == before);
}

TEST_F(TagFiles, FormatKeysInAnyCaseAndRepeatedCopiesReplaceTheTag) {
  const std::string output = FreshOutput("m4a");
  ASSERT_EQ(CopyTags(Source("mp3"), output, "M4A").status, TagCopyStatus::Copied);
  // A second copy from another source replaces the whole tag: no field of the first remains.
  const std::string other = Mp3WithTag(Id3Tag(4, {Id3Text(4, "TIT2", "Only this")}), "other");
  ASSERT_EQ(CopyTags(other, output, "m4a").status, TagCopyStatus::Copied);
  const auto read = ReadTags(output);
  EXPECT_EQ(read.tags.fields, (FieldMap{{"TITLE", {"Only this"}}}));
  EXPECT_FALSE(read.tags.cover);
}

TEST_F(TagFiles, SeveralValuesAndCustomFieldsAreCarried) {
  const std::string source = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TPE1", std::string("Fïrst\0Second", 13)),
                 Id3Text(4, "TMOO", "cälm"), Id3UserText(4, "MY FIELD", "cüstom ✓"),
                 Id3Text(4, "TPE3", "Cönductor"), Id3Text(4, "TBPM", "120")}),
      "multi");
  for (const char* format : kOutputFormats) {
    const std::string output = FreshOutput(format);
    ASSERT_EQ(CopyTags(source, output, format).status, TagCopyStatus::Copied) << format;
    const auto fields = ReadTags(output).tags.fields;
    // Every tag format keeps several artists as a list: ID3v2.4 and Vorbis comments natively,
    // MP4 as several values of one atom, WMA as repeated attributes.
    EXPECT_EQ(fields.at("ARTIST"), (std::vector<std::string>{"Fïrst", "Second"})) << format;
    EXPECT_EQ(fields.at("MOOD"), std::vector<std::string>{"cälm"}) << format;
    EXPECT_EQ(fields.at("MY FIELD"), std::vector<std::string>{"cüstom ✓"}) << format;
    EXPECT_EQ(fields.at("CONDUCTOR"), std::vector<std::string>{"Cönductor"}) << format;
    EXPECT_EQ(fields.at("BPM"), std::vector<std::string>{"120"}) << format;
    if (std::string(format) != "wav") {
      EXPECT_EQ(FfprobeTags(output, m_dir.str())["MY FIELD"], "cüstom ✓") << format;
    }
  }
}

// Several artists, album artists and custom values in M4A, MP4 and WMA, as TagLib reads the
// atoms and attributes themselves; a player that shows one value finds the first artist. (WMA
// keeps the first of repeated attributes in another header object than the others, so only
// the artists, whose first is also the content description's, come back in their order.)
TEST_F(TagFiles, SeveralValuesStayAListInMp4AndWma) {
  const std::string source = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TPE1", std::string("Ä\0B\0C", 7)),
                 Id3Text(4, "TPE2", std::string("Duo Ö\0Duo P", 13)),
                 Id3UserText(4, "MOOD", std::string("calm\0warm", 9))}),
      "artists");
  for (const char* format : {"m4a", "mp4", "wma"}) {
    const std::string output = FreshOutput(format);
    ASSERT_EQ(CopyTags(source, output, format).status, TagCopyStatus::Copied) << format;
    const bool wma = std::string(format) == "wma";
    const auto values = [wma](std::vector<std::string> list) {
      if (wma) std::sort(list.begin(), list.end());
      return list;
    };
    EXPECT_EQ(values(TagLibValues(output, wma ? "Author" : "\xA9" "ART")), values({"Ä", "B", "C"}))
        << format;
    EXPECT_EQ(values(TagLibValues(output, wma ? "WM/AlbumArtist" : "aART")),
              values({"Duo Ö", "Duo P"}))
        << format;
    EXPECT_EQ(values(ReadTags(output).tags.fields.at("MOOD")), values({"calm", "warm"})) << format;
    EXPECT_EQ(ReadTags(output).tags.fields.at("ARTIST"), (std::vector<std::string>{"Ä", "B", "C"}))
        << format;
    EXPECT_EQ(FfprobeTags(output, m_dir.str())["artist"].rfind("Ä", 0), 0u) << format;
  }
}

// Text that is not UTF-8 (a Vorbis comment, an ID3v2 frame that declares UTF-8, a Matroska
// tag) is left out and named; the rest of the tag arrives.
TEST_F(TagFiles, TextThatIsNotUtf8IsLeftOutAndNamed) {
  const std::string bad = "Bad \xFF\xFE name";
  const std::string flac = m_dir.file("bad.flac"), mka = m_dir.file("bad.mka");
  for (const std::string& path : {flac, mka}) {
    ASSERT_TRUE(Ffmpeg(std::string(kAudioIn) + MetadataArgs({{"title", "Good"}, {"artist", bad}}) +
                       " " + ShellQuote(path)));
  }
  const std::string mp3 = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TIT2", "Good"), Id3Frame(4, "TPE1", "\3" + bad)}), "bad");
  for (const std::string& source : {flac, mka, mp3}) {
    const std::string output = FreshOutput("mp3");
    const auto copied = CopyTags(source, output, "mp3");
    ASSERT_EQ(copied.status, TagCopyStatus::Copied) << source;
    EXPECT_NE(copied.logText.find("ARTIST holds text that is not valid UTF-8 and was left out"),
              std::string::npos)
        << source << ": " << copied.logText;
    EXPECT_EQ(ReadTags(output).tags.fields, (FieldMap{{"TITLE", {"Good"}}})) << source;
  }
}

TEST_F(TagFiles, AWriteFailureIsReportedAndTheFileStaysAsItWas) {
  // Not a file of its format: the tag library refuses it.
  const std::string notMp3 = m_dir.file("noise.mp3");
  WriteBytes(notMp3, std::string(5000, 'x'));
  const auto refused = CopyTags(Source("flac"), notMp3, "mp3");
  EXPECT_EQ(refused.status, TagCopyStatus::Failed);
  EXPECT_FALSE(refused.ok());
  EXPECT_FALSE(refused.error.empty());
  EXPECT_NE(refused.logText.find(notMp3), std::string::npos);
  EXPECT_TRUE(ReadBytes(notMp3) == std::string(5000, 'x'));

  // An M4A output cut short: its atoms run past the end of the file.
  const std::string cut = FreshOutput("m4a", "cut");
  const std::string whole = ReadBytes(cut);
  WriteBytes(cut, whole.substr(0, whole.size() / 2));
  const std::string half = ReadBytes(cut);
  CopyTags(Source("mp3"), cut, "m4a");
  EXPECT_TRUE(ReadBytes(cut) == half || ReadTags(cut).tags.fields == ExpectedFields());

  const auto missing = CopyTags(Source("flac"), m_dir.file("gone.wav"), "wav");
  EXPECT_EQ(missing.status, TagCopyStatus::Failed);
  EXPECT_FALSE(fs::exists(m_dir.file("gone.wav")));

  // No scratch copy is left behind by any of them.
  for (const auto& entry : fs::directory_iterator(m_dir.path())) {
    EXPECT_NE(entry.path().filename().string().rfind(".qvtags", 0), 0u) << entry.path();
  }
}

TEST_F(TagFiles, TheOutputKeepsItsPermissionsAndItsAudio) {
  const std::string output = FreshOutput("wav");
  fs::permissions(output, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const std::string audio = ReadBytes(output).substr(44);  // the 16-bit samples of the blank
  ASSERT_EQ(CopyTags(Source("mp3"), output, "wav").status, TagCopyStatus::Copied);
  EXPECT_EQ(fs::status(output).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_NE(ReadBytes(output).find(audio), std::string::npos);
}

// ---- damaged, oversized and hostile sources ----

TEST_F(TagFiles, DamagedId3v2FramesAreLeftOutAndNamed) {
  struct Case {
    const char* name;
    std::string tag;
    const char* said;  // part of the log's sentence
  };
  const std::string title = Id3Text(3, "TIT2", "Saved title");  // Latin-1 in version 2.3
  const std::string secondFrame = "damaged at byte " + std::to_string(10 + title.size());
  const Case cases[] = {
      {"frame size past the end",
       Id3Tag(3, {title, Id3Frame(3, "TALB", std::string(1, '\0') + "Album", 100000)}),
       secondFrame.c_str()},
      {"garbage frame name", Id3Tag(3, {title, Id3Frame(3, "\x01\x02\x03\x04", "junk")}),
       "invalid name"},
      {"unknown text encoding",
       Id3Tag(4, {Id3Text(4, "TIT2", "Saved title"), Id3Frame(4, "TALB", "\x09" "Album")}),
       "unknown text encoding"},
  };
  for (const auto& c : cases) {
    const std::string source = Mp3WithTag(c.tag, "damaged");
    const std::string output = FreshOutput("m4a");
    const auto copied = CopyTags(source, output, "m4a");
    ASSERT_EQ(copied.status, TagCopyStatus::Copied) << c.name;
    EXPECT_NE(copied.logText.find(c.said), std::string::npos) << c.name << ": " << copied.logText;
    EXPECT_NE(copied.logText.find(source), std::string::npos) << c.name;
    const auto fields = ReadTags(output).tags.fields;
    EXPECT_EQ(fields, (FieldMap{{"TITLE", {"Saved title"}}})) << c.name;
  }
}

TEST_F(TagFiles, HostileTagHeadersNeverFailTheCopy) {
  // A header that claims 256 MB, an empty tag, a tag and nothing else, random bytes after "ID3".
  const std::string junk = [] {
    std::string s;
    std::uint32_t seed = 12345;
    for (int i = 0; i < 4000; ++i) {
      seed = seed * 1664525u + 1013904223u;
      s.push_back(static_cast<char>(seed >> 24));
    }
    return s;
  }();
  const std::string sources[] = {
      Id3Tag(4, {Id3Text(4, "TIT2", "x")}, 0, 0x0FFFFFFF), Id3Tag(3, {}),
      "ID3\x04" + std::string(2, '\0') + SyncSafe(4000) + junk,
  };
  for (std::size_t i = 0; i < std::size(sources); ++i) {
    const std::string source = Mp3WithTag(sources[i], "hostile" + std::to_string(i));
    for (const char* format : kOutputFormats) {
      const std::string output = FreshOutput(format);
      const auto copied = CopyTags(source, output, format);
      EXPECT_TRUE(copied.ok()) << i << " " << format << ": " << copied.error;
    }
  }
  // Thousands of broken frames: the copy goes on, and the log names the first few only.
  std::vector<std::string> broken(3000, Id3Frame(4, "TALB", "\x07x"));
  broken.push_back(Id3Text(4, "TIT2", "Kept"));
  const auto many = CopyTags(Mp3WithTag(Id3Tag(4, broken), "many"), FreshOutput("mp3"), "mp3");
  EXPECT_EQ(many.status, TagCopyStatus::Copied);
  EXPECT_LE(many.skipped.size(), 11u);
  EXPECT_LT(many.logText.size(), 2000u);

  const std::string onlyTag = m_dir.file("only-tag.mp3");
  WriteBytes(onlyTag, Id3Tag(4, {Id3Text(4, "TIT2", "x")}));
  EXPECT_TRUE(CopyTags(onlyTag, FreshOutput("mp3"), "mp3").ok());
}

TEST_F(TagFiles, AFiveMegabyteCommentIsLeftOutAndTheRestArrives) {
  const std::string huge(5 * 1024 * 1024, 'c');
  const std::string source = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TIT2", "Tïtle"), Id3Comment(4, huge), Id3Text(4, "TPE1", "Ärtist")}),
      "huge-comment");
  for (const char* format : kOutputFormats) {
    const std::string output = FreshOutput(format);
    const auto copied = CopyTags(source, output, format);
    ASSERT_EQ(copied.status, TagCopyStatus::Copied) << format;
    EXPECT_NE(copied.logText.find("COMMENT (5.0 MB)"), std::string::npos) << copied.logText;
    EXPECT_EQ(ReadTags(output).tags.fields,
              (FieldMap{{"TITLE", {"Tïtle"}}, {"ARTIST", {"Ärtist"}}}))
        << format;
  }
}

TEST_F(TagFiles, LongTextsArriveExceptWhereWmaHasNoRoomForThem) {
  // WMA keeps the comment in a structure with 16-bit lengths; lyrics go into an attribute that
  // can hold them. Every other format takes both.
  const std::string comment(40000, 'c');
  const std::string lyrics(100000, 'l');
  const std::string source = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TIT2", "Löng"), Id3Comment(4, comment),
                 Id3Frame(4, "USLT", std::string("\3eng", 4) + std::string(1, '\0') + lyrics)}),
      "long");
  for (const char* format : kOutputFormats) {
    const std::string output = FreshOutput(format);
    const auto copied = CopyTags(source, output, format);
    ASSERT_EQ(copied.status, TagCopyStatus::Copied) << format;
    const auto fields = ReadTags(output).tags.fields;
    EXPECT_EQ(fields.at("TITLE"), std::vector<std::string>{"Löng"}) << format;
    EXPECT_EQ(fields.at("LYRICS"), std::vector<std::string>{lyrics}) << format;
    EXPECT_EQ(FfprobeTags(output, m_dir.str())[HasVorbisComment(format) ? "TITLE" : "title"],
              "Löng")
        << format;
    if (std::string(format) == "wma") {
      EXPECT_EQ(fields.count("COMMENT"), 0u);
      EXPECT_NE(copied.logText.find("COMMENT is too long for WMA"), std::string::npos)
          << copied.logText;
    } else {
      EXPECT_EQ(fields.at("COMMENT"), std::vector<std::string>{comment}) << format;
      EXPECT_TRUE(copied.logText.empty()) << copied.logText;
    }
  }
}

TEST_F(TagFiles, CoversUpTo20MegabytesArriveWholeLargerOnesAreNamed) {
  // A JPEG with padding after its end marker: readers ignore it, the bytes must stay.
  std::string big = Cover();
  big.resize(tags::kMaxCoverBytes, '\0');
  const std::string source =
      Mp3WithTag(Id3Tag(4, {Id3Text(4, "TIT2", "Big"), Id3Picture(4, "image/jpeg", big)}), "big");
  for (const char* format : kOutputFormats) {
    const std::string output = FreshOutput(format);
    const auto copied = CopyTags(source, output, format);
    ASSERT_EQ(copied.status, TagCopyStatus::Copied) << format;
    const auto back = ReadTags(output);
    if (std::string(format) == "flac") {
      // A FLAC metadata block holds less than 16 MiB.
      EXPECT_NE(copied.logText.find("larger than the 16.0 MB a FLAC picture block can hold"),
                std::string::npos)
          << copied.logText;
      EXPECT_FALSE(back.tags.cover);
      EXPECT_EQ(back.tags.fields, (FieldMap{{"TITLE", {"Big"}}}));
      continue;
    }
    EXPECT_TRUE(copied.skipped.empty()) << copied.logText;
    ASSERT_TRUE(back.tags.cover) << format;
    EXPECT_TRUE(back.tags.cover->data == big) << format;
  }

  big.push_back('\0');
  const std::string tooBig = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TIT2", "Big"), Id3Picture(4, "image/jpeg", big)}), "too-big");
  const std::string output = FreshOutput("m4a");
  const auto copied = CopyTags(tooBig, output, "m4a");
  ASSERT_EQ(copied.status, TagCopyStatus::Copied);
  EXPECT_NE(copied.logText.find("cover"), std::string::npos) << copied.logText;
  const auto back = ReadTags(output);
  EXPECT_FALSE(back.tags.cover);
  EXPECT_EQ(back.tags.fields, (FieldMap{{"TITLE", {"Big"}}}));
}

// WMA keeps a 1 MB title nowhere a player reads it (the content description's fields hold
// 32766 characters): it is left out, and the log says why. A large cover goes into the
// metadata library object, whose attributes have 32-bit sizes, and arrives whole.
TEST_F(TagFiles, AWmaOutputTakesALargeCoverButNotAMegabyteTitle) {
  std::string cover = Cover();
  cover.resize(3 * 1024 * 1024, '\0');
  const std::string source = Mp3WithTag(
      Id3Tag(4, {Id3Text(4, "TIT2", std::string(1000000, 't')), Id3Text(4, "TPE1", "Ärtist"),
                 Id3Picture(4, "image/jpeg", cover)}),
      "wma-limits");
  const std::string output = FreshOutput("wma");
  const auto copied = CopyTags(source, output, "wma");
  ASSERT_EQ(copied.status, TagCopyStatus::Copied);
  EXPECT_NE(copied.logText.find("TITLE is too long for WMA and was left out: WMA keeps it in its "
                                "content description, which holds at most 32766 characters"),
            std::string::npos)
      << copied.logText;
  const auto back = ReadTags(output);
  EXPECT_EQ(back.tags.fields, (FieldMap{{"ARTIST", {"Ärtist"}}}));
  ASSERT_TRUE(back.tags.cover);
  EXPECT_TRUE(back.tags.cover->data == cover);
  EXPECT_EQ(FfprobeTags(output, m_dir.str())["artist"], "Ärtist");
}

TEST_F(TagFiles, TheFrontCoverIsChosenOverOtherPictures) {
  const std::string back = Cover() + "back";
  const std::string front = Cover() + "front";
  const std::string withFront = Mp3WithTag(
      Id3Tag(4, {Id3Picture(4, "image/jpeg", back, '\4'), Id3Picture(4, "image/jpeg", front)}),
      "front");
  ASSERT_TRUE(ReadTags(withFront).tags.cover);
  EXPECT_TRUE(ReadTags(withFront).tags.cover->data == front);
  // None marked as the front cover: the first one. A missing type is found from the bytes.
  const std::string noFront = Mp3WithTag(
      Id3Tag(4, {Id3Picture(4, "", back, '\4'), Id3Picture(4, "image/jpeg", front, '\0')}),
      "no-front");
  const auto cover = ReadTags(noFront).tags.cover;
  ASSERT_TRUE(cover);
  EXPECT_TRUE(cover->data == back);
  EXPECT_EQ(cover->mimeType, "image/jpeg");
}

// A row keeps its file's tags from the add (StoreTags) and its conversion takes them back with
// the cover its decoder read (RestoreTags): exactly what reading the file again gives, or
// nothing, so that the file is read again; never another picture or fewer fields.
TEST_F(TagFiles, TagsKeptSinceTheAddComeBackExactlyOrNotAtAll) {
  const std::string back = Cover() + "back";
  const std::string front = Cover() + "front";
  const std::string backFirst = Mp3WithTag(
      Id3Tag(4, {Id3Picture(4, "image/jpeg", back, '\4'), Id3Picture(4, "image/jpeg", front)}),
      "back-first");
  const std::string hugeComment = Mp3WithTag(Id3Tag(4, {Id3Comment(4, std::string(5000, 'x'))}),
                                             "long-comment");
  struct Case {
    std::string path;
    bool restored;  // the kept tags come back (else the conversion reads the file)
  };
  std::vector<Case> cases = {{backFirst, false}, {hugeComment, false}, {Blank("mp3"), true}};
  for (const char* ext : kSourceFormats) cases.push_back({Source(ext), true});
  for (const Case& c : cases) {
    const tags::ReadResult direct = ReadTags(c.path);
    const audio::ContainerMetadata container =
        audio::ReadContainerMetadata(c.path, audio::kMaxCoverBytes);
    tags::ReadResult restored;
    ASSERT_EQ(tags::RestoreTags(tags::StoreTags(direct), &container, restored), c.restored)
        << c.path;
    if (!c.restored) continue;
    EXPECT_EQ(restored.tags.fields, direct.tags.fields) << c.path;
    EXPECT_EQ(restored.problems, direct.problems) << c.path;
    EXPECT_EQ(restored.dropped, direct.dropped) << c.path;
    ASSERT_EQ(!!restored.tags.cover, !!direct.tags.cover) << c.path;
    if (!direct.tags.cover) continue;
    EXPECT_TRUE(restored.tags.cover->data == direct.tags.cover->data) << c.path;
    EXPECT_EQ(restored.tags.cover->mimeType, direct.tags.cover->mimeType) << c.path;
    EXPECT_EQ(restored.tags.cover->description, direct.tags.cover->description) << c.path;
    // Without the decoder's pictures a cover cannot come back.
    EXPECT_FALSE(tags::RestoreTags(tags::StoreTags(direct), nullptr, restored)) << c.path;
  }
}

TEST_F(TagFiles, SourcesThatAreNotFilesOrNotMediaGiveNothingToCopy) {
  const std::string text = m_dir.file("notes.mp3");
  WriteBytes(text, "just some text, not audio at all");
  const std::string fifo = m_dir.file("pipe.flac");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& source : {text, fifo, m_dir.str(), m_dir.file("missing.wav")}) {
    const std::string output = FreshOutput("mp3");
    const auto copied = CopyTags(source, output, "mp3");
    EXPECT_EQ(copied.status, TagCopyStatus::NothingToCopy) << source;
  }
}

}  // namespace
}  // namespace qv::test
