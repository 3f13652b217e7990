#include "audio/xiphencoder.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/filedescriptor.h"
#include "audio/decoder.h"
#include "audio/outputrates.h"
#include "audio/speakers.h"

namespace qv::audio {
namespace {

// Opus is written at 48000 Hz whatever the source's rate: the rate Opus works at inside, and
// the one every player decodes it at.
constexpr int kOpusRate = 48000;
constexpr int kLastFlacLevel = 8;

}  // namespace

bool XiphEncoder::SettingsFor(const QV_ENCODEFORMAT& format, int rate, int channels,
                              int origres, std::uint64_t speakers, AvEncodeSettings& settings) {
  if (rate <= 0 || channels < 1 || channels > kMostChannels) return false;
  settings = AvEncodeSettings{};
  settings.rate = rate;
  settings.channels = channels;
  // FLAC keeps any layout (its muxer names one FLAC has no number for); Opus and Vorbis files
  // have one layout per count, which side surrounds are mapped to.
  settings.speakers = speakers;
  switch (format.codec) {
    case QV_ENCODE_FLAC: {
      if (format.level < 0 || format.level > kLastFlacLevel) return false;
      const DWORD bits = format.bits != 0 ? format.bits : origres > 16 ? 24 : 16;
      if (bits != 16 && bits != 24) return false;
      settings.codec = AV_CODEC_ID_FLAC;
      settings.muxer = "flac";
      settings.compressionLevel = format.level;
      // FFmpeg's FLAC encoder takes 24-bit samples in the upper bits of 32-bit words.
      settings.sampleFormat = bits == 24 ? AV_SAMPLE_FMT_S32 : AV_SAMPLE_FMT_S16;
      settings.bitsPerRawSample = static_cast<int>(bits);
      return true;
    }
    case QV_ENCODE_OPUS:
      settings.codec = AV_CODEC_ID_OPUS;
      settings.muxer = "ogg";
      settings.rate = kOpusRate;
      settings.inputRate = rate;
      settings.sampleFormat = AV_SAMPLE_FMT_FLT;
      settings.codecSpeakers = VorbisSpeakers(channels);
      settings.bitRate = format.bitrate;
      return format.bitrate > 0;
    case QV_ENCODE_VORBIS:
      settings.codec = AV_CODEC_ID_VORBIS;
      settings.muxer = "ogg";
      settings.rate = VorbisOutputRate(rate);
      settings.inputRate = rate;
      settings.sampleFormat = AV_SAMPLE_FMT_FLTP;
      settings.codecSpeakers = VorbisSpeakers(channels);
      settings.bitRate = format.bitrate;
      return format.bitrate > 0;
    default:
      return false;
  }
}

bool XiphEncoder::Accepts(const QV_ENCODEFORMAT& format, int rate, int channels, int origres) {
  QuietFfmpegLog();
  AvEncodeSettings settings;
  return SettingsFor(format, rate, channels, origres, 0, settings) &&
         AvFileEncoder::Accepts(settings);
}

int XiphEncoder::Create(DWORD channel, DWORD flags, const SourceFormat& source,
                        const QV_ENCODEFORMAT& format, const std::string& path,
                        std::shared_ptr<Encoder>& encoder, std::string& detail) {
  const int rate = source.rate;
  const int channels = source.channels;
  if (!Accepts(format, rate, channels, source.origres)) return BASS_ERROR_NOTAVAIL;
  AvEncodeSettings settings;
  SettingsFor(format, rate, channels, source.origres, source.channelMask, settings);
  auto xiph = std::make_shared<XiphEncoder>(channel, flags, rate, channels);
  // Created exclusively (or an empty file of the name taken over): nothing is replaced.
  const int fd = CreateOutputFile(path);
  if (fd < 0) {
    detail = std::strerror(errno);
    return BASS_ERROR_CREATE;
  }
  const AvFileEncoder::Result result = xiph->m_core.Open(settings, fd);
  if (result != AvFileEncoder::kOk) {
    detail = xiph->m_core.ErrorText();
    xiph->m_core.Abandon();
    ::unlink(path.c_str());  // the file this call created, holding no audio
    return result == AvFileEncoder::kNoMemory ? BASS_ERROR_MEM : BASS_ERROR_CREATE;
  }
  encoder = std::move(xiph);
  return BASS_OK;
}

int XiphEncoder::DoWrite(const float* samples, size_t frames) {
  const AvFileEncoder::Result result = m_core.Write(samples, frames);
  if (result == AvFileEncoder::kOk) return BASS_OK;
  m_errorText = m_core.ErrorText();
  return result == AvFileEncoder::kNoMemory ? BASS_ERROR_MEM : BASS_ERROR_ENDED;
}

int XiphEncoder::DoFinish() {
  if (m_core.Finish() == AvFileEncoder::kOk) return BASS_OK;
  m_errorText = m_core.ErrorText();
  return BASS_ERROR_ENDED;
}

}  // namespace qv::audio
