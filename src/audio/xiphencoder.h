#pragma once
// XiphEncoder: FLAC, Opus in Ogg and Vorbis in Ogg behind QV_Encode_StartFile, written through
// the shared FFmpeg encoding core from the channel's interleaved floats. Owns the core (and so
// the file, which it creates exclusively); used under the Encoder mutex like every encoder.

#include <cstdint>
#include <memory>
#include <string>

#include "audio/avencode.h"
#include "audio/decoder.h"
#include "audio/encoder.h"

namespace qv::audio {

class XiphEncoder final : public Encoder {
 public:
  // The settings of the shared core for `format` and a channel of `rate`, `channels` (1 to 8)
  // of `speakers` (AV_CH_* bits, 0 unknown) and `origres` (its bits per sample, 0 for lossy and
  // floating-point sources). False when the request names no codec or an impossible level,
  // resolution or channel count.
  static bool SettingsFor(const QV_ENCODEFORMAT& format, int rate, int channels, int origres,
                          std::uint64_t speakers, AvEncodeSettings& settings);

  // Whether the encoder opens with `format` for such a channel (no file is touched).
  static bool Accepts(const QV_ENCODEFORMAT& format, int rate, int channels, int origres);

  // Checks that the encoder opens with these settings (no file is touched), then creates
  // `path` exclusively and writes the file's header. Returns BASS_ERROR_NOTAVAIL when the
  // encoder refuses the format (no file is created then), BASS_ERROR_CREATE with the system's
  // or FFmpeg's reason in `detail` when the file cannot be made or started (a file this call
  // created is removed again), BASS_ERROR_MEM.
  static int Create(DWORD channel, DWORD flags, const SourceFormat& source,
                    const QV_ENCODEFORMAT& format, const std::string& path,
                    std::shared_ptr<Encoder>& encoder, std::string& detail);

  using Encoder::Encoder;
  ~XiphEncoder() override { Finish(); }

 private:
  int DoWrite(const float* samples, size_t frames) override;
  int DoFinish() override;

  AvFileEncoder m_core;
};

}  // namespace qv::audio
