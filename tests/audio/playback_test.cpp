// Preview playback through the output device (SDL's dummy driver in tests): the states a
// stream goes through and freeing streams while the output thread plays them.

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "audio/bass.h"
#include "audiotestutil.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

// Waits up to `timeoutMs` for the channel to reach `state`.
bool WaitForState(DWORD handle, DWORD state, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (BASS_ChannelIsActive(handle) == state) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return BASS_ChannelIsActive(handle) == state;
}

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr)) << BASS_ErrorGetCode();
    // A short mono 22050 Hz file: playback converts it to the device's 44100 Hz stereo.
    WriteTestWav16(m_dir.file("short.wav"), 22050, 1, 22050 / 4);
    WriteTestWav16(m_dir.file("long.wav"), 44100, 2, 44100 * 3);
  }
  void TearDown() override { BASS_Free(); }
  HSTREAM Open(const char* name, DWORD flags = 0) {
    return BASS_StreamCreateFile(0, m_dir.file(name).c_str(), 0, 0, flags);
  }
  TempDir m_dir;
};

TEST_F(PlaybackTest, PlaysToTheEndStopsRewindsAndRestarts) {
  const HSTREAM h = Open("short.wav");
  ASSERT_NE(h, 0u);
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(info.freq, 22050u);  // the source's facts, not the device's
  EXPECT_EQ(info.chans, 1u);
  EXPECT_TRUE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 1.0f));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);

  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  EXPECT_TRUE(WaitForState(h, BASS_ACTIVE_STOPPED, 5000)) << "never played to its end";

  // Played to the end: playing again starts from the beginning.
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  ASSERT_TRUE(BASS_ChannelStop(h));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
  ASSERT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  EXPECT_TRUE(WaitForState(h, BASS_ACTIVE_STOPPED, 5000));
  EXPECT_TRUE(BASS_StreamFree(h));

  // Reopened: a fresh stream of the same file plays again.
  const HSTREAM again = Open("short.wav");
  ASSERT_TRUE(BASS_ChannelPlay(again, 0));
  EXPECT_EQ(BASS_ChannelIsActive(again), BASS_ACTIVE_PLAYING);
  EXPECT_TRUE(BASS_StreamFree(again));
  EXPECT_EQ(BASS_ChannelIsActive(again), BASS_ACTIVE_STOPPED);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

TEST_F(PlaybackTest, StopAndRewindOfAPlayingStream) {
  const HSTREAM h = Open("long.wav");
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  // Playing again while it plays changes nothing.
  EXPECT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_TRUE(BASS_ChannelStop(h));
  EXPECT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_STOPPED);
  // Stopping a stopped stream is harmless.
  EXPECT_TRUE(BASS_ChannelStop(h));
  EXPECT_TRUE(BASS_StreamFree(h));
}

TEST_F(PlaybackTest, FreeingPlayingStreamsIsSafe) {
  // Many streams freed at once while the output thread mixes them: under AddressSanitizer a
  // stream used after its free would show here.
  for (int round = 0; round < 20; ++round) {
    const HSTREAM a = Open("long.wav");
    const HSTREAM b = Open("short.wav");
    ASSERT_TRUE(BASS_ChannelPlay(a, 0));
    ASSERT_TRUE(BASS_ChannelPlay(b, 0));
    BASS_ChannelSetAttribute(a, BASS_ATTRIB_VOL, 0.5f);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_TRUE(BASS_StreamFree(a));
    EXPECT_TRUE(BASS_StreamFree(b));
  }
  // BASS_Free closes the device with a stream still playing and frees every stream.
  const HSTREAM last = Open("long.wav");
  ASSERT_TRUE(BASS_ChannelPlay(last, 0));
  EXPECT_TRUE(BASS_Free());
  EXPECT_FALSE(BASS_ChannelGetInfo(last, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
}

TEST_F(PlaybackTest, CallsFromTwoThreadsWhileTheDeviceMixes) {
  // The user-interface thread plays, stops, rewinds and frees while another thread queries
  // and changes the same streams, and the device is closed and opened again under them. Run
  // under ThreadSanitizer this shows data races and lock-order inversions with SDL's lock.
  std::atomic<bool> done{false};
  std::atomic<HSTREAM> shared{0};
  std::thread other([&] {
    while (!done) {
      const HSTREAM h = shared.load();
      BASS_ChannelIsActive(h);
      BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f);
      BASS_CHANNELINFO info{};
      BASS_ChannelGetInfo(h, &info);
      std::this_thread::yield();
    }
  });
  for (int round = 0; round < 10; ++round) {
    const HSTREAM h = Open("long.wav");
    ASSERT_NE(h, 0u);
    shared = h;
    EXPECT_TRUE(BASS_ChannelPlay(h, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    EXPECT_TRUE(BASS_ChannelStop(h));
    EXPECT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    EXPECT_TRUE(BASS_ChannelPlay(h, 0));
    if (round % 3 == 0) {
      EXPECT_TRUE(BASS_Free());  // frees the playing stream with the device
      ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
    } else {
      EXPECT_TRUE(BASS_StreamFree(h));
    }
  }
  done = true;
  other.join();
}

TEST_F(PlaybackTest, RefusedRequests) {
  EXPECT_FALSE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);

  const HSTREAM decode = Open("short.wav", BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  EXPECT_FALSE(BASS_ChannelPlay(decode, 0));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DECODE);
  BASS_StreamFree(decode);

  const HSTREAM h = Open("short.wav");
  EXPECT_FALSE(BASS_ChannelSetAttribute(h, 99, 1.0f));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
  EXPECT_FALSE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, -1.0f));
  EXPECT_FALSE(BASS_ChannelPlay(0, 0));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  EXPECT_FALSE(BASS_ChannelStop(0));

  // Without a device, streams still open (the probe needs no sound card) but cannot play.
  BASS_Free();
  const HSTREAM silent = Open("short.wav");
  ASSERT_NE(silent, 0u);
  EXPECT_FALSE(BASS_ChannelPlay(silent, 0));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_INIT);
  BASS_StreamFree(silent);
  EXPECT_FALSE(BASS_Free());
  EXPECT_FALSE(BASS_Init(5, 44100, 0, nullptr, nullptr));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DEVICE);
  ASSERT_TRUE(BASS_Init(-1, 44100, 0, nullptr, nullptr));
}

TEST_F(PlaybackTest, OpeningTheDeviceLeavesTerminationSignalsAlone) {
  // The program must still end on the first SIGTERM or SIGINT while the device is open.
  for (const int sig : {SIGTERM, SIGINT}) {
    struct sigaction current {};
    ASSERT_EQ(::sigaction(sig, nullptr, &current), 0);
    EXPECT_EQ(current.sa_handler, SIG_DFL) << sig;
  }
}

}  // namespace
}  // namespace qv::test
