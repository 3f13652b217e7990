#pragma once
// WmaEncoder: writes an ASF file with FFmpeg's wmav2 encoder from interleaved floats. Owns the
// codec and muxer contexts and the output file; its calls are serialised by its own mutex.

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "audio/avptr.h"
#include "audio/decoder.h"

namespace qv::audio {

class WmaEncoder {
 public:
  WmaEncoder() = default;
  WmaEncoder(const WmaEncoder&) = delete;
  WmaEncoder& operator=(const WmaEncoder&) = delete;
  ~WmaEncoder();

  // Returned by Open when the encoder refuses the bitrate for this rate and channel count.
  static constexpr int kRefusedBitrate = -1000;

  // Returns BASS_OK; BASS_ERROR_FORMAT for a rate or channel count wmav2 cannot encode;
  // kRefusedBitrate; BASS_ERROR_CREATE when the file cannot be created.
  int Open(int rate, int channels, int bitrate, const std::string& path);
  // Encodes interleaved floats. Returns BASS_OK or the error code (then and later).
  int Write(const float* samples, size_t frames);
  // Flushes the encoder and finishes the file (once). Returns BASS_OK or the first error.
  int Close();

  int channels() const { return m_channels; }

  // Whether the wmav2 encoder accepts this combination.
  static bool Accepts(int rate, int channels, int bitrate);

 private:
  int EncodeFrames(bool flush);
  int Drain();

  std::mutex m_mutex;
  FormatOutputPtr m_mux;
  CodecCtxPtr m_codec;
  AudioFifoPtr m_fifo;
  FramePtr m_frame;
  PacketPtr m_packet;
  AVStream* m_stream = nullptr;  // owned by m_mux
  std::vector<std::vector<float>> m_planes;
  std::int64_t m_nextPts = 0;
  int m_channels = 0;
  std::string m_path;
  bool m_headerWritten = false;
  bool m_closed = false;
  int m_failed = 0;
};

}  // namespace qv::audio
