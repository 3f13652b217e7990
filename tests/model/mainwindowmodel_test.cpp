// The main window's commands that need no widgets: play without a selection, remove, cancel,
// the exit confirmation and the destination list choice. Messages go to a scripted host.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "model/mainwindowmodel.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

TEST(MainWindowModel, PlayWithoutExactlyOneSelectedRowAsks) {
  test::ScriptedHost host;
  MainWindowModel model(host);
  model.CreatePlayer();
  model.Play();
  model.List().AddRow("a", "mp3", "1", "1", "1", "1", "1", "/m/a.mp3", "", false);
  model.List().AddRow("b", "mp3", "1", "1", "1", "1", "1", "/m/b.mp3", "", false);
  model.List().SelectRow(0, true);
  model.List().SelectRow(1, true);
  model.Play();
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0].text, "Please select one Audio File for Playback, thanks.");
  EXPECT_EQ(host.messages[0].type, unsigned{MB_OK});
  // One selected row whose file cannot be opened: silent, no message.
  model.List().SelectRow(1, false);
  model.Play();
  EXPECT_EQ(host.messages.size(), 2u);
  EXPECT_FALSE(model.Player()->IsPlaying());
}

TEST(MainWindowModel, NormalizationNeedsRows) {
  test::ScriptedHost host;
  MainWindowModel model(host);
  EXPECT_FALSE(model.CheckListForNormalization());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "No Audio Files have been added to the Convert List.  Please add some Audio Files "
            "first, thanks.");
  model.List().AddRow("a", "mp3", "1", "1", "1", "1", "1", "/m/a.mp3", "", false);
  EXPECT_TRUE(model.CheckListForNormalization());
  EXPECT_EQ(host.messages.size(), 1u);
}

TEST(MainWindowModel, CancelAsksWithNoAsDefault) {
  test::ScriptedHost host;
  MainWindowModel model(host);
  host.onBatchControls = [&model](bool idle) { model.Batch().BatchLayoutActive = !idle; };
  BeginBatch(model.Batch(), host, kBatchFileConversion);
  EXPECT_EQ(model.Batch().BatchInProgress, 1);
  host.answers = {IDNO, IDYES};
  model.Cancel();
  EXPECT_EQ(model.Batch().CancelRequested, 0);
  EXPECT_EQ(model.Batch().BatchInProgress, 1);
  model.Cancel();
  EXPECT_EQ(model.Batch().CancelRequested, 1);
  EXPECT_EQ(model.Batch().BatchInProgress, 0);
  ASSERT_EQ(host.messages.size(), 2u);
  EXPECT_EQ(host.messages[0].text, "Cancel the File Conversion?");
  EXPECT_EQ(host.messages[0].type, unsigned{MB_YESNO | MB_DEFBUTTON2});
  EndBatch(model.Batch(), host);
  EXPECT_EQ(host.controlCalls, (std::vector<bool>{false, true}));
  EXPECT_EQ(host.statusTexts.back(), "Ready.");
}

TEST(MainWindowModel, ExitIsRefusedUntilTheBatchHasReturnedToIdle) {
  test::ScriptedHost host;
  MainWindowModel model(host);
  host.onBatchControls = [&model](bool idle) { model.Batch().BatchLayoutActive = !idle; };
  BeginBatch(model.Batch(), host, kBatchFileAnalysis);
  EXPECT_FALSE(model.ConfirmExit());
  ASSERT_EQ(host.messages.size(), 1u);
  EXPECT_EQ(host.messages[0].text,
            "A File Analysis is in progress.  Please Cancel the conversion, before closing, "
            "thanks.");
  // Cancelled: BatchInProgress is 0 at once, but the loop has not returned yet.
  host.answers = {IDYES};
  model.Cancel();
  EXPECT_EQ(model.Batch().BatchInProgress, 0);
  host.answers = {IDYES};
  EXPECT_FALSE(model.ConfirmExit());
  EXPECT_EQ(host.messages.back().type, unsigned{MB_OK});
  EXPECT_FALSE(model.ExitConfirmed());
  EndBatch(model.Batch(), host);
  host.answers = {IDYES};
  EXPECT_TRUE(model.ConfirmExit());
}

TEST(MainWindowModel, ExitAsksAndThenReleasesEveryRow) {
  test::TempDir dir;
  const std::string wav = dir.file("qvAudioTemp000001.wav");
  std::ofstream(wav) << "x";
  test::ScriptedHost host;
  MainWindowModel model(host);
  model.CreatePlayer();
  model.List().AddRow("clip", "mp4", "1", "1", "1", "1", "1", dir.file("c.mp4"), wav, true);
  host.answers = {IDNO};
  EXPECT_FALSE(model.ConfirmExit());
  EXPECT_EQ(host.messages.back().text, "Are you sure you want to exit?");
  EXPECT_EQ(host.messages.back().type, unsigned{MB_YESNO | MB_DEFBUTTON2});
  EXPECT_TRUE(fs::exists(wav));
  // The default answer of the question is No: a host without a person never closes.
  EXPECT_FALSE(model.ConfirmExit());
  host.answers = {IDYES};
  EXPECT_TRUE(model.ConfirmExit());
  EXPECT_FALSE(fs::exists(wav));
  EXPECT_EQ(model.List().RowCount(), 1);
  // A second close (the window's close after Exit) does not ask again.
  const std::size_t asked = host.messages.size();
  EXPECT_TRUE(model.ConfirmExit());
  EXPECT_EQ(host.messages.size(), asked);
}

TEST(MainWindowModel, RemoveCommandsWork) {
  test::ScriptedHost host;
  MainWindowModel model(host);
  model.CreatePlayer();
  for (const char* t : {"a", "b", "c", "d", "e"})
    model.List().AddRow(t, "mp3", "1", "1", "1", "1", "1", std::string("/m/") + t, "", false);
  model.List().SelectRow(1, true);
  model.List().SelectRow(3, true);
  EXPECT_EQ(model.Remove(), 2);
  EXPECT_EQ(model.List().RowCount(), 3);
  EXPECT_EQ(model.List().NextRowSerial(), 5);
  model.RemoveAll();
  EXPECT_EQ(model.List().RowCount(), 0);
  EXPECT_TRUE(host.messages.empty());
}

TEST(FindOrAppendDestination, ExactMatchSelectsOtherCaseAppends) {
  std::vector<std::string> entries{"/home/u"};
  EXPECT_EQ(FindOrAppendDestination(entries, "/home/u"), 0);
  EXPECT_EQ(entries.size(), 1u);
  EXPECT_EQ(FindOrAppendDestination(entries, "/home/U"), 1);
  EXPECT_EQ(FindOrAppendDestination(entries, "/srv/music"), 2);
  EXPECT_EQ(FindOrAppendDestination(entries, "/home/U"), 1);
  EXPECT_EQ(entries, (std::vector<std::string>{"/home/u", "/home/U", "/srv/music"}));
}

}  // namespace
}  // namespace qv
