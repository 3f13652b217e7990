#include "audio/speakers.h"

#include <bit>
#include <climits>
#include <cmath>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include "audio/avptr.h"

namespace qv::audio {

std::uint64_t SpeakersOf(int channels, std::uint64_t mask) {
  if (channels < 1) return 0;
  if (std::popcount(mask) == channels) return mask;
  ChannelLayout layout;
  layout.SetDefault(channels);
  return layout.get()->order == AV_CHANNEL_ORDER_NATIVE ? layout.get()->u.mask : 0;
}

std::uint64_t VorbisSpeakers(int channels) {
  static constexpr std::uint64_t kLayouts[kMostChannels] = {
      AV_CH_LAYOUT_MONO,        AV_CH_LAYOUT_STEREO,      AV_CH_LAYOUT_SURROUND,
      AV_CH_LAYOUT_QUAD,        AV_CH_LAYOUT_5POINT0_BACK, AV_CH_LAYOUT_5POINT1_BACK,
      AV_CH_LAYOUT_6POINT1,     AV_CH_LAYOUT_7POINT1,
  };
  return channels >= 1 && channels <= kMostChannels ? kLayouts[channels - 1] : 0;
}

std::uint64_t AacSpeakers(int channels, std::uint64_t speakers) {
  const std::uint64_t mask = SpeakersOf(channels, speakers);
  if (mask == AV_CH_LAYOUT_5POINT0) return AV_CH_LAYOUT_5POINT0_BACK;
  if (mask == AV_CH_LAYOUT_5POINT1) return AV_CH_LAYOUT_5POINT1_BACK;
  return mask;
}

std::vector<double> StereoMixMatrix(int channels, std::uint64_t speakers) {
  const std::uint64_t mask = SpeakersOf(channels, speakers);
  if (mask == 0) return {};
  AVChannelLayout in{};
  AVChannelLayout out = AV_CHANNEL_LAYOUT_STEREO;
  if (av_channel_layout_from_mask(&in, mask) < 0) return {};
  std::vector<double> matrix(2 * static_cast<size_t>(channels));
  // swresample's defaults for float data (swr_init builds the same matrix): centre and
  // surround levels -3 dB, no LFE, no scaling down of rows that sum above 1.
  const int result = swr_build_matrix2(&in, &out, M_SQRT1_2, M_SQRT1_2, 0.0, INT_MAX, 1.0,
                                       matrix.data(), channels, AV_MATRIX_ENCODING_NONE, nullptr);
  av_channel_layout_uninit(&in);
  if (result < 0) return {};
  return matrix;
}

}  // namespace qv::audio
