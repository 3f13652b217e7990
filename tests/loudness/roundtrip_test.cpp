// Normalization end to end: files measured, converted to WAV with their gain factor, and
// measured again land on the target (within 0.05 dB), unless the gain makes them clip.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "app/paths.h"
#include "convert/conversionbatch.h"
#include "convert/convertfile.h"
#include "loudness/loudness.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

bool Ffmpeg(const std::string& args) {
  const std::string command =
      std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y " + args;
  return std::system(command.c_str()) == 0;
}

// Music-like material in stereo at `level` (a peak of about 0.6 x level).
std::string MakeMusic(const test::TempDir& dir, const std::string& name, double level,
                      int rate = 44100) {
  const std::string path = dir.file(name);
  const std::string l = std::to_string(0.3 * level);
  const std::string r = std::to_string(0.2 * level);
  EXPECT_TRUE(Ffmpeg("-f lavfi -i \"aevalsrc=" + l + "*sin(2*PI*220*t)*(0.6+0.4*sin(2*PI*0.5*t))+" +
                     r + "*sin(2*PI*1330*t)|" + l + "*sin(2*PI*330*t)+" + r +
                     "*sin(2*PI*2750*t):s=" + std::to_string(rate) + ":d=4\" " + ShellQuote(path)));
  return path;
}

TEST(NormalizationRoundTrip, ConvertedFilesMeasureAtTheTarget) {
  test::TempDir dir;
  const std::string sources[] = {MakeMusic(dir, "quiet.flac", 0.1),
                                 MakeMusic(dir, "loud.wav", 1.0),
                                 MakeMusic(dir, "mid48k.wav", 0.4, 48000)};
  int checked = 0;
  int onTarget = 0;
  for (double target : {89.0, 83.0, 95.5}) {
    for (const std::string& source : sources) {
      QVListItem item(0, 0);
      item.SetPaths(source, "", false);
      LoudnessEngine engine;
      JobContext measure;
      ASSERT_EQ(CalculateLoudness(item, target, measure, engine), kLoudnessMeasured) << source;
      const std::string out =
          dir.file("out-" + std::to_string(checked++) + "-" + GetFileTitle(source, false));
      JobContext convert;
      ASSERT_EQ(ConvertFile(source, out, item.gainFactor, "wav", 0, "", convert).code,
                ConvertCode::Ok);
      JobContext again;
      const LoudnessResult after = AnalyzeFile(out, target, again);
      ASSERT_EQ(after.code, kLoudnessMeasured);
      if (item.clipTrack == 1) {
        EXPECT_GE(after.peak, 32766.0) << source << " at " << target;  // it did clip
        continue;
      }
      EXPECT_NEAR(after.volume, target, 0.05) << source << " at " << target;
      EXPECT_NEAR(after.trackGain, 0.0, 0.05) << source << " at " << target;
      EXPECT_NEAR(after.peak, item.peak * item.gainFactor, 2.0) << source << " at " << target;
      ++onTarget;
    }
  }
  EXPECT_GE(onTarget, 7);  // only a loud file at a high target may clip
}

TEST(NormalizationRoundTrip, TheBatchesTogether) {
  test::TempDir dir;
  std::filesystem::create_directory(dir.file("out"));
  SourceList list;
  for (const char* name : {"a.wav", "b.flac", "c.wav"}) {
    const std::string path = MakeMusic(dir, name, name[0] == 'b' ? 0.08 : 0.7);
    list.AddRow(GetFileTitle(path, false), "wav", "1.000", "1411", "44,100", "16 Bit", "2", path,
                "", false);
  }
  std::filesystem::remove(list.GetSourcePath(2));  // unmeasured: converted without gain
  test::ScriptedHost host;
  BatchState state;
  LoudnessEngine engine;
  LoudnessBatchOptions measure;
  measure.target = 92.0;
  measure.logPath = dir.file("QV_Log.txt");
  RunLoudnessBatch(host, list, state, engine, measure);
  ASSERT_EQ(list.Item(0)->hasLoudness, 1);
  ASSERT_EQ(list.Item(1)->hasLoudness, 1);
  ASSERT_EQ(list.Item(1)->clipTrack, 0);
  RetargetRows(list, 90.0);

  ConversionOptions convert;
  convert.formatKey = "wav";
  convert.destinationFolder = dir.file("out");
  convert.normalize = true;
  convert.logPath = measure.logPath;
  host.answers = {IDNO};  // the missing third file: go on
  const ConversionBatchResult result = RunConversionBatch(convert, list, state, host);
  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.converted, 2);
  for (const char* name : {"a.wav", "b.wav"}) {
    JobContext job;
    const LoudnessResult after = AnalyzeFile(dir.file(std::string("out/") + name), 90.0, job);
    ASSERT_EQ(after.code, kLoudnessMeasured) << name;
    EXPECT_NEAR(after.volume, 90.0, 0.05) << name;
  }
}

}  // namespace
}  // namespace qv
