// Damaged sources through both batches: a small damage is skipped and said so, a large one,
// or a file cut short of the length it declares, fails the file with a text that says where
// and how much, junk after the last packet is ignored, and nothing is published for a failure;
// also when the file was harmed after its row was added.
// What the ffmpeg and ffprobe programs make of the same files is the yardstick.

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>

#include "convert/conversionbatch.h"
#include "converttestutil.h"
#include "import/sourceimporter.h"
#include "loudness/loudness.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

enum class Harm { Overwrite, Cut, Append };

// Overwrites `size` bytes with noise from a quarter into the file, keeps `size` bytes less
// of its end, or appends `size` bytes of noise.
void Damage(const std::string& path, Harm harm, size_t size) {
  std::string bytes = ReadBytes(path);
  std::mt19937 random(7);
  if (harm == Harm::Cut) {
    bytes.resize(bytes.size() - size);
  } else if (harm == Harm::Append) {
    for (size_t i = 0; i < size; ++i) bytes.push_back(static_cast<char>(random()));
  } else {
    const size_t start = bytes.size() / 4;
    for (size_t i = start; i < start + size && i < bytes.size(); ++i) {
      bytes[i] = static_cast<char>(random());
    }
  }
  WriteTextFile(path, bytes);
}

struct Case {
  const char* name;   // the file's name: its extension is its format
  const char* codec;  // the ffmpeg program's options
  Harm harm;
  double size;        // bytes, or with Cut a share of the file when below 1
  const char* text;   // what the log says (a failure's text when `fails`), "" for nothing
  bool fails;
  bool noise = false;  // 30 s of pink noise (a large FLAC) instead of 20 s of a chord
};

const Case kCases[] = {
    {"small.m4a", "-c:a aac -b:a 128k", Harm::Overwrite, 600, "were skipped: ", false},
    {"large.m4a", "-c:a aac -b:a 128k", Harm::Overwrite, 120000, "is damaged: ", true},
    {"small.mp3", "-c:a libmp3lame -b:a 128k", Harm::Overwrite, 600, "were skipped: ", false},
    {"large.mp3", "-c:a libmp3lame -b:a 128k", Harm::Overwrite, 120000, "is damaged: ", true},
    {"small.flac", "-c:a flac", Harm::Overwrite, 600, "were skipped: ", false},
    {"large.flac", "-c:a flac", Harm::Overwrite, 120000, "is damaged: ", true},
    {"small.wma", "-c:a wmav2 -b:a 128k", Harm::Overwrite, 600, "were skipped: ", false},
    {"large.wma", "-c:a wmav2 -b:a 128k", Harm::Overwrite, 120000, "is damaged: ", true},
    // A megabyte of a FLAC overwritten costs seconds; a few kilobytes a frame or two.
    {"megabyte.flac", "-c:a flac", Harm::Overwrite, 1 << 20, "is damaged: ", true, true},
    {"kilobytes.flac", "-c:a flac", Harm::Overwrite, 4000, "were skipped: 0.", false, true},
    // Cut at half: the headers declare 0:20 (WAV data size, FLAC total samples, Xing frames).
    {"half.wav", "-c:a pcm_s16le", Harm::Cut, 0.5, "was cut short: it holds 0:", true},
    {"half.flac", "-c:a flac", Harm::Cut, 0.5, "was cut short: it holds 0:", true},
    {"half.mp3", "-c:a libmp3lame -b:a 128k", Harm::Cut, 0.5, "was cut short: it holds 0:", true},
    {"half.wma", "-c:a wmav2 -b:a 128k", Harm::Cut, 0.5, "was cut short: it holds 0:", true},
    // Cut by half a second: converted, with a record of what is missing.
    {"near.wav", "-c:a pcm_s16le", Harm::Cut, 0.025, "was cut short: the last 0.", false},
    {"near.flac", "-c:a flac", Harm::Cut, 0.025, "was cut short: the last 0.", false},
    {"near.mp3", "-c:a libmp3lame -b:a 128k", Harm::Cut, 0.025, "was cut short: the last 0.",
     false},
    // Junk after the last packet is no lost audio.
    {"junk.ogg", "-c:a libvorbis", Harm::Append, 65536, "unreadable data after its audio",
     false},
    {"junk.opus", "-c:a libopus", Harm::Append, 65536, "unreadable data after its audio",
     false},
    {"junk.flac", "-c:a flac", Harm::Append, 65536, "unreadable data after its audio", false},
};

TEST(DamagedSource, DamageAndCutsAreMeasuredOnTheTimelineAndAgainstTheDeclaredLength) {
  TempDir dir;
  fs::create_directory(dir.file("out"));
  std::map<bool, std::string> sources;  // by `noise`: the WAV every case encodes
  for (const Case& c : kCases) {
    const std::string name = c.name;
    const std::string extension = name.substr(name.find('.') + 1);
    SCOPED_TRACE(name);
    std::string& source = sources[c.noise];
    if (source.empty()) {
      source = dir.file(c.noise ? "noise.wav" : "music.wav");
      ASSERT_TRUE(c.noise ? RunFfmpeg("-f lavfi -i anoisesrc=color=pink:amplitude=0.3:seed=3:"
                                      "r=44100:d=30 -ac 2 " + ShellQuote(source))
                          : MakeMusic(source, 20.0, 44100, 2));
    }
    const std::string path = dir.file(name);
    ASSERT_TRUE(RunFfmpeg("-i " + ShellQuote(source) + " " + c.codec + " " + ShellQuote(path)));
    const double clean = FfprobeSeconds(path);
    const auto bytes = static_cast<double>(fs::file_size(path));
    // The row is added before the harm: its length, measured then, must not hide it.
    SourceFacts facts;
    ASSERT_TRUE(ProbeSourceFacts(path, facts));
    Damage(path, c.harm, static_cast<size_t>(c.size < 1 ? c.size * bytes : c.size));
    const FfmpegView recovered = DecodeWithFfmpeg(path, dir.path());

    SourceList list;
    list.AddRow(name, extension, facts, path, "", false);
    BatchState state;
    ScriptedHost host;
    LoudnessEngine engine;
    LoudnessBatchOptions loudness;
    loudness.logPath = dir.file("QV_Log.txt");
    RunLoudnessBatch(host, list, state, engine, loudness);
    const std::string loudnessLog = ReadBytes(loudness.logPath);

    ConversionOptions options;
    options.formatKey = "wav";
    options.destinationFolder = dir.file("out");
    options.skipProblemFiles = true;
    options.logPath = dir.file("QV_Log.txt");
    const ConversionBatchResult result = RunConversionBatch(options, list, state, host);
    const std::string log = ReadBytes(options.logPath);
    const std::string output = dir.file("out/" + name.substr(0, name.find('.')) + ".wav");
    ASSERT_EQ(result.rows.size(), 1u);
    EXPECT_NE(log.find(c.text), std::string::npos) << log;
    if (c.fails) {
      // More than a second is gone: the file fails, says where and how much, and neither a
      // measurement nor an output is kept.
      EXPECT_LT(recovered.seconds, clean - 1.0);
      EXPECT_EQ(result.rows[0].outcome, RowOutcome::Failed);
      EXPECT_EQ(result.rows[0].cause, FailureCause::DamagedData);
      if (c.harm == Harm::Overwrite) {
        EXPECT_NE(log.find(" at 0:0"), std::string::npos) << log;
      } else {
        EXPECT_NE(log.find(" but declares 0:20"), std::string::npos) << log;
      }
      EXPECT_FALSE(Exists(output));
      EXPECT_EQ(list.Item(0)->hasLoudness, 0);
      EXPECT_NE(loudnessLog.find(std::string("Not measured: The source file ") + c.text),
                std::string::npos)
          << loudnessLog;
    } else {
      // Under a second lost: converted, at least as much as ffmpeg recovers (within a frame)
      // and no more than the clean file held; the measurement stands.
      EXPECT_EQ(result.rows[0].outcome, RowOutcome::Done) << result.rows[0].text;
      const double seconds = FfprobeSeconds(output);
      EXPECT_GT(seconds, recovered.seconds - 0.05);
      EXPECT_LT(seconds, clean + 0.03);
      if (c.harm == Harm::Append) {
        EXPECT_NEAR(seconds, clean, 0.03);
      }
      EXPECT_EQ(list.Item(0)->hasLoudness, 1);
    }
    for (const auto& entry : fs::directory_iterator(dir.file("out"))) {
      EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
    }
  }
}

}  // namespace
}  // namespace qv::test
