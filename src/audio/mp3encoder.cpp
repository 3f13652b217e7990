#include "audio/mp3encoder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "app/filedescriptor.h"
#include "audio/mp3rates.h"
#include "audio/speakers.h"

namespace qv::audio {

bool Mp3Encoder::Supports(int rate, int kbps) { return Mp3RateTakesBitrate(rate, kbps); }

namespace {

// Resamples to `outRate` and mixes `source`'s channels down to `outChannels` (1 or 2) with
// swresample's default matrix; null when the converter cannot be set up.
SwrPtr MakeConverter(const SourceFormat& source, int outRate, int outChannels) {
  ChannelLayout in;
  in.SetSpeakers(source.channels, source.channelMask);
  ChannelLayout out;
  if (outChannels == source.channels) {
    out.SetSpeakers(source.channels, source.channelMask);
  } else {
    out.SetDefault(outChannels);
  }
  SwrContext* raw = nullptr;
  if (swr_alloc_set_opts2(&raw, out.get(), AV_SAMPLE_FMT_FLT, outRate, in.get(),
                          AV_SAMPLE_FMT_FLT, source.rate, 0, nullptr) < 0) {
    return nullptr;
  }
  SwrPtr swr(raw);
  if (swr_init(raw) < 0) return nullptr;
  return swr;
}

}  // namespace

int Mp3Encoder::Create(DWORD channel, DWORD flags, const SourceFormat& source,
                       const MPEGLAYER3WAVEFORMAT& form, const std::string& path,
                       std::shared_ptr<Encoder>& encoder, std::string& detail) {
  const WAVEFORMATEX& wfx = form.wfx;
  const int kbps = static_cast<int>(wfx.nAvgBytesPerSec * 8 / 1000);
  const int rate = source.rate;
  const int channels = source.channels;
  if (wfx.wFormatTag != WAVE_FORMAT_MPEGLAYER3 || (wfx.nChannels != 1 && wfx.nChannels != 2) ||
      channels < 1 || channels > kMostChannels ||
      !Supports(static_cast<int>(wfx.nSamplesPerSec), kbps)) {
    return BASS_ERROR_NOTAVAIL;
  }
  const int outRate = static_cast<int>(wfx.nSamplesPerSec);
  auto mp3 = std::make_shared<Mp3Encoder>(channel, flags, rate, channels);
  // What LAME is fed: the channel's one or two channels, or the record's for more.
  const int fed = channels > 2 ? wfx.nChannels : channels;
  if (outRate != rate || fed != channels) {
    mp3->m_swr = MakeConverter(source, outRate, fed);
    if (!mp3->m_swr) return BASS_ERROR_NOTAVAIL;
    mp3->m_swrChannels = fed;
    mp3->m_outRate = outRate;
  }
  mp3->m_lame.reset(lame_init());
  lame_global_flags* gf = mp3->m_lame.get();
  if (!gf) return BASS_ERROR_MEM;
  // Given one channel LAME writes mono whatever the mode says: a mono channel for a stereo
  // record is fed to it doubled (EncodeFrames); a stereo one for a mono record it mixes.
  lame_set_num_channels(gf, wfx.nChannels == 1 && fed == 1 ? 1 : 2);
  lame_set_in_samplerate(gf, outRate);
  lame_set_out_samplerate(gf, outRate);
  lame_set_VBR(gf, vbr_off);
  lame_set_brate(gf, kbps);
  lame_set_mode(gf, wfx.nChannels == 2 ? JOINT_STEREO : MONO);
  lame_set_quality(gf, 3);
  lame_set_bWriteVbrTag(gf, 1);
  if (lame_init_params(gf) < 0 || lame_get_out_samplerate(gf) != outRate ||
      lame_get_brate(gf) != kbps) {
    return BASS_ERROR_NOTAVAIL;
  }
  // Created exclusively (or an empty file of the name taken over): nothing is replaced.
  const int fd = CreateOutputFile(path);
  if (fd < 0) {
    detail = std::strerror(errno);
    return BASS_ERROR_CREATE;
  }
  mp3->m_file.reset(::fdopen(fd, "wb"));
  if (!mp3->m_file) {
    ::close(fd);
    return BASS_ERROR_MEM;
  }
  encoder = std::move(mp3);
  return BASS_OK;
}

int Mp3Encoder::Put(const unsigned char* data, int bytes) {
  if (bytes < 0) {
    m_errorText = "LAME failed with code " + std::to_string(bytes);
    return BASS_ERROR_UNKNOWN;
  }
  if (bytes > 0 && std::fwrite(data, 1, static_cast<size_t>(bytes), m_file.get()) !=
                       static_cast<size_t>(bytes)) {
    m_errorText = std::strerror(errno);
    return BASS_ERROR_ENDED;  // the disk is full or the file went away
  }
  return BASS_OK;
}

int Mp3Encoder::DoWrite(const float* samples, size_t frames) {
  if (m_swr) {
    // Resampled first: the converter's output for these frames, and what it held back.
    const int capacity = swr_get_out_samples(m_swr.get(), static_cast<int>(frames));
    if (capacity < 0) return BASS_ERROR_UNKNOWN;
    m_resampled.resize(static_cast<size_t>(capacity) * static_cast<size_t>(m_swrChannels));
    auto* out = reinterpret_cast<uint8_t*>(m_resampled.data());
    const auto* in = reinterpret_cast<const uint8_t*>(samples);
    const int got = swr_convert(m_swr.get(), &out, capacity, samples ? &in : nullptr,
                                samples ? static_cast<int>(frames) : 0);
    if (got < 0) {
      m_errorText = "the resampler failed";
      return BASS_ERROR_UNKNOWN;
    }
    if (got == 0) return BASS_OK;
    return EncodeFrames(m_resampled.data(), static_cast<size_t>(got));
  }
  return EncodeFrames(samples, frames);
}

int Mp3Encoder::EncodeFrames(const float* samples, size_t frames) {
  const int fed = m_swr ? m_swrChannels : channels();
  // LAME's bound for its output: 1.25 times the samples plus 7200 bytes.
  m_out.resize(frames + frames / 4 + 7200);
  const int count = static_cast<int>(frames);
  const int size = static_cast<int>(m_out.size());
  if (fed == 1 && lame_get_num_channels(m_lame.get()) == 1) {
    return Put(m_out.data(), lame_encode_buffer_ieee_float(m_lame.get(), samples, samples, count,
                                                           m_out.data(), size));
  }
  const float* stereo = samples;
  if (fed == 1) {
    m_stereo.resize(frames * 2);
    for (size_t i = 0; i < frames; ++i) m_stereo[2 * i] = m_stereo[2 * i + 1] = samples[i];
    stereo = m_stereo.data();
  }
  return Put(m_out.data(), lame_encode_buffer_interleaved_ieee_float(m_lame.get(), stereo, count,
                                                                     m_out.data(), size));
}

int Mp3Encoder::DoFinish() {
  if (!m_file) return BASS_ERROR_ENDED;
  if (m_swr) {
    // What the resampler holds back of the last frames.
    if (const int flushed = DoWrite(nullptr, 0); flushed != BASS_OK) return flushed;
  }
  m_out.resize(7200);
  int result = Put(m_out.data(),
                   lame_encode_flush(m_lame.get(), m_out.data(), static_cast<int>(m_out.size())));
  if (result == BASS_OK) {
    // The info frame replaces the placeholder frame LAME put at the start.
    unsigned char tag[2880];
    const size_t size = lame_get_lametag_frame(m_lame.get(), tag, sizeof tag);
    if (size > 0 && size <= sizeof tag) {
      if (std::fseek(m_file.get(), 0, SEEK_SET) != 0 ||
          std::fwrite(tag, 1, size, m_file.get()) != size) {
        m_errorText = std::strerror(errno);
        result = BASS_ERROR_ENDED;
      }
    }
  }
  if (std::fclose(m_file.release()) != 0 && result == BASS_OK) {
    m_errorText = std::strerror(errno);
    result = BASS_ERROR_ENDED;
  }
  return result;
}

}  // namespace qv::audio
