// The output planner on values (no file is touched) and the album gate's order of release.

#include "convert/outputplanner.h"

#include <gtest/gtest.h>

#include "convert/albumgate.h"
#include "convert/convertfile.h"
#include "model/sourcelist.h"

namespace qv {
namespace {

struct PlanCase {
  const char* name;
  const char* source;
  const char* destinationFolder;
  bool sameFolder;
  const char* subfolder;
  bool normalize;
  double volume;      // < 0: not measured; 0: measured silent
  double peak;        // 16-bit scale
  bool peakCheck;     // a lossy format
  const char* folder;  // the plan's
  const char* relative;
  const char* destination;
  PlanAction action;
  double gain;
  bool gainNote;
  double outputPeakLimit;
};

TEST(OutputPlanner, PathsGainsAndActionsFromTheRowAndTheOptions) {
  const PlanCase cases[] = {
      {"plain", "/music/a b.flac", "/out", false, "", false, -1, 0, true, "/out", "a b.mp3",
       "/out/a b.mp3", PlanAction::Convert, 1.0, false, 0.0},
      {"beside its source", "/music/x.wav", "/out", true, "", false, -1, 0, false, "/music",
       "x.mp3", "/music/x.mp3", PlanAction::Convert, 1.0, false, 0.0},
      {"bare name beside itself", "x.wav", "/out", true, "", false, -1, 0, false, ".", "x.mp3",
       "./x.mp3", PlanAction::Convert, 1.0, false, 0.0},
      {"sub-folder", "/music/Artist/t.ogg", "/out", false, "Artist", false, -1, 0, false,
       "/out/Artist", "Artist/t.mp3", "/out/Artist/t.mp3", PlanAction::Convert, 1.0, false, 0.0},
      {"a trailing slash", "/m/t.wav", "/out/", false, "", false, -1, 0, false, "/out/", "t.mp3",
       "/out/t.mp3", PlanAction::Convert, 1.0, false, 0.0},
      {"not measured", "/m/t.wav", "/out", false, "", true, -1, 0, true, "/out", "t.mp3",
       "/out/t.mp3", PlanAction::NotMeasured, 1.0, false, 0.0},
      {"silent", "/m/t.wav", "/out", false, "", true, 0, 0, true, "/out", "t.mp3", "/out/t.mp3",
       PlanAction::NotMeasured, 1.0, false, 0.0},
      // 83 dB against 89 dB: +6 dB, about twice; a peak of 8000 stays below full scale.
      {"normalized", "/m/t.wav", "/out", false, "", true, 83.0, 8000, true, "/out", "t.mp3",
       "/out/t.mp3", PlanAction::Convert, 1.9953, false, 32767.0},
      {"normalized lossless", "/m/t.wav", "/out", false, "", true, 83.0, 8000, false, "/out",
       "t.mp3", "/out/t.mp3", PlanAction::Convert, 1.9953, false, 0.0},
      // A peak of 20000 would pass full scale at +6 dB: the gain keeps it at 32767.
      {"peak limited", "/m/t.wav", "/out", false, "", true, 83.0, 20000, true, "/out", "t.mp3",
       "/out/t.mp3", PlanAction::Convert, 32767.0 / 20000, true, 32767.0},
  };
  for (const PlanCase& c : cases) {
    SCOPED_TRACE(c.name);
    QVListItem item(0, 0);
    item.sourcePath = c.source;
    if (c.volume == 0) {
      item.measurements[0].measured = true;
      item.measurements[0].silent = true;
    } else if (c.volume > 0) {
      item.SetLoudness(c.volume, 89.0 - c.volume, c.peak, 0);
    }
    ConversionOptions options;
    options.sameFolder = c.sameFolder;
    options.normalize = c.normalize;
    const OutputPlan plan = PlanOutput(item, options, c.destinationFolder, c.subfolder, "mp3",
                                       c.peakCheck);
    EXPECT_EQ(plan.folder, c.folder);
    EXPECT_EQ(plan.relativePath, c.relative);
    EXPECT_EQ(plan.plainDestination, c.destination);
    EXPECT_EQ(plan.makeFolder, *c.subfolder != '\0');
    EXPECT_EQ(plan.action, c.action);
    EXPECT_NEAR(plan.gain, c.gain, 1e-4);
    EXPECT_EQ(!plan.gainNote.empty(), c.gainNote) << plan.gainNote;
    EXPECT_DOUBLE_EQ(plan.outputPeakLimit, c.outputPeakLimit);
    if (c.action == PlanAction::NotMeasured) {
      EXPECT_EQ(plan.failureText.find("silent") != std::string::npos, c.volume == 0);
    }
  }
}

// A name that fits its source's extension may not fit the output's, nor a numbered copy's: the
// title is cut at a character boundary so the whole name fits.
TEST(OutputPlanner, LongTitlesAreCutToFitTheFileSystem) {
  const std::string ascii(251, 'a');                  // "<251>.wv" fits, "<251>.flac" would not
  std::string wide;
  for (int i = 0; i < 84; ++i) wide += "\xE9\x9F\xB3";  // 252 bytes of three-byte characters
  EXPECT_EQ(FitName(ascii, 5), std::string(250, 'a'));
  EXPECT_EQ(FitName(ascii, 4), ascii);
  EXPECT_EQ(FitName(wide, 5), wide.substr(0, 249));  // 83 whole characters, not 250 bytes
  EXPECT_EQ(FitName("short", 300), "");

  QVListItem item(0, 0);
  item.sourcePath = "/music/" + ascii + ".wv";
  const OutputPlan plan = PlanOutput(item, ConversionOptions{}, "/out", "", "flac", false);
  EXPECT_EQ(plan.relativePath, std::string(250, 'a') + ".flac");
  EXPECT_EQ(plan.plainDestination, "/out/" + plan.relativePath);
}

struct NameCase {
  const char* name;
  const char* pattern;
  NameFields fields;
  const char* folder;
  bool portable;
  std::string expected;  // below the destination, without ".opus"
  size_t notes;
};

TEST(NameTemplate, NamesFromTagsAreSafeAndFallBack) {
  const std::string longTitle = "a" + [] { std::string e; for (int i = 0; i < 300; ++i) e += "\u00e9"; return e; }();
  const NameCase cases[] = {
      {"library layout", "{albumartist}/{album}/{track:02} {title}",
       {{"ALBUMARTIST", "AA"}, {"ARTIST", "Ar"}, {"ALBUM", "Al"}, {"TRACKNUMBER", "3"},
        {"TITLE", "T"}}, "", false, "AA/Al/03 T", 0},
      {"album artist falls back to the artist", "{albumartist} - {disc}{track:03}",
       {{"ARTIST", "Ar"}, {"TRACKNUMBER", "7/12"}, {"DISCNUMBER", "2"}}, "", false,
       "Ar - 2007", 0},
      {"missing tags", "{artist}/{album}/{title}", {}, "", false,
       "Unknown Artist/Unknown Album/song", 0},
      {"only separators left: the file name", "{year} - {genre}/[{track}]", {}, "", false,
       "song/song", 0},
      {"year of a date", "{year} {genre}", {{"DATE", "2003-05-01"}, {"GENRE", "Jazz"}}, "",
       false, "2003 Jazz", 0},
      {"a tag never makes a folder or leaves", "{artist}/{title}",
       {{"ARTIST", "../../etc"}, {"TITLE", std::string("a/b\0c\nd", 7)}}, "", false,
       "___.._etc/a_b_c_d", 0},
      {"no hidden names", "{album}/{title}", {{"ALBUM", ".."}, {"TITLE", ".x"}}, "", false,
       "song/_x", 0},  // ".." is only separators: the file name
      {"the added tree", "{folder}/{filename}", {}, "Rock/Old", false, "Rock/Old/song", 0},
      {"no tree for a file given alone", "{folder}/{filename}", {}, "", false, "song", 0},
      {"FAT's characters kept", "{title}", {{"TITLE", "a:b?c<d>|\"e*\\."}}, "", false,
       "a:b?c<d>|\"e*\\.", 0},
      {"portable names", "{title}", {{"TITLE", "a:b?c<d>|\"e*\\."}}, "", true,
       "a_b_c_d___e__", 0},
      // 1 + 300 x 2 bytes, cut to 250 (255 less ".opus") at a character boundary: 249.
      {"a long name is shortened", "{title}", {{"TITLE", longTitle}}, "", false,
       longTitle.substr(0, 249), 1},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(CheckNameTemplate(c.pattern), "");
    const ExpandedName name =
        ExpandNameTemplate(c.pattern, {&c.fields, "song", c.folder, c.portable}, "opus");
    EXPECT_EQ(name.path, c.expected);
    EXPECT_EQ(name.notes.size(), c.notes);
  }
  for (const char* bad : {"", "/abs/{title}", "a//b", "a/../b", "{titel}", "{title", "x}",
                          "{track:x}", "a/"}) {
    EXPECT_NE(CheckNameTemplate(bad), "") << bad;
  }
  // The plan puts the name below the destination, or below the source's own folder.
  QVListItem item(0, 0);
  item.sourcePath = "/music/in/song.flac";
  ConversionOptions options;
  options.namePattern = "{artist}/{title}";
  const NameFields fields = {{"ARTIST", "A"}, {"TITLE", "T"}};
  OutputPlan plan = PlanOutput(item, options, "/out", "", "opus", true, &fields);
  EXPECT_EQ(plan.plainDestination, "/out/A/T.opus");
  EXPECT_EQ(plan.folder, "/out/A");
  EXPECT_EQ(plan.relativePath, "A/T.opus");
  EXPECT_TRUE(plan.makeFolder);
  options.sameFolder = true;
  options.namePattern = "{title}";
  plan = PlanOutput(item, options, "/out", "", "opus", true, &fields);
  EXPECT_EQ(plan.plainDestination, "/music/in/T.opus");
  EXPECT_FALSE(plan.makeFolder);
  // A track of an album image without a template: the image's name, its number and title.
  item.range = {12.5, 200.0};
  options = ConversionOptions();
  const NameFields track = {{"TRACKNUMBER", "3"}, {"TITLE", "Third"}};
  plan = PlanOutput(item, options, "/out", "", "flac", false, &track);
  EXPECT_EQ(plan.plainDestination, "/out/song - 03 Third.flac");
  plan = PlanOutput(item, options, "/out", "Disc 1", "flac", false, &track);
  EXPECT_EQ(plan.plainDestination, "/out/Disc 1/song - 03 Third.flac");
}

TEST(OutputPlanner, EveryExistingChoiceAgainstWhatHasTheName) {
  using A = ExistingAction;
  const ExistingFacts none{}, file{true, true, false, false}, converted{true, true, false, true},
      source{true, true, true, false}, folder{true, false, false, false};
  struct Case {
    ExistingChoice choice;
    A none, file, converted, source, folder;
  } cases[] = {
      {ExistingChoice::Number, A::Convert, A::Number, A::Number, A::Number, A::Number},
      {ExistingChoice::Skip, A::Convert, A::Number, A::Skip, A::Number, A::Number},
      {ExistingChoice::Replace, A::Convert, A::Replace, A::Replace, A::Number, A::Number},
      {ExistingChoice::Update, A::Convert, A::Replace, A::Skip, A::Number, A::Number},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(KeyOfExistingChoice(c.choice));
    ExistingChoice parsed = ExistingChoice::Number;
    EXPECT_TRUE(ExistingChoiceFromKey(KeyOfExistingChoice(c.choice), parsed));
    EXPECT_EQ(parsed, c.choice);
    EXPECT_EQ(DecideExisting(c.choice, none), c.none);
    EXPECT_EQ(DecideExisting(c.choice, file), c.file);
    EXPECT_EQ(DecideExisting(c.choice, converted), c.converted);
    EXPECT_EQ(DecideExisting(c.choice, source), c.source);
    EXPECT_EQ(DecideExisting(c.choice, folder), c.folder);
  }
  ExistingChoice parsed;
  EXPECT_FALSE(ExistingChoiceFromKey("overwrite", parsed));
}

TEST(AlbumGate, ReleasesAnAlbumsHeldRowsAtItsLastRowAndTheRestAtTheEnd) {
  SourceList list;
  const char* albums[] = {"A", "B", "A", "C", "B", "A"};
  for (const char* album : albums) {
    const int row = list.AddRow("t", "wav", "", "", "", "", "", "/x.wav", "", false);
    list.Item(row)->albumKey = album;
  }
  AlbumGate gate(list, 6, true);
  for (int row = 0; row < 6; ++row) EXPECT_TRUE(gate.InAlbum(row));
  gate.Hold(0);
  EXPECT_TRUE(gate.Committed(0).empty());
  gate.Hold(1);
  gate.Hold(2);
  EXPECT_TRUE(gate.Committed(2).empty());  // album A ends at row 5
  gate.Hold(3);
  EXPECT_EQ(gate.Committed(3), std::vector<int>{3});  // album C has one row
  gate.Hold(4);
  EXPECT_EQ(gate.Committed(4), (std::vector<int>{1, 4}));
  // The batch ends before row 5: album A's held rows are released once.
  EXPECT_EQ(gate.Unfinished(), (std::vector<std::vector<int>>{{0, 2}}));
  EXPECT_TRUE(gate.Unfinished().empty());
  AlbumGate off(list, 6, false);
  EXPECT_FALSE(off.InAlbum(0));
}

}  // namespace
}  // namespace qv
