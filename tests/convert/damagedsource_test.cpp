// Damaged sources through both batches: a small damage is skipped and said so, a large one
// fails the file with a text that says where and how much, and nothing is published for a
// failure. What the ffmpeg program recovers from the same file is the yardstick.

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "convert/conversionbatch.h"
#include "converttestutil.h"
#include "loudness/loudness.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

// Overwrites `size` bytes with noise from a quarter into the file.
void Damage(const std::string& path, size_t size) {
  std::string bytes = ReadBytes(path);
  std::mt19937 random(7);
  const size_t start = bytes.size() / 4;
  for (size_t i = start; i < start + size && i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>(random());
  }
  WriteTextFile(path, bytes);
}

TEST(DamagedSource, SmallDamageIsSkippedAndLoggedLargeDamageFailsTheFile) {
  TempDir dir;
  fs::create_directory(dir.file("out"));
  struct Case {
    const char* extension;
    const char* codec;
  };
  const Case cases[] = {{"m4a", "-c:a aac -b:a 128k"},
                        {"mp3", "-c:a libmp3lame -b:a 128k"},
                        {"flac", "-c:a flac"},
                        {"wma", "-c:a wmav2 -b:a 128k"}};
  for (const Case& c : cases) {
    for (const bool large : {false, true}) {
      const std::string name = std::string(large ? "large" : "small") + "." + c.extension;
      SCOPED_TRACE(name);
      const std::string path = dir.file(name);
      ASSERT_TRUE(MakeMusic(path + ".tmp." + c.extension, 20.0, 44100, 2));
      ASSERT_TRUE(RunFfmpeg("-i " + ShellQuote(path + ".tmp." + c.extension) + " " + c.codec +
                            " " + ShellQuote(path)));
      Damage(path, large ? 120000 : 600);
      const FfmpegView recovered = DecodeWithFfmpeg(path, dir.path());

      SourceList list;
      list.AddRow(name, c.extension, "1.000", "128", "44,100", "", "2", path, "", false);
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
      const ConversionBatchResult result =
          RunConversionBatch(options, list, state, host);
      const std::string log = ReadBytes(options.logPath);
      const std::string output = dir.file("out/" + name.substr(0, name.find('.')) + ".wav");
      ASSERT_EQ(result.rows.size(), 1u);
      if (large) {
        // Seven seconds and more are gone: the file fails, says where and how much, and
        // neither a measurement nor an output is kept.
        EXPECT_LT(recovered.seconds, 19.0);
        EXPECT_EQ(result.rows[0].outcome, RowOutcome::Failed);
        EXPECT_EQ(result.rows[0].cause, FailureCause::DamagedData);
        EXPECT_NE(log.find("The source file is damaged: "), std::string::npos) << log;
        EXPECT_NE(log.find(" at 0:0"), std::string::npos) << log;
        EXPECT_FALSE(Exists(output));
        EXPECT_EQ(list.Item(0)->hasLoudness, 0);
        EXPECT_NE(loudnessLog.find("Not measured: The source file is damaged"),
                  std::string::npos)
            << loudnessLog;
      } else {
        // Under a second lost: converted, at least as much as ffmpeg recovers (within a
        // frame), with a record of what was skipped; the measurement stands.
        EXPECT_EQ(result.rows[0].outcome, RowOutcome::Done) << result.rows[0].text;
        const Decoded d = DecodeFile(output);
        EXPECT_GT(static_cast<double>(d.samples.size()) / 2 / 44100, recovered.seconds - 0.05);
        EXPECT_NE(log.find("Damaged data in the source file were skipped: "), std::string::npos)
            << log;
        EXPECT_EQ(list.Item(0)->hasLoudness, 1);
      }
      for (const auto& entry : fs::directory_iterator(dir.file("out"))) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
      }
    }
  }
}

}  // namespace
}  // namespace qv::test
