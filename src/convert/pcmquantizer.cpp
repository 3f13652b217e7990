#include "convert/pcmquantizer.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace qv {
namespace {

constexpr float kFull16 = 32768.0f;
constexpr double kFull24 = 8388608.0;
// A sample counts as clipped when it goes more than half a 16-bit step beyond full scale, in
// every output: one that a gain brought to full scale exactly (give or take its rounding) is
// not.
constexpr float kClip16 = 32768.5f;
constexpr double kClip24 = kFull24 * (1.0 + 1.0 / 65536);
// Adding 1.5 * 2^23 to a float of magnitude below 2^22 and taking it away again rounds it to the
// nearest integer (ties to even) without a call into the maths library; 1.5 * 2^52 does the same
// for doubles below 2^51.
constexpr float kRoundFloat = 12582912.0f;
constexpr double kRoundDouble = 6755399441055744.0;
// A 64-bit linear congruential generator (Knuth's MMIX constants); its upper 32 bits are two
// uniform 16-bit numbers.
constexpr std::uint64_t kLcgMultiplier = 6364136223846793005ull;
constexpr std::uint64_t kLcgIncrement = 1442695040888963407ull;
constexpr std::uint64_t kDitherSeed = 0x5157524E44495448ull;
constexpr double kLargestGain = 1e30;

// Neither a NaN nor an infinity.
inline bool Finite(float x) { return std::fabs(x) <= std::numeric_limits<float>::max(); }

// A decoded sample that needs no rounding (an integer source's never go beyond full scale nor
// are NaN, but a value that did would be saturated, and a NaN would give 0).
inline std::int16_t ExactInt16(float x) {
  const float y = x * kFull16;
  if (y >= -kFull16 && y <= 32767.0f) return static_cast<std::int16_t>(y);
  return y > 0.0f ? 32767 : y < 0.0f ? -32768 : 0;
}

}  // namespace

bool CopiesExactly(int bits, int sourceBits, double gain) {
  return sourceBits > 0 && sourceBits <= bits && gain == 1.0;
}

PcmQuantizer::PcmQuantizer(int bits, int sourceBits, double gain)
    : m_bits(bits),
      m_exact(CopiesExactly(bits, sourceBits, gain)),
      // Held to a size whose product with a finite sample is never a NaN (0 times infinity).
      m_gain(std::clamp(gain, -kLargestGain, kLargestGain)),
      m_random(kDitherSeed) {}

// Every sample: NaN and infinities as 0, times the gain, counted when past full scale, plus the
// sum of two uniform random numbers of ±1/2 step (triangular, ±1 step), saturated, rounded to
// the nearest step and handed to `store` with its index.
template <typename Store>
void PcmQuantizer::Dither16(const float* in, std::size_t count, Store store) {
  const auto scale = static_cast<float>(m_gain * kFull16);
  std::uint64_t state = m_random;
  std::uint64_t clipped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const float x = Finite(in[i]) ? in[i] * scale : 0.0f;
    clipped += std::fabs(x) > kClip16 ? 1 : 0;
    state = state * kLcgMultiplier + kLcgIncrement;
    const auto r = static_cast<std::uint32_t>(state >> 32);
    const int triangle = static_cast<int>(r >> 16) + static_cast<int>(r & 0xFFFF) - 0xFFFF;
    const float y = std::clamp(x + static_cast<float>(triangle) * (1.0f / 65536.0f), -kFull16,
                               32767.0f);
    store(i, (y + kRoundFloat) - kRoundFloat);
  }
  m_random = state;
  m_clipped += clipped;
}

void PcmQuantizer::ToInt16(const float* in, std::size_t count, std::int16_t* out) {
  if (m_exact) {
    for (std::size_t i = 0; i < count; ++i) out[i] = ExactInt16(in[i]);
    return;
  }
  Dither16(in, count, [out](std::size_t i, float step) { out[i] = static_cast<std::int16_t>(step); });
}

void PcmQuantizer::Round24(float* samples, std::size_t count) {
  const double scale = m_gain * kFull24;
  std::uint64_t clipped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const double x = Finite(samples[i]) ? samples[i] * scale : 0.0;
    clipped += std::fabs(x) > kClip24 ? 1 : 0;
    const double y = std::clamp(x, -kFull24, kFull24 - 1.0);
    samples[i] = static_cast<float>(((y + kRoundDouble) - kRoundDouble) * (1.0 / kFull24));
  }
  m_clipped += clipped;
}

void PcmQuantizer::ToSteps(float* samples, std::size_t count) {
  if (m_exact) return;  // the decoder's samples are on the steps already
  if (m_bits == 24) {
    Round24(samples, count);
    return;
  }
  Dither16(samples, count,
           [samples](std::size_t i, float step) { samples[i] = step * (1.0f / kFull16); });
}

std::string PcmQuantizer::ClippingNote(const char* format) const {
  if (m_clipped == 0) return {};
  return ClippedSamplesNote(m_clipped, m_gain != 1.0,
                            "a " + std::to_string(m_bits) + "-bit " + format + " file cannot hold");
}

std::uint64_t ClipToFullScale(float* samples, std::size_t count, double gain) {
  const auto g = static_cast<float>(std::clamp(gain, -kLargestGain, kLargestGain));
  std::uint64_t clipped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const float x = Finite(samples[i]) ? samples[i] * g : 0.0f;
    clipped += std::fabs(x) > kClip16 / kFull16 ? 1 : 0;
    samples[i] = std::clamp(x, -1.0f, 1.0f);
  }
  return clipped;
}

std::string ClippedSamplesNote(std::uint64_t count, bool gained, const std::string& cannot) {
  return std::to_string(count) + (count == 1 ? " sample was" : " samples were") + " clipped: " +
         (gained ? "with the volume gain applied, " : "") +
         "the source goes above full scale, which " + cannot + ".";
}

}  // namespace qv
