// Decoding through the layer: formats, stream facts, lengths, samples and the error codes of
// files that are not (or no longer) audio.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <thread>
#include <utility>

#include "audio/bass.h"
#include "audio/decoder.h"
#include "audiotestutil.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

constexpr int kRate = 44100;
constexpr long kFrames = 2 * kRate + 1234;  // an odd length catches rounding to blocks

class DecoderTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TempDir();
    s_source = new std::vector<float>(
        WriteTestWav16(s_dir->file("source.wav"), kRate, 2, kFrames));
  }
  static void TearDownTestSuite() {
    delete s_source;
    delete s_dir;
  }
  // Converts the source WAV with the ffmpeg options `options` into `name`.
  static std::string Make(const std::string& name, const std::string& options) {
    const std::string path = s_dir->file(name);
    if (!std::filesystem::exists(path)) {
      EXPECT_TRUE(RunFfmpeg("-i " + Quote(s_dir->file("source.wav")) + " " + options + " " +
                            Quote(path)))
          << name;
    }
    return path;
  }
  static TempDir* s_dir;
  static std::vector<float>* s_source;
};
TempDir* DecoderTest::s_dir = nullptr;
std::vector<float>* DecoderTest::s_source = nullptr;

struct LosslessCase {
  const char* name;
  const char* options;
  DWORD origres;
  float tolerance;  // largest difference allowed to the 16-bit source
};

TEST_F(DecoderTest, LosslessFormatsDecodeExactly) {
  const LosslessCase cases[] = {
      {"plain.wav", "-c:a copy", 16, 0.0f},
      {"s16.flac", "-c:a flac", 16, 0.0f},
      {"s24.flac", "-c:a flac -sample_fmt s32 -bits_per_raw_sample 24", 24, 0.0f},
      {"s24.wav", "-c:a pcm_s24le", 24, 0.0f},
      {"s32.wav", "-c:a pcm_s32le", 32, 0.0f},
      {"u8.wav", "-c:a pcm_u8", 8, 1.0f / 128},
      {"float.wav", "-c:a pcm_f32le", 0, 0.0f},
      {"s16.aiff", "-c:a pcm_s16be", 16, 0.0f},
      {"alac.m4a", "-c:a alac", 16, 0.0f},
  };
  for (const LosslessCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = DecodeFile(Make(c.name, c.options));
    ASSERT_NE(d.handle, 0u) << BASS_ErrorGetCode();
    EXPECT_EQ(d.info.freq, 44100u);
    EXPECT_EQ(d.info.chans, 2u);
    EXPECT_EQ(d.info.origres, c.origres);
    EXPECT_EQ(d.info.flags & BASS_STREAM_DECODE, BASS_STREAM_DECODE);
    EXPECT_EQ(d.lengthBytes, static_cast<QWORD>(kFrames) * 2 * 4);
    ASSERT_EQ(d.samples.size(), s_source->size());
    float worst = 0;
    for (size_t i = 0; i < d.samples.size(); ++i) {
      worst = std::max(worst, std::fabs(d.samples[i] - (*s_source)[i]));
    }
    EXPECT_LE(worst, c.tolerance);
    EXPECT_EQ(d.endCode, BASS_ERROR_ENDED);
  }
}

struct LossyCase {
  const char* name;
  const char* options;
  long codecFrame;  // samples per codec frame: the allowed error of the reported length
};

TEST_F(DecoderTest, LossyFormatsReportTheirLengthAndSound) {
  const LossyCase cases[] = {
      {"cbr.mp3", "-c:a libmp3lame -b:a 128k", 1152},
      {"vbr.mp3", "-c:a libmp3lame -q:a 4", 1152},
      {"vbr-noxing.mp3", "-c:a libmp3lame -q:a 2 -write_xing 0", 1152},
      {"adts.aac", "-c:a aac -b:a 128k", 1024},
      {"aac.m4a", "-c:a aac -b:a 128k", 1024},
      {"vorbis.ogg", "-c:a libvorbis -q:a 4", 1024},
      {"wmav2.wma", "-c:a wmav2 -b:a 128k", 2048},
      {"ac3.ac3", "-c:a ac3 -b:a 192k", 1536},
      {"mp2.mp1", "-c:a mp2 -b:a 192k -f mp2", 1152},
  };
  for (const LossyCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = DecodeFile(Make(c.name, c.options));
    ASSERT_NE(d.handle, 0u) << BASS_ErrorGetCode();
    EXPECT_EQ(d.info.freq, 44100u);
    EXPECT_EQ(d.info.chans, 2u);
    EXPECT_EQ(d.info.origres, 0u);
    const long lengthFrames = static_cast<long>(d.lengthBytes / 8);
    const long decodedFrames = static_cast<long>(d.samples.size() / 2);
    // Lossy codecs pad the end; the decoders trim what the container tells them.
    EXPECT_NEAR(lengthFrames, kFrames, 2 * c.codecFrame);
    EXPECT_NEAR(decodedFrames, lengthFrames, c.codecFrame);
    // The sound is the source's, not noise: compare the energy of both channels.
    double energy = 0;
    for (float s : d.samples) energy += double{s} * s;
    const double rms = std::sqrt(energy / std::max<size_t>(d.samples.size(), 1));
    EXPECT_NEAR(rms, 0.5 / std::sqrt(2.0), 0.05);
  }
}

TEST_F(DecoderTest, CompressedStreamsStoredAsPcmInAWavDecodeAsTheirCodec) {
  // DTS and AC-3 bitstreams written into a 16-bit WAV as if they were samples (as on DTS CDs):
  // read as PCM they are full-scale noise.
  const std::pair<const char*, const char*> cases[] = {
      {"in-wav.ac3", "-c:a ac3 -b:a 192k -f ac3"},
      {"in-wav-640k.ac3", "-c:a ac3 -b:a 640k -f ac3"},  // frames of 2.5 KB
      {"in-wav.dts", "-c:a dca -strict -2 -b:a 1411k -f dts"},
  };
  for (const auto& [name, options] : cases) {
    SCOPED_TRACE(name);
    const std::string wav = s_dir->file(std::string(name) + ".wav");
    ASSERT_TRUE(RunFfmpeg("-f s16le -ar 44100 -ac 2 -i " + Quote(Make(name, options)) +
                          " -c:a pcm_s16le " + Quote(wav)));
    const Decoded d = DecodeFile(wav);
    ASSERT_NE(d.handle, 0u) << BASS_ErrorGetCode();
    double energy = 0;
    for (float s : d.samples) energy += double{s} * s;
    EXPECT_NEAR(std::sqrt(energy / std::max<size_t>(d.samples.size(), 1)), 0.5 / std::sqrt(2.0),
                0.05);
  }
}

TEST_F(DecoderTest, VideoSoundTrackAndManyChannels) {
  const std::string video = s_dir->file("clip.mp4");
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=2 -f lavfi -i "
                        "sine=frequency=500:sample_rate=48000:duration=2 -c:v mpeg4 -c:a aac "
                        "-shortest " + Quote(video)));
  const Decoded v = DecodeFile(video);
  ASSERT_NE(v.handle, 0u) << BASS_ErrorGetCode();
  EXPECT_EQ(v.info.freq, 48000u);
  EXPECT_EQ(v.info.chans, 1u);
  EXPECT_EQ(v.endCode, BASS_ERROR_ENDED);

  const std::string six = s_dir->file("six.wav");
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=frequency=300:duration=1 -filter_complex "
                        "\"[0]pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0\" " + Quote(six)));
  const Decoded s = DecodeFile(six);
  ASSERT_NE(s.handle, 0u) << BASS_ErrorGetCode();
  EXPECT_EQ(s.info.chans, 6u);
  EXPECT_EQ(s.samples.size(), s.lengthBytes / 4);

  // A video without a sound track is not audio.
  const std::string silent = s_dir->file("silent.mp4");
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i testsrc=size=64x48:rate=10:duration=1 -c:v mpeg4 " +
                        Quote(silent)));
  EXPECT_EQ(BASS_StreamCreateFile(0, silent.c_str(), 0, 0, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);
}

TEST_F(DecoderTest, StreamFactsAndHandles) {
  const std::string path = Make("cbr.mp3", "-c:a libmp3lame -b:a 128k");
  const HSTREAM h = BASS_StreamCreateFile(0, path.c_str(), 0, 0, 0);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END),
            static_cast<QWORD>(std::filesystem::file_size(path)));
  BASS_CHANNELINFO info{};
  ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(info.flags & BASS_STREAM_DECODE, 0u);
  EXPECT_STREQ(info.filename, path.c_str());
  EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(h, 44100 * 8), 1.0);
  // A playable stream hands out no data: only decoding streams do.
  float buffer[64];
  EXPECT_EQ(BASS_ChannelGetData(h, buffer, sizeof buffer), 0xFFFFFFFFu);
  EXPECT_TRUE(BASS_StreamFree(h));
  EXPECT_FALSE(BASS_StreamFree(h));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
  EXPECT_FALSE(BASS_ChannelGetInfo(h, &info));
  EXPECT_EQ(BASS_ChannelGetData(h, buffer, sizeof buffer), 0xFFFFFFFFu);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);

  // Handles are process-wide: another thread sees the stream and keeps its own error code.
  const HSTREAM d = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                          BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  ASSERT_NE(d, 0u);
  int otherCode = -2;
  DWORD otherGot = 0;
  std::thread([&] {
    otherGot = BASS_ChannelGetData(d, buffer, sizeof buffer);
    BASS_StreamFree(0);
    otherCode = BASS_ErrorGetCode();
  }).join();
  EXPECT_EQ(otherGot, sizeof buffer);
  EXPECT_EQ(otherCode, BASS_ERROR_HANDLE);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);  // this thread's last call succeeded
  EXPECT_TRUE(BASS_StreamFree(d));
}

TEST_F(DecoderTest, SeekingIsExact) {
  const std::string path = Make("s16.flac", "-c:a flac");
  const HSTREAM h = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                          BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  ASSERT_NE(h, 0u);
  std::vector<float> block(200);
  ASSERT_EQ(BASS_ChannelGetData(h, block.data(), 800), 800u);
  ASSERT_TRUE(BASS_ChannelSetPosition(h, 1000 * 8, BASS_POS_BYTE));
  ASSERT_EQ(BASS_ChannelGetData(h, block.data(), 800), 800u);
  for (size_t i = 0; i < block.size(); ++i) EXPECT_EQ(block[i], (*s_source)[2000 + i]);
  EXPECT_FALSE(BASS_ChannelSetPosition(h, QWORD{kFrames + 10} * 8, BASS_POS_BYTE));
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
  BASS_StreamFree(h);
}

TEST_F(DecoderTest, FilesThatAreNotAudio) {
  const auto open = [](const std::string& path) {
    const HSTREAM h = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                            BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
    if (h) BASS_StreamFree(h);
    return h ? 0 : BASS_ErrorGetCode();
  };
  EXPECT_EQ(open(s_dir->file("missing.wav")), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(open(s_dir->str()), BASS_ERROR_FILEOPEN);

  const std::string empty = s_dir->file("empty.mp3");
  WriteTextFile(empty, "");
  EXPECT_EQ(open(empty), BASS_ERROR_FILEFORM);

  const std::string text = s_dir->file("notes.mp3");
  std::string words;
  for (int i = 0; i < 400; ++i) words += "These are notes, not music. Line " + std::to_string(i) + "\n";
  WriteTextFile(text, words);
  EXPECT_EQ(open(text), BASS_ERROR_FILEFORM);

  const std::string unreadable = s_dir->file("locked.wav");
  WriteTestWav16(unreadable, kRate, 1, 100);
  ::chmod(unreadable.c_str(), 0);
  if (::geteuid() != 0) {
    EXPECT_EQ(open(unreadable), BASS_ERROR_FILEOPEN);
  }

  // A WAV cut inside its header is not audio; one cut inside its data decodes what is left
  // and reports that length.
  const std::string wav = s_dir->file("source.wav");  // a 44-byte header
  const std::string cutHeader = s_dir->file("cut-header.wav");
  const std::string cutData = s_dir->file("cut-data.wav");
  std::filesystem::copy_file(wav, cutHeader);
  std::filesystem::copy_file(wav, cutData);
  std::filesystem::resize_file(cutHeader, 30);
  std::filesystem::resize_file(cutData, 44 + 8 * 1000);
  EXPECT_EQ(open(cutHeader), BASS_ERROR_FILEFORM);
  const Decoded d = DecodeFile(cutData);
  ASSERT_NE(d.handle, 0u);
  EXPECT_EQ(d.samples.size(), 4000u);
  EXPECT_EQ(d.lengthBytes, 16000u);

  // A FLAC file cut in half decodes its first half without a crash.
  const std::string flac = Make("s16.flac", "-c:a flac");
  const std::string cutFlac = s_dir->file("cut.flac");
  std::filesystem::copy_file(flac, cutFlac);
  std::filesystem::resize_file(cutFlac, std::filesystem::file_size(flac) / 2);
  const Decoded f = DecodeFile(cutFlac);
  ASSERT_NE(f.handle, 0u);
  EXPECT_GT(f.samples.size(), s_source->size() / 4);
  EXPECT_LT(f.samples.size(), s_source->size());
}

TEST_F(DecoderTest, NoiseAndSplicedStreamsNeverCrash) {
  // Random bytes named .mp3: refused, or decoded without a change of format.
  std::string noise;
  std::uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    noise.push_back(static_cast<char>(seed >> 24));
  }
  const std::string noisy = s_dir->file("noise.mp3");
  WriteTextFile(noisy, noise);
  const Decoded n = DecodeFile(noisy);
  if (n.handle) {
    EXPECT_NE(n.endCode, 0);
  }

  // A mono MP3 followed by a stereo one: the frames of the other channel count are dropped
  // (never mixed into one buffer) and counted as lost, so the file counts as damaged.
  const std::string mono = Make("mono.mp3", "-ac 1 -c:a libmp3lame -b:a 64k -write_xing 0");
  const std::string stereo = Make("stereo.mp3", "-c:a libmp3lame -b:a 128k -write_xing 0");
  const std::string spliced = s_dir->file("spliced.mp3");
  {
    std::ofstream out(spliced, std::ios::binary);
    out << std::ifstream(mono, std::ios::binary).rdbuf();
    out << std::ifstream(stereo, std::ios::binary).rdbuf();
  }
  const Decoded s = DecodeFile(spliced);
  ASSERT_NE(s.handle, 0u);
  EXPECT_EQ(s.info.chans, 1u);
  EXPECT_EQ(s.endCode, BASS_ERROR_ENDED);
  EXPECT_LT(s.samples.size(), static_cast<size_t>(kFrames) + 2 * 1152);
  EXPECT_NEAR(static_cast<double>(s.report.lostFrames), kFrames, 3 * 1152);
  EXPECT_FALSE(audio::JudgeDecode(s.report, static_cast<int>(s.info.freq), -1).complete);
}

TEST_F(DecoderTest, SpecialOpeners) {
  const std::string mp3 = Make("cbr.mp3", "-c:a libmp3lame -b:a 128k");
  const std::string flac = Make("s16.flac", "-c:a flac");
  const std::string wma = Make("wmav2.wma", "-c:a wmav2 -b:a 128k");

  HSTREAM h = BASS_FLAC_StreamCreateFile(0, flac.c_str(), 0, 0, 0);
  EXPECT_NE(h, 0u);
  BASS_StreamFree(h);
  EXPECT_EQ(BASS_FLAC_StreamCreateFile(0, mp3.c_str(), 0, 0, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);

  h = BASS_WMA_StreamCreateFile(0, wma.c_str(), 0, 0, 0);
  EXPECT_NE(h, 0u);
  BASS_StreamFree(h);
  EXPECT_EQ(BASS_WMA_StreamCreateFile(0, mp3.c_str(), 0, 0, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);

  // A CD track shortcut holds no audio here.
  const std::string cda = s_dir->file("Track01.cda");
  WriteTextFile(cda, std::string("RIFF\x24\0\0\0CDDAfmt ", 16) + std::string(28, '\0'));
  EXPECT_EQ(BASS_CD_StreamCreateFile(cda.c_str(), 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_NOTAUDIO);
  EXPECT_EQ(BASS_CD_StreamCreateFile(s_dir->file("Track02.cda").c_str(), 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
  EXPECT_EQ(BASS_StreamCreateFile(0, cda.c_str(), 0, 0, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEFORM);

  // Memory streams and file sections are not offered.
  EXPECT_EQ(BASS_StreamCreateFile(1, mp3.c_str(), 0, 0, 0), 0u);
  EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
}

TEST(AudioLibrary, VersionAndPlugins) {
  EXPECT_EQ(BASS_GetVersion() >> 16, 0x0204u);
  for (const char* name : {"bass_aac.dll", "bass_ac3.dll", "basswma.dll", "bassflac.dll",
                           "basscd.dll"}) {
    EXPECT_NE(BASS_PluginLoad(name, 0), 0u) << name;
  }
  EXPECT_EQ(BASS_PluginLoad("bass_fx.dll", 0), 0u);
}

}  // namespace
}  // namespace qv::test

namespace qv::test {
namespace {

std::atomic<int> g_readsAllowed{0};
bool FailAfterSomeReads() { return g_readsAllowed.fetch_sub(1) <= 0; }

// A disk that fails in the middle of a file is not the end of the audio: the stream reports a
// read error instead of a short, clean end, so a conversion can fail the file.
TEST(DecoderReadError, AnIoErrorMidFileIsReportedAsAReadError) {
  TempDir dir;
  const std::string path = dir.file("long.wav");
  WriteTestWav16(path, 44100, 2, 44100 * 20);  // 3.5 MB: many reads of FFmpeg's buffer
  const HSTREAM stream =
      BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  ASSERT_NE(stream, 0u);
  g_readsAllowed = 20;
  audio::SetReadFaultHook(&FailAfterSomeReads);
  std::vector<float> block(44100 * 2);
  DWORD total = 0, got = 0;
  while ((got = BASS_ChannelGetData(stream, block.data(), 44100 * 2 * 4)) != 0xFFFFFFFFu &&
         got != 0) {
    total += got;
  }
  const int code = BASS_ErrorGetCode();
  audio::SetReadFaultHook(nullptr);
  BASS_StreamFree(stream);
  EXPECT_EQ(code, BASS_ERROR_READ);
  EXPECT_LT(total, 44100u * 2 * 4 * 20);
}

}  // namespace
}  // namespace qv::test

namespace qv::test {
namespace {

// Reads a file of raw 32-bit little-endian integers as floats on the decoder's scale.
std::vector<float> ReadRawS32(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<float> samples;
  std::int32_t value = 0;
  while (in.read(reinterpret_cast<char*>(&value), sizeof value)) {
    samples.push_back(static_cast<float>(value / 2147483648.0));
  }
  return samples;
}

// A part of a file decodes to exactly the samples the ffmpeg program cuts from the source: the first at the
// range's start, the last before its end, whether the container seeks to the sample (WAV,
// FLAC) or is decoded from its beginning (FLAC in Matroska, whose timestamps count
// milliseconds). A seek inside the part lands on the sample too.
TEST(DecoderRange, PartsDecodeToTheSamplesFfmpegCuts) {
  TempDir dir;
  const std::string source = dir.file("noise.wav");
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i anoisesrc=r=44100:a=0.5:d=8:seed=7 -ac 2 -c:a pcm_s16le " +
                        Quote(source)));
  const std::pair<const char*, const char*> files[] = {
      {"copy.wav", "-c:a copy"}, {"s16.flac", "-c:a flac"}, {"s16.mka", "-c:a flac"}};
  const audio::FrameRange ranges[] = {
      {0, 1000}, {3 * 44100 + 17, 7 * 44100 + 5}, {123457, -1}, {300000, 400000000}};
  for (const auto& [name, options] : files) {
    const std::string path = dir.file(name);
    ASSERT_TRUE(RunFfmpeg("-i " + Quote(source) + " " + options + " " + Quote(path)));
    for (const audio::FrameRange& range : ranges) {
      SCOPED_TRACE(std::string(name) + " from " + std::to_string(range.start));
      const std::string cut = dir.file(std::string(name) + std::to_string(range.start) + ".raw");
      const std::string end =
          range.end < 0 ? "" : ":end_sample=" + std::to_string(range.end);
      ASSERT_TRUE(RunFfmpeg("-i " + Quote(source) + " -af atrim=start_sample=" +
                            std::to_string(range.start) + end + " -f s32le " + Quote(cut)));
      const std::vector<float> expected = ReadRawS32(cut);
      const Decoded d = DecodeFile(path, 4410, range);
      ASSERT_NE(d.handle, 0u);
      EXPECT_EQ(d.lengthBytes, expected.size() * 4);
      ASSERT_EQ(d.samples.size(), expected.size());
      EXPECT_TRUE(d.samples == expected);
      EXPECT_EQ(d.report.deliveredFrames * 2, static_cast<std::int64_t>(expected.size()));

      const HSTREAM stream = QV_StreamCreateFileRange(
          path.c_str(), BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, range);
      const QWORD at = 777 * 2 * 4;
      ASSERT_TRUE(BASS_ChannelSetPosition(stream, at, BASS_POS_BYTE));
      std::vector<float> block(200);
      ASSERT_EQ(BASS_ChannelGetData(stream, block.data(), 800), 800u);
      EXPECT_TRUE(std::equal(block.begin(), block.end(), expected.begin() + 777 * 2));
      BASS_StreamFree(stream);
    }
  }
}

}  // namespace
}  // namespace qv::test
