#include "audio/wmaencoder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

#include "app/filedescriptor.h"
#include "audio/bass.h"
#include "audio/decoder.h"
#include "audio/outputrates.h"
#include "audio/speakers.h"

namespace qv::audio {
namespace {

// The ASF writer pads every packet it cannot fill: a packet of its default 3200 bytes holds
// only whole audio payloads, so a 192 kbit/s stream would cost 276 kbit/s. The packet size is
// chosen to hold a whole number of payloads: 14 bytes of packet header plus 17 bytes of
// payload header per payload.
constexpr int kAsfPacketHeader = 14;
constexpr int kAsfPayloadHeader = 17;
constexpr int kAsfTargetPacket = 3200;

int AsfPacketSize(int blockAlign) {
  const int payload = blockAlign + kAsfPayloadHeader;
  const int count = std::max(1, (kAsfTargetPacket - kAsfPacketHeader) / payload);
  return std::clamp(count * payload + kAsfPacketHeader, 100, 65536);
}

AvEncodeSettings WmaSettings(int rate, int channels, std::uint64_t speakers, int bitrate) {
  AvEncodeSettings settings;
  settings.codec = AV_CODEC_ID_WMAV2;
  settings.muxer = "asf";
  // A rate above the highest WMA is written at is resampled to it.
  settings.rate = WmaOutputRate(rate);
  settings.inputRate = rate;
  settings.channels = channels;
  settings.speakers = speakers;
  // A WMA file holds one or two channels: more are mixed down to stereo.
  if (channels > 2) settings.codecSpeakers = AV_CH_LAYOUT_STEREO;
  settings.bitRate = bitrate;
  settings.padLastFrame = true;  // wmav2 takes whole frames only
  settings.configureMuxer = [](AVFormatContext* mux, const AVCodecContext* codec) {
    av_opt_set_int(mux->priv_data, "packet_size", AsfPacketSize(codec->block_align), 0);
  };
  return settings;
}

bool UsableFormat(int rate, int channels) {
  return rate > 0 && rate <= kHighestSourceRate && channels >= 1 && channels <= kMostChannels;
}

}  // namespace

bool WmaEncoder::Accepts(int rate, int channels, int bitrate) {
  QuietFfmpegLog();
  if (!UsableFormat(rate, channels) || bitrate <= 0) return false;
  return AvFileEncoder::Accepts(WmaSettings(rate, channels, 0, bitrate));
}

WmaEncoder::~WmaEncoder() { Close(); }

int WmaEncoder::Open(int rate, int channels, std::uint64_t speakers, int bitrate,
                     const std::string& path) {
  std::lock_guard lock(m_mutex);
  QuietFfmpegLog();
  if (!UsableFormat(rate, channels)) return BASS_ERROR_FORMAT;
  const AvEncodeSettings settings = WmaSettings(rate, channels, speakers, bitrate);
  if (bitrate <= 0 || !AvFileEncoder::Accepts(settings)) return kRefusedBitrate;
  m_channels = channels;
  const int fd = CreateOutputFile(path);
  if (fd < 0) {
    m_errorText = std::strerror(errno);
    return BASS_ERROR_CREATE;
  }
  const AvFileEncoder::Result result = m_core.Open(settings, fd);
  if (result != AvFileEncoder::kOk) {
    m_errorText = m_core.ErrorText();
    m_core.Abandon();
    ::unlink(path.c_str());  // the file this call created, holding no audio
    return result == AvFileEncoder::kNoMemory ? BASS_ERROR_MEM : BASS_ERROR_CREATE;
  }
  m_open = true;
  return BASS_OK;
}

int WmaEncoder::Write(const float* samples, size_t frames) {
  std::lock_guard lock(m_mutex);
  if (m_closed || !m_open) return BASS_ERROR_ENDED;
  if (m_failed) return m_failed;
  const AvFileEncoder::Result result = m_core.Write(samples, frames);
  if (result != AvFileEncoder::kOk) {
    m_failed = result == AvFileEncoder::kNoMemory ? BASS_ERROR_MEM : BASS_ERROR_ENDED;
    m_errorText = m_core.ErrorText();
  }
  return m_failed;
}

int WmaEncoder::Close() {
  std::lock_guard lock(m_mutex);
  if (m_closed) return m_failed;
  m_closed = true;
  if (!m_open) return m_failed;
  if (m_core.Finish() != AvFileEncoder::kOk && !m_failed) {
    m_failed = BASS_ERROR_ENDED;
    m_errorText = m_core.ErrorText();
  }
  return m_failed;
}

std::string WmaEncoder::ErrorText() {
  std::lock_guard lock(m_mutex);
  return m_errorText;
}

}  // namespace qv::audio
