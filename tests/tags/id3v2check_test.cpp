// The frame walk over raw ID3v2 tags: intact tags of every version pass, and each kind of broken
// frame is found at its own offset, so the log can say where reading stopped.

#include <gtest/gtest.h>

#include "tags/id3v2check.h"
#include "tagtestutil.h"

namespace qv::test {
namespace {

using tags::CheckId3v2Frames;
using tags::Id3v2TagSize;

TEST(Id3v2Check, IntactTagsOfVersions3And4PassWithOrWithoutPadding) {
  for (const int version : {3, 4}) {
    for (const std::size_t padding : {0, 1, 300}) {
      const std::string tag = Id3Tag(version, {Id3Text(version, "TIT2", "Title"),
                                               Id3Comment(version, "comment")},
                                     padding);
      const auto check = CheckId3v2Frames(tag);
      EXPECT_TRUE(check.present && check.checked) << version << " " << padding;
      EXPECT_FALSE(check.damaged) << version << " " << padding << ": " << check.reason;
      EXPECT_EQ(check.tagBytes, tag.size());
    }
  }
}

TEST(Id3v2Check, PlainFrameSizesInAVersion4TagAreAccepted) {
  // 200 bytes stored as a plain integer has its high bit set in the last byte (0xC8): not
  // synchsafe, so it is read as plain, as the tag library does.
  const std::string payload = std::string(1, '\3') + std::string(199, 'x');
  const std::string frame = "TIT2" + BigEndian(200, 4) + std::string(2, '\0') + payload;
  const auto check = CheckId3v2Frames(Id3Tag(4, {frame}));
  EXPECT_FALSE(check.damaged) << check.reason;
}

TEST(Id3v2Check, EachKindOfBrokenFrameIsFoundWhereItStarts) {
  const std::string good = Id3Text(3, "TIT2", "Title");
  const std::size_t second = 10 + good.size();  // offset of the frame after it
  struct Case {
    const char* name;
    std::string tag;
    std::size_t offset;
  };
  const Case cases[] = {
      {"size past the end", Id3Tag(3, {good, Id3Frame(3, "TALB", "\0Album", 5000)}), second},
      {"empty frame", Id3Tag(3, {good, Id3Frame(3, "TALB", "", 0)}), second},
      {"invalid name", Id3Tag(3, {good, Id3Frame(3, "T@L\x01", "\0Album")}), second},
      {"header cut short", Id3Tag(3, {good, std::string("TAL")}), second},
      {"tag shorter than its header says", Id3Tag(3, {good}, 0, 500).substr(0, 20), 20},
  };
  for (const auto& c : cases) {
    const auto check = CheckId3v2Frames(c.tag);
    EXPECT_TRUE(check.damaged) << c.name;
    EXPECT_EQ(check.damageOffset, c.offset) << c.name;
    EXPECT_FALSE(check.reason.empty()) << c.name;
  }
}

TEST(Id3v2Check, NotATagOrAnUnwalkableOneIsNotCalledDamaged) {
  EXPECT_EQ(Id3v2TagSize("RIFF\0\0\0\0WAVE"), 0u);
  EXPECT_EQ(Id3v2TagSize("ID3\x05\0\0\0\0\0\0"), 0u);                  // unknown version
  EXPECT_EQ(Id3v2TagSize(std::string("ID3\x03\0\0\x80\0\0\0", 10)), 0u);  // size not synchsafe
  EXPECT_FALSE(CheckId3v2Frames("no tag at all").present);
  // Version 2.3 with whole-tag unsynchronisation: frame sizes do not match the stored bytes.
  std::string unsynced = Id3Tag(3, {Id3Frame(3, "TIT2", "\0x", 4000)});
  unsynced[5] = static_cast<char>(0x80);
  const auto check = CheckId3v2Frames(unsynced);
  EXPECT_TRUE(check.present);
  EXPECT_FALSE(check.checked);
  EXPECT_FALSE(check.damaged);
}

TEST(Id3v2Check, ExtendedHeaderAndFooterAreSteppedOver) {
  std::string tag = Id3Tag(4, {Id3Text(4, "TIT2", "Title")});
  // A version 2.4 extended header of 6 bytes (synchsafe size counting itself) after the header.
  const std::string extended = SyncSafe(6) + std::string(1, '\1') + std::string(1, '\0');
  std::string body = extended + tag.substr(10);
  std::string withExtended = "ID3\x04" + std::string(1, '\0') + std::string(1, '\x50') +
                             SyncSafe(static_cast<std::uint32_t>(body.size())) + body;
  withExtended += "3DI" + withExtended.substr(3, 7);  // the footer repeats the header
  const auto check = CheckId3v2Frames(withExtended);
  EXPECT_EQ(check.tagBytes, withExtended.size());
  EXPECT_FALSE(check.damaged) << check.reason;
}

}  // namespace
}  // namespace qv::test
