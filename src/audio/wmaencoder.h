#pragma once
// WmaEncoder: writes an ASF file with FFmpeg's wmav2 encoder from interleaved floats, through
// the shared FFmpeg encoding core. The file is created exclusively: an existing file is never
// replaced. Owns the encoding core (and so the file); its calls are serialised by its own mutex.

#include <cstdint>
#include <mutex>
#include <string>

#include "audio/avencode.h"

namespace qv::audio {

class WmaEncoder {
 public:
  WmaEncoder() = default;
  WmaEncoder(const WmaEncoder&) = delete;
  WmaEncoder& operator=(const WmaEncoder&) = delete;
  ~WmaEncoder();

  // Returned by Open when the encoder refuses the bitrate for this rate and channel count.
  static constexpr int kRefusedBitrate = -1000;

  // Takes 1 to 8 channels of `speakers` (AV_CH_* bits, 0 unknown); more than two are mixed
  // down to stereo (a WMA file holds at most two). Returns BASS_OK; BASS_ERROR_FORMAT for a
  // rate or channel count wmav2 cannot encode; kRefusedBitrate (no file is created then);
  // BASS_ERROR_CREATE when the file cannot be created (also when the name is taken);
  // BASS_ERROR_MEM. ErrorText() tells the details.
  int Open(int rate, int channels, std::uint64_t speakers, int bitrate, const std::string& path);
  // Encodes interleaved floats. Returns BASS_OK or the error code (then and later).
  int Write(const float* samples, size_t frames);
  // Flushes the encoder and finishes the file with its trailer (once). Returns BASS_OK or the
  // first error (BASS_ERROR_ENDED when the file could not be written or finished).
  int Close();

  int channels() const { return m_channels; }  // of the floats Write takes
  std::string ErrorText();

  // Whether the wmav2 encoder accepts this combination.
  static bool Accepts(int rate, int channels, int bitrate);

 private:
  std::mutex m_mutex;
  AvFileEncoder m_core;
  int m_channels = 0;
  bool m_open = false;
  bool m_closed = false;
  int m_failed = 0;
  std::string m_errorText;
};

}  // namespace qv::audio
