// The pipe encoder on the child-process owner: a child that stops reading makes the write
// fail after the stall timeout with the child ended; one that never exits is ended when the
// encoder stops; Abort ends a child at once, even one that ignores SIGTERM; a child that fails
// names its cause. The header declares the channel's length, and the data keep to it.

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <vector>

#include "app/paths.h"
#include "audio/audiotestutil.h"
#include "audio/bass.h"
#include "audio/encoder.h"
#include "audio/pipeencoder.h"
#include "support/tempdir.h"
#include "tooltestutil.h"

namespace qv::test {
namespace {

constexpr DWORD kDecodeFlags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;

std::uint32_t Le32(const std::string& bytes, size_t at) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

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

TEST_F(PipeEncoderTest, AChildThatFailsNamesItsCauseInItsLastLineOfComplaint) {
  // One that fails while it reads (the write fails) and one that fails at the end (the stop).
  const char* commands[] = {"echo warming up >&2; head -c 100 > /dev/null; "
                            "echo 'enc: cannot write: No space left on device' >&2; exit 3",
                            "cat > /dev/null; echo 'enc: the stream is damaged' >&2; exit 2"};
  const char* causes[] = {"enc: cannot write: No space left on device",
                          "enc: the stream is damaged"};
  for (int i = 0; i < 2; ++i) {
    const HENCODE encoder = Start(commands[i]);
    ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
    bool ok = true;
    for (int block = 0; block < 4 && ok; ++block) {
      ok = BASS_Encode_Write(encoder, m_block.data(), static_cast<DWORD>(m_block.size() * 4));
    }
    if (ok) ok = BASS_Encode_Stop(encoder);
    EXPECT_FALSE(ok) << commands[i];
    EXPECT_EQ(audio::LastEncoderErrorText(), causes[i]);
    BASS_Encode_Abort(encoder);
  }
}

TEST(FloatWavHeaderTest, DeclaresOnlyALengthItsSizesCanHold) {
  // Stereo floats: 8 bytes a frame; the RIFF size (38 more than the data) stays below the
  // "unknown" 0xFFFFFFFF. 0 frames would read as "unknown" too, so it is not declared.
  constexpr std::int64_t kMost = (0xFFFFFFFEll - 38) / 8;
  constexpr std::uint32_t kUnknown = 0xFFFFFFFFu;
  const struct {
    std::int64_t frames;
    std::uint32_t riffSize, dataSize;
  } cases[] = {{-1, kUnknown, kUnknown},
               {0, kUnknown, kUnknown},
               {44100, 38 + 44100 * 8, 44100 * 8},
               {kMost, 0xFFFFFFFEu, 0xFFFFFFFEu - 38},
               {kMost + 1, kUnknown, kUnknown}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frames);
    const std::string header = audio::FloatWavHeader(44100, 2, c.frames);
    ASSERT_EQ(header.size(), 46u);
    EXPECT_EQ(Le32(header, 4), c.riffSize);
    EXPECT_EQ(Le32(header, 42), c.dataSize);
    EXPECT_EQ(audio::FloatWavHeaderDeclares(2, c.frames), c.dataSize != kUnknown);
  }
}

// The child gets the channel's length in the header and exactly that many frames: more are
// dropped, up to two seconds too few are filled with silence, and more than that ends the child
// before its input closes (so it never takes the cut data for a finished stream) and fails.
TEST_F(PipeEncoderTest, TheDataKeepToTheLengthTheHeaderDeclares) {
  audio::PipeEncoder::SetTimeoutsForTesting(0, 0);  // a loaded machine may be slow to write
  WriteTestWav16(m_dir.file("3s.wav"), 44100, 2, 3 * 44100);
  const struct {
    const char* name;
    const char* source;
    long writtenFrames;
    long outFrames;  // -1: the stop fails
  } cases[] = {{"exact", "s.wav", 44100, 44100},
               {"too long", "s.wav", 2 * 44100 + 7, 44100},
               {"two seconds short", "3s.wav", 44100, 3 * 44100},
               {"more than two seconds short", "3s.wav", 44100 - 1, -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file(c.source).c_str(), 0, 0,
                                                 kDecodeFlags);
    ASSERT_NE(source, 0u);
    const std::string out = m_dir.file("out.wav");
    const std::string finished = m_dir.file("finished");
    std::filesystem::remove(out);
    std::filesystem::remove(finished);
    // Deaf to SIGTERM, the child would finish at once if its input closed before the kill.
    const std::string command = "trap '' TERM; echo $$ > " + ShellQuote(m_dir.file("pid")) +
                                "; cat > " + ShellQuote(out) + " && echo > " +
                                ShellQuote(finished);
    const HENCODE encoder =
        BASS_Encode_Start(source, command.c_str(), BASS_ENCODE_PAUSE, nullptr, nullptr);
    ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
    for (long left = c.writtenFrames; left > 0;) {
      const long n = std::min<long>(left, 44100);
      ASSERT_TRUE(BASS_Encode_Write(encoder, m_block.data(), static_cast<DWORD>(n * 8)));
      left -= n;
    }
    const bool stopped = BASS_Encode_Stop(encoder);
    const int stopCode = BASS_ErrorGetCode();
    const std::string stopText = audio::LastEncoderErrorText();
    BASS_StreamFree(source);
    if (c.outFrames < 0) {
      EXPECT_FALSE(stopped);
      EXPECT_EQ(stopCode, BASS_ERROR_ENDED);
      EXPECT_NE(stopText.find("44099 of 132300 frames"), std::string::npos) << stopText;
      EXPECT_FALSE(std::filesystem::exists(finished));
      EXPECT_FALSE(ProcessAlive(ReadPid(m_dir.file("pid"))));
      continue;
    }
    ASSERT_TRUE(stopped) << stopCode;
    const std::string bytes = ReadFile(out);
    const auto dataBytes = static_cast<std::uint32_t>(c.outFrames * 8);
    ASSERT_EQ(bytes.size(), 46u + dataBytes);
    EXPECT_EQ(Le32(bytes, 4), 38 + dataBytes);
    EXPECT_EQ(Le32(bytes, 42), dataBytes);
    const auto sampleAt = [&bytes](long frame) {
      float value;
      const std::uint32_t raw = Le32(bytes, 46 + static_cast<size_t>(frame) * 8);
      std::memcpy(&value, &raw, 4);
      return value;
    };
    const long lastWritten = std::min(c.writtenFrames, c.outFrames) - 1;
    EXPECT_EQ(sampleAt(lastWritten), 0.25f);
    if (lastWritten + 1 < c.outFrames) {
      EXPECT_EQ(sampleAt(lastWritten + 1), 0.0f);
      EXPECT_EQ(sampleAt(c.outFrames - 1), 0.0f);
    }
  }
}

}  // namespace
}  // namespace qv::test
