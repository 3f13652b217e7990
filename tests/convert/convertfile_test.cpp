// ConvertFile and its encoders with the real audio layer, LAME, FFmpeg and qvfaac: the
// sample arithmetic at its limits, the WAV header, progress and cancel, the MP3 refusals, the
// AAC command lines, and what happens to outputs when something goes wrong (a taken name, a read
// error, a full disk, a failing encoder program, a source cut short while it is converted).
// Every output is read back both through the audio layer and through the ffmpeg program.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <thread>

#include "audio/bass.h"
#include "audio/decoder.h"
#include "convert/convertfile.h"
#include "converttestutil.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

// A WAV of one constant 16-bit value in every sample.
void WriteConstantWav(const std::string& path, int rate, int channels, long frames,
                      std::int16_t value) {
  std::string data;
  for (long i = 0; i < frames * channels; ++i) PutLe(data, static_cast<std::uint16_t>(value), 2);
  std::string header = "RIFF";
  PutLe(header, static_cast<std::uint32_t>(36 + data.size()), 4);
  header += "WAVEfmt ";
  PutLe(header, 16, 4);
  PutLe(header, 1, 2);
  PutLe(header, static_cast<std::uint32_t>(channels), 2);
  PutLe(header, static_cast<std::uint32_t>(rate), 4);
  PutLe(header, static_cast<std::uint32_t>(rate * channels * 2), 4);
  PutLe(header, static_cast<std::uint32_t>(channels * 2), 2);
  PutLe(header, 16, 2);
  header += "data";
  PutLe(header, static_cast<std::uint32_t>(data.size()), 4);
  std::ofstream(path, std::ios::binary) << header << data;
}

void WriteScript(const std::string& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(path, fs::perms::owner_all);
}

ConvertResult Convert(const std::string& source, const std::string& destination,
                      const std::string& key, int kbps, JobContext& job, double gain = 1.0,
                      const std::string& faac = Qvfaac()) {
  return ConvertFile(source, destination, gain, key, kbps, faac, job);
}

int KbpsFor(const std::string& key) {
  if (key == "mp3" || key == "wma" || key == "ogg") return 192;
  if (key == "wav") return 0;
  if (key == "flac") return 5;  // the compression level
  if (key == "opus") return 128;
  return 194;
}

const char* const kAllKeys[] = {"wav", "mp3", "aac", "mp4", "m4a", "wma", "flac", "opus", "ogg"};

// The formats written in-process through FFmpeg or LAME (not through the encoder program).
bool InProcess(const std::string& key) {
  return key != "aac" && key != "mp4" && key != "m4a";
}

class ConvertFileTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_sources = new TempDir();
    ASSERT_TRUE(MakeMusic(s_sources->file("music.flac"), 3.5, 44100, 2));
    ASSERT_TRUE(MakeMusic(s_sources->file("long.flac"), 12, 44100, 2));
    WriteTestWav16(s_sources->file("s22050.wav"), 22050, 2, 22050);
  }
  static void TearDownTestSuite() {
    delete s_sources;
    s_sources = nullptr;
  }
  static std::string Source(const char* name) { return s_sources->file(name); }

  static TempDir* s_sources;
  TempDir m_dir;
};
TempDir* ConvertFileTest::s_sources = nullptr;

TEST(ConvertArithmeticTest, FloatGainScalesWithoutClipping) {
  float block[] = {0.75f, 1.5f, -3.0f, 0.0f, -0.25f, std::numeric_limits<float>::quiet_NaN(),
                   -std::numeric_limits<float>::infinity()};
  ApplyFloatGain(block, 7, 2.0);
  EXPECT_EQ(block[0], 1.5f);  // beyond full scale: the encoder gets it as it is
  EXPECT_EQ(block[1], 3.0f);
  EXPECT_EQ(block[2], -6.0f);
  EXPECT_EQ(block[3], 0.0f);
  EXPECT_EQ(block[4], -0.5f);
  EXPECT_EQ(block[5], 0.0f);
  EXPECT_EQ(block[6], 0.0f);
  // The gain is rounded to single precision first.
  float one[] = {1.0f};
  ApplyFloatGain(one, 1, 0.1);
  EXPECT_EQ(one[0], static_cast<float>(0.1));
}

TEST(ConversionErrorTextTest, GuessedCausesStandOnlyWhenTheReasonAgrees) {
  struct Case {
    ConvertResult result;
    const char* text;
  };
  const Case cases[] = {
      {{ConvertCode::CannotCreate}, "Could not create the destination file - permissions problem"},
      {{ConvertCode::CannotCreate, EACCES},
       "Could not create the destination file - permissions problem (Permission denied)"},
      {{ConvertCode::CannotCreate, ENOENT},
       "Could not create the destination file - No such file or directory"},
      {{ConvertCode::CannotCreate, 0, "Read-only file system"},
       "Could not create the destination file - permissions problem (Read-only file system)"},
      {{ConvertCode::WriteFailed}, "Could not write to the destination file - disk full"},
      {{ConvertCode::WriteFailed, ENOSPC},
       "Could not write to the destination file - disk full (No space left on device)"},
      {{ConvertCode::WriteFailed, EEXIST, "\"x\" was taken meanwhile"},
       "Could not write to the destination file - \"x\" was taken meanwhile"},
      {{ConvertCode::TagsFailed, 0, "no tags"}, "no tags"},
      {{ConvertCode::Damaged, EIO}, "Input/output error"},
      {{ConvertCode::ReadError, EIO, "ignored"},
       "Could not read the source file - read error (Input/output error)"},
      {{ConvertCode::ReadError}, "Could not read the source file - read error"},
      {{ConvertCode::CannotOpenSource}, "Can't open source file"},
      {{ConvertCode::CannotOpenSource, 0, "it holds no audio stream"},
       "Can't open source file - it holds no audio stream"},
  };
  for (const Case& c : cases) EXPECT_EQ(ConversionErrorText(c.result), c.text);
}

TEST_F(ConvertFileTest, WavHeaderFieldsAndSamples) {
  struct Case {
    int rate, channels;
    long frames;
  };
  for (const Case c : {Case{44100, 2, 44100 * 2 + 1234}, Case{22050, 1, 22050 / 2}}) {
    SCOPED_TRACE(c.rate);
    const std::string source = m_dir.file("in" + std::to_string(c.rate) + ".wav");
    const std::vector<float> input = WriteTestWav16(source, c.rate, c.channels, c.frames);
    const std::string out = m_dir.file("out" + std::to_string(c.rate) + ".wav");
    JobContext job;
    ASSERT_EQ(Convert(source, out, "WAV", 0, job).code, ConvertCode::Ok);
    const std::string bytes = ReadBytes(out);
    const size_t blockAlign = 2u * static_cast<size_t>(c.channels);
    ASSERT_EQ(bytes.size(), 44 + blockAlign * static_cast<size_t>(c.frames));
    EXPECT_EQ(bytes.substr(0, 4), "RIFF");
    EXPECT_EQ(Le(bytes, 4, 4), bytes.size() - 8);
    EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(Le(bytes, 16, 4), 16u);
    EXPECT_EQ(Le(bytes, 20, 2), 1u);
    EXPECT_EQ(Le(bytes, 22, 2), static_cast<unsigned>(c.channels));
    EXPECT_EQ(Le(bytes, 24, 4), static_cast<unsigned>(c.rate));
    EXPECT_EQ(Le(bytes, 28, 4), blockAlign * static_cast<unsigned>(c.rate));
    EXPECT_EQ(Le(bytes, 32, 2), blockAlign);
    EXPECT_EQ(Le(bytes, 34, 2), 16u);
    EXPECT_EQ(bytes.substr(36, 4), "data");
    EXPECT_EQ(Le(bytes, 40, 4), bytes.size() - 44);
    // Every sample: the source's own (the decoded value times 32768).
    for (size_t i = 0; i < input.size(); i += 997) {
      const auto got = static_cast<std::int16_t>(Le(bytes, 44 + 2 * i, 2));
      EXPECT_EQ(got, static_cast<std::int16_t>(input[i] * 32768.0f)) << i;
    }
  }
}

TEST_F(ConvertFileTest, ProgressCountsOneSecondBlocks) {
  const std::string source = m_dir.file("3.7s.wav");
  WriteTestWav16(source, 44100, 2, 44100 * 37 / 10);
  for (const char* key : {"wav", "mp3", "wma", "aac"}) {
    SCOPED_TRACE(key);
    JobContext job;
    std::vector<std::pair<int, int>> calls;  // (ProcessedSeconds, SourceDuration) per call
    job.ProgressCallback = [&](const char* operation) {
      EXPECT_STREQ(operation, "Converting");
      calls.emplace_back(job.ProcessedSeconds, job.SourceDuration);
    };
    const ConvertResult result =
        Convert(source, m_dir.file(std::string("p.") + key), key, KbpsFor(key), job);
    ASSERT_EQ(result.code, ConvertCode::Ok) << ConversionErrorText(result);
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{1, 3}, {2, 3}, {3, 3}, {4, 3}}));
    EXPECT_EQ(job.ProcessedSeconds, 4);
  }
}

TEST_F(ConvertFileTest, CancelDuringTheSecondBlock) {
  const std::string source = m_dir.file("5s.wav");
  WriteTestWav16(source, 44100, 2, 44100 * 5);
  for (const char* key : kAllKeys) {
    SCOPED_TRACE(key);
    const std::string out = m_dir.file(std::string("cancel.") + key);
    std::atomic<int> cancel{0};
    JobContext job;
    job.CancelRequested = &cancel;
    job.ProgressCallback = [&](const char*) {
      if (job.ProcessedSeconds == 2) cancel = 1;  // confirmed while block 2 is shown
    };
    EXPECT_EQ(Convert(source, out, key, KbpsFor(key), job).code, ConvertCode::Cancelled);
    EXPECT_EQ(job.ProcessedSeconds, 2);
    const std::string k = key;
    if (k == "wav") {
      // Two blocks and a header that says so.
      const std::string bytes = ReadBytes(out);
      ASSERT_EQ(bytes.size(), 44u + 2 * 44100 * 4);
      EXPECT_EQ(Le(bytes, 4, 4), bytes.size() - 8);
      EXPECT_EQ(Le(bytes, 40, 4), bytes.size() - 44);
    } else {
      // Every other format is finished as far as it went (the encoder program is told that
      // its input ends early on purpose), and no partial file is left beside it.
      const Decoded d = DecodeFile(out);
      ASSERT_NE(d.handle, 0u);
      EXPECT_NEAR(static_cast<double>(d.samples.size()) / 2 / d.info.freq, 2.0, 0.1);
      for (const auto& entry : fs::directory_iterator(m_dir.path())) {
        EXPECT_EQ(entry.path().string().find(".qvfaac-"), std::string::npos) << entry.path();
      }
    }
  }
}

TEST_F(ConvertFileTest, ConversionsRunSideBySideOnSeveralThreads) {
  // Each job has its own progress, cancel flag and result.
  const char* const keys[] = {"wav", "mp3", "wma", "m4a"};
  std::vector<std::thread> threads;
  std::vector<ConvertCode> codes(4, ConvertCode::UnknownFormat);
  std::vector<int> blocks(4, 0);
  std::vector<JobContext> jobs(4);
  std::atomic<int> cancelThird{0};
  jobs[2].CancelRequested = &cancelThird;
  for (int i = 0; i < 4; ++i) {
    jobs[static_cast<size_t>(i)].ProgressCallback = [&blocks, &cancelThird, i](const char*) {
      if (++blocks[static_cast<size_t>(i)] == 2 && i == 2) cancelThird = 1;
    };
    threads.emplace_back([&, i] {
      const std::string key = keys[i];
      codes[static_cast<size_t>(i)] = Convert(Source("music.flac"), m_dir.file("side." + key),
                                              key, KbpsFor(key), jobs[static_cast<size_t>(i)])
                                          .code;
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(codes, (std::vector<ConvertCode>{ConvertCode::Ok, ConvertCode::Ok,
                                             ConvertCode::Cancelled, ConvertCode::Ok}));
  EXPECT_EQ(blocks, (std::vector<int>{4, 4, 2, 4}));
  for (const char* key : {"wav", "mp3", "m4a"}) {
    const Decoded d = DecodeFile(m_dir.file(std::string("side.") + key));
    EXPECT_NEAR(static_cast<double>(d.samples.size()) / 2 / 44100, 3.5, 0.05) << key;
  }
}

TEST_F(ConvertFileTest, LossyFormatsResampleRatesTheyCannotHoldAndMp3RefusesOtherBitrates) {
  WriteTestWav16(m_dir.file("s96000.wav"), 96000, 2, 96000);
  WriteTestWav16(m_dir.file("s8000.wav"), 8000, 1, 8000);
  WriteTestWav16(m_dir.file("s176400.wav"), 176400, 2, 176400);
  WriteTestWav16(m_dir.file("s192000.wav"), 192000, 2, 192000);
  // The source's rate when the format holds it (MP3: at the bitrate), else the nearest one
  // that does; the length stays the source's (give or take the encoder's last frame), and the
  // log says so.
  struct Case {
    std::string source;
    const char* format;
    int kbps;
    int rate;
  };
  const Case cases[] = {{Source("s22050.wav"), "mp3", 192, 32000},
                        {Source("s22050.wav"), "mp3", 128, 22050},
                        {m_dir.file("s96000.wav"), "mp3", 320, 48000},
                        {m_dir.file("s8000.wav"), "mp3", 96, 16000},
                        {m_dir.file("s96000.wav"), "ogg", 192, 48000},
                        {m_dir.file("s176400.wav"), "ogg", 192, 44100},
                        {m_dir.file("s96000.wav"), "m4a", 194, 96000},
                        {m_dir.file("s192000.wav"), "m4a", 194, 96000},
                        {m_dir.file("s176400.wav"), "aac", 194, 88200},
                        {m_dir.file("s96000.wav"), "wma", 192, 48000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " to " + c.format + " at " + std::to_string(c.kbps));
    JobContext job;
    const std::string out = m_dir.file("resampled" + std::to_string(c.rate) + "." + c.format);
    fs::remove(out);
    const ConvertResult result = Convert(c.source, out, c.format, c.kbps, job);
    ASSERT_EQ(result.code, ConvertCode::Ok) << ConversionErrorText(result);
    const Decoded d = DecodeFile(out);
    ASSERT_NE(d.handle, 0u);
    EXPECT_EQ(static_cast<int>(d.info.freq), c.rate);
    EXPECT_NEAR(static_cast<double>(d.samples.size()) / d.info.chans / c.rate, 1.0, 0.03);
    const bool resampled = c.source.find("s" + std::to_string(c.rate) + ".") == std::string::npos;
    EXPECT_EQ(job.LogNote.find("was resampled to") != std::string::npos, resampled)
        << job.LogNote;
  }
  JobContext job;
  const std::string out = m_dir.file("refused.mp3");
  const ConvertResult refused = Convert(Source("music.flac"), out, "mp3", 191, job);
  EXPECT_EQ(refused.code, ConvertCode::Mp3Setup);
  EXPECT_EQ(ConversionErrorText(refused),
            "An unsupported bitrate is being used (191) - the MP3 encoder only supports: "
            "320, 256, 224, 192, 160, 128, 112, and 96 Kbps");
  EXPECT_FALSE(Exists(out));
}

TEST_F(ConvertFileTest, VorbisNamesTheBitratesItTakesForTheSourceBeforeCreatingTheFile) {
  // libvorbis gives no more than 160 kbit/s for 22050 Hz stereo.
  JobContext job;
  const std::string out = m_dir.file("refused.ogg");
  const ConvertResult bitrate = Convert(Source("s22050.wav"), out, "ogg", 192, job);
  EXPECT_EQ(bitrate.code, ConvertCode::EncoderStart);
  EXPECT_EQ(ConversionErrorText(bitrate),
            "Could not start the Vorbis encoder at 192 kbps for this source (22050 Hz, 2 "
            "channels).  Please choose another Bitrate: it takes 160, 128 or 96 kbps for this "
            "source.");
  EXPECT_FALSE(Exists(out));
  EXPECT_EQ(Convert(Source("s22050.wav"), out, "ogg", 160, job).code, ConvertCode::Ok);
  const ConvertResult level = Convert(Source("music.flac"), m_dir.file("x.flac"), "flac", 9, job);
  EXPECT_EQ(level.code, ConvertCode::EncoderStart);
  EXPECT_EQ(ConversionErrorText(level),
            "An unsupported compression level is being used (9) - FLAC files are written at the "
            "levels 0 to 8");
  EXPECT_FALSE(Exists(m_dir.file("x.flac")));
}

TEST_F(ConvertFileTest, SameFileIsRefusedButOtherCaseIsAnotherFile) {
  const std::string source = m_dir.file("Song.wav");
  WriteTestWav16(source, 44100, 2, 4410);
  const std::string before = ReadBytes(source);
  JobContext job;
  EXPECT_EQ(Convert(source, source, "wav", 0, job).code, ConvertCode::SamePath);
  fs::create_hard_link(source, m_dir.file("link.wav"));
  fs::create_symlink(source, m_dir.file("symlink.wav"));
  EXPECT_EQ(Convert(source, m_dir.file("link.wav"), "mp3", 192, job).code, ConvertCode::SamePath);
  const ConvertResult same = Convert(source, m_dir.file("symlink.wav"), "wma", 192, job);
  EXPECT_EQ(same.code, ConvertCode::SamePath);
  EXPECT_EQ(ConversionErrorText(same),
            "The source file is the same as the destination file");
  EXPECT_EQ(ReadBytes(source), before);
  // On a case-sensitive file system "song.wav" is a file of its own.
  EXPECT_EQ(Convert(source, m_dir.file("song.wav"), "wav", 0, job).code, ConvertCode::Ok);
  EXPECT_EQ(ReadBytes(source), before);
  EXPECT_TRUE(SamePathIgnoringCase("/no/such/a", "/no/such/a"));
  EXPECT_FALSE(SamePathIgnoringCase("/no/such/a", "/no/such/A"));
}

TEST_F(ConvertFileTest, FormatKeysAndTheAacCommandLines) {
  JobContext job;
  const ConvertResult unknown = Convert(Source("music.flac"), m_dir.file("x.ape"), "ape", 0, job);
  EXPECT_EQ(unknown.code, ConvertCode::UnknownFormat);
  EXPECT_EQ(ConversionErrorText(unknown), "Unknown output file format");
  const ConvertResult missing =
      Convert(m_dir.file("missing.wav"), m_dir.file("y.wav"), "wav", 0, job);
  EXPECT_EQ(missing.code, ConvertCode::CannotOpenSource);
  EXPECT_EQ(ConversionErrorText(missing), "Can't open source file - No such file or directory");
  EXPECT_EQ(ConversionErrorText({static_cast<ConvertCode>(55)}), "Unknown error");

  // A stand-in encoder program that records its arguments and its standard input.
  const std::string tools = m_dir.file("my tools $HOME");
  fs::create_directory(tools);
  const std::string script = tools + "/fa'ac";
  WriteScript(script,
              "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n"
              "while [ $# -gt 1 ]; do [ \"$1\" = -o ] && out=$2; shift; done\n"
              "cat > \"$out\"");
  const std::string source = m_dir.file("three-quarters.wav");
  WriteConstantWav(source, 44100, 2, 44100 + 10, 24576);  // 0.75 exactly
  const std::string out = m_dir.file("it's \"odd\" `x`.mp4");
  ASSERT_EQ(Convert(source, out, "Mp4", 194, job, 2.0, script).code, ConvertCode::Ok);
  EXPECT_EQ(ReadBytes(tools + "/args.txt"),
            "-q\n120\n-c\n20000\n--mpeg-vers\n4\n-w\n-o\n" + out + "\n-\n");
  // A float WAV header, then every sample: 0.75 times the gain of 2, clipped at full scale
  // (the AAC encoder cannot take more), and the log counts them.
  const std::string bytes = ReadBytes(out);
  ASSERT_EQ(bytes.size(), 46u + (44100 + 10) * 2 * 4);
  EXPECT_EQ(Le(bytes, 20, 2), 3u);
  for (size_t at = 46; at < bytes.size(); at += 4 * 1001) {
    float value;
    const std::uint32_t raw = Le(bytes, at, 4);
    std::memcpy(&value, &raw, 4);
    ASSERT_EQ(value, 1.0f) << at;
  }
  EXPECT_EQ(job.LogNote,
            "88220 samples were clipped: with the volume gain applied, the source goes above "
            "full scale, which the AAC encoder cannot take.");
  ASSERT_EQ(Convert(source, m_dir.file("raw.aac"), "aac", 62, job, 1.0, script).code,
            ConvertCode::Ok);
  EXPECT_EQ(ReadBytes(tools + "/args.txt"),
            "-q\n70\n-c\n10000\n--mpeg-vers\n4\n-o\n" + m_dir.file("raw.aac") + "\n-\n");
  EXPECT_EQ(AacCommandLine("/opt/faac", 100, "m4a", "/o/x.m4a"),
            "exec '/opt/faac' -q 130 -c 22000 --mpeg-vers 4 -w -o '/o/x.m4a' -");
}

TEST_F(ConvertFileTest, EveryFormatDecodesBackThroughTheLayerAndTheFfmpegProgram) {
  const std::string mono48 = m_dir.file("mono48.flac");
  ASSERT_TRUE(MakeMusic(mono48, 2.5, 48000, 1));
  struct Case {
    std::string source;
    int rate, channels;
    double seconds;
  };
  const Case cases[] = {{Source("music.flac"), 44100, 2, 3.5}, {mono48, 48000, 1, 2.5}};
  for (const Case& c : cases) {
    for (const char* key : kAllKeys) {
      const std::string k = key;
      SCOPED_TRACE(k + " from " + c.source);
      const std::string out = m_dir.file("back-" + std::to_string(c.rate) + "." + k);
      JobContext job;
      const ConvertResult result = Convert(c.source, out, k, KbpsFor(k), job);
      ASSERT_EQ(result.code, ConvertCode::Ok) << ConversionErrorText(result);
      // Every format keeps the source's one or two channels (a mono MP3 stays mono).
      const int channels = c.channels;
      const int rate = k == "opus" ? 48000 : c.rate;  // Opus is always written at 48 kHz
      // FLAC states its exact length, Ogg its end (and Opus its pre-skip): no slack, but one
      // sample for Opus resampled to 48 kHz from a length that is no whole number of 48 kHz
      // samples. One codec frame of slack where the format forces it (priming, padding).
      const double slack = k == "wav" || k == "flac" || k == "ogg" ? 0.0
                           : k == "opus"                          ? 1.0 / rate
                           : k == "wma"                           ? 4096.0 / c.rate
                                                                  : 2048.0 / c.rate;
      const Decoded d = DecodeFile(out);
      ASSERT_NE(d.handle, 0u) << d.endCode;
      EXPECT_EQ(d.info.freq, static_cast<DWORD>(rate));
      EXPECT_EQ(d.info.chans, static_cast<DWORD>(channels));
      EXPECT_NEAR(static_cast<double>(d.samples.size()) / channels / rate, c.seconds,
                  slack + 1e-9)
          << static_cast<long>(d.samples.size() / static_cast<size_t>(channels)) -
                 std::lround(c.seconds * rate)
          << " frames off";
      const FfmpegView view = DecodeWithFfmpeg(out, m_dir.str());
      ASSERT_TRUE(view.ok) << view.log;
      EXPECT_EQ(view.rate, rate) << view.log;
      EXPECT_EQ(view.channels, channels) << view.log;
      // The ffmpeg program honours the same lengths (the older formats lose or gain priming).
      const bool exactLength = k == "flac" || k == "opus" || k == "ogg";
      EXPECT_NEAR(view.seconds, c.seconds, exactLength ? slack + 1e-9 : slack + 0.03) << view.log;
    }
  }
}

TEST_F(ConvertFileTest, FlacKeepsEverySampleAtTheSourcesResolution) {
  // Integer sources come back sample for sample in their own resolution; a float source is
  // written in 24 bits, each sample rounded to the nearest step.
  struct Case {
    const char* name;
    const char* codec;
    DWORD bits;
  };
  const Case cases[] = {{"s16.wav", "pcm_s16le", 16}, {"s24.wav", "pcm_s24le", 24},
                        {"f32.wav", "pcm_f32le", 24}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = m_dir.file(c.name);
    // An odd length, so the last FLAC frame is a short one.
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i \"aevalsrc=exprs='0.6*sin(2*PI*440*t)|0.5*sin(2*PI*"
                          "661*t)':s=44100:d=2.3456\" -c:a " +
                          std::string(c.codec) + " " + ShellQuote(source)));
    const std::string out = m_dir.file(std::string(c.name) + ".flac");
    JobContext job;
    const ConvertResult result = Convert(source, out, "flac", 5, job);
    ASSERT_EQ(result.code, ConvertCode::Ok) << result.detail;
    const Decoded in = DecodeFile(source);
    const Decoded back = DecodeFile(out);
    ASSERT_NE(back.handle, 0u);
    EXPECT_EQ(back.info.origres, c.bits);
    ASSERT_EQ(back.samples.size(), in.samples.size());
    size_t differing = 0;
    for (size_t i = 0; i < in.samples.size(); ++i) {
      const float step = std::string(c.codec) == "pcm_f32le" ? 0.5f / 8388608 : 0;
      if (std::fabs(back.samples[i] - in.samples[i]) > step) ++differing;
    }
    EXPECT_EQ(differing, 0u);
    const FfmpegView view = DecodeWithFfmpeg(out, m_dir.str());
    EXPECT_EQ(std::lround(view.seconds * 44100 * 2), static_cast<long>(in.samples.size()))
        << view.log;
  }
}

TEST_F(ConvertFileTest, AnExistingFileIsNeverChanged) {
  const std::string precious = "the user's own data\n";
  for (const char* key : kAllKeys) {
    const std::string k = key;
    SCOPED_TRACE(k);
    // A file of that name, and a link of that name to a file elsewhere.
    const std::string taken = m_dir.file("taken." + k);
    WriteTextFile(taken, precious);
    const std::string target = m_dir.file("target-" + k + ".txt");
    WriteTextFile(target, precious);
    const std::string link = m_dir.file("link." + k);
    fs::create_symlink(target, link);
    for (const std::string& out : {taken, link}) {
      JobContext job;
      EXPECT_NE(Convert(Source("music.flac"), out, k, KbpsFor(k), job).code, ConvertCode::Ok)
          << out;
    }
    EXPECT_EQ(ReadBytes(taken), precious);
    EXPECT_EQ(ReadBytes(target), precious);
    EXPECT_TRUE(fs::is_symlink(link));
    // An empty file of the name counts as free and gets the output.
    const std::string empty = m_dir.file("empty." + k);
    WriteTextFile(empty, "");
    JobContext job;
    EXPECT_EQ(Convert(Source("music.flac"), empty, k, KbpsFor(k), job).code, ConvertCode::Ok);
    EXPECT_GT(fs::file_size(empty), 1000u);
  }
  // The WAV writer names the reason.
  JobContext job;
  const ConvertResult taken = Convert(Source("music.flac"), m_dir.file("taken.wav"), "wav", 0, job);
  EXPECT_EQ(taken.code, ConvertCode::CannotCreate);
  EXPECT_EQ(taken.systemError, EEXIST);
  EXPECT_EQ(ConversionErrorText(taken),
            "Could not create the destination file - File exists");
}

// -1: no fault; otherwise the reads still allowed before every read fails.
std::atomic<int> g_faultCountdown{-1};
bool FailAfterSomeReads() {
  const int left = g_faultCountdown.load();
  if (left < 0) return false;
  if (left == 0) return true;
  g_faultCountdown = left - 1;
  return false;
}

TEST_F(ConvertFileTest, AReadErrorFailsTheFileInsteadOfEndingItShort) {
  for (const char* key : kAllKeys) {
    const std::string k = key;
    SCOPED_TRACE(k);
    const std::string out = m_dir.file("short." + k);
    JobContext job;
    int blocks = 0;
    // The source opens and decodes; the fault comes two seconds into the data.
    job.ProgressCallback = [&](const char*) {
      if (++blocks == 2) g_faultCountdown = 3;
    };
    g_faultCountdown = -1;
    audio::SetReadFaultHook(&FailAfterSomeReads);
    const ConvertResult result = Convert(Source("long.flac"), out, k, KbpsFor(k), job);
    audio::SetReadFaultHook(nullptr);
    g_faultCountdown = -1;
    EXPECT_EQ(result.code, ConvertCode::ReadError);
    EXPECT_EQ(ConversionErrorText(result),
              "Could not read the source file - read error (Input/output error)");
    EXPECT_LT(job.ProcessedSeconds, 12);
    if (k == "aac" || k == "mp4" || k == "m4a") {
      EXPECT_FALSE(Exists(out));
    }
    if (k == "wav") {
      // Its zero sizes show the file is incomplete.
      EXPECT_EQ(Le(ReadBytes(out), 40, 4), 0u);
    }
  }
}

// Runs one conversion in a child process whose files may not grow beyond `limit` bytes (with
// SIGXFSZ ignored, a write beyond it fails with EFBIG as on a full disk). Returns the result
// code and the error text through a pipe.
std::pair<int, std::string> ConvertWithFileSizeLimit(const std::string& source,
                                                     const std::string& out,
                                                     const std::string& key, rlim_t limit) {
  int fds[2];
  if (::pipe(fds) != 0) return {-1, "no pipe"};
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit small{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &small);
    JobContext job;
    const ConvertResult result = Convert(source, out, key, KbpsFor(key), job);
    const std::string text =
        std::to_string(static_cast<int>(result.code)) + "\n" + ConversionErrorText(result);
    ssize_t ignored = ::write(fds[1], text.data(), text.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string text;
  char buffer[512];
  ssize_t got;
  while ((got = ::read(fds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const size_t line = text.find('\n');
  if (line == std::string::npos) return {-1, "the child said nothing"};
  return {std::stoi(text.substr(0, line)), text.substr(line + 1)};
}

TEST_F(ConvertFileTest, AFullDiskFailsWithCode5AndItsReason) {
  for (const char* key : kAllKeys) {
    const std::string k = key;
    SCOPED_TRACE(k);
    const auto [code, text] =
        // 12 s of a chord take 37 kB in Vorbis, far more in every other format.
        ConvertWithFileSizeLimit(Source("long.flac"), m_dir.file("full." + k), k, 20000);
    EXPECT_EQ(code, static_cast<int>(ConvertCode::WriteFailed)) << text;
    EXPECT_EQ(text.rfind("Could not write to the destination file - ", 0), 0u) << text;
    if (InProcess(k)) {
      EXPECT_NE(text.find("File too large"), std::string::npos) << text;
    } else {
      // The encoder program leaves neither the file nor its partial copy behind.
      EXPECT_FALSE(Exists(m_dir.file("full." + k)));
      for (const auto& entry : fs::directory_iterator(m_dir.path())) {
        EXPECT_EQ(entry.path().string().find(".qvfaac-"), std::string::npos) << entry.path();
      }
    }
  }
}

// A source cut short while it is converted (here a copy truncated after two seconds): the
// decode falls far short of the length the encoder program was told, the program ends without
// a file, and the file fails with a text that says what happened.
TEST_F(ConvertFileTest, AnAacSourceThatEndsWellShortOfItsLengthFailsTheFile) {
  const std::string source = m_dir.file("shrinking.flac");
  fs::copy_file(Source("long.flac"), source);
  JobContext job;
  int blocks = 0;
  job.ProgressCallback = [&](const char*) {
    if (++blocks == 2) fs::resize_file(source, fs::file_size(source) / 3);
  };
  const ConvertResult result = Convert(source, m_dir.file("short.m4a"), "m4a", 194, job);
  EXPECT_EQ(result.code, ConvertCode::Damaged);
  EXPECT_NE(ConversionErrorText(result).find("was cut short: it holds 0:0"), std::string::npos)
      << ConversionErrorText(result);
  EXPECT_FALSE(Exists(m_dir.file("short.m4a")));
  for (const auto& entry : fs::directory_iterator(m_dir.path())) {
    EXPECT_EQ(entry.path().string().find(".qvfaac-"), std::string::npos) << entry.path();
  }
}

TEST_F(ConvertFileTest, AFailingEncoderProgramFailsTheFile) {
  const std::string failing = m_dir.file("failing-faac");
  WriteScript(failing, "cat > /dev/null\nexit 3");
  const std::string quits = m_dir.file("quitting-faac");
  WriteScript(quits, "exit 1");
  for (const std::string& faac : {failing, quits, m_dir.file("no such program"), std::string()}) {
    SCOPED_TRACE(faac);
    JobContext job;
    const ConvertResult result =
        Convert(Source("music.flac"), m_dir.file("failed.m4a"), "m4a", 194, job, 1.0, faac);
    EXPECT_TRUE(result.code == ConvertCode::WriteFailed || result.code == ConvertCode::AacStart)
        << static_cast<int>(result.code);
    EXPECT_FALSE(ConversionErrorText(result).empty());
    EXPECT_FALSE(Exists(m_dir.file("failed.m4a")));
  }
  // The real program under a path with blanks, quotes and $ (the path is quoted).
  const std::string odd = m_dir.file("my $tools 'x'");
  fs::create_directory(odd);
  fs::create_symlink(Qvfaac(), odd + "/q v faac");
  JobContext job;
  EXPECT_EQ(Convert(Source("music.flac"), m_dir.file("ok.m4a"), "m4a", 194, job, 1.0,
                    odd + "/q v faac").code,
            ConvertCode::Ok);
  EXPECT_TRUE(fs::file_size(m_dir.file("ok.m4a")) > 10000u);
}

}  // namespace
}  // namespace qv::test
