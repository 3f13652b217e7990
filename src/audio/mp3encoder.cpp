#include "audio/mp3encoder.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "audio/avencode.h"

namespace qv::audio {

bool Mp3Encoder::Supports(int rate, int kbps) {
  // The bitrates of the three MPEG versions (ISO 11172-3, 13818-3 and the 2.5 extension).
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

int Mp3Encoder::Create(DWORD channel, DWORD flags, int rate, int channels,
                       const MPEGLAYER3WAVEFORMAT& form, const std::string& path,
                       std::shared_ptr<Encoder>& encoder, std::string& detail) {
  const WAVEFORMATEX& wfx = form.wfx;
  const int kbps = static_cast<int>(wfx.nAvgBytesPerSec * 8 / 1000);
  if (wfx.wFormatTag != WAVE_FORMAT_MPEGLAYER3 || (wfx.nChannels != 1 && wfx.nChannels != 2) ||
      static_cast<int>(wfx.nSamplesPerSec) != rate || channels < 1 || channels > 2 ||
      !Supports(rate, kbps)) {
    return BASS_ERROR_NOTAVAIL;
  }
  auto mp3 = std::make_shared<Mp3Encoder>(channel, flags, rate, channels);
  mp3->m_lame.reset(lame_init());
  lame_global_flags* gf = mp3->m_lame.get();
  if (!gf) return BASS_ERROR_MEM;
  // LAME is always fed two channels: given one, it makes mono whatever the mode says.
  lame_set_num_channels(gf, 2);
  lame_set_in_samplerate(gf, rate);
  lame_set_out_samplerate(gf, rate);
  lame_set_VBR(gf, vbr_off);
  lame_set_brate(gf, kbps);
  lame_set_mode(gf, wfx.nChannels == 2 ? JOINT_STEREO : MONO);
  lame_set_quality(gf, 3);
  lame_set_bWriteVbrTag(gf, 1);
  if (lame_init_params(gf) < 0 || lame_get_out_samplerate(gf) != rate ||
      lame_get_brate(gf) != kbps) {
    return BASS_ERROR_NOTAVAIL;
  }
  // Created exclusively: a file (or a link) that already has the name is never replaced.
  const int fd = CreateExclusive(path);
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
  const float* stereo = samples;
  if (channels() == 1) {
    m_stereo.resize(frames * 2);
    for (size_t i = 0; i < frames; ++i) m_stereo[2 * i] = m_stereo[2 * i + 1] = samples[i];
    stereo = m_stereo.data();
  }
  // LAME's bound for its output: 1.25 times the samples plus 7200 bytes.
  m_out.resize(frames + frames / 4 + 7200);
  const int bytes = lame_encode_buffer_interleaved_ieee_float(
      m_lame.get(), stereo, static_cast<int>(frames), m_out.data(), static_cast<int>(m_out.size()));
  return Put(m_out.data(), bytes);
}

int Mp3Encoder::DoFinish() {
  if (!m_file) return BASS_ERROR_ENDED;
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
