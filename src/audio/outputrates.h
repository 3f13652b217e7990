#pragma once
// The highest sample rates three lossy formats are written at, and the rate a source above them
// is resampled to. AAC files hold up to 96 kHz (FFmpeg's encoder takes no higher sampling
// frequency index); libvorbis has bitrate-managed setups only up to 48 kHz and refuses every
// bitrate above it; WMA (wmav2) is written at up to 48 kHz. A source of the 44.1 kHz family
// goes to that family's rate.

namespace qv::audio {

inline constexpr int kAacHighestRate = 96000;
inline constexpr int kVorbisHighestRate = 48000;
inline constexpr int kWmaHighestRate = 48000;
// The highest source rate the encoders take at all (resampled down to theirs).
inline constexpr int kHighestSourceRate = 768000;

// `rate`, or the rate of its own family a format whose highest rate is `highest` (96000 or
// 48000) writes it at: 88200 or 44100 for multiples of 11025, `highest` for the others.
constexpr int RateAtMost(int rate, int highest) {
  if (rate <= highest) return rate;
  return rate % 11025 == 0 ? highest / 48000 * 44100 : highest;
}

constexpr int AacOutputRate(int rate) { return RateAtMost(rate, kAacHighestRate); }
constexpr int VorbisOutputRate(int rate) { return RateAtMost(rate, kVorbisHighestRate); }
constexpr int WmaOutputRate(int rate) { return RateAtMost(rate, kWmaHighestRate); }

}  // namespace qv::audio
