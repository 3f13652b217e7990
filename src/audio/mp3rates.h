#pragma once
// The sample rates and bitrates an MP3 file can hold: MPEG-1 at 32, 44.1 and 48 kHz, MPEG-2 at
// 16, 22.05 and 24 kHz, MPEG-2.5 at 8, 11.025 and 12 kHz, each with its own bitrates (ISO
// 11172-3, 13818-3 and the 2.5 extension). Plain tables, shared by the MP3 encoder and the
// converter that picks the rate a source is resampled to.

#include <algorithm>
#include <cstdlib>
#include <iterator>

namespace qv::audio {

inline constexpr int kMp3Rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};

// Whether an MP3 file can be written at `rate` Hz and `kbps` kbit/s.
inline bool Mp3RateTakesBitrate(int rate, int kbps) {
  static constexpr int kMpeg1[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
  static constexpr int kMpeg2[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
  static constexpr int kMpeg25[] = {8, 16, 24, 32, 40, 48, 56, 64};
  const auto has = [kbps](const auto& list) {
    return std::find(std::begin(list), std::end(list), kbps) != std::end(list);
  };
  switch (rate) {
    case 32000: case 44100: case 48000: return has(kMpeg1);
    case 16000: case 22050: case 24000: return has(kMpeg2);
    case 8000: case 11025: case 12000: return has(kMpeg25);
    default: return false;
  }
}

// The rate an MP3 of `kbps` kbit/s is written at for a source at `rate` Hz: the source's own
// when the file can hold it, else the nearest one that can (the higher of two as near); 0 when
// no rate takes the bitrate.
inline int Mp3OutputRate(int rate, int kbps) {
  if (Mp3RateTakesBitrate(rate, kbps)) return rate;
  int best = 0;
  for (const int candidate : kMp3Rates) {
    if (!Mp3RateTakesBitrate(candidate, kbps)) continue;
    if (best == 0 || std::abs(candidate - rate) <= std::abs(best - rate)) best = candidate;
  }
  return best;
}

}  // namespace qv::audio
