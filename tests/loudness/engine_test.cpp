// The analysis engine on synthetic signals: the reference corner values, windows and filter
// histories across blocks, the percentile walk, refused input, the filter tables, and the
// guards that keep NaN out of the window levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <vector>

#include "loudness/loudnessengine.h"
#include "loudness/replaygaincoefficients.h"

namespace qv {
namespace {

constexpr double kPi = 3.14159265358979323846;

std::vector<double> Sine(int rate, double seconds, double frequency, double amplitude) {
  const auto n = static_cast<std::size_t>(rate * seconds);
  std::vector<double> out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = amplitude * std::sin(2.0 * kPi * frequency * static_cast<double>(i) / rate);
  }
  return out;
}

// Noise with a moving level: every window has its own loudness, so histograms differ when a
// single sample or filter history goes astray.
std::vector<double> Music(int rate, double seconds, std::uint32_t seed) {
  const auto n = static_cast<std::size_t>(rate * seconds);
  std::vector<double> out(n);
  std::uint32_t state = seed;
  for (std::size_t i = 0; i < n; ++i) {
    state = state * 1664525u + 1013904223u;
    const double noise = (static_cast<double>(state >> 8) / 16777216.0) * 2.0 - 1.0;
    const double level = 3000.0 + 2500.0 * std::sin(2.0 * kPi * 1.3 * i / rate);
    out[i] = level * noise + 4000.0 * std::sin(2.0 * kPi * 440.0 * i / rate);
  }
  return out;
}

struct Analysis {
  double gain = 0.0;
  std::uint64_t windows = 0;
  std::map<int, std::uint32_t> bins;  // the occupied bins
};

Analysis Finish(LoudnessEngine& engine) {
  Analysis a;
  a.windows = engine.WindowCount();
  for (int b = 0; b < LoudnessEngine::kHistogramBins; ++b) {
    if (engine.BinCount(b) != 0) a.bins[b] = engine.BinCount(b);
  }
  a.gain = engine.TakeTitleGain();
  return a;
}

Analysis AnalyzeInBlocks(int rate, const std::vector<double>& left,
                         const std::vector<double>& right, std::size_t block) {
  LoudnessEngine engine;
  EXPECT_TRUE(engine.StartAnalysis(rate));
  for (std::size_t pos = 0; pos < left.size(); pos += block) {
    const std::size_t n = std::min(block, left.size() - pos);
    EXPECT_TRUE(engine.AnalyzeBlock(left.data() + pos, right.data() + pos, n, 2));
  }
  return Finish(engine);
}

double StereoGain(int rate, const std::vector<double>& samples) {
  LoudnessEngine engine;
  EXPECT_TRUE(engine.StartAnalysis(rate));
  EXPECT_TRUE(engine.AnalyzeBlock(samples.data(), samples.data(), samples.size(), 2));
  return engine.TakeTitleGain();
}

TEST(LoudnessEngine, DigitalSilenceIsTheReferenceLevel) {
  LoudnessEngine engine;
  ASSERT_TRUE(engine.StartAnalysis(44100));
  const std::vector<double> silence(44100 * 3, 0.0);
  ASSERT_TRUE(engine.AnalyzeBlock(silence.data(), silence.data(), silence.size(), 2));
  EXPECT_EQ(engine.WindowCount(), 60u);
  EXPECT_EQ(engine.BinCount(0), 60u);  // every silent window lands in bin 0
  EXPECT_DOUBLE_EQ(engine.TakeTitleGain(), 64.82);
}

TEST(LoudnessEngine, LessThanOneWindowIsNotEnough) {
  LoudnessEngine engine;
  ASSERT_TRUE(engine.StartAnalysis(44100));
  const std::vector<double> tone = Sine(44100, 1.0, 1000.0, 10000.0);
  ASSERT_TRUE(engine.AnalyzeBlock(tone.data(), tone.data(), 2204, 2));
  EXPECT_EQ(engine.TakeTitleGain(), NotEnoughSamples);
  // Nothing analysed at all is not enough either; one sample more completes a window.
  ASSERT_TRUE(engine.StartAnalysis(44100));
  EXPECT_EQ(engine.TakeTitleGain(), NotEnoughSamples);
  ASSERT_TRUE(engine.StartAnalysis(44100));
  ASSERT_TRUE(engine.AnalyzeBlock(tone.data(), tone.data(), 2205, 2));
  EXPECT_NE(engine.TakeTitleGain(), NotEnoughSamples);
}

TEST(LoudnessEngine, BlockSizesDoNotChangeTheWindows) {
  const std::vector<double> left = Music(44100, 1.0, 1);
  const std::vector<double> right = Music(44100, 1.0, 2);
  const Analysis whole = AnalyzeInBlocks(44100, left, right, left.size());
  EXPECT_EQ(whole.windows, 20u);
  EXPECT_GT(whole.bins.size(), 5u);  // the signal really moves between bins
  for (std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{100}, std::size_t{2205},
                            std::size_t{2206}}) {
    const Analysis split = AnalyzeInBlocks(44100, left, right, block);
    EXPECT_EQ(split.gain, whole.gain) << "blocks of " << block;
    EXPECT_EQ(split.bins, whole.bins) << "blocks of " << block;
  }
  // A partly filled last window is dropped, whatever the blocks were.
  const std::vector<double> shortLeft(left.begin(), left.end() - 100);
  const std::vector<double> shortRight(right.begin(), right.end() - 100);
  EXPECT_EQ(AnalyzeInBlocks(44100, shortLeft, shortRight, 7).windows, 19u);
}

TEST(LoudnessEngine, MonoIsTheSameSamplesOnBothChannels) {
  const std::vector<double> samples = Music(48000, 1.5, 7);
  LoudnessEngine mono;
  ASSERT_TRUE(mono.StartAnalysis(48000));
  ASSERT_TRUE(mono.AnalyzeBlock(samples.data(), nullptr, 1000, 1));
  ASSERT_TRUE(mono.AnalyzeBlock(samples.data() + 1000, nullptr, samples.size() - 1000, 1));
  const Analysis a = Finish(mono);
  LoudnessEngine stereo;
  ASSERT_TRUE(stereo.StartAnalysis(48000));
  ASSERT_TRUE(stereo.AnalyzeBlock(samples.data(), samples.data(), samples.size(), 2));
  const Analysis b = Finish(stereo);
  EXPECT_EQ(a.gain, b.gain);
  EXPECT_EQ(a.bins, b.bins);
}

TEST(LoudnessEngine, TwentyWindowsStopAtTheSecondLoudest) {
  // Twenty windows of silence and tones 3 dB apart, each in a bin of its own.
  const int rate = 8000;  // 400 samples per window
  std::vector<double> samples;
  for (int w = 0; w < 20; ++w) {
    const double amplitude = 100.0 * std::pow(10.0, 3.0 * w / 20.0);
    for (int i = 0; i < 400; ++i) {
      samples.push_back(amplitude * std::sin(2.0 * kPi * 500.0 * i / rate));
    }
  }
  LoudnessEngine engine;
  ASSERT_TRUE(engine.StartAnalysis(rate));
  ASSERT_TRUE(engine.AnalyzeBlock(samples.data(), samples.data(), samples.size(), 2));
  const Analysis a = Finish(engine);
  ASSERT_EQ(a.windows, 20u);
  ASSERT_EQ(a.bins.size(), 20u);
  auto loudest = a.bins.rbegin();
  auto second = std::next(loudest);
  EXPECT_DOUBLE_EQ(a.gain, 64.82 - second->first / 100.0);
  EXPECT_NE(a.gain, 64.82 - loudest->first / 100.0);
}

TEST(LoudnessEngine, PercentileOfManyWindows) {
  // 100 windows: ceil(100 x 0.050000000000000044) = 6, so the walk passes five windows and
  // stops at the sixth loudest.
  const int rate = 8000;
  std::vector<double> samples;
  for (int w = 0; w < 100; ++w) {
    const double amplitude = w < 94 ? 1000.0 : 1000.0 * std::pow(10.0, (w - 93) / 2.0);
    for (int i = 0; i < 400; ++i) {
      samples.push_back(amplitude * std::sin(2.0 * kPi * 500.0 * i / rate));
    }
  }
  LoudnessEngine engine;
  ASSERT_TRUE(engine.StartAnalysis(rate));
  ASSERT_TRUE(engine.AnalyzeBlock(samples.data(), samples.data(), samples.size(), 2));
  const Analysis a = Finish(engine);
  ASSERT_EQ(a.windows, 100u);
  auto bin = a.bins.rbegin();
  std::uint32_t passed = 0;
  while (passed + bin->second < 6) passed += (bin++)->second;
  EXPECT_DOUBLE_EQ(a.gain, 64.82 - bin->first / 100.0);
}

TEST(LoudnessEngine, RefusedRatesAndChannelCounts) {
  LoudnessEngine engine;
  const std::vector<double> tone = Sine(44100, 0.5, 1000.0, 10000.0);
  // Nothing works before a rate was accepted.
  EXPECT_FALSE(engine.AnalyzeBlock(tone.data(), tone.data(), tone.size(), 2));
  EXPECT_EQ(engine.WindowLength(), 0);
  EXPECT_FALSE(engine.StartAnalysis(37800));
  EXPECT_FALSE(engine.AnalyzeBlock(tone.data(), tone.data(), tone.size(), 2));
  EXPECT_TRUE(engine.StartAnalysis(44100));
  EXPECT_EQ(engine.WindowLength(), 2205);
  EXPECT_FALSE(engine.StartAnalysis(192000));
  EXPECT_FALSE(engine.StartAnalysis(0));
  EXPECT_FALSE(engine.StartAnalysis(-44100));
  EXPECT_EQ(engine.WindowLength(), 2205);  // a refused rate keeps the previous one

  ASSERT_TRUE(engine.AnalyzeBlock(tone.data(), tone.data(), 3000, 2));
  const std::uint64_t before = engine.WindowCount();
  EXPECT_FALSE(engine.AnalyzeBlock(tone.data(), tone.data(), tone.size(), 3));
  EXPECT_FALSE(engine.AnalyzeBlock(tone.data(), tone.data(), tone.size(), 0));
  EXPECT_TRUE(engine.AnalyzeBlock(tone.data(), tone.data(), 0, 2));
  EXPECT_TRUE(engine.AnalyzeBlock(nullptr, nullptr, 0, 2));
  EXPECT_TRUE(engine.AnalyzeBlock(nullptr, nullptr, 0, 3));  // nothing to do comes first
  EXPECT_FALSE(engine.AnalyzeBlock(tone.data(), nullptr, tone.size(), 2));
  EXPECT_EQ(engine.WindowCount(), before);
  ASSERT_TRUE(engine.AnalyzeBlock(tone.data() + 3000, tone.data() + 3000, tone.size() - 3000, 2));
  const double gain = engine.TakeTitleGain();
  // The refused calls changed nothing: the same as the tone analysed in one go.
  EXPECT_EQ(gain, StereoGain(44100, tone));
}

TEST(LoudnessEngine, WindowLengthsOfEveryRate) {
  const std::map<int, int> expected = {{96000, 4800}, {88200, 4410}, {64000, 3200},
                                       {48000, 2400}, {44100, 2205}, {32000, 1600},
                                       {24000, 1200}, {22050, 1103}, {16000, 800},
                                       {12000, 600},  {11025, 552},  {8000, 400}};
  LoudnessEngine engine;
  for (const auto& [rate, length] : expected) {
    ASSERT_TRUE(engine.StartAnalysis(rate)) << rate;
    EXPECT_EQ(engine.WindowLength(), length) << rate;
  }
}

TEST(LoudnessEngine, TitlesInARowAreIndependent) {
  const std::vector<double> first = Music(44100, 2.0, 11);
  const std::vector<double> second = Music(48000, 2.0, 12);
  const std::vector<double> third = Sine(44100, 1.0, 300.0, 20000.0);
  LoudnessEngine shared;
  double gains[3];
  ASSERT_TRUE(shared.StartAnalysis(44100));
  shared.AnalyzeBlock(first.data(), first.data(), first.size() - 1000, 2);  // ends mid-window
  gains[0] = shared.TakeTitleGain();
  ASSERT_TRUE(shared.StartAnalysis(48000));
  shared.AnalyzeBlock(second.data(), second.data(), second.size(), 2);
  gains[1] = shared.TakeTitleGain();
  ASSERT_TRUE(shared.StartAnalysis(44100));
  shared.AnalyzeBlock(third.data(), third.data(), third.size(), 2);
  gains[2] = shared.TakeTitleGain();

  const std::vector<double> firstCut(first.begin(), first.end() - 1000);
  EXPECT_EQ(gains[0], StereoGain(44100, firstCut));
  EXPECT_EQ(gains[1], StereoGain(48000, second));
  EXPECT_EQ(gains[2], StereoGain(44100, third));
  // TakeTitleGain alone also readies the engine for another title at the same rate.
  shared.AnalyzeBlock(third.data(), third.data(), third.size(), 2);
  EXPECT_EQ(shared.TakeTitleGain(), gains[2]);
}

TEST(LoudnessEngine, LevelDifferenceOfTwoSines) {
  const double loud = StereoGain(44100, Sine(44100, 3.0, 1000.0, 20000.0));
  const double quiet = StereoGain(44100, Sine(44100, 3.0, 1000.0, 2000.0));
  EXPECT_NEAR(quiet - loud, 20.0, 0.011);  // a tenth of the amplitude is 20 dB
  const double half = StereoGain(44100, Sine(44100, 3.0, 1000.0, 10000.0));
  EXPECT_NEAR(half - loud, 20.0 * std::log10(2.0), 0.011);
  // A louder signal needs less gain, and a full-scale tone needs a negative one.
  EXPECT_LT(loud, 0.0);
  EXPECT_GT(quiet, loud);
}

TEST(LoudnessEngine, EveryRateMeasuresTheSameToneAlike) {
  // A 1 kHz tone sounds the same at every rate; the filters of each rate agree on it within the
  // 1.5 dB by which the published designs differ (an unstable or mistyped row would measure
  // silence, NaN or a far-off level).
  std::map<int, double> gains;
  for (int r = 0; r < kReplayGainRateCount; ++r) {
    const int rate = kReplayGainRates[r];
    LoudnessEngine engine;
    ASSERT_TRUE(engine.StartAnalysis(rate));
    const std::vector<double> tone = Sine(rate, 2.0, 1000.0, 10000.0);
    ASSERT_TRUE(engine.AnalyzeBlock(tone.data(), tone.data(), tone.size(), 2));
    EXPECT_EQ(engine.WindowCount(), tone.size() / engine.WindowLength()) << rate;
    EXPECT_EQ(engine.BinCount(0), 0u) << rate;
    gains[rate] = engine.TakeTitleGain();
  }
  for (const auto& [rate, gain] : gains) EXPECT_NEAR(gain, gains[44100], 1.5) << rate;
}

TEST(LoudnessEngine, EightyEightPointTwoKilohertzLiesBetweenItsNeighbours) {
  for (double frequency : {100.0, 1000.0}) {
    const double g96 = StereoGain(96000, Sine(96000, 2.0, frequency, 8000.0));
    const double g88 = StereoGain(88200, Sine(88200, 2.0, frequency, 8000.0));
    const double g64 = StereoGain(64000, Sine(64000, 2.0, frequency, 8000.0));
    EXPECT_GE(g88, std::min(g96, g64) - 0.02) << frequency;
    EXPECT_LE(g88, std::max(g96, g64) + 0.02) << frequency;
    EXPECT_LT(g88, 40.0) << frequency;  // far from the 64.82 of a silent (NaN) measurement
  }
  // A minute of a loud tone: the filter stays finite all along, every window is counted and
  // none lands in bin 0.
  LoudnessEngine engine;
  ASSERT_TRUE(engine.StartAnalysis(88200));
  const std::vector<double> second = Sine(88200, 1.0, 1000.0, 32000.0);
  for (int s = 0; s < 60; ++s) {
    engine.AnalyzeBlock(second.data(), second.data(), second.size(), 2);
  }
  EXPECT_EQ(engine.WindowCount(), 1200u);
  EXPECT_EQ(engine.BinCount(0), 0u);
}

TEST(LoudnessEngine, NonFiniteSamplesNeverReachTheLevels) {
  std::vector<double> clean = Music(44100, 1.0, 5);
  std::vector<double> damaged = clean;
  for (std::size_t i = 100; i < clean.size(); i += 997) {
    clean[i] = 0.0;
    damaged[i] = std::numeric_limits<double>::quiet_NaN();
  }
  LoudnessEngine a;
  ASSERT_TRUE(a.StartAnalysis(44100));
  a.AnalyzeBlock(damaged.data(), damaged.data(), damaged.size(), 2);
  EXPECT_EQ(a.WindowCount(), 20u);
  EXPECT_EQ(a.TakeTitleGain(), StereoGain(44100, clean));

  // Infinities are clamped: the windows that hold them are the loudest, the rest recover.
  std::vector<double> spikes = Music(44100, 1.0, 5);
  spikes[5000] = std::numeric_limits<double>::infinity();
  spikes[30000] = -std::numeric_limits<double>::infinity();
  LoudnessEngine b;
  ASSERT_TRUE(b.StartAnalysis(44100));
  b.AnalyzeBlock(spikes.data(), spikes.data(), spikes.size(), 2);
  EXPECT_EQ(b.WindowCount(), 20u);
  const double gain = b.TakeTitleGain();
  EXPECT_TRUE(std::isfinite(gain));
  EXPECT_GT(gain, 64.82 - 119.99 - 1e-9);
}

TEST(LoudnessEngine, LevelBinsTruncateAndClamp) {
  EXPECT_EQ(LevelBin(std::pow(10.0, 1.23456)), 1234);  // 1234.56 truncated
  EXPECT_EQ(LevelBin(1.0), 0);
  EXPECT_EQ(LevelBin(0.0), 0);     // log10(1e-37) is negative: clamped to bin 0
  EXPECT_EQ(LevelBin(0.5), 0);     // -301 truncates toward zero, then clamps
  EXPECT_EQ(LevelBin(1e12), 11999);
  EXPECT_EQ(LevelBin(1e300), 11999);
  EXPECT_EQ(LevelBin(std::numeric_limits<double>::infinity()), 11999);
  EXPECT_EQ(LevelBin(std::numeric_limits<double>::quiet_NaN()), -1);
  EXPECT_DOUBLE_EQ(LoudnessEngine::kPercentileFactor, 0.050000000000000044);
}

// The compiled tables against the published text, where the shared data folder lies beside
// the source tree.
TEST(ReplayGainTables, MatchThePublishedText) {
  const std::filesystem::path file =
      std::filesystem::path(QV_SOURCE_DIR) / ".." / "shared" / "replaygain-coefficients.txt";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "no " << file;
  std::ifstream in(file);
  std::string line;
  int yuleRows = 0;
  int butterRows = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    std::string kind;
    int rate = 0;
    words >> kind >> rate;
    const int index = ReplayGainRateIndex(rate);
    ASSERT_GE(index, 0) << line;
    ASSERT_EQ(kReplayGainRates[index], rate);
    std::vector<double> values;
    std::string word;
    while (words >> word) values.push_back(std::strtod(word.c_str(), nullptr));
    if (kind == "YULE") {
      ++yuleRows;
      ASSERT_EQ(values.size(), std::size_t{kYuleCoefficientCount}) << rate;
      for (int k = 0; k < kYuleCoefficientCount; ++k)
        EXPECT_EQ(kYuleCoefficients[index][k], values[k]) << rate << " #" << k;
    } else {
      ASSERT_EQ(kind, "BUTTER");
      ++butterRows;
      ASSERT_EQ(values.size(), std::size_t{kButterCoefficientCount}) << rate;
      for (int k = 0; k < kButterCoefficientCount; ++k)
        EXPECT_EQ(kButterCoefficients[index][k], values[k]) << rate << " #" << k;
    }
  }
  EXPECT_EQ(yuleRows, kReplayGainRateCount);
  EXPECT_EQ(butterRows, kReplayGainRateCount);
}

TEST(ReplayGainTables, RowsInTableOrder) {
  EXPECT_EQ(ReplayGainRateIndex(96000), 0);
  EXPECT_EQ(ReplayGainRateIndex(88200), 1);
  EXPECT_EQ(ReplayGainRateIndex(8000), 11);
  EXPECT_EQ(ReplayGainRateIndex(37800), -1);
  EXPECT_EQ(kYuleCoefficients[3][0], 0.03857599435200);
  EXPECT_EQ(kYuleCoefficients[4][1], -3.47845948550071);
  EXPECT_EQ(kButterCoefficients[3][3], 0.97261396931306);
  EXPECT_EQ(kButterCoefficients[4][4], 0.98500175787242);
}

}  // namespace
}  // namespace qv
