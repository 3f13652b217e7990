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
// live in local variables for the whole run; the operations and their order are those of the
// reference analysis, per channel:
//   y = 1e-10 + b0*x0 - a1*y1 + b1*x1 - a2*y2 + b2*x2 ... - a10*y10 + b10*x10
//   z = b0*y0 - a1*z1 + b1*y1 - a2*z2 + b2*y2
// The recursion is bound by the latency of its chain of additions; the two channels are
// independent, so computing them as the two elements of one vector halves the time without
// changing a single result bit.
void RunFilters(const PairCoefficients& c, const double* left, const double* right,
                std::size_t count, Pair (&x)[10], Pair (&y)[10], Pair (&z)[2], Pair& sum) {
  Pair x1 = x[0], x2 = x[1], x3 = x[2], x4 = x[3], x5 = x[4];
  Pair x6 = x[5], x7 = x[6], x8 = x[7], x9 = x[8], x10 = x[9];
  Pair y1 = y[0], y2 = y[1], y3 = y[2], y4 = y[3], y5 = y[4];
  Pair y6 = y[5], y7 = y[6], y8 = y[7], y9 = y[8], y10 = y[9];
  Pair z1 = z[0], z2 = z[1];
  Pair s = sum;
  const Pair guard = Both(kDenormalGuard);
  for (std::size_t i = 0; i < count; ++i) {
    const Pair x0 = Pair{BoundedSample(left[i]), BoundedSample(right[i])};
    Pair acc = guard + x0 * c.yb[0];
    acc = acc - y1 * c.ya[1];
    acc = acc + x1 * c.yb[1];
    acc = acc - y2 * c.ya[2];
    acc = acc + x2 * c.yb[2];
    acc = acc - y3 * c.ya[3];
    acc = acc + x3 * c.yb[3];
    acc = acc - y4 * c.ya[4];
    acc = acc + x4 * c.yb[4];
    acc = acc - y5 * c.ya[5];
    acc = acc + x5 * c.yb[5];
    acc = acc - y6 * c.ya[6];
    acc = acc + x6 * c.yb[6];
    acc = acc - y7 * c.ya[7];
    acc = acc + x7 * c.yb[7];
    acc = acc - y8 * c.ya[8];
    acc = acc + x8 * c.yb[8];
    acc = acc - y9 * c.ya[9];
    acc = acc + x9 * c.yb[9];
    acc = acc - y10 * c.ya[10];
    acc = acc + x10 * c.yb[10];
    const Pair y0 = acc;
    Pair out = y0 * c.hb[0];
    out = out - z1 * c.ha[1];
    out = out + y1 * c.hb[1];
    out = out - z2 * c.ha[2];
    out = out + y2 * c.hb[2];
    s = s + out * out;
    x10 = x9; x9 = x8; x8 = x7; x7 = x6; x6 = x5; x5 = x4; x4 = x3; x3 = x2; x2 = x1; x1 = x0;
    y10 = y9; y9 = y8; y8 = y7; y7 = y6; y6 = y5; y5 = y4; y4 = y3; y3 = y2; y2 = y1; y1 = y0;
    z2 = z1;
    z1 = out;
  }
  x[0] = x1; x[1] = x2; x[2] = x3; x[3] = x4; x[4] = x5;
  x[5] = x6; x[6] = x7; x[7] = x8; x[8] = x9; x[9] = x10;
  y[0] = y1; y[1] = y2; y[2] = y3; y[3] = y4; y[4] = y5;
  y[5] = y6; y[6] = y7; y[7] = y8; y[8] = y9; y[9] = y10;
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
