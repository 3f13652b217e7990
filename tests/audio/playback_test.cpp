// Preview playback through the output device (SDL's dummy driver in tests): the ring between
// the decoding thread and the output, a playable stream's feed (every frame in order, rewinds
// and seeks without stale data, read errors and replaced files), the states a stream goes
// through while its decoder runs, and freeing and restarting streams as auto-play does.

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "audio/bass.h"
#include "audio/decoder.h"
#include "audio/playback.h"
#include "audio/ringbuffer.h"
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

// While a ReadFaults object lives, every read of any decoder's file fails once `failing` is
// set, as reads of a failing disk would.
class ReadFaults {
 public:
  ReadFaults() { audio::SetReadFaultHook(&Check); }
  ~ReadFaults() {
    audio::SetReadFaultHook(nullptr);
    s_failing = false;
  }
  ReadFaults(const ReadFaults&) = delete;
  ReadFaults& operator=(const ReadFaults&) = delete;
  void Fail(bool failing) { s_failing = failing; }

 private:
  static bool Check() { return s_failing.load(); }
  static inline std::atomic<bool> s_failing{false};
};

// Threads of this process (Linux).
std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    ++count;
  }
  return count;
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

TEST_F(PlaybackTest, RewindSeekAndEndWhileTheDecoderRuns) {
  WriteTestWav16(m_dir.file("ten.wav"), 44100, 2, 44100 * 10);
  const HSTREAM h = Open("ten.wav");
  ASSERT_NE(h, 0u);
  const QWORD length = BASS_ChannelGetLength(h, BASS_POS_BYTE);
  ASSERT_EQ(length, QWORD{44100} * 10 * 8);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  // A rewind and a seek of a playing stream are requests: it goes on playing.
  EXPECT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  EXPECT_TRUE(BASS_ChannelSetPosition(h, length / 2, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  EXPECT_FALSE(BASS_ChannelSetPosition(h, length + 8, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  // Close to the end: it plays out and stops by itself, long before the whole file could.
  ASSERT_TRUE(BASS_ChannelSetPosition(h, length - 44100 / 10 * 8, BASS_POS_BYTE));
  EXPECT_TRUE(WaitForState(h, BASS_ACTIVE_STOPPED, 5000)) << "the seek was not carried out";
  // At its end, playing again starts from the beginning; a restart does so at any time.
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  ASSERT_TRUE(BASS_ChannelPlay(h, 1));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  EXPECT_TRUE(BASS_ChannelStop(h));
  EXPECT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
  EXPECT_TRUE(BASS_StreamFree(h));
}

TEST_F(PlaybackTest, AFileThatFailsMidwayStopsAndCanPlayAgain) {
  WriteTestWav16(m_dir.file("ten.wav"), 44100, 2, 44100 * 10);
  ReadFaults faults;
  const HSTREAM h = Open("ten.wav");
  ASSERT_NE(h, 0u);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  faults.Fail(true);
  EXPECT_TRUE(WaitForState(h, BASS_ACTIVE_STOPPED, 5000)) << "a failing file went on playing";
  // While the file still fails, playing again opens it again, fails and stops again.
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_TRUE(WaitForState(h, BASS_ACTIVE_STOPPED, 5000));
  faults.Fail(false);
  ASSERT_TRUE(BASS_ChannelPlay(h, 0));
  EXPECT_EQ(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
  EXPECT_TRUE(BASS_StreamFree(h));
}

TEST_F(PlaybackTest, ManyStartsAndStopsInARowLeaveNoThreadBehind) {
  // What auto-play does while the user moves through a folder: open, play, and stop, rewind or
  // free the stream at once, hundreds of times. Every stream's decoding thread ends with it.
  WriteTestWav16(m_dir.file("ten.wav"), 44100, 2, 44100 * 10);
  const char* names[] = {"long.wav", "short.wav", "ten.wav"};
  const std::size_t before = ThreadCount();
  for (int round = 0; round < 150; ++round) {
    const HSTREAM h = Open(names[round % 3]);
    ASSERT_NE(h, 0u) << round;
    ASSERT_TRUE(BASS_ChannelPlay(h, 0)) << round;
    switch (round % 4) {
      case 0:  // the stream goes away while it plays
        break;
      case 1:
        EXPECT_TRUE(BASS_ChannelStop(h));
        EXPECT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
        break;
      case 2:  // freed while its thread goes to the middle
        EXPECT_TRUE(BASS_ChannelSetPosition(h, BASS_ChannelGetLength(h, BASS_POS_BYTE) / 2 / 8 * 8,
                                            BASS_POS_BYTE));
        break;
      case 3:
        EXPECT_TRUE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
        EXPECT_TRUE(BASS_ChannelStop(h));
        EXPECT_TRUE(BASS_ChannelPlay(h, 0));
        break;
    }
    ASSERT_TRUE(BASS_StreamFree(h)) << round;
  }
  EXPECT_EQ(ThreadCount(), before);
  // The output still plays afterwards.
  const HSTREAM last = Open("short.wav");
  ASSERT_TRUE(BASS_ChannelPlay(last, 0));
  EXPECT_TRUE(WaitForState(last, BASS_ACTIVE_STOPPED, 5000));
  EXPECT_TRUE(BASS_StreamFree(last));
}

TEST(FrameRingTest, KeepsTheOrderAcrossTheWrapAndTakesOnlyWhatItHolds) {
  audio::FrameRing ring(5, 2);
  const float first[] = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(ring.Write(first, 3), 3u);
  std::vector<float> out(20, 0.0f);
  EXPECT_EQ(ring.MixInto(out.data(), 2, 1.0f), 2u);
  EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  // Four more fit beside the one left, across the end of the storage; a fifth does not.
  const float second[] = {7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  EXPECT_EQ(ring.Write(second, 5), 4u);
  EXPECT_EQ(ring.size(), 5u);
  EXPECT_EQ(ring.space(), 0u);
  std::vector<float> mixed(12, 1.0f);
  EXPECT_EQ(ring.MixInto(mixed.data(), 6, 0.5f), 5u);  // added with the gain, in order
  EXPECT_EQ(mixed, (std::vector<float>{3.5f, 4, 4.5f, 5, 5.5f, 6, 6.5f, 7, 7.5f, 8, 1, 1}));
  EXPECT_EQ(ring.MixInto(mixed.data(), 1, 1.0f), 0u);
  EXPECT_EQ(ring.Write(first, 2), 2u);
  ring.Clear();
  EXPECT_EQ(ring.size(), 0u);
  EXPECT_EQ(ring.space(), 5u);
}

// A playable stream's feed, read as the output callback reads it.
class PlaybackFeedTest : public ::testing::Test {
 protected:
  static constexpr audio::FileDecoder::Output kDevice{44100, 2};

  std::unique_ptr<audio::PlaybackFeed> OpenFeed(const std::string& path) {
    auto decoder = std::make_unique<audio::FileDecoder>();
    if (decoder->Open(path, kDevice) != BASS_OK) return nullptr;
    const audio::SourceFormat source = decoder->format();
    auto feed = std::make_unique<audio::PlaybackFeed>(path, std::move(decoder), kDevice, source);
    if (!feed->Start()) return nullptr;
    return feed;
  }

  // Takes up to `frames` frames (all of them with -1) in blocks of an output period, as the
  // device would, waiting for the decoder when it has not caught up. `ended` tells whether the
  // feed reported its end.
  static std::vector<float> Take(audio::PlaybackFeed& feed, long frames, bool& ended,
                                 float gain = 1.0f) {
    constexpr long kPeriod = 1000;
    std::vector<float> taken;
    ended = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (frames < 0 || static_cast<long>(taken.size()) / 2 < frames) {
      const long want =
          frames < 0 ? kPeriod : std::min(kPeriod, frames - static_cast<long>(taken.size()) / 2);
      std::vector<float> block(static_cast<std::size_t>(want) * 2, 0.0f);
      const audio::PlaybackFeed::Mixed mixed = feed.MixInto(block.data(), want, gain);
      taken.insert(taken.end(), block.begin(), block.begin() + mixed.frames * 2);
      if (!mixed.more) {
        ended = true;
        break;
      }
      if (mixed.frames == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
          ADD_FAILURE() << "the feed gave nothing for 20 s";
          break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
    return taken;
  }

  static std::vector<float> Slice(const std::vector<float>& all, long fromFrame) {
    return {all.begin() + fromFrame * 2, all.end()};
  }

  TempDir m_dir;
};

TEST_F(PlaybackFeedTest, GivesEveryFrameInOrderAcrossSeeksAndRewinds) {
  // Longer than the ring, so the decoder waits for room and the ring wraps many times.
  const std::string path = m_dir.file("tone.wav");
  const long frames = 44100 * 3 / 2;
  const std::vector<float> expected = WriteTestWav16(path, 44100, 2, frames);
  auto feed = OpenFeed(path);
  ASSERT_TRUE(feed);
  bool ended = false;
  ASSERT_EQ(Take(*feed, 20000, ended).size(), 40000u);
  // A rewind in the middle: nothing of the old position comes out afterwards.
  feed->SeekTo(0);
  EXPECT_EQ(Take(*feed, -1, ended), expected);
  EXPECT_TRUE(ended);
  EXPECT_TRUE(feed->Ended());
  EXPECT_EQ(feed->error(), 0);
  float unused[2] = {};
  EXPECT_FALSE(feed->MixInto(unused, 1, 1.0f).more);
  // After the end, and to a frame in the middle.
  feed->SeekTo(30000);
  EXPECT_FALSE(feed->Ended());
  EXPECT_EQ(Take(*feed, -1, ended), Slice(expected, 30000));
  EXPECT_TRUE(ended);
  // Requests in a row: only the last one counts.
  feed->SeekTo(5000);
  feed->SeekTo(60000);
  feed->SeekTo(0);
  const std::vector<float> halfGain = Take(*feed, 100, ended, 0.5f);
  ASSERT_EQ(halfGain.size(), 200u);
  for (std::size_t i = 0; i < halfGain.size(); ++i) {
    EXPECT_FLOAT_EQ(halfGain[i], expected[i] * 0.5f) << i;
  }
}

TEST_F(PlaybackFeedTest, ASeekCountsInTheSourcesFrames) {
  // 22050 Hz mono goes out at 44100 Hz stereo: source frame 11025 is output frame 22050, and
  // the data from there are those of a play from the start.
  const std::string path = m_dir.file("mono.wav");
  WriteTestWav16(path, 22050, 1, 22050);
  auto feed = OpenFeed(path);
  ASSERT_TRUE(feed);
  bool ended = false;
  const std::vector<float> whole = Take(*feed, -1, ended);
  ASSERT_TRUE(ended);
  ASSERT_NEAR(static_cast<double>(whole.size()), 44100.0 * 2, 2.0 * 64);
  feed->SeekTo(11025);
  EXPECT_EQ(Take(*feed, -1, ended), Slice(whole, 22050));
}

TEST_F(PlaybackFeedTest, AReadErrorEndsTheDataAndARewindRecovers) {
  const std::string path = m_dir.file("tone.wav");
  const long frames = 44100 * 3;
  const std::vector<float> expected = WriteTestWav16(path, 44100, 2, frames);
  ReadFaults faults;
  auto feed = OpenFeed(path);
  ASSERT_TRUE(feed);
  bool ended = false;
  const std::vector<float> before = Take(*feed, 10000, ended);
  ASSERT_FALSE(ended);
  faults.Fail(true);
  const std::vector<float> rest = Take(*feed, -1, ended);
  EXPECT_TRUE(ended) << "a failing file did not end";
  EXPECT_LT(before.size() + rest.size(), expected.size());
  EXPECT_EQ(feed->error(), BASS_ERROR_READ);
  // What came out before the failure is the file's own data.
  std::vector<float> all = before;
  all.insert(all.end(), rest.begin(), rest.end());
  EXPECT_TRUE(std::equal(all.begin(), all.end(), expected.begin()));

  // Opening it again fails too while the disk fails; then it plays whole again.
  feed->SeekTo(0);
  EXPECT_TRUE(Take(*feed, -1, ended).empty());
  EXPECT_TRUE(ended);
  EXPECT_NE(feed->error(), 0);
  faults.Fail(false);
  feed->SeekTo(0);
  EXPECT_EQ(Take(*feed, -1, ended), expected);
  EXPECT_EQ(feed->error(), 0);
}

TEST_F(PlaybackFeedTest, AFileReplacedOrRemovedEndsAtTheNextRewind) {
  const std::string path = m_dir.file("tone.wav");
  WriteTestWav16(path, 44100, 2, 44100);
  auto feed = OpenFeed(path);
  ASSERT_TRUE(feed);
  bool ended = false;
  ASSERT_EQ(Take(*feed, 5000, ended).size(), 10000u);
  // Another file under the same name with another format: not what was opened.
  WriteTestWav16(m_dir.file("other.wav"), 22050, 1, 22050);
  std::filesystem::rename(m_dir.file("other.wav"), path);
  feed->SeekTo(0);
  EXPECT_TRUE(Take(*feed, -1, ended).empty());
  EXPECT_TRUE(ended);
  EXPECT_EQ(feed->error(), BASS_ERROR_FILEFORM);
  std::filesystem::remove(path);
  feed->SeekTo(0);
  EXPECT_TRUE(Take(*feed, -1, ended).empty());
  EXPECT_TRUE(ended);
  EXPECT_EQ(feed->error(), BASS_ERROR_FILEOPEN);
}

TEST_F(PlaybackFeedTest, EndsPromptlyWhateverItsThreadIsDoing) {
  // Destroyed without a start, while the decoder waits for room, and while it skips toward
  // a far seek target: each joins its thread (a hang would fail the test by its timeout).
  const std::string path = m_dir.file("long.wav");
  WriteTestWav16(path, 44100, 2, 44100 * 20);
  {
    auto decoder = std::make_unique<audio::FileDecoder>();
    ASSERT_EQ(decoder->Open(path, kDevice), BASS_OK);
    const audio::SourceFormat source = decoder->format();
    audio::PlaybackFeed idle(path, std::move(decoder), kDevice, source);
  }
  for (int round = 0; round < 10; ++round) {
    auto waiting = OpenFeed(path);
    ASSERT_TRUE(waiting);
    bool ended = false;
    Take(*waiting, 100, ended);
    waiting.reset();
    auto skipping = OpenFeed(path);
    ASSERT_TRUE(skipping);
    skipping->SeekTo(44100 * 19);
    skipping.reset();
  }
}

}  // namespace
}  // namespace qv::test
