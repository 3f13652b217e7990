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
