// The output formats and their bitrates: the MP3 format table's records, the look-ups, the
// lists each format offers and which entry each one selects.

#include <gtest/gtest.h>

#include <iterator>

#include "convert/formats.h"

namespace qv {
namespace {

TEST(FormatsTest, Mp3RecordsAskForStereoLayer3AtTheirRateAndBitrate) {
  const int rates[] = {48000, 44100, 32000};
  const int kbps[] = {320, 256, 224, 192, 160, 128, 112, 96};
  for (int row = 0; row < kMp3BitrateRows; ++row) {
    for (int column = 0; column < kMp3RateColumns; ++column) {
      SCOPED_TRACE(testing::Message() << row << "," << column);
      const MPEGLAYER3WAVEFORMAT& f = kMp3Formats[row][column];
      EXPECT_EQ(WORD{f.wfx.wFormatTag}, 0x0055);
      EXPECT_EQ(WORD{f.wfx.nChannels}, 2);
      EXPECT_EQ(DWORD{f.wfx.nSamplesPerSec}, static_cast<DWORD>(rates[column]));
      EXPECT_EQ(DWORD{f.wfx.nAvgBytesPerSec}, static_cast<DWORD>(kbps[row] * 125));
      EXPECT_EQ(WORD{f.wfx.nBlockAlign}, 1);
      EXPECT_EQ(WORD{f.wfx.wBitsPerSample}, 0);
      EXPECT_EQ(WORD{f.wfx.cbSize}, 12);
      EXPECT_EQ(WORD{f.wID}, 1);
      EXPECT_EQ(DWORD{f.fdwFlags}, 2u);  // copies: the packed fields may sit unaligned
      EXPECT_EQ(WORD{f.nBlockSize}, 144 * kbps[row] * 1000 / rates[column]);
      EXPECT_EQ(WORD{f.nFramesPerBlock}, 1);
      EXPECT_EQ(WORD{f.nCodecDelay}, 0);
      EXPECT_EQ(Mp3BitrateKbps(static_cast<unsigned>(row), static_cast<unsigned>(column)),
                kbps[row]);
    }
  }
  // Frame sizes worked out by hand.
  EXPECT_EQ(WORD{kMp3Formats[0][0].nBlockSize}, 960);
  EXPECT_EQ(WORD{kMp3Formats[0][1].nBlockSize}, 1044);
  EXPECT_EQ(WORD{kMp3Formats[0][2].nBlockSize}, 1440);
  EXPECT_EQ(WORD{kMp3Formats[5][1].nBlockSize}, 417);
  EXPECT_EQ(WORD{kMp3Formats[7][2].nBlockSize}, 432);
  // The records are packed as the codec reads them: 18 common bytes plus cbSize.
  EXPECT_EQ(sizeof(MPEGLAYER3WAVEFORMAT), 30u);
}

TEST(FormatsTest, LookUpsAndTheirLimits) {
  EXPECT_EQ(Mp3BitrateKbps(8, 0), 0);
  EXPECT_EQ(Mp3BitrateKbps(0, 3), 0);
  EXPECT_EQ(Mp3BitrateKbps(static_cast<unsigned>(-1), 0), 0);
  EXPECT_EQ(FindMp3BitrateRow(191), -1);
  EXPECT_EQ(FindMp3BitrateRow(96), 7);
  EXPECT_EQ(FindMp3BitrateRow(320), 0);
  EXPECT_EQ(FindMp3BitrateRow(0), -1);
  EXPECT_STREQ(AacOptionsForKbps(100), "-q 130 -c 22000 --mpeg-vers 4");
  EXPECT_STREQ(AacOptionsForKbps(62), "-q 70 -c 10000 --mpeg-vers 4");
  EXPECT_STREQ(AacOptionsForKbps(194), "-q 120 -c 20000 --mpeg-vers 4");
  EXPECT_EQ(Mp3RateColumn(44100), 1);
  EXPECT_EQ(Mp3RateColumn(22050), -1);
  EXPECT_EQ(LeadingKbps("192 kbps"), 192);
  EXPECT_EQ(LeadingKbps(""), 0);
  EXPECT_EQ(LeadingKbps("kbps"), 0);
  EXPECT_EQ(LeadingKbps("99999999999999999999 kbps"), 0);
}

TEST(FormatsTest, EachFormatOffersItsListWithItsDefault) {
  const BitrateList mp3 = Mp3Bitrates();
  ASSERT_EQ(mp3.texts.size(), 8u);
  EXPECT_EQ(mp3.texts.front(), "320 kbps");
  EXPECT_EQ(mp3.texts.back(), "96 kbps");
  EXPECT_EQ(mp3.texts[static_cast<size_t>(mp3.defaultIndex)], "192 kbps");

  const BitrateList aac = AacBitrates();
  ASSERT_EQ(aac.texts.size(), 7u);
  EXPECT_EQ(aac.texts.front(), "218 kbps");
  EXPECT_EQ(aac.texts.back(), "62 kbps");
  EXPECT_EQ(aac.texts[static_cast<size_t>(aac.defaultIndex)], "194 kbps");

  for (const char* key : {"aac", "MP4", "m4A"}) {
    EXPECT_EQ(BitratesForFormat(key).texts, aac.texts) << key;
  }
  EXPECT_TRUE(BitratesForFormat("wav").Empty());
  EXPECT_TRUE(BitratesForFormat("ape").Empty());
  EXPECT_TRUE(BitratesForFormat("Mp3").Contains(192));
  EXPECT_FALSE(BitratesForFormat("Mp3").Contains(191));

  // FLAC offers compression levels in the bitrates' place; Opus and Vorbis their bitrates.
  struct Fixed {
    const char* key;
    std::vector<std::string> texts;
    const char* chosen;
  };
  const Fixed fixed[] = {
      {"Flac",
       {"Level 0", "Level 1", "Level 2", "Level 3", "Level 4", "Level 5", "Level 6", "Level 7",
        "Level 8"},
       "Level 5"},
      {"opus",
       {"256 kbps", "192 kbps", "160 kbps", "128 kbps", "96 kbps", "64 kbps", "48 kbps"},
       "128 kbps"},
      {"OGG",
       {"320 kbps", "256 kbps", "224 kbps", "192 kbps", "160 kbps", "128 kbps", "96 kbps"},
       "192 kbps"},
  };
  for (const Fixed& f : fixed) {
    const BitrateList list = BitratesForFormat(f.key);
    EXPECT_EQ(list.texts, f.texts) << f.key;
    ASSERT_GE(list.defaultIndex, 0) << f.key;
    EXPECT_EQ(list.texts[static_cast<size_t>(list.defaultIndex)], f.chosen) << f.key;
  }
  EXPECT_TRUE(BitratesForFormat("flac").Contains(0));
  EXPECT_FALSE(BitratesForFormat("flac").Contains(9));

  // The WMA encoder's own list: 192 kbps among them, chosen.
  const BitrateList wma = WmaBitrates();
  ASSERT_FALSE(wma.Empty());
  EXPECT_EQ(wma.kbps[static_cast<size_t>(wma.defaultIndex)], 192);
  EXPECT_EQ(wma.bitsPerSecond[static_cast<size_t>(wma.defaultIndex)], 192000u);
}

TEST(FormatsTest, WmaSelectionWithoutA192Entry) {
  // The last 192 entry when there are several; rates that are not whole kbps round down.
  const DWORD twice[] = {128000, 192000, 192500, 256000, 0};
  const BitrateList a = WmaBitratesFrom(twice);
  EXPECT_EQ(a.texts, (std::vector<std::string>{"128 kbps", "192 kbps", "192 kbps", "256 kbps"}));
  EXPECT_EQ(a.defaultIndex, 2);
  EXPECT_EQ(a.bitsPerSecond[2], 192500u);
  // No 192: the highest not above it, wherever it stands in the list.
  const DWORD unordered[] = {160000, 320000, 64000, 0};
  EXPECT_EQ(WmaBitratesFrom(unordered).defaultIndex, 0);
  // Nothing at or below 192: the first entry.
  const DWORD high[] = {256000, 320000, 0};
  EXPECT_EQ(WmaBitratesFrom(high).defaultIndex, 0);
  // No list, or an empty one: nothing to choose.
  const DWORD none[] = {0};
  EXPECT_TRUE(WmaBitratesFrom(none).Empty());
  EXPECT_EQ(WmaBitratesFrom(nullptr).defaultIndex, -1);
}

TEST(FormatsTest, FormatTextsAndKeys) {
  // The table in the format list's order: what each format's bitrate list offers and what the
  // batch asks of it.
  struct Row {
    const char* listName;
    RateChoice rateChoice;
    BitrateList (*bitrates)();
    bool holdsTags, peakCheck, needsEncoderBitrates;
  };
  const Row rows[] = {
      {"WAV", RateChoice::None, nullptr, true, false, false},
      {"MP3", RateChoice::Kbps, Mp3Bitrates, true, true, false},
      {"AAC", RateChoice::Kbps, AacBitrates, false, true, false},
      {"MP4", RateChoice::Kbps, AacBitrates, true, true, false},
      {"M4A", RateChoice::Kbps, AacBitrates, true, true, false},
      {"WMA", RateChoice::Kbps, WmaBitrates, true, true, true},
      {"FLAC", RateChoice::FlacLevel, FlacLevels, true, false, false},
      {"OPUS", RateChoice::Kbps, OpusBitrates, true, true, false},
      {"OGG", RateChoice::Kbps, VorbisBitrates, true, true, false},
  };
  ASSERT_EQ(OutputFormats().size(), std::size(rows));
  for (size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const OutputFormat& format = OutputFormats()[i];
    SCOPED_TRACE(row.listName);
    EXPECT_STREQ(format.listName, row.listName);
    EXPECT_EQ(format.key, LowerAscii(row.listName));
    EXPECT_EQ(format.extension, LowerAscii(row.listName));
    EXPECT_EQ(FindOutputFormat(row.listName), &format);
    EXPECT_EQ(format.rateChoice, row.rateChoice);
    EXPECT_EQ(format.usesBitrate(), row.bitrates != nullptr);
    EXPECT_EQ(format.Bitrates().texts, row.bitrates ? row.bitrates().texts : BitrateList{}.texts);
    EXPECT_EQ(format.holdsTags(), row.holdsTags);
    EXPECT_EQ(format.peakCheckAfterEncode(), row.peakCheck);
    EXPECT_EQ(format.needsEncoderBitrates, row.needsEncoderBitrates);
    EXPECT_NE(format.makeEncoder, nullptr);
  }
  // Keys in any case; nothing for other texts.
  EXPECT_EQ(FindOutputFormat("Mp4"), &OutputFormats()[3]);
  EXPECT_EQ(FindOutputFormat("Opus"), &OutputFormats()[7]);
  EXPECT_EQ(FindOutputFormat("ape"), nullptr);
  EXPECT_EQ(FindOutputFormat(""), nullptr);
  // What the window converts at: a FLAC level from its text, kbps for the others.
  EXPECT_EQ(BitrateOfText("flac", "Level 8"), 8);
  EXPECT_EQ(BitrateOfText("FLAC", "Level 0"), 0);
  EXPECT_EQ(BitrateOfText("flac", "Level 9"), -1);
  EXPECT_EQ(BitrateOfText("flac", "5"), -1);
  EXPECT_EQ(BitrateOfText("ogg", "192 kbps"), 192);
  EXPECT_EQ(LowerAscii("M4A"), "m4a");
}

}  // namespace
}  // namespace qv
