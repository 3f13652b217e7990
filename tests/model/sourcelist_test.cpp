// The rows of the source file list: adding, sorting by column headings, removing, the file
// identity test and the lifetime of temporary WAVs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include "model/sourcelist.h"
#include "support/tempdir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

struct RowSpec {
  std::string title;
  std::string kbps;
  std::string freq = "44,100";
  std::string bits = "16 Bit";
  std::string size = "1.000";
};

void AddRows(SourceList& list, const std::vector<RowSpec>& rows) {
  for (const RowSpec& r : rows) {
    list.AddRow(r.title, "mp3", r.size, r.kbps, r.freq, r.bits, "2", "/music/" + r.title + ".mp3",
                "", false);
  }
}

std::vector<std::string> Column(const SourceList& list, int column) {
  std::vector<std::string> out;
  for (int i = 0; i < list.RowCount(); ++i) out.push_back(list.CellText(i, column));
  return out;
}

void ExpectPositionsMatchIndexes(SourceList& list) {
  for (int i = 0; i < list.RowCount(); ++i) {
    ASSERT_NE(list.Item(i), nullptr);
    EXPECT_EQ(list.Item(i)->position, i);
  }
}

void WriteFile(const std::string& path, const std::string& text = "data") {
  std::ofstream(path) << text;
}

TEST(SourceList, AddRowFillsCellsAndRecord) {
  SourceList list;
  EXPECT_EQ(list.AddRow("song", "mp3", "2.861", "128", "44,100", "16 Bit", "2", "/m/song.mp3",
                        "", false),
            0);
  EXPECT_EQ(list.AddRow("clip", "mp4", "1.000", "256", "48,000", "16 Bit", "2", "/m/clip.mp4",
                        "/tmp/qvAudioTemp000001.wav", true),
            1);
  EXPECT_EQ(list.RowCount(), 2);
  EXPECT_EQ(list.NextRowSerial(), 2);
  EXPECT_EQ(list.CellText(0, kColSize), "2.861");
  EXPECT_EQ(list.CellText(0, kColVolume), "");
  EXPECT_EQ(list.CellText(5, 0), "");  // out of range reads empty
  const QVListItem* clip = list.Item(1);
  ASSERT_NE(clip, nullptr);
  EXPECT_EQ(clip->serial, 1);
  EXPECT_EQ(clip->position, 1);
  EXPECT_DOUBLE_EQ(clip->gainFactor, 1.0);
  EXPECT_EQ(list.GetDecodePath(1), "/tmp/qvAudioTemp000001.wav");
  EXPECT_EQ(list.GetSourcePath(1), "/m/clip.mp4");
  EXPECT_EQ(list.GetDecodePath(0), "/m/song.mp3");
}

TEST(SourceList, KbpsHeadingCyclesAscendingDescendingInsertionOrder) {
  SourceList list;
  AddRows(list, {{"a", "128"}, {"b", "96"}, {"c", "320"}, {"d", "96"}});
  list.OnColumnClick(kColKbps);
  EXPECT_EQ(list.GetSortState(), SortState::Ascending);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"b", "d", "a", "c"}));
  ExpectPositionsMatchIndexes(list);
  list.OnColumnClick(kColKbps);
  EXPECT_EQ(list.GetSortState(), SortState::Descending);
  EXPECT_EQ(Column(list, kColKbps), (std::vector<std::string>{"320", "128", "96", "96"}));
  list.OnColumnClick(kColKbps);
  EXPECT_EQ(list.GetSortState(), SortState::Unsorted);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"a", "b", "c", "d"}));
  ExpectPositionsMatchIndexes(list);
}

TEST(SourceList, AnotherHeadingStartsAscendingAndSoDoesGoingBack) {
  SourceList list;
  AddRows(list, {{"a", "128"}, {"b", "96"}, {"c", "320"}});
  list.OnColumnClick(kColKbps);
  list.OnColumnClick(kColChans);
  EXPECT_EQ(list.GetSortState(), SortState::Ascending);
  EXPECT_EQ(list.SortColumn(), kColChans);
  list.OnColumnClick(kColKbps);
  EXPECT_EQ(list.GetSortState(), SortState::Ascending);
  EXPECT_EQ(Column(list, kColKbps), (std::vector<std::string>{"96", "128", "320"}));
}

TEST(SourceList, FirstClickOnTheTitleColumnSortsAscending) {
  // At start the previous column is 0 and the state Unsorted, so column 0 also starts ascending.
  SourceList list;
  AddRows(list, {{"apple", "1"}, {"Zulu", "1"}, {"mango", "1"}});
  list.OnColumnClick(kColTitle);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"Zulu", "apple", "mango"}));
}

TEST(SourceList, SortKindsOfTheNumericColumns) {
  SourceList list;
  AddRows(list, {{"a", "1", "48,000", "24 Bit", "10.500"},
                 {"b", "1", "8,000", "float", "2.861"},
                 {"c", "1", "44,100", "16 Bit", "9.999"}});
  list.OnColumnClick(kColFreq);
  EXPECT_EQ(Column(list, kColFreq), (std::vector<std::string>{"8,000", "44,100", "48,000"}));
  list.OnColumnClick(kColBits);
  EXPECT_EQ(Column(list, kColBits), (std::vector<std::string>{"float", "16 Bit", "24 Bit"}));
  list.OnColumnClick(kColSize);
  EXPECT_EQ(Column(list, kColSize), (std::vector<std::string>{"2.861", "9.999", "10.500"}));
}

TEST(SourceList, LoudnessColumnsSortUnmeasuredRowsFirst) {
  SourceList list;
  AddRows(list, {{"a", "1"}, {"b", "1"}, {"c", "1"}, {"d", "1"}});
  list.SetCellText(0, kColVolume, "89.75");
  list.SetCellText(0, kColClipping, "n");
  list.SetCellText(1, kColVolume, "89.10");
  list.SetCellText(1, kColClipping, "Y");
  list.SetCellText(3, kColVolume, "-3.45");
  list.SetCellText(3, kColClipping, "n");
  list.OnColumnClick(kColClipping);
  EXPECT_EQ(Column(list, kColClipping), (std::vector<std::string>{"", "Y", "n", "n"}));
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"c", "b", "a", "d"}));
  // 89.75 and 89.10 read 89 and compare equal, so they keep their relative order.
  list.OnColumnClick(kColVolume);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"d", "c", "b", "a"}));
}

TEST(SourceList, ClickOnEmptyListChangesNothing) {
  SourceList list;
  list.OnColumnClick(kColKbps);
  EXPECT_EQ(list.GetSortState(), SortState::Unsorted);
  AddRows(list, {{"a", "2"}, {"b", "1"}});
  list.OnColumnClick(kColKbps);  // first real click: ascending
  EXPECT_EQ(list.GetSortState(), SortState::Ascending);
}

TEST(SourceList, RemoveSelectedRenumbersAndKeepsSerials) {
  SourceList list;
  AddRows(list, {{"r0", "1"}, {"r1", "1"}, {"r2", "1"}, {"r3", "1"}, {"r4", "1"}});
  list.SelectRow(1, true);
  list.SelectRow(3, true);
  list.SelectRow(9, true);  // ignored
  EXPECT_EQ(list.RemoveSelectedRows(), 2);
  EXPECT_EQ(list.RowCount(), 3);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"r0", "r2", "r4"}));
  ExpectPositionsMatchIndexes(list);
  EXPECT_EQ(list.NextRowSerial(), 5);
  EXPECT_EQ(list.SelectedCount(), 0);
  EXPECT_EQ(list.RemoveSelectedRows(), 0);  // nothing selected, nothing changes
  EXPECT_EQ(list.RowCount(), 3);
}

TEST(SourceList, RemoveAllThenAddContinuesSerialsAndInsertionOrder) {
  SourceList list;
  AddRows(list, {{"a", "1"}, {"b", "1"}});
  list.OnColumnClick(kColTitle);
  list.OnColumnClick(kColTitle);  // descending
  list.RemoveAllRows();
  EXPECT_EQ(list.RowCount(), 0);
  AddRows(list, {{"z", "1"}, {"y", "1"}, {"x", "1"}});
  EXPECT_EQ(list.Item(0)->serial, 2);
  // Rows added after a sort are appended, not sorted; the next click on the same heading
  // returns to insertion order.
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"z", "y", "x"}));
  list.OnColumnClick(kColTitle);
  EXPECT_EQ(list.GetSortState(), SortState::Unsorted);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"z", "y", "x"}));
}

TEST(SourceList, UnsortedRestoresInsertionOrderAfterRemovals) {
  SourceList list;
  AddRows(list, {{"c", "3"}, {"a", "1"}, {"d", "1"}, {"b", "2"}});
  list.OnColumnClick(kColKbps);
  list.SelectRow(0, true);  // one of the "1" rows
  list.RemoveSelectedRows();
  list.OnColumnClick(kColKbps);
  list.OnColumnClick(kColKbps);
  EXPECT_EQ(list.GetSortState(), SortState::Unsorted);
  EXPECT_EQ(Column(list, kColTitle), (std::vector<std::string>{"c", "d", "b"}));
}

TEST(SourceList, SelectionAccessors) {
  SourceList list;
  AddRows(list, {{"a", "1"}, {"b", "1"}});
  EXPECT_EQ(list.GetSelectedDecodePath(), "");
  list.SelectRow(1, true);
  EXPECT_EQ(list.GetSelectedDecodePath(), "/music/b.mp3");
  list.SelectRow(0, true);
  EXPECT_EQ(list.GetSelectedDecodePath(), "");  // two rows selected
  list.DeselectAll();
  EXPECT_EQ(list.SelectedCount(), 0);
  EXPECT_DOUBLE_EQ(list.GetGainFactor(-1), 1.0);
  EXPECT_DOUBLE_EQ(list.GetGainFactor(2), 1.0);
  list.Item(1)->gainFactor = 0.5;
  EXPECT_DOUBLE_EQ(list.GetGainFactor(1), 0.5);
}

TEST(SourceList, ContainsFileComparesAsTheFileSystemDoes) {
  test::TempDir dir;
  const std::string song = dir.file("Song.mp3");
  WriteFile(song);
  SourceList list;
  list.AddRow("Song", "mp3", "0.000", "1", "1", "1", "1", song, "", false);
  EXPECT_TRUE(list.ContainsFile(song));
  EXPECT_TRUE(list.ContainsFile(dir.str() + "/./Song.mp3"));  // same file, other spelling
  const std::string link = dir.file("link.mp3");
  ASSERT_EQ(::symlink(song.c_str(), link.c_str()), 0);
  EXPECT_TRUE(list.ContainsFile(link));
  // Another letter case is another file here unless the file system says it is the same.
  const std::string upper = dir.file("SONG.MP3");
  EXPECT_FALSE(list.ContainsFile(upper));
  WriteFile(upper);
  EXPECT_EQ(list.ContainsFile(upper), fs::equivalent(upper, song));
  EXPECT_FALSE(list.ContainsFile(dir.file("other.mp3")));
  // A video whose sound track is in the list is known by its own path.
  list.AddRow("clip", "mp4", "0.000", "1", "1", "1", "1", "/gone/clip.mp4",
              dir.file("qvAudioTemp000000.wav"), true);
  EXPECT_TRUE(list.ContainsFile("/gone/clip.mp4"));
}

TEST(SourceList, DestroyingAnExtractedRowDeletesOnlyItsTemporaryWav) {
  test::TempDir dir;
  const std::string wav = dir.file("qvAudioTemp000003.wav");
  const std::string plain = dir.file("plain.wav");
  const std::string video = dir.file("clip.mp4");
  WriteFile(wav);
  WriteFile(plain);
  WriteFile(video);
  SourceList list;
  list.AddRow("plain", "wav", "0", "1", "1", "1", "1", plain, "", false);
  list.AddRow("clip", "mp4", "0", "1", "1", "1", "1", video, wav, true);
  list.SelectRow(0, true);
  list.RemoveSelectedRows();
  EXPECT_TRUE(fs::exists(plain));
  EXPECT_TRUE(fs::exists(wav));
  list.SelectRow(0, true);
  list.RemoveSelectedRows();
  EXPECT_FALSE(fs::exists(wav));
  EXPECT_TRUE(fs::exists(video));

  // Removing a row whose WAV is already gone is fine.
  list.AddRow("clip", "mp4", "0", "1", "1", "1", "1", video, dir.file("qvAudioTemp000004.wav"),
              true);
  list.RemoveAllRows();
  EXPECT_EQ(list.RowCount(), 0);
}

TEST(SourceList, NeverDeletesAFileThatIsNotATemporaryWav) {
  test::TempDir dir;
  const std::string music = dir.file("music.wav");
  WriteFile(music);
  {
    SourceList list;
    // A wrongly filled record: extracted, but the "temporary" file is the user's own file.
    list.AddRow("music", "wav", "0", "1", "1", "1", "1", music, music, true);
    list.AddRow("other", "mp4", "0", "1", "1", "1", "1", dir.file("v.mp4"), music, true);
  }
  EXPECT_TRUE(fs::exists(music));
}

TEST(SourceList, DestroyAllItemsKeepsRowsAndDeletesWavs) {
  test::TempDir dir;
  const std::string wav = dir.file("qvAudioTemp000007.wav");
  WriteFile(wav);
  SourceList list;
  list.AddRow("clip", "mp4", "0", "1", "1", "1", "1", dir.file("c.mp4"), wav, true);
  list.SelectRow(0, true);
  list.DestroyAllItems();
  EXPECT_FALSE(fs::exists(wav));
  EXPECT_EQ(list.RowCount(), 1);
  EXPECT_EQ(list.Item(0), nullptr);
  // Accessors stay safe on rows without a record.
  EXPECT_EQ(list.GetSelectedDecodePath(), "");
  EXPECT_DOUBLE_EQ(list.GetGainFactor(0), 1.0);
  EXPECT_FALSE(list.ContainsFile(dir.file("c.mp4")));
  list.OnColumnClick(kColTitle);
  list.OnColumnClick(kColTitle);
  list.OnColumnClick(kColTitle);
  EXPECT_EQ(list.RemoveSelectedRows(), 1);
}

TEST(QVListItem, ApplyTargetOnlyForMeasuredRows) {
  QVListItem item(0, 0);
  item.volume = 84.0;
  item.peak = 20000.0;
  item.ApplyTarget(89.0);
  EXPECT_DOUBLE_EQ(item.gainFactor, 1.0);  // not measured: unchanged
  item.hasLoudness = 1;
  item.ApplyTarget(89.0);
  EXPECT_DOUBLE_EQ(item.trackGain, 5.0);
  EXPECT_NEAR(item.gainFactor, 1.7782794100389228, 1e-12);  // 10^(5/20)
  EXPECT_EQ(item.clipTrack, 1);  // 35566 > 32767
  item.ApplyTarget(87.0);
  EXPECT_NEAR(item.gainFactor, 1.4125375446227544, 1e-12);  // 10^(3/20)
  EXPECT_EQ(item.clipTrack, 0);  // 28251 < 32767
  item.ApplyTarget(84.0 + 6.0205999132796239);  // +6.02 dB doubles the samples
  EXPECT_NEAR(item.gainFactor, 2.0, 1e-9);
  EXPECT_EQ(item.clipTrack, 1);  // 40000 > 32767
}

// Records every notification so the view's protocol can be checked.
class RecordingObserver : public SourceListObserver {
 public:
  void BeginInsertRow(int row) override { log += "+" + std::to_string(row); }
  void EndInsertRow() override { log += "."; }
  void BeginRemoveRows(int first, int last) override {
    log += "-" + std::to_string(first) + ":" + std::to_string(last);
  }
  void EndRemoveRows() override { log += "."; }
  void BeginReset() override { log += "R"; }
  void EndReset() override { log += "."; }
  void BeginReorder() override { log += "S"; }
  void EndReorder(const std::vector<int>& map) override {
    log += "[";
    for (int i : map) log += std::to_string(i);
    log += "]";
  }
  void CellChanged(int row, int column) override {
    log += "c" + std::to_string(row) + "," + std::to_string(column);
  }
  void SelectionChanged(int row, bool on) override {
    log += (on ? "s" : "u") + std::to_string(row);
  }
  std::string log;
};

TEST(SourceList, ObserverSeesEveryChangeInOrder) {
  SourceList list;
  RecordingObserver observer;
  list.SetObserver(&observer);
  AddRows(list, {{"b", "2"}, {"a", "1"}, {"c", "3"}});
  list.SelectRow(0, true);
  list.SelectRow(0, true);  // no change, no notification
  list.OnColumnClick(kColTitle);
  list.SetCellText(2, kColVolume, "1.00");
  list.SelectRow(2, true);
  list.RemoveSelectedRows();
  list.RemoveAllRows();
  EXPECT_EQ(observer.log, "+0.+1.+2.s0S[102]c2,7s2-1:2.R.");
  list.SetObserver(nullptr);
}

// A file is listed once per part of it: the same part again is a duplicate under any spelling,
// another part of the same file is not.
TEST(SourceList, DuplicatesAreTheSameFileAndTheSamePart) {
  test::TempDir dir;
  const std::string album = dir.file("album.flac");
  WriteFile(album);
  SourceList list;
  SourceFacts facts;
  list.AddRow("album", "flac", facts, album, "", false, TimeRange{0, 180.5});
  EXPECT_TRUE(list.ContainsFile(album, TimeRange{0, 180.5}));
  EXPECT_TRUE(list.ContainsFile(dir.str() + "/./album.flac", TimeRange{0, 180.5}));
  EXPECT_FALSE(list.ContainsFile(album));
  EXPECT_FALSE(list.ContainsFile(album, TimeRange{180.5, -1}));
  list.AddRow("album", "flac", facts, album, "", false, TimeRange{180.5, -1});
  EXPECT_TRUE(list.ContainsFile(album, TimeRange{180.5, -1}));
  EXPECT_EQ(list.Item(1)->range, (TimeRange{180.5, -1}));
  list.SelectRow(0, true);
  list.RemoveSelectedRows();
  EXPECT_FALSE(list.ContainsFile(album, TimeRange{0, 180.5}));
  EXPECT_TRUE(list.ContainsFile(dir.str() + "/./album.flac", TimeRange{180.5, -1}));
}

// Only a row whose file changed since its probe is probed again, and its cells follow.
TEST(SourceList, RefreshProbesAgainOnlyChangedFiles) {
  test::TempDir dir;
  const std::string song = dir.file("song.wav");
  WriteFile(song, "1234");
  SourceList list;
  const auto stamp = [](const std::string& path, SourceFacts& facts) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return false;
    facts.size = static_cast<std::uint64_t>(info.st_size);
    facts.modifiedNs = info.st_mtim.tv_sec * 1000000000LL + info.st_mtim.tv_nsec;
    return true;
  };
  SourceFacts facts;
  ASSERT_TRUE(stamp(song, facts));
  facts.kbps = 128;
  list.AddRow("song", "wav", facts, song, "", false);
  list.AddRow("gone", "wav", facts, dir.file("gone.wav"), "", false);
  int probes = 0;
  const auto probe = [&](const std::string& path, SourceFacts& fresh) {
    ++probes;
    fresh.kbps = 1411;
    return stamp(path, fresh);
  };
  EXPECT_EQ(list.RefreshChangedRows(probe), 0);
  EXPECT_EQ(probes, 0);
  WriteFile(song, std::string(3000000, 'x'));
  RecordingObserver observer;
  list.SetObserver(&observer);
  list.Item(0)->albumKey = "album\x1fOld tag";
  EXPECT_EQ(list.RefreshChangedRows(probe), 1);
  EXPECT_EQ(list.Item(0)->albumKey, "");  // read again from the changed file
  EXPECT_EQ(list.CellText(0, kColKbps), "1411");
  EXPECT_EQ(list.CellText(0, kColSize), "2.861");
  EXPECT_EQ(observer.log, "c0,2c0,3c0,4c0,5c0,6");
  EXPECT_EQ(list.RefreshChangedRows(probe), 0);
  EXPECT_EQ(probes, 1);
  list.SetObserver(nullptr);
}

}  // namespace
}  // namespace qv
