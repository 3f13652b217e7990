// The encoders: LAME MP3 files, the pipe encoder's child process and WAV stream, WMA files.
// Every output is decoded back through the layer.

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "app/paths.h"
#include "audio/bass.h"
#include "audio/encoder.h"
#include "audiotestutil.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

constexpr DWORD kDecodeFlags = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;
constexpr DWORD kMp3Flags = 0x40121;
constexpr DWORD kPipeFlags = 0x40020;

MPEGLAYER3WAVEFORMAT Mp3Record(int kbps, int rate) {
  MPEGLAYER3WAVEFORMAT f{};
  f.wfx.wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  f.wfx.nChannels = 2;
  f.wfx.nSamplesPerSec = static_cast<DWORD>(rate);
  f.wfx.nAvgBytesPerSec = static_cast<DWORD>(kbps * 125);
  f.wfx.nBlockAlign = 1;
  f.wfx.cbSize = 12;
  f.wID = 1;
  f.fdwFlags = 2;
  f.nBlockSize = static_cast<WORD>(144 * kbps * 1000 / rate);
  f.nFramesPerBlock = 1;
  return f;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Feeds a decoding stream to `write` in one-second blocks; every block must be taken.
template <typename Write>
void Pump(HSTREAM stream, Write write) {
  EXPECT_TRUE(PumpBlocks(stream, write));
}

class EncoderTest : public ::testing::Test {
 protected:
  TempDir m_dir;
};

TEST_F(EncoderTest, Mp3FromMonoIsStereoWithExactLength) {
  const long frames = 44100 * 2 + 500;
  WriteTestWav16(m_dir.file("mono.wav"), 44100, 1, frames);
  const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("mono.wav").c_str(), 0, 0,
                                               kDecodeFlags);
  ASSERT_NE(source, 0u);
  const MPEGLAYER3WAVEFORMAT record = Mp3Record(128, 44100);
  const std::string out = m_dir.file("out.mp3");
  const HENCODE encoder = BASS_Encode_StartACMFile(source, &record, kMp3Flags, out.c_str());
  ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
  Pump(source, [&](const float* data, DWORD bytes) {
    return BASS_Encode_Write(encoder, data, bytes) == 1;
  });
  EXPECT_TRUE(BASS_Encode_Stop(encoder));
  BASS_StreamFree(source);

  const std::string bytes = ReadAll(out);
  ASSERT_GT(bytes.size(), 1000u);
  // Bare MPEG frames: a frame sync first, no WAV or ID3 header; the first frame is the info
  // frame that tells decoders the exact length.
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]) & 0xE0, 0xE0);
  EXPECT_NE(bytes.substr(0, 200).find("Info"), std::string::npos);
  // 128 kbit/s constant: about 16000 bytes per second.
  EXPECT_NEAR(static_cast<double>(bytes.size()), 16000.0 * frames / 44100, 2000);

  const Decoded d = DecodeFile(out);
  ASSERT_NE(d.handle, 0u);
  EXPECT_EQ(d.info.freq, 44100u);
  EXPECT_EQ(d.info.chans, 2u);
  EXPECT_NEAR(static_cast<double>(d.samples.size() / 2), frames, 1152);
  EXPECT_NEAR(static_cast<double>(d.lengthBytes / 8), frames, 1152);
}

TEST_F(EncoderTest, Mp3RefusesRecordsThatDoNotFitAndResamplesToTheRecordsRate) {
  WriteTestWav16(m_dir.file("s48.wav"), 48000, 2, 4800);
  WriteTestWav16(m_dir.file("s22.wav"), 22050, 2, 2205);
  const HSTREAM s48 = BASS_StreamCreateFile(0, m_dir.file("s48.wav").c_str(), 0, 0, kDecodeFlags);
  const HSTREAM s22 = BASS_StreamCreateFile(0, m_dir.file("s22.wav").c_str(), 0, 0, kDecodeFlags);
  const std::string out = m_dir.file("refused.mp3");
  const auto start = [&](HSTREAM h, int kbps, int rate) {
    const MPEGLAYER3WAVEFORMAT record = Mp3Record(kbps, rate);
    const HENCODE e = BASS_Encode_StartACMFile(h, &record, kMp3Flags, out.c_str());
    const int code = e ? 0 : BASS_ErrorGetCode();
    if (e) BASS_Encode_Stop(e);
    return code;
  };
  EXPECT_EQ(start(s48, 191, 48000), BASS_ERROR_NOTAVAIL);  // no such bitrate
  EXPECT_EQ(start(s22, 320, 22050), BASS_ERROR_NOTAVAIL);  // not at MPEG-2 rates
  EXPECT_FALSE(std::filesystem::exists(out));
  // A record at another rate than the channel's is taken: the data are resampled to it (what
  // comes out is checked where the converter resamples).
  EXPECT_EQ(start(s48, 128, 44100), 0);
  std::filesystem::remove(out);
  EXPECT_EQ(start(s48, 320, 48000), 0);

  const MPEGLAYER3WAVEFORMAT record = Mp3Record(128, 48000);
  EXPECT_EQ(BASS_Encode_StartACMFile(s48, &record, kMp3Flags,
                                     m_dir.file("no/such/folder/x.mp3").c_str()),
            0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
  const HSTREAM playable = BASS_StreamCreateFile(0, m_dir.file("s48.wav").c_str(), 0, 0, 0);
  EXPECT_EQ(BASS_Encode_StartACMFile(playable, &record, kMp3Flags, out.c_str()), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_DECODE);
  for (HSTREAM h : {s48, s22, playable}) BASS_StreamFree(h);
}

TEST_F(EncoderTest, AutoFreeFinishesTheFileWithItsChannel) {
  WriteTestWav16(m_dir.file("s.wav"), 48000, 2, 48000);
  const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0, kDecodeFlags);
  const MPEGLAYER3WAVEFORMAT record = Mp3Record(192, 48000);
  const std::string out = m_dir.file("auto.mp3");
  const HENCODE encoder = BASS_Encode_StartACMFile(source, &record, kMp3Flags, out.c_str());
  ASSERT_NE(encoder, 0u);
  Pump(source, [&](const float* data, DWORD bytes) {
    return BASS_Encode_Write(source, data, bytes) == 1;  // by channel handle
  });
  EXPECT_TRUE(BASS_StreamFree(source));
  EXPECT_FALSE(BASS_Encode_Stop(encoder));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  const Decoded d = DecodeFile(out);
  ASSERT_NE(d.handle, 0u);
  EXPECT_EQ(d.info.freq, 48000u);
  EXPECT_NEAR(static_cast<double>(d.samples.size() / 2), 48000, 1152);
}

TEST_F(EncoderTest, PipeFeedsAFloatWavStreamToAQuotedCommand) {
  WriteTestWav16(m_dir.file("s.wav"), 32000, 1, 32000 + 77);
  const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0, kDecodeFlags);
  // A destination name the shell would otherwise split or expand.
  const std::string out = m_dir.file("it's $HOME `x` \"q\".raw");
  const HENCODE encoder =
      BASS_Encode_Start(source, ("cat > " + ShellQuote(out)).c_str(), kPipeFlags, nullptr, nullptr);
  ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
  std::string sent;
  Pump(source, [&](const float* data, DWORD bytes) {
    sent.append(reinterpret_cast<const char*>(data), bytes);
    return BASS_Encode_Write(encoder, data, bytes) == 1;
  });
  EXPECT_TRUE(BASS_Encode_Stop(encoder));
  BASS_StreamFree(source);

  const std::string got = ReadAll(out);
  ASSERT_EQ(got.size(), 46 + sent.size());
  const auto u16 = [&](size_t at) {
    return static_cast<unsigned>(static_cast<unsigned char>(got[at]) |
                                 static_cast<unsigned char>(got[at + 1]) << 8);
  };
  EXPECT_EQ(got.substr(0, 4), "RIFF");
  EXPECT_EQ(got.substr(8, 8), "WAVEfmt ");
  EXPECT_EQ(u16(20), 3u);   // IEEE float
  EXPECT_EQ(u16(22), 1u);   // channels
  EXPECT_EQ(u16(24) | u16(26) << 16, 32000u);
  EXPECT_EQ(u16(34), 32u);  // bits per sample
  EXPECT_EQ(got.substr(38, 4), "data");
  EXPECT_EQ(got.substr(46), sent);
}

TEST_F(EncoderTest, PipeChildThatExitsEarlyIsReportedNotFatal) {
  WriteTestWav16(m_dir.file("s.wav"), 44100, 2, 44100 * 3);
  for (const char* command : {"exit 3", "true", "/nonexistent/qvfaac -o x -"}) {
    SCOPED_TRACE(command);
    const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0,
                                                 kDecodeFlags);
    const HENCODE encoder = BASS_Encode_Start(source, command, kPipeFlags, nullptr, nullptr);
    if (encoder == 0) {
      // The child may already be gone when its WAV header is written: a failed start is a
      // report too.
      EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
      BASS_StreamFree(source);
      continue;
    }
    std::vector<float> block(44100 * 2, 0.25f);
    bool failed = false;
    // The pipe holds less than one block, so a write fails once the child is gone.
    for (int i = 0; i < 50 && !failed; ++i) {
      failed = !BASS_Encode_Write(encoder, block.data(), static_cast<DWORD>(block.size() * 4));
    }
    EXPECT_TRUE(failed);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ENDED);
    EXPECT_FALSE(BASS_Encode_Stop(encoder));
    BASS_StreamFree(source);
  }
}

TEST_F(EncoderTest, PipeChildRunsInItsOwnProcessGroup) {
  WriteTestWav16(m_dir.file("s.wav"), 44100, 1, 100);
  const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0, kDecodeFlags);
  const std::string out = m_dir.file("stat.txt");
  const HENCODE encoder = BASS_Encode_Start(
      source, ("cat /proc/$$/stat > " + ShellQuote(out) + "; cat > /dev/null").c_str(),
      kPipeFlags, nullptr, nullptr);
  ASSERT_NE(encoder, 0u);
  EXPECT_TRUE(BASS_Encode_Stop(encoder));
  BASS_StreamFree(source);
  // Fields: pid (comm) state ppid pgrp ...
  std::istringstream stat(ReadAll(out).substr(ReadAll(out).rfind(')') + 2));
  std::string state;
  long ppid = 0, pgrp = 0;
  stat >> state >> ppid >> pgrp;
  const long pid = std::stol(ReadAll(out));
  EXPECT_EQ(pgrp, pid);
}

TEST_F(EncoderTest, WmaRatesAndRoundTrip) {
  const DWORD* rates = BASS_WMA_EncodeGetRates(44100, 2, BASS_WMA_ENCODE_STANDARD);
  ASSERT_NE(rates, nullptr);
  std::vector<DWORD> list;
  for (const DWORD* r = rates; *r; ++r) list.push_back(*r);
  EXPECT_NE(std::find(list.begin(), list.end(), 128000u), list.end());
  EXPECT_NE(std::find(list.begin(), list.end(), 192000u), list.end());
  EXPECT_EQ(BASS_WMA_EncodeGetRates(44100, 2, BASS_WMA_ENCODE_STANDARD), rates);

  const long frames = 44100 * 3;
  WriteTestWav16(m_dir.file("s.wav"), 44100, 2, frames);
  for (DWORD bitrate : {list.front(), 128000u, list.back()}) {
    SCOPED_TRACE(bitrate);
    const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0,
                                                 kDecodeFlags);
    const std::string out = m_dir.file("out" + std::to_string(bitrate) + ".wma");
    const HWMENCODE encoder = BASS_WMA_EncodeOpenFile(44100, 2, 0x2100, bitrate, out.c_str());
    ASSERT_NE(encoder, 0u) << BASS_ErrorGetCode();
    Pump(source, [&](const float* data, DWORD bytes) {
      return BASS_WMA_EncodeWrite(encoder, data, bytes) == 1;
    });
    EXPECT_TRUE(BASS_WMA_EncodeClose(encoder));
    BASS_StreamFree(source);
    // The file's size follows its bitrate (plus a header of a few kilobytes).
    const double expected = bitrate / 8.0 * frames / 44100;
    EXPECT_NEAR(static_cast<double>(std::filesystem::file_size(out)), expected,
                expected * 0.12 + 6000);
    const Decoded d = DecodeFile(out);
    ASSERT_NE(d.handle, 0u);
    EXPECT_EQ(d.info.freq, 44100u);
    EXPECT_EQ(d.info.chans, 2u);
    EXPECT_NEAR(static_cast<double>(d.samples.size() / 2), frames, 2048 * 2);
  }
}

TEST_F(EncoderTest, WmaRefusals) {
  EXPECT_EQ(BASS_WMA_EncodeOpenFile(44100, 2, 0x2100, 1000, m_dir.file("a.wma").c_str()), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), 0);  // the bitrate: the program suggests another one
  // Rates above 48 kHz are resampled (the conversion tests cover them); no source has these.
  for (const DWORD rate : {0u, 1000000u}) {
    EXPECT_EQ(BASS_WMA_EncodeOpenFile(rate, 2, 0x2100, 128000, m_dir.file("b.wma").c_str()), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FORMAT);
  }
  EXPECT_EQ(BASS_WMA_EncodeOpenFile(44100, 2, 0x2100, 128000,
                                    m_dir.file("no/folder/c.wma").c_str()),
            0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
  EXPECT_FALSE(BASS_WMA_EncodeWrite(12345, nullptr, 0));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

TEST_F(EncoderTest, FileEncodersNeverReplaceAFile) {
  WriteTestWav16(m_dir.file("s.wav"), 44100, 2, 44100);
  const std::string taken = m_dir.file("taken.out");
  WriteTextFile(taken, "mine");
  const std::string link = m_dir.file("link.out");
  std::filesystem::create_symlink(m_dir.file("nowhere"), link);
  const MPEGLAYER3WAVEFORMAT record = Mp3Record(192, 44100);
  for (const std::string& out : {taken, link}) {
    SCOPED_TRACE(out);
    const HSTREAM source = BASS_StreamCreateFile(0, m_dir.file("s.wav").c_str(), 0, 0,
                                                 kDecodeFlags);
    EXPECT_EQ(BASS_Encode_StartACMFile(source, &record, kMp3Flags, out.c_str()), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
    EXPECT_EQ(audio::LastEncoderErrorText(), "File exists");
    EXPECT_EQ(BASS_WMA_EncodeOpenFile(44100, 2, 0x2100, 128000, out.c_str()), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CREATE);
    EXPECT_EQ(audio::LastEncoderErrorText(), "File exists");
    BASS_StreamFree(source);
  }
  EXPECT_EQ(ReadAll(taken), "mine");
  EXPECT_FALSE(std::filesystem::exists(m_dir.file("nowhere")));
  // A refused bitrate creates no file at all.
  EXPECT_EQ(BASS_WMA_EncodeOpenFile(44100, 2, 0x2100, 1000, m_dir.file("none.wma").c_str()), 0u);
  EXPECT_FALSE(std::filesystem::exists(m_dir.file("none.wma")));
}

}  // namespace
}  // namespace qv::test
