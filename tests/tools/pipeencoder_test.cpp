// The pipe encoder on the child-process owner: a child that stops reading makes the write
// fail after the stall timeout with the child ended; one that never exits is ended when the
// encoder stops; Abort ends a child at once, even one that ignores SIGTERM.

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "app/paths.h"
#include "audio/audiotestutil.h"
#include "audio/bass.h"
#include "audio/pipeencoder.h"
#include "support/tempdir.h"
#include "tooltestutil.h"

namespace qv::test {
namespace {

constexpr DWORD kDecodeFlags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;

class PipeEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    audio::PipeEncoder::SetTimeoutsForTesting(300, 300);
    WriteTestWav16(m_dir.file("s.wav"), 44100, 2, 44100);
    m_source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0, kDecodeFlags);
    ASSERT_NE(m_source, 0u);
  }
  void TearDown() override {
    BASS_StreamFree(m_source);
    audio::PipeEncoder::SetTimeoutsForTesting(0, 0);
  }

  // Starts `command` after it has written its shell's pid; returns the encoder.
  HENCODE Start(const std::string& command) {
    const std::string line = "echo $$ > " + ShellQuote(m_dir.file("pid")) + "; " + command;
    const HENCODE encoder = BASS_Encode_Start(m_source, line.c_str(), BASS_ENCODE_PAUSE, nullptr,
                                              nullptr);
    EXPECT_TRUE(WaitUntil([&] { return ReadPid(m_dir.file("pid")) > 0; }));
    m_pid = ReadPid(m_dir.file("pid"));
    return encoder;
  }

  TempDir m_dir;
  HSTREAM m_source = 0;
  long m_pid = -1;
  std::vector<float> m_block = std::vector<float>(44100 * 2, 0.25f);
};

TEST_F(PipeEncoderTest, AChildThatStopsReadingFailsTheWriteAfterTheStallTimeout) {
  const HENCODE encoder = Start("head -c 1000 > /dev/null; sleep 45");
  ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
  const auto start = std::chrono::steady_clock::now();
  bool failed = false;
  for (int i = 0; i < 20 && !failed; ++i) {
    failed = !BASS_Encode_Write(encoder, m_block.data(), static_cast<DWORD>(m_block.size() * 4));
  }
  ASSERT_TRUE(failed);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
  EXPECT_LT(ElapsedMs(start), 10000);  // not the 45 s of the child
  EXPECT_FALSE(ProcessAlive(m_pid));
  EXPECT_FALSE(BASS_Encode_Stop(encoder));
}

TEST_F(PipeEncoderTest, AChildThatNeverExitsIsEndedWhenTheEncoderStops) {
  const HENCODE encoder = Start("cat > /dev/null; sleep 45");
  ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Encode_Write(encoder, m_block.data(), static_cast<DWORD>(m_block.size() * 4)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(BASS_Encode_Stop(encoder));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
  EXPECT_LT(ElapsedMs(start), 6000);
  EXPECT_FALSE(ProcessAlive(m_pid));
}

TEST_F(PipeEncoderTest, AbortEndsARunningChildWithinASecond) {
  // The child and its members ignore SIGTERM: only the kill after the short grace ends them.
  const HENCODE encoder = Start("trap '' TERM; cat > /dev/null; sleep 45");
  ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
  ASSERT_TRUE(BASS_Encode_Write(encoder, m_block.data(), static_cast<DWORD>(m_block.size() * 4)));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(BASS_Encode_Abort(encoder));
  // 500 ms of grace, then the kill; the margin keeps a loaded machine from failing it.
  EXPECT_LT(ElapsedMs(start), 1500);
  EXPECT_FALSE(ProcessAlive(m_pid));
  EXPECT_FALSE(BASS_Encode_Write(encoder, m_block.data(), 8));  // the handle is gone
}

}  // namespace
}  // namespace qv::test
