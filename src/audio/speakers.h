#pragma once
// The speakers of interleaved channels, as FFmpeg's AV_CH_* bits (whose lowest 18 are the WAV
// channel mask's): what a source names, FFmpeg's default layout for a count otherwise, the
// layouts Opus and Vorbis files take, and the stereo downmix every encoder that writes at most
// two channels uses. Plain values, so the conversion and loudness code needs no FFmpeg types.

#include <cstdint>
#include <vector>

namespace qv::audio {

inline constexpr int kMostChannels = 8;

// The speakers of `channels` channels: `mask` when it names exactly that many, else FFmpeg's
// default layout for the count (what its decoders give a source that names none). 0 for a
// count FFmpeg has no default for.
std::uint64_t SpeakersOf(int channels, std::uint64_t mask);

// The layout Opus (mapping family 1) and Vorbis files have for `channels` (1 to 8): mono,
// stereo, 3.0, quad, 5.0, 5.1 and 7.1 with back surrounds, 6.1. 0 for other counts.
std::uint64_t VorbisSpeakers(int channels);

// The layout an AAC file gets for `channels` of `speakers`: the source's, except that 5.0 and
// 5.1 with side surrounds become their back-surround forms, the ones AAC has a channel
// configuration for (decoders give the side forms no layout).
std::uint64_t AacSpeakers(int channels, std::uint64_t speakers);

// swresample's default matrix from `channels` channels of `speakers` (0: the default for the
// count) to stereo, as `ffmpeg -ac 2` mixes to a codec of float samples: centre and surrounds
// at -3 dB into their side, LFE left out, unscaled. Two rows of `channels` coefficients (left,
// then right); empty when no matrix can be built.
std::vector<double> StereoMixMatrix(int channels, std::uint64_t speakers);

}  // namespace qv::audio
