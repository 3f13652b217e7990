// Preview playback over the audio layer with SDL's dummy output: the play/stop command on the
// same and on another file, playing to the end, the opener choice, and the auto-play
// behaviour of the Add Files dialog.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "app/paths.h"
#include "audio/bass.h"
#include "model/previewplayer.h"
#include "support/tempdir.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

// Makes a sine tone of `seconds` with the ffmpeg program.
std::string MakeTone(const test::TempDir& dir, const std::string& name, double seconds) {
  const std::string path = dir.file(name);
  fs::create_directories(fs::path(path).parent_path());
  const std::string command = std::string(QV_FFMPEG) +
                              " -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:"
                              "sample_rate=44100:duration=" +
                              std::to_string(seconds) + " " + ShellQuote(path);
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  return path;
}

bool WaitUntilStopped(const PreviewPlayer& player, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (player.IsPlaying()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

class PreviewPlayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_started = BASS_Init(-1, 44100, 0, nullptr, nullptr) != 0;
  }
  static void TearDownTestSuite() {
    if (s_started) BASS_Free();
  }
  void SetUp() override {
    if (!s_started) GTEST_FAIL() << "the audio output could not start (error "
                                 << BASS_ErrorGetCode() << ")";
  }
  static bool s_started;
  test::TempDir m_dir;
};
bool PreviewPlayerTest::s_started = false;

TEST_F(PreviewPlayerTest, OpenFailureKeepsTheOldFileName) {
  PreviewPlayer player;
  EXPECT_EQ(player.Play(), -1);  // empty
  player.StopAndRewind();        // harmless without a stream
  const std::string tone = MakeTone(m_dir, "a.wav", 1.0);
  ASSERT_EQ(player.Open(tone), 0);
  EXPECT_EQ(player.FileName(), tone);
  EXPECT_EQ(player.Open(m_dir.file("missing.wav")), -1);
  EXPECT_EQ(player.Stream(), 0u);
  EXPECT_EQ(player.FileName(), tone);
  EXPECT_FALSE(player.IsPlaying());
}

TEST_F(PreviewPlayerTest, PlayTwiceStopsAThirdTimeStartsAgainFromTheStart) {
  const std::string tone = MakeTone(m_dir, "a.wav", 3.0);
  PreviewPlayer player;
  ASSERT_TRUE(PlayOrStop(player, tone));
  EXPECT_TRUE(player.IsPlaying());
  const HSTREAM first = player.Stream();
  ASSERT_TRUE(PlayOrStop(player, tone));
  EXPECT_FALSE(player.IsPlaying());
  EXPECT_EQ(player.Stream(), first);  // stopped and rewound, not closed
  ASSERT_TRUE(PlayOrStop(player, tone));
  EXPECT_TRUE(player.IsPlaying());
  EXPECT_FALSE(PlayOrStop(player, ""));  // nothing selected: nothing to do
  EXPECT_TRUE(player.IsPlaying());
}

TEST_F(PreviewPlayerTest, AnotherFileStopsTheFirst) {
  const std::string a = MakeTone(m_dir, "a.wav", 3.0);
  const std::string b = MakeTone(m_dir, "b.flac", 3.0);
  PreviewPlayer player;
  PlayOrStop(player, a);
  const HSTREAM streamA = player.Stream();
  PlayOrStop(player, b);
  EXPECT_TRUE(player.IsPlaying());
  EXPECT_EQ(player.FileName(), b);
  EXPECT_EQ(BASS_ChannelIsActive(streamA), BASS_ACTIVE_STOPPED);  // freed
}

TEST_F(PreviewPlayerTest, AFilePlayedToItsEndPlaysAgainFromTheStart) {
  const std::string tone = MakeTone(m_dir, "short.wav", 0.2);
  PreviewPlayer player;
  PlayOrStop(player, tone);
  ASSERT_TRUE(WaitUntilStopped(player, std::chrono::seconds(5)));
  PlayOrStop(player, tone);
  EXPECT_TRUE(player.IsPlaying());
}

TEST_F(PreviewPlayerTest, TheOpenerFollowsTheFileNotItsFolder) {
  const std::string tone = MakeTone(m_dir, "old.wma/song.mp3", 2.0);
  PreviewPlayer player;
  EXPECT_EQ(player.Open(tone), 0);
  EXPECT_EQ(player.Play(), 0);
  EXPECT_TRUE(player.IsPlaying());
}

TEST_F(PreviewPlayerTest, AutoPlayFollowsTheCheckBox) {
  const std::string a = MakeTone(m_dir, "a.wav", 3.0);
  const std::string b = MakeTone(m_dir, "b.wav", 3.0);
  PreviewPlayer player;
  {
    AutoPlayState state(player);
    EXPECT_TRUE(state.OnDialogStart(1));
    state.OnSelectionChanged(m_dir.str());  // a folder: nothing
    EXPECT_FALSE(player.IsPlaying());
    state.OnSelectionChanged(a);
    EXPECT_TRUE(player.IsPlaying());
    state.OnCheckBoxClicked(false);
    EXPECT_FALSE(player.IsPlaying());
    state.OnCheckBoxClicked(true);  // nothing plays until the highlight moves
    EXPECT_FALSE(player.IsPlaying());
    state.OnSelectionChanged(b);
    EXPECT_TRUE(player.IsPlaying());
    EXPECT_EQ(player.FileName(), b);
    state.OnCheckBoxClicked(false);
  }
  {
    // A new dialog starts from the setting again, whatever the last dialog's box said.
    AutoPlayState state(player);
    EXPECT_FALSE(state.OnDialogStart(0));
    state.OnSelectionChanged(a);
    EXPECT_FALSE(player.IsPlaying());
  }
}

TEST_F(PreviewPlayerTest, MovingTheHighlightThroughAFolderPlaysOnlyTheLastFile) {
  // Auto-play while the user walks through a folder with the arrow keys: every regular file
  // starts at once and the one before it is stopped and freed; a folder, a vanished name or a
  // file that is no audio change that as the rules say.
  const std::string names[] = {"a.wav", "b.flac", "c.mp3"};
  std::vector<std::string> files;
  for (const std::string& name : names) files.push_back(MakeTone(m_dir, name, 4.0));
  const std::string text = m_dir.file("notes.mp3");
  { std::ofstream(text) << "not audio at all\n"; }
  HSTREAM previous = 0;
  {
    PreviewPlayer player;
    AutoPlayState state(player);
    ASSERT_TRUE(state.OnDialogStart(1));
    for (int step = 0; step < 60; ++step) {
      const std::string& file = files[static_cast<std::size_t>(step) % files.size()];
      state.OnSelectionChanged(file);
      ASSERT_TRUE(player.IsPlaying()) << step;
      EXPECT_EQ(player.FileName(), file);
      if (previous != 0) {
        EXPECT_EQ(BASS_ChannelIsActive(previous), BASS_ACTIVE_STOPPED);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE) << "the last file's stream was kept";
      }
      previous = player.Stream();
      if (step % 10 == 5) {
        state.OnSelectionChanged(m_dir.str());  // a folder: the file goes on
        state.OnSelectionChanged(m_dir.file("gone.wav"));
        EXPECT_TRUE(player.IsPlaying());
        EXPECT_EQ(player.Stream(), previous);
      }
    }
    // A file that is no audio: the one that played stops, nothing plays.
    state.OnSelectionChanged(text);
    EXPECT_FALSE(player.IsPlaying());
    EXPECT_EQ(player.Stream(), 0u);
    state.OnSelectionChanged(files[0]);
    EXPECT_TRUE(player.IsPlaying());
    previous = player.Stream();
  }
  // The player went away while its file played: the stream went with it.
  EXPECT_EQ(BASS_ChannelIsActive(previous), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

}  // namespace
}  // namespace qv
