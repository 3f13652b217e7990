#pragma once
// The decoder's float samples made into the samples of an integer output (16-bit WAV, 16- or
// 24-bit FLAC), or held to full scale for an encoder that cannot take more (AAC).
//
// The decoder gives an integer source's samples as x / 2^(bits-1), so a source whose samples fit
// the output (8- or 16-bit into 16 bits, up to 24-bit into 24 bits) at gain 1.0 is copied
// exactly: scaled back and nothing else. Every other 16-bit output (a deeper, floating-point or
// lossy source, or any gain) gets TPDF dither of ±1 step before it is rounded to the nearest
// step, so what lies below the last bit stays as a steady noise floor instead of becoming
// distortion or silence. A 24-bit output is rounded to the nearest step without dither (its
// step is 144 dB below full scale). Samples past full scale after the gain are saturated and
// counted, for the output's log note.

#include <cstddef>
#include <cstdint>
#include <string>

namespace qv {

// Whether an output of `bits` keeps every sample of a source of `sourceBits` integer bits (0 for
// lossy and floating-point sources) at `gain`.
bool CopiesExactly(int bits, int sourceBits, double gain);

class PcmQuantizer {
 public:
  // An output of `bits` (16 or 24) from a source of `sourceBits` integer bits (0 for lossy and
  // floating-point sources) at `gain` (finite). The dither's random numbers start from a fixed
  // seed, so the same source gives the same file.
  PcmQuantizer(int bits, int sourceBits, double gain);

  int bits() const { return m_bits; }
  bool exact() const { return m_exact; }
  // The 16-bit samples of `count` floats (a 16-bit quantizer).
  void ToInt16(const float* in, std::size_t count, std::int16_t* out);
  // Puts every sample on the output's steps in place, as floats k / 2^(bits-1) that an encoder
  // converting to `bits` bits by rounding takes over exactly.
  void ToSteps(float* samples, std::size_t count);
  // The samples saturated so far because they passed full scale after the gain.
  std::uint64_t clipped() const { return m_clipped; }
  // The log note of the clipped samples in a `format` file ("WAV", "FLAC"); empty when none
  // was clipped.
  std::string ClippingNote(const char* format) const;

 private:
  template <typename Store>
  void Dither16(const float* in, std::size_t count, Store store);
  void Round24(float* samples, std::size_t count);

  int m_bits;
  bool m_exact;
  double m_gain;
  std::uint64_t m_random;  // the dither's generator state
  std::uint64_t m_clipped = 0;
};

// For an encoder that takes floats but not beyond full scale (FFmpeg's AAC encoder distorts them
// far worse than clipping would): NaN and infinities as 0, times `gain`, held to ±1, in place.
// Returns how many samples went more than half a 16-bit step beyond full scale.
std::uint64_t ClipToFullScale(float* samples, std::size_t count, double gain);

// The log note of `count` (> 0) clipped samples: "<count> samples were clipped: the source goes
// above full scale, which <cannot>." (`gained`: with a gain other than 1.0 applied).
std::string ClippedSamplesNote(std::uint64_t count, bool gained, const std::string& cannot);

}  // namespace qv
