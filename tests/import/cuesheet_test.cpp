// CUE sheets: what the parser takes from a sheet, what it refuses, and how a sheet's files are
// found.

#include "import/cuesheet.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/tempdir.h"

namespace qv {
namespace {

TEST(CueSheet, ReadsAlbumTracksAndFiles) {
  const char* text =
      "\xEF\xBB\xBFREM GENRE \"Art Rock\"\nREM DATE 1999\nPERFORMER Band\nTITLE \"An Album\"\n"
      "FILE \"one.wav\" WAVE\n TRACK 01 AUDIO\n  TITLE \"A b\"\n  INDEX 00 00:00:00\n"
      "  INDEX 01 00:00:32\n TRACK 02 MODE1/2352\n  TITLE Data\n  INDEX 01 01:00:00\n"
      "FILE two.flac WAVE\n TRACK 03 AUDIO\n  PERFORMER Solo\n  REM COMPOSER x\n"
      "  INDEX 01 100:59:74\n";
  CueSheet sheet;
  std::string error;
  ASSERT_TRUE(ParseCueSheet(text + 3, sheet, error)) << error;
  EXPECT_EQ(sheet.title, "An Album");
  EXPECT_EQ(sheet.performer, "Band");
  EXPECT_EQ(sheet.genre, "Art Rock");
  EXPECT_EQ(sheet.date, "1999");
  EXPECT_EQ(sheet.files, (std::vector<std::string>{"one.wav", "two.flac"}));
  ASSERT_EQ(sheet.tracks.size(), 2u);  // the data track is no audio
  EXPECT_EQ(sheet.tracks[0].title, "A b");
  EXPECT_EQ(sheet.tracks[0].start, 32);
  EXPECT_EQ(sheet.tracks[0].file, 0);
  EXPECT_EQ(sheet.tracks[1].number, 3);
  EXPECT_EQ(sheet.tracks[1].performer, "Solo");
  EXPECT_EQ(sheet.tracks[1].start, (100 * 60 + 59) * 75 + 74);
  EXPECT_EQ(sheet.tracks[1].file, 1);
}

TEST(CueSheet, RefusesWhatCannotBeCut) {
  const std::pair<const char*, const char*> cases[] = {
      {"FILE a.wav WAVE\n", "no audio track"},
      {"FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 00 00:00:00\n", "Track 01 has no INDEX 01"},
      {"FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:61:00\n", "\"00:61:00\" is not a time"},
      {"FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:75\n", "\"00:00:75\" is not a time"},
      {"FILE a.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:09:00\nTRACK 02 AUDIO\nINDEX 01 00:09:00\n",
       "Track 02 starts before the end of track 01"},
  };
  for (const auto& [text, message] : cases) {
    CueSheet sheet;
    std::string error;
    EXPECT_FALSE(ParseCueSheet(text, sheet, error)) << text;
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
}

TEST(CueSheet, FindsItsFilesAndReadsLatin1) {
  test::TempDir dir;
  std::ofstream(dir.file("Disc.flac")) << "x";
  std::ofstream(dir.file("two.wav")) << "x";
  const std::string single = dir.file("Disc.cue");
  std::ofstream(single) << "TITLE \"Caf\xE9\"\nFILE \"C:\\\\rips\\\\Disc.wav\" WAVE\n"
                           "TRACK 01 AUDIO\nINDEX 01 00:00:00\n";
  CueSheet sheet;
  std::vector<std::string> paths;
  std::string error;
  ASSERT_TRUE(LoadCueSheet(single, sheet, paths, error)) << error;
  EXPECT_EQ(sheet.title, "Café");
  EXPECT_EQ(paths, std::vector<std::string>{dir.file("Disc.flac")});
  EXPECT_EQ(SheetBesideImage(dir.file("Disc.flac")), single);
  EXPECT_EQ(SheetBesideImage(dir.file("two.wav")), "");

  // With several files, each must be there.
  const std::string both = dir.file("Both.cue");
  std::ofstream(both) << "FILE \"rips/two.wav\" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n"
                         "FILE missing.wav WAVE\nTRACK 02 AUDIO\nINDEX 01 00:00:00\n";
  EXPECT_FALSE(LoadCueSheet(both, sheet, paths, error));
  EXPECT_NE(error.find(dir.file("missing.wav")), std::string::npos) << error;
}

}  // namespace
}  // namespace qv
