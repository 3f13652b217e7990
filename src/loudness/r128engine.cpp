#include "loudness/r128engine.h"

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstring>

#include "audio/speakers.h"

namespace qv {
namespace {

// GCC vector types: the hot loops are written on them so that every x86-64 (SSE2) build runs
// them four floats or two doubles at a time.
using V4f = float __attribute__((vector_size(16)));
using V4i = int __attribute__((vector_size(16)));
using V2d = double __attribute__((vector_size(16)));

// Frames per working chunk: the planar buffers of eight channels stay within the L1 cache.
constexpr std::size_t kChunk = 1024;
// Input history kept in front of each channel's chunk: the taps of the longest interpolation
// phase (2x oversampling, 24 taps) less one, rounded up to a multiple of 4 floats.
constexpr std::size_t kHistory = 24;
// Short-term (3 s) blocks are made of 30 steps of 100 ms, integrated (400 ms) ones of 4.
constexpr int kShortTermSteps = 30;
constexpr int kBlockSteps = 4;
// Interpolation FIR of the true peak: a Hann-windowed sinc of 49 taps, cut off at the input's
// Nyquist frequency, split into one phase per output sample of an input sample.
constexpr int kInterpolationTaps = 49;
constexpr double kPi = 3.14159265358979323846;
constexpr double kAlmostZero = 0.000001;

V4f LoadV4f(const float* p) {
  V4f v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void StoreV4f(float* p, V4f v) { std::memcpy(p, &v, sizeof v); }

V4f Broadcast(float value) { return V4f{value, value, value, value}; }

V2d Broadcast2(double value) { return V2d{value, value}; }

// Replaces NaN by 0 (a NaN compares unequal to itself) and returns the largest magnitude.
float CleanAndPeak(float* x, std::size_t n) {
  V4f peak = Broadcast(0.0f);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    V4f v = LoadV4f(x + i);
    const V4i isNumber = v == v;
    v = std::bit_cast<V4f>(std::bit_cast<V4i>(v) & isNumber);
    StoreV4f(x + i, v);
    const V4f magnitude = std::bit_cast<V4f>(std::bit_cast<V4i>(v) & 0x7fffffff);
    peak = peak > magnitude ? peak : magnitude;
  }
  float result = std::max(std::max(peak[0], peak[1]), std::max(peak[2], peak[3]));
  for (; i < n; ++i) {
    if (x[i] != x[i]) x[i] = 0.0f;
    result = std::max(result, std::fabs(x[i]));
  }
  return result;
}

// The largest magnitude of the interpolated samples between the inputs x[0..n): phase f of
// input i is the sum over q of coeff[f][q] * x[i - q] (x holds kTaps - 1 samples of history in
// front). All phases use the same inputs, so each load serves every phase.
template <int kTaps, int kPhases>
float InterpolatedPeak(const float* x, std::size_t n, const V4f (&coeff)[kPhases][kTaps]) {
  V4f high = Broadcast(0.0f);
  V4f low = Broadcast(0.0f);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    V4f acc[kPhases] = {};
    for (int q = 0; q < kTaps; ++q) {
      const V4f in = LoadV4f(x + i - q);
      for (int f = 0; f < kPhases; ++f) acc[f] += coeff[f][q] * in;
    }
    for (int f = 0; f < kPhases; ++f) {
      high = high > acc[f] ? high : acc[f];
      low = low < acc[f] ? low : acc[f];
    }
  }
  float result = 0.0f;
  for (int k = 0; k < 4; ++k) result = std::max(result, std::max(high[k], -low[k]));
  for (; i < n; ++i) {
    const float* at = x + i;
    for (int f = 0; f < kPhases; ++f) {
      float acc = 0.0f;
      for (int q = 0; q < kTaps; ++q) acc += coeff[f][q][0] * at[-q];
      result = std::max(result, std::fabs(acc));
    }
  }
  return result;
}

// The K-weighting of ITU-R BS.1770: a high shelf (+4 dB above about 1.7 kHz) and a high-pass
// (about 38 Hz), both bilinear transforms of their analog prototypes at the given rate.
struct KWeighting {
  double b0, b1, b2, a1, a2;  // the shelf
  double c1, c2, d1, d2;      // the high-pass; its numerator is 1, -2, 1 (c0 = 1)
};

KWeighting KWeightingFor(int rate) {
  KWeighting k{};
  double f0 = 1681.974450955533;
  const double gain = 3.999843853973347;
  double q = 0.7071752369554196;
  double K = std::tan(kPi * f0 / rate);
  const double vh = std::pow(10.0, gain / 20.0);
  const double vb = std::pow(vh, 0.4996667741545416);
  const double a0 = 1.0 + K / q + K * K;
  k.b0 = (vh + vb * K / q + K * K) / a0;
  k.b1 = 2.0 * (K * K - vh) / a0;
  k.b2 = (vh - vb * K / q + K * K) / a0;
  k.a1 = 2.0 * (K * K - 1.0) / a0;
  k.a2 = (1.0 - K / q + K * K) / a0;

  f0 = 38.13547087602444;
  q = 0.5003270373238773;
  K = std::tan(kPi * f0 / rate);
  const double h0 = 1.0 + K / q + K * K;
  k.c1 = -2.0;
  k.c2 = 1.0;
  k.d1 = 2.0 * (K * K - 1.0) / h0;
  k.d2 = (1.0 - K / q + K * K) / h0;
  return k;
}

// The filter memory of two channels, one per lane (direct form I of both stages), and the sum
// of squares of the filtered signal since the last 100 ms step.
struct PairState {
  V2d x1, x2, y1, y2, z1, z2, sum;
};

V2d FlushTiny(V2d v) {
  // Long silence lets the feedback decay into subnormal numbers, which are slow on every
  // x86 processor; below DBL_MIN they no longer matter for any loudness.
  for (int k = 0; k < 2; ++k) {
    if (std::fabs(v[k]) < DBL_MIN) v[k] = 0.0;
  }
  return v;
}

void KWeightPair(const KWeighting& k, PairState& s, const float* a, const float* b,
                 std::size_t n) {
  const V2d b0 = Broadcast2(k.b0), b1 = Broadcast2(k.b1), b2 = Broadcast2(k.b2);
  const V2d a1 = Broadcast2(k.a1), a2 = Broadcast2(k.a2);
  const V2d c1 = Broadcast2(k.c1), c2 = Broadcast2(k.c2);
  const V2d d1 = Broadcast2(k.d1), d2 = Broadcast2(k.d2);
  V2d x1 = s.x1, x2 = s.x2, y1 = s.y1, y2 = s.y2, z1 = s.z1, z2 = s.z2, sum = s.sum;
  for (std::size_t i = 0; i < n; ++i) {
    const V2d x = {a[i], b[i]};
    // The terms of the previous output come last: the recursion waits for one multiply and
    // one add per sample, the rest overlaps with the previous sample.
    const V2d y = b0 * x + b1 * x1 + b2 * x2 - a2 * y2 - a1 * y1;
    const V2d z = y + c1 * y1 + c2 * y2 - d2 * z2 - d1 * z1;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    z2 = z1;
    z1 = z;
    sum += z * z;
  }
  s.x1 = x1;
  s.x2 = x2;
  s.y1 = FlushTiny(y1);
  s.y2 = FlushTiny(y2);
  s.z1 = FlushTiny(z1);
  s.z2 = FlushTiny(z2);
  s.sum = sum;
}

// The loudness range of EBU Tech 3342 from the short-term energies above the absolute gate.
double RangeOf(std::vector<double>& energies) {
  if (energies.empty()) return 0.0;
  std::sort(energies.begin(), energies.end());
  double total = 0.0;
  for (double e : energies) total += e;
  const double gate = total / static_cast<double>(energies.size()) * std::pow(10.0, -20.0 / 10.0);
  const auto first = std::lower_bound(energies.begin(), energies.end(), gate);
  const auto count = static_cast<std::size_t>(energies.end() - first);
  if (count == 0) return 0.0;
  const double high = first[static_cast<std::size_t>(static_cast<double>(count - 1) * 0.95 + 0.5)];
  const double low = first[static_cast<std::size_t>(static_cast<double>(count - 1) * 0.1 + 0.5)];
  return LufsFromEnergy(high) - LufsFromEnergy(low);
}

double AbsoluteGateEnergy() { return std::pow(10.0, (kR128AbsoluteGate + 0.691) / 10.0); }

}  // namespace

struct R128Engine::State {
  int rate = 0;
  int channels = 0;
  bool started = false;
  std::size_t step = 0;  // frames per 100 ms
  int factor = 1;        // oversampling of the true peak
  KWeighting k{};
  double weights[8] = {};
  double gateEnergy = 0.0;

  // One phase per interpolated sample between two inputs: 3 phases of 12 taps at 4x, 1 of 24
  // at 2x (the phase on the input sample itself is the input).
  V4f coeff4[3][12] = {};
  V4f coeff2[1][24] = {};

  // Planar input of the current chunk, NaN replaced by 0, after kHistory samples of history.
  alignas(16) float planar[8][kHistory + kChunk] = {};
  alignas(16) float zeros[kChunk] = {};  // the partner of an odd channel count's last channel
  PairState pairs[4] = {};

  std::size_t inStep = 0;     // frames of the current 100 ms step
  std::uint64_t steps = 0;    // completed steps
  double stepEnergy[kShortTermSteps] = {};  // ring of the last 30 steps' weighted sums
  std::uint64_t blocks = 0;   // completed 400 ms blocks
  float samplePeak = 0.0f;
  float truePeak = 0.0f;
  std::vector<float> gated;
  std::vector<double> shortTerm;

  void Reset() {
    for (auto& channel : planar) std::fill(std::begin(channel), std::end(channel), 0.0f);
    for (PairState& p : pairs) p = PairState{};
    inStep = 0;
    steps = 0;
    std::fill(std::begin(stepEnergy), std::end(stepEnergy), 0.0);
    blocks = 0;
    samplePeak = 0.0f;
    truePeak = 0.0f;
    gated.clear();
    shortTerm.clear();
  }

  void SetUp() {
    k = KWeightingFor(rate);
    step = static_cast<std::size_t>((rate + 5) / 10);
    factor = rate < 96000 ? 4 : (rate < 192000 ? 2 : 1);
    gateEnergy = AbsoluteGateEnergy();

    double h[kInterpolationTaps];
    for (int j = 0; j < kInterpolationTaps; ++j) {
      const double m = j - (kInterpolationTaps - 1) / 2.0;
      double c = 1.0;
      if (std::fabs(m) > kAlmostZero) c = std::sin(m * kPi / factor) / (m * kPi / factor);
      c *= 0.5 * (1.0 - std::cos(2.0 * kPi * j / (kInterpolationTaps - 1)));
      h[j] = std::fabs(c) > kAlmostZero ? c : 0.0;
    }
    for (int f = 1; f < 4; ++f) {
      for (int q = 0; q < 12; ++q) coeff4[f - 1][q] = Broadcast(static_cast<float>(h[4 * q + f]));
    }
    for (int q = 0; q < 24; ++q) coeff2[0][q] = Broadcast(static_cast<float>(h[2 * q + 1]));
  }

  void Chunk(const float* in, std::size_t n) {
    const auto ch = static_cast<std::size_t>(channels);
    if (ch == 2) {
      float* l = planar[0] + kHistory;
      float* r = planar[1] + kHistory;
      for (std::size_t i = 0; i < n; ++i) {
        l[i] = in[2 * i];
        r[i] = in[2 * i + 1];
      }
    } else {
      for (std::size_t c = 0; c < ch; ++c) {
        float* out = planar[c] + kHistory;
        for (std::size_t i = 0; i < n; ++i) out[i] = in[i * ch + c];
      }
    }
    float peak = samplePeak;
    float interpolated = truePeak;
    for (std::size_t c = 0; c < ch; ++c) {
      float* x = planar[c] + kHistory;
      peak = std::max(peak, CleanAndPeak(x, n));
      if (factor == 4) {
        interpolated = std::max(interpolated, InterpolatedPeak<12, 3>(x, n, coeff4));
      } else if (factor == 2) {
        interpolated = std::max(interpolated, InterpolatedPeak<24, 1>(x, n, coeff2));
      }
    }
    samplePeak = peak;
    truePeak = interpolated;
    for (std::size_t c = 0; c < ch; c += 2) {
      const float* second = c + 1 < ch ? planar[c + 1] + kHistory : zeros;
      KWeightPair(k, pairs[c / 2], planar[c] + kHistory, second, n);
    }
    // The last kHistory inputs become the history of the next chunk.
    for (std::size_t c = 0; c < ch; ++c) {
      std::memmove(planar[c], planar[c] + n, kHistory * sizeof(float));
    }
  }

  void CompleteStep() {
    double energy = 0.0;
    for (int c = 0; c < channels; ++c) {
      PairState& p = pairs[c / 2];
      energy += weights[c] * p.sum[c % 2];
    }
    for (PairState& p : pairs) p.sum = V2d{0.0, 0.0};
    stepEnergy[steps % kShortTermSteps] = energy;
    ++steps;
    inStep = 0;
    if (steps >= kBlockSteps) {
      double sum = 0.0;
      for (std::uint64_t s = steps - kBlockSteps; s < steps; ++s) {
        sum += stepEnergy[s % kShortTermSteps];
      }
      const double block = sum / static_cast<double>(kBlockSteps * step);
      ++blocks;
      if (block >= gateEnergy) gated.push_back(static_cast<float>(block));
    }
    if (steps >= kShortTermSteps) {
      double sum = 0.0;
      for (double e : stepEnergy) sum += e;
      const double block = sum / static_cast<double>(kShortTermSteps * step);
      if (block >= gateEnergy) shortTerm.push_back(block);
    }
  }
};

R128Engine::R128Engine() : m_state(new State) {}

R128Engine::~R128Engine() { delete m_state; }

namespace {

// FFmpeg's speaker numbers (AV_CHAN_*), whose bits make its channel masks.
enum Speaker : unsigned {
  kBackLeft = 4, kBackRight = 5, kLowFrequency = 3, kSideLeft = 9, kSideRight = 10,
  kWideLeft = 31, kWideRight = 32, kDirectLeft = 33, kDirectRight = 34, kLowFrequency2 = 35,
};

constexpr std::uint64_t Bit(unsigned speaker) { return std::uint64_t{1} << speaker; }

// The BS.1770 weight of each of `channels` channels of `speakers` (see Start).
void SetWeights(std::uint64_t speakers, int channels, double* weights) {
  const std::uint64_t mask = audio::SpeakersOf(channels, speakers);
  const std::uint64_t surround = Bit(kSideLeft) | Bit(kSideRight) | Bit(kWideLeft) |
                                 Bit(kWideRight) | Bit(kDirectLeft) | Bit(kDirectRight);
  const std::uint64_t back = Bit(kBackLeft) | Bit(kBackRight);
  // Back speakers are the surrounds of a layout without side ones.
  const std::uint64_t weighted = surround | ((mask & surround) == 0 ? back : 0);
  const std::uint64_t silent = Bit(kLowFrequency) | Bit(kLowFrequency2);
  int c = 0;
  for (unsigned speaker = 0; speaker < 64 && c < channels; ++speaker) {
    if ((mask & Bit(speaker)) == 0) continue;
    weights[c++] = (silent & Bit(speaker)) ? 0.0 : (weighted & Bit(speaker)) ? 1.41 : 1.0;
  }
  for (; c < channels; ++c) weights[c] = 1.0;  // a count FFmpeg has no layout for
}

}  // namespace

bool R128Engine::Start(int sampleRate, int channels, std::uint64_t speakers) {
  State& s = *m_state;
  s.Reset();
  if (channels < 1 || channels > 8 || sampleRate < 8000 || sampleRate > 384000) {
    s.started = false;
    return false;
  }
  s.rate = sampleRate;
  s.channels = channels;
  s.SetUp();
  SetWeights(speakers, channels, s.weights);
  s.started = true;
  return true;
}

void R128Engine::AddFrames(const float* interleaved, std::size_t frames) {
  State& s = *m_state;
  if (!s.started || interleaved == nullptr) return;
  const auto ch = static_cast<std::size_t>(s.channels);
  while (frames > 0) {
    const std::size_t n = std::min({frames, kChunk, s.step - s.inStep});
    s.Chunk(interleaved, n);
    interleaved += n * ch;
    frames -= n;
    s.inStep += n;
    if (s.inStep == s.step) s.CompleteStep();
  }
}

R128Measurement R128Engine::Finish() {
  State& s = *m_state;
  R128Measurement m;
  m.enoughSamples = s.blocks > 0;
  m.gatedBlocks = std::move(s.gated);
  m.integrated = AlbumLoudness({&m.gatedBlocks});
  m.range = RangeOf(s.shortTerm);
  m.samplePeak = s.samplePeak;
  m.truePeak = std::max(s.truePeak, s.samplePeak);
  s.gated = std::vector<float>();
  s.Reset();
  return m;
}

double AlbumLoudness(const std::vector<const std::vector<float>*>& titles) {
  double total = 0.0;
  std::size_t count = 0;
  for (const std::vector<float>* blocks : titles) {
    if (blocks == nullptr) continue;
    for (float e : *blocks) total += e;
    count += blocks->size();
  }
  if (count == 0) return -HUGE_VAL;
  const double gate = total / static_cast<double>(count) * std::pow(10.0, kR128RelativeGate / 10.0);
  double gatedTotal = 0.0;
  std::size_t gatedCount = 0;
  for (const std::vector<float>* blocks : titles) {
    if (blocks == nullptr) continue;
    for (float e : *blocks) {
      if (e >= gate) {
        gatedTotal += e;
        ++gatedCount;
      }
    }
  }
  if (gatedCount == 0) return -HUGE_VAL;
  return LufsFromEnergy(gatedTotal / static_cast<double>(gatedCount));
}

}  // namespace qv
