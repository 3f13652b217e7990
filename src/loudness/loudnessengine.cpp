#include "loudness/loudnessengine.h"

#include <algorithm>
#include <cmath>

#include "loudness/replaygaincoefficients.h"

namespace qv {
namespace {

using Pair = double __attribute__((vector_size(16)));

// Keeps the equal-loudness recursion out of denormal numbers in silent passages.
constexpr double kDenormalGuard = 1e-10;
constexpr double kLogGuard = 1e-37;
constexpr double kWindowSeconds = 0.05;
// 100 steps per dB of 10 x log10(power).
constexpr double kBinsPerDecade = 1000.0;
// The taps of the equal-loudness filter (its histories are this long).
constexpr int kTaps = LoudnessEngine::kHistory;

static_assert(LoudnessEngine::kPercentileFactor == 0.050000000000000044);

Pair Both(double value) { return Pair{value, value}; }

// The coefficients of one rate with every value in both elements of a pair, in the order the
// filters use them.
struct PairCoefficients {
  Pair yb[LoudnessEngine::kHistory + 1];  // b0 .. b10
  Pair ya[LoudnessEngine::kHistory + 1];  // a1 .. a10 (index 0 unused)
  Pair hb[3];                             // b0, b1, b2
  Pair ha[3];                             // a1, a2 (index 0 unused)
};

PairCoefficients MakePairCoefficients(int rateIndex) {
  PairCoefficients c{};
  const double* yule = kYuleCoefficients[rateIndex];
  c.yb[0] = Both(yule[0]);
  for (int k = 1; k <= kYuleOrder; ++k) {
    c.ya[k] = Both(yule[2 * k - 1]);
    c.yb[k] = Both(yule[2 * k]);
  }
  const double* butter = kButterCoefficients[rateIndex];
  c.hb[0] = Both(butter[0]);
  c.ha[1] = Both(butter[1]);
  c.hb[1] = Both(butter[2]);
  c.ha[2] = Both(butter[3]);
  c.hb[2] = Both(butter[4]);
  return c;
}

// Runs both filters over `count` frames and adds the squared output to `sum`. The histories
// live in local arrays for the whole run; the operations and their order are those of the
// reference analysis, per channel:
//   y = 1e-10 + b0*x0 - a1*y1 + b1*x1 - a2*y2 + b2*x2 ... - a10*y10 + b10*x10
//   z = b0*y0 - a1*z1 + b1*y1 - a2*z2 + b2*y2
// The loops over the taps are unrolled completely, so the histories stay in registers. The
// recursion is bound by the latency of its chain of additions; the two channels are
// independent, so computing them as the two elements of one vector halves the time without
// changing a single result bit.
void RunFilters(const PairCoefficients& c, const double* left, const double* right,
                std::size_t count, Pair (&x)[kTaps], Pair (&y)[kTaps], Pair (&z)[2], Pair& sum) {
  // xs[k] and ys[k] are the input and the output k + 1 samples back.
  Pair xs[kTaps], ys[kTaps];
#pragma GCC unroll 10
  for (int k = 0; k < kTaps; ++k) {
    xs[k] = x[k];
    ys[k] = y[k];
  }
  Pair z1 = z[0], z2 = z[1];
  Pair s = sum;
  const Pair guard = Both(kDenormalGuard);
  for (std::size_t i = 0; i < count; ++i) {
    const Pair x0 = Pair{BoundedSample(left[i]), BoundedSample(right[i])};
    Pair acc = guard + x0 * c.yb[0];
#pragma GCC unroll 10
    for (int k = 0; k < kTaps; ++k) {
      acc = acc - ys[k] * c.ya[k + 1];
      acc = acc + xs[k] * c.yb[k + 1];
    }
    const Pair y0 = acc;
    Pair out = y0 * c.hb[0];
    out = out - z1 * c.ha[1];
    out = out + ys[0] * c.hb[1];
    out = out - z2 * c.ha[2];
    out = out + ys[1] * c.hb[2];
    s = s + out * out;
#pragma GCC unroll 10
    for (int k = kTaps - 1; k > 0; --k) {
      xs[k] = xs[k - 1];
      ys[k] = ys[k - 1];
    }
    xs[0] = x0;
    ys[0] = y0;
    z2 = z1;
    z1 = out;
  }
#pragma GCC unroll 10
  for (int k = 0; k < kTaps; ++k) {
    x[k] = xs[k];
    y[k] = ys[k];
  }
  z[0] = z1;
  z[1] = z2;
  sum = s;
}

}  // namespace

int LevelBin(double meanPower) {
  const double level = kBinsPerDecade * std::log10(meanPower + kLogGuard);
  if (std::isnan(level)) return -1;
  // Truncation toward zero, then the clamp; comparing first keeps the conversion defined for
  // any value.
  if (level <= 0.0) return 0;
  if (level >= LoudnessEngine::kHistogramBins - 1) return LoudnessEngine::kHistogramBins - 1;
  return static_cast<int>(level);
}

LoudnessEngine::LoudnessEngine() = default;

void LoudnessEngine::ClearHistories() { m_histories = Histories{}; }

bool LoudnessEngine::StartAnalysis(int sampleRate) {
  ClearHistories();
  const int index = ReplayGainRateIndex(sampleRate);
  if (index < 0) return false;
  m_rateIndex = index;
  // The product is rounded to double before the ceiling: 4800 at 96000 Hz, 2205 at 44100 Hz.
  m_windowLength = static_cast<int>(std::ceil(static_cast<double>(sampleRate) * kWindowSeconds));
  m_sum = Pair{0.0, 0.0};
  m_inWindow = 0;
  m_histogram.fill(0);
  return true;
}

void LoudnessEngine::CloseWindow() {
  const double meanPower = (m_sum[0] + m_sum[1]) / m_windowLength * 0.5;
  const int bin = LevelBin(meanPower);
  if (bin >= 0) {
    ++m_histogram[static_cast<std::size_t>(bin)];
  } else {
    // Bounded samples through stable filters cannot give NaN; should it ever happen, the
    // window is not counted and the filters start afresh instead of carrying NaN onwards.
    ClearHistories();
  }
  m_sum = Pair{0.0, 0.0};
  m_inWindow = 0;
}

bool LoudnessEngine::AnalyzeBlock(const double* left, const double* right, std::size_t count,
                                  int channels) {
  if (count == 0) return true;
  if (channels != 1 && channels != 2) return false;
  if (m_rateIndex < 0 || m_windowLength <= 0 || !left) return false;
  if (channels == 1) right = left;
  if (!right) return false;

  const PairCoefficients coefficients = MakePairCoefficients(m_rateIndex);
  std::size_t pos = 0;
  while (pos < count) {
    const std::size_t room = static_cast<std::size_t>(m_windowLength - m_inWindow);
    const std::size_t take = std::min(count - pos, room);
    RunFilters(coefficients, left + pos, right + pos, take, m_histories.x, m_histories.y,
               m_histories.z, m_sum);
    pos += take;
    m_inWindow += static_cast<int>(take);
    if (m_inWindow > m_windowLength) return false;
    if (m_inWindow == m_windowLength) CloseWindow();
  }
  return true;
}

std::uint64_t LoudnessEngine::WindowCount() const {
  std::uint64_t total = 0;
  for (std::uint32_t n : m_histogram) total += n;
  return total;
}

std::uint32_t LoudnessEngine::BinCount(int bin) const {
  if (bin < 0 || bin >= kHistogramBins) return 0;
  return m_histogram[static_cast<std::size_t>(bin)];
}

namespace {

// The gain of a histogram of window levels: the level that 95 % of the windows stay below,
// against the reference. `count(i)` gives bin i's counter.
template <typename Count>
double GainOfHistogram(std::uint64_t total, Count count) {
  if (total == 0) return NotEnoughSamples;
  // ceil(20 x 0.050000000000000044) is 2: with 20 windows the walk stops at the bin of the
  // second-loudest window.
  const double share = std::ceil(static_cast<double>(total) * LoudnessEngine::kPercentileFactor);
  auto upper = static_cast<std::int64_t>(share);
  int i = LoudnessEngine::kHistogramBins - 1;
  for (; i > 0; --i) {
    upper -= count(i);
    if (upper <= 0) break;
  }
  return LoudnessEngine::kReferenceLevel - static_cast<double>(i) / 100.0;
}

}  // namespace

double AlbumTitleGain(const std::vector<const std::vector<std::uint32_t>*>& titles) {
  std::vector<std::uint64_t> sum(LoudnessEngine::kHistogramBins, 0);
  std::uint64_t total = 0;
  for (const std::vector<std::uint32_t>* levels : titles) {
    if (!levels) continue;
    for (const std::uint32_t packed : *levels) {
      const int bin = LevelBinOf(packed);
      if (bin < 0 || bin >= LoudnessEngine::kHistogramBins) continue;
      sum[static_cast<std::size_t>(bin)] += LevelCountOf(packed);
      total += LevelCountOf(packed);
    }
  }
  return GainOfHistogram(total, [&sum](int i) { return sum[static_cast<std::size_t>(i)]; });
}

double LoudnessEngine::TakeTitleGain(std::vector<std::uint32_t>* levels) {
  if (levels) {
    levels->clear();
    for (int bin = 0; bin < kHistogramBins; ++bin) {
      std::uint32_t count = m_histogram[static_cast<std::size_t>(bin)];
      for (; count > kLevelCountMax; count -= kLevelCountMax) {
        levels->push_back(PackLevel(bin, kLevelCountMax));
      }
      if (count > 0) levels->push_back(PackLevel(bin, count));
    }
  }
  const double result = GainOfHistogram(
      WindowCount(), [this](int i) { return m_histogram[static_cast<std::size_t>(i)]; });
  m_histogram.fill(0);
  ClearHistories();
  m_sum = Pair{0.0, 0.0};
  m_inWindow = 0;
  return result;
}

}  // namespace qv
