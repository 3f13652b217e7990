// The R128 engine on generated signals: the loudness a sine must read, the gates, silence and
// short input, NaN and a fresh start, and, over signals of several rates, channel counts and
// block lengths, agreement with libebur128 on integrated loudness, loudness range, true peak,
// sample peak and the loudness of an album.
#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "loudness/r128engine.h"

namespace qv {
namespace {

constexpr double kPi = 3.14159265358979323846;

struct Signal {
  int rate = 0;
  int channels = 0;
  std::vector<float> samples;  // interleaved
  std::size_t Frames() const { return samples.size() / static_cast<std::size_t>(channels); }
};

double Amplitude(double dbfs) { return std::pow(10.0, dbfs / 20.0); }

// A 1 kHz sine, the same on every channel, in consecutive sections of (seconds, dBFS).
Signal Tone(int rate, int channels, const std::vector<std::pair<double, double>>& sections) {
  Signal s{rate, channels, {}};
  std::size_t i = 0;
  for (const auto& [seconds, dbfs] : sections) {
    const auto n = static_cast<std::size_t>(seconds * rate);
    for (std::size_t end = i + n; i < end; ++i) {
      const double v = Amplitude(dbfs) * std::sin(2.0 * kPi * 1000.0 * static_cast<double>(i) / rate);
      for (int c = 0; c < channels; ++c) s.samples.push_back(static_cast<float>(v));
    }
  }
  return s;
}

enum class Kind { kNoise, kSines, kInterSample };

// Noise or a mix of sines per channel whose level steps every second (so the loudness range is
// several LU), or a constant sine at a quarter of the rate whose samples miss its crests by 3 dB.
Signal Generate(Kind kind, int rate, int channels, double seconds) {
  static constexpr double kLevels[] = {-20, -26, -14, -32, -23, -45, -18};
  Signal s{rate, channels, {}};
  const auto n = static_cast<std::size_t>(seconds * rate);
  std::uint32_t state = 2024u;
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double level = Amplitude(kLevels[static_cast<std::size_t>(t) % std::size(kLevels)]);
    for (int c = 0; c < channels; ++c) {
      const double gain = 1.0 - 0.1 * c;
      double v = 0.0;
      if (kind == Kind::kNoise) {
        state = state * 1664525u + 1013904223u;
        v = level * gain * ((static_cast<double>(state >> 8) / 8388608.0) - 1.0);
      } else if (kind == Kind::kSines) {
        v = level * gain *
            (0.5 * std::sin(2 * kPi * (60.0 + 40 * c) * t) + 0.3 * std::sin(2 * kPi * 1250.0 * t) +
             0.2 * std::sin(2 * kPi * (4100.0 + 700 * c) * t));
      } else {
        v = 0.9 * std::sin(2 * kPi * 0.25 * static_cast<double>(i) + kPi / 4);
      }
      s.samples.push_back(static_cast<float>(v));
    }
  }
  return s;
}

R128Measurement Measure(R128Engine& engine, const Signal& s, std::size_t block) {
  EXPECT_TRUE(engine.Start(s.rate, s.channels));
  for (std::size_t at = 0; at < s.Frames(); at += block) {
    const std::size_t n = std::min(block, s.Frames() - at);
    engine.AddFrames(s.samples.data() + at * static_cast<std::size_t>(s.channels), n);
  }
  return engine.Finish();
}

R128Measurement Measure(const Signal& s, std::size_t block = 4096) {
  R128Engine engine;
  return Measure(engine, s, block);
}

struct LibraryDeleter {
  void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
};
using Library = std::unique_ptr<ebur128_state, LibraryDeleter>;

// libebur128 fed from frame `skip` on in blocks of 4096 frames, each channel given the type of
// its speaker in FFmpeg's default layout for the count (which the engine assumes for a source
// that names no speakers): 7.1's back pair is a rear one (Mp135, weight 1.0) beside its side
// surrounds (Mp090, 1.41), where 5.1's back pair is the surrounds.
Library MeasureWithLibrary(const Signal& s, int mode, std::size_t skip = 0) {
  Library st(ebur128_init(static_cast<unsigned>(s.channels), static_cast<unsigned long>(s.rate),
                          mode));
  EXPECT_NE(st, nullptr);
  constexpr int L = EBUR128_LEFT, R = EBUR128_RIGHT, C = EBUR128_CENTER, LFE = EBUR128_UNUSED,
                Ls = EBUR128_LEFT_SURROUND, Rs = EBUR128_RIGHT_SURROUND;
  static const std::vector<int> kDefaultLayouts[] = {
      {C},
      {L, R},
      {L, R, LFE},
      {L, R, C, EBUR128_Mp180},
      {L, R, C, Ls, Rs},
      {L, R, C, LFE, Ls, Rs},
      {L, R, C, LFE, EBUR128_Mp180, EBUR128_Mp090, EBUR128_Mm090},
      {L, R, C, LFE, EBUR128_Mp135, EBUR128_Mm135, EBUR128_Mp090, EBUR128_Mm090},
  };
  const std::vector<int>& types = kDefaultLayouts[s.channels - 1];
  for (unsigned c = 0; c < types.size(); ++c) {
    ebur128_set_channel(st.get(), c, types[c]);
  }
  const auto ch = static_cast<std::size_t>(s.channels);
  for (std::size_t at = skip; at < s.Frames(); at += 4096) {
    ebur128_add_frames_float(st.get(), s.samples.data() + at * ch, std::min<std::size_t>(4096, s.Frames() - at));
  }
  return st;
}

// libebur128's loudness range takes a 3 s block every second; the union of ten copies started
// 100 ms apart has one every 100 ms, as the engine takes them.
double LibraryRange(const Signal& s) {
  std::vector<Library> copies;
  std::vector<ebur128_state*> states;
  for (std::size_t k = 0; k < 10; ++k) {
    copies.push_back(MeasureWithLibrary(s, EBUR128_MODE_LRA, k * static_cast<std::size_t>((s.rate + 5) / 10)));
    states.push_back(copies.back().get());
  }
  double range = -1.0;
  EXPECT_EQ(ebur128_loudness_range_multiple(states.data(), states.size(), &range), EBUR128_SUCCESS);
  return range;
}

double Db(double linear) { return 20.0 * std::log10(linear); }

TEST(R128Engine, SineAtMinus23DbfsReadsMinus23Lufs) {
  for (int rate : {44100, 48000}) {
    const R128Measurement m = Measure(Tone(rate, 2, {{20.0, -23.0}}));
    EXPECT_NEAR(m.integrated, -23.0, 0.1) << rate;
    EXPECT_NEAR(m.range, 0.0, 0.1) << rate;
    EXPECT_NEAR(Db(m.samplePeak), -23.0, 0.05) << rate;
    EXPECT_NEAR(Db(m.truePeak), -23.0, 0.05) << rate;
  }
}

TEST(R128Engine, GatesLeaveOutTheQuietSections) {
  // 10 s 16 LU below the loud section (under the relative gate), 10 s loud, 20 s under the
  // absolute gate: the integrated loudness is the loud section's, less a little for the blocks
  // that straddle its edges.
  const R128Measurement m = Measure(Tone(48000, 2, {{10, -36.0}, {10, -20.0}, {20, -80.0}}));
  EXPECT_NEAR(m.integrated, -20.0, 0.2);
  EXPECT_NEAR(static_cast<double>(m.gatedBlocks.size()), 200.0, 2.0);  // only the -80 dBFS blocks fall away
}

TEST(R128Engine, SilenceShortInputAndPartialBlocks) {
  const R128Measurement silence = Measure(Tone(44100, 2, {{5.0, -HUGE_VAL}}));
  EXPECT_TRUE(silence.enoughSamples);
  EXPECT_EQ(silence.integrated, -HUGE_VAL);
  EXPECT_EQ(silence.range, 0.0);
  EXPECT_EQ(silence.truePeak, 0.0);
  EXPECT_TRUE(silence.gatedBlocks.empty());

  // 4410 frames per 100 ms at 44.1 kHz: a block needs 17640, then one more per 4410; a
  // partial step at the end counts for nothing.
  const struct {
    std::size_t frames;
    bool enough;
    std::size_t blocks;
  } lengths[] = {{17639, false, 0}, {17640, true, 1}, {46304, true, 7}, {48510, true, 8}};
  const Signal tone = Tone(44100, 1, {{1.2, -20.0}});
  for (const auto& l : lengths) {
    Signal head{44100, 1, {tone.samples.begin(), tone.samples.begin() + static_cast<long>(l.frames)}};
    const R128Measurement m = Measure(head, 1000);
    EXPECT_EQ(m.enoughSamples, l.enough) << l.frames;
    EXPECT_EQ(m.gatedBlocks.size(), l.blocks) << l.frames;
    EXPECT_EQ(std::isfinite(m.integrated), l.enough) << l.frames;
  }
}

TEST(R128Engine, NanCountsAsZeroAndEveryTitleStartsClean) {
  Signal clean = Generate(Kind::kSines, 48000, 2, 6.0);
  Signal withNan = clean;
  for (std::size_t i = 0; i < clean.samples.size(); i += 97) {
    clean.samples[i] = 0.0f;
    withNan.samples[i] = std::numeric_limits<float>::quiet_NaN();
  }
  const R128Measurement expected = Measure(clean);
  R128Engine engine;
  const R128Measurement nan = Measure(engine, withNan, 500);
  EXPECT_EQ(nan.integrated, expected.integrated);
  EXPECT_EQ(nan.truePeak, expected.truePeak);
  EXPECT_EQ(nan.gatedBlocks, expected.gatedBlocks);

  // After a loud title measured to its end, and after one abandoned half-way: the same figures.
  const R128Measurement again = Measure(engine, clean, 4096);
  engine.Start(48000, 2);
  engine.AddFrames(Generate(Kind::kNoise, 48000, 2, 2.5).samples.data(), 2 * 48000 + 3);
  const R128Measurement restarted = Measure(engine, clean, 4096);
  engine.AddFrames(clean.samples.data(), clean.Frames());  // Finish left it ready
  const R128Measurement afterFinish = engine.Finish();
  for (const R128Measurement* m : {&again, &restarted, &afterFinish}) {
    EXPECT_EQ(m->integrated, expected.integrated);
    EXPECT_EQ(m->range, expected.range);
    EXPECT_EQ(m->truePeak, expected.truePeak);
    EXPECT_EQ(m->samplePeak, expected.samplePeak);
  }

  for (auto [rate, channels] : {std::pair{44100, 0}, {44100, 9}, {7999, 2}, {384001, 2}}) {
    EXPECT_FALSE(engine.Start(rate, channels)) << rate << " Hz, " << channels;
  }
  engine.AddFrames(clean.samples.data(), clean.Frames());
  EXPECT_FALSE(engine.Finish().enoughSamples);
}

TEST(R128Engine, AgreesWithLibebur128) {
  const struct {
    const char* name;
    Kind kind;
    int rate, channels;
    double seconds;
    std::size_t block;
  } cases[] = {
      {"noise stereo 44.1 kHz", Kind::kNoise, 44100, 2, 20, 997},
      {"sines stereo 48 kHz", Kind::kSines, 48000, 2, 15, 4800},
      {"noise mono 22.05 kHz, single frames", Kind::kNoise, 22050, 1, 15, 1},
      {"noise 5.1 48 kHz", Kind::kNoise, 48000, 6, 12, 1024},
      {"sines stereo 96 kHz (2x)", Kind::kSines, 96000, 2, 8, 333},
      {"inter-sample peaks 44.1 kHz", Kind::kInterSample, 44100, 2, 4, 4099},
      {"inter-sample peaks 96 kHz (2x)", Kind::kInterSample, 96000, 1, 4, 4099},
      {"noise mono 192 kHz (1x)", Kind::kNoise, 192000, 1, 6, 7919},
      {"sines 5 channels 32 kHz", Kind::kSines, 32000, 5, 10, 641},
      {"noise 8 channels 37.8 kHz", Kind::kNoise, 37800, 8, 8, 1500},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Signal s = Generate(c.kind, c.rate, c.channels, c.seconds);
    const R128Measurement m = Measure(s, c.block);
    const Library lib = MeasureWithLibrary(s, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    double integrated = 0, truePeak = 0, samplePeak = 0;
    ASSERT_EQ(ebur128_loudness_global(lib.get(), &integrated), EBUR128_SUCCESS);
    for (unsigned ch = 0; ch < static_cast<unsigned>(c.channels); ++ch) {
      double tp = 0, sp = 0;
      ebur128_true_peak(lib.get(), ch, &tp);
      ebur128_sample_peak(lib.get(), ch, &sp);
      truePeak = std::max(truePeak, tp);
      samplePeak = std::max(samplePeak, sp);
    }
    EXPECT_NEAR(m.integrated, integrated, 0.01);
    EXPECT_NEAR(m.range, LibraryRange(s), 0.1);
    EXPECT_NEAR(Db(m.truePeak), Db(truePeak), 0.05);
    EXPECT_NEAR(m.samplePeak, samplePeak, 1e-7);
  }
}

TEST(R128Engine, AlbumLoudnessAgreesWithLibebur128) {
  const Signal loud = Generate(Kind::kNoise, 44100, 2, 12);
  Signal quiet = Generate(Kind::kSines, 44100, 2, 20);
  for (float& v : quiet.samples) v *= 0.2f;
  const R128Measurement a = Measure(loud), b = Measure(quiet);
  const Library la = MeasureWithLibrary(loud, EBUR128_MODE_I);
  const Library lb = MeasureWithLibrary(quiet, EBUR128_MODE_I);
  ebur128_state* states[] = {la.get(), lb.get()};
  double expected = 0;
  ASSERT_EQ(ebur128_loudness_global_multiple(states, 2, &expected), EBUR128_SUCCESS);
  EXPECT_NEAR(AlbumLoudness({&a.gatedBlocks, &b.gatedBlocks}), expected, 0.01);
  EXPECT_GT(std::fabs(a.integrated - b.integrated), 10.0);  // the album gate has work to do
  EXPECT_EQ(AlbumLoudness({&a.gatedBlocks}), a.integrated);
  const std::vector<float> none;
  EXPECT_EQ(AlbumLoudness({&none, &none}), -HUGE_VAL);
}

}  // namespace
}  // namespace qv
