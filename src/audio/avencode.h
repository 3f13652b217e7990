#pragma once
// AvFileEncoder: one FFmpeg audio encoder and one muxer writing one file from interleaved
// 32-bit floats, converted (and, where the codec needs another rate, resampled) to what the
// codec takes. The WMA, FLAC, Opus and Vorbis encoders of the audio layer and the qvfaac
// program share it. The file
// is written through a descriptor the caller hands over (normally one made by qv::CreateExclusive),
// never opened by name inside FFmpeg, so an existing file is never replaced. Owns the codec and
// muxer contexts, the I/O context and the descriptor. Not thread-safe: its owner serialises the
// calls.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "audio/avptr.h"

namespace qv::audio {

struct AvEncodeSettings {
  AVCodecID codec = AV_CODEC_ID_NONE;
  const char* muxer = nullptr;  // FFmpeg's muxer: "asf", "adts", "mp4", "ipod", "flac", "ogg"
  int rate = 0;                 // the codec's rate
  int channels = 0;             // of the floats given to Write
  // Their speakers (FFmpeg's AV_CH_* bits); 0 or a mask of another count: FFmpeg's default
  // layout for `channels`.
  std::uint64_t speakers = 0;
  // The speakers the codec gets; 0: the input's. Another layout is mixed by swresample with
  // its default matrix (to stereo: centre and surrounds at -3 dB, no LFE) or, for the same
  // count, mapped speaker to speaker (side surrounds to back ones).
  std::uint64_t codecSpeakers = 0;
  // The rate of the floats given to Write; 0 means `rate`. Another rate is resampled (with
  // swresample, flushed at the end, so the length follows the source's exactly in time).
  int inputRate = 0;
  // The samples the codec takes. Floats are converted by swresample: to 16 or 32 bits rounded
  // to the nearest integer and saturated, so a 16- or 24-bit source decoded to floats comes
  // back to its own integers.
  AVSampleFormat sampleFormat = AV_SAMPLE_FMT_FLTP;
  int bitsPerRawSample = 0;  // the integer samples' real resolution (24 in 32-bit words); 0: all
  std::int64_t bitRate = 0;
  int cutoff = 0;  // Hz; 0 leaves the encoder's choice
  int compressionLevel = FF_COMPRESSION_DEFAULT;
  // The codec takes whole frames only: the last frame is completed with silence. Otherwise a
  // short last frame is sent as it is.
  bool padLastFrame = false;
  // Called after the codec is open and before the header is written, to set muxer options that
  // depend on the codec (the ASF packet size).
  std::function<void(AVFormatContext*, const AVCodecContext*)> configureMuxer;
};

class AvFileEncoder {
 public:
  enum Result {
    kOk = 0,
    kRefused,       // the codec refuses the rate, channel count or bitrate
    kNoMemory,
    kSetupFailed,   // no such codec or muxer
    kWriteFailed,   // the file could not be written or finished (full disk, I/O error)
  };

  AvFileEncoder() = default;
  ~AvFileEncoder();
  AvFileEncoder(const AvFileEncoder&) = delete;
  AvFileEncoder& operator=(const AvFileEncoder&) = delete;

  // Whether the codec opens with these settings (no file is touched).
  static bool Accepts(const AvEncodeSettings& settings);

  // Opens the codec and the muxer and writes the file's header to `fd`, which the encoder owns
  // from now on (it is closed on every path, also when Open fails).
  Result Open(const AvEncodeSettings& settings, int fd);
  // Encodes `frames` frames of interleaved floats. After a failure every later call fails.
  Result Write(const float* interleaved, size_t frames);
  // Flushes the encoder, writes the trailer and closes the file (once; later calls repeat the
  // result). A failure to write any of it is kWriteFailed.
  Result Finish();
  // Closes the file as it stands, without the trailer.
  void Abandon();

  // What went wrong, in FFmpeg's or the system's words (av_strerror / strerror).
  const std::string& ErrorText() const { return m_errorText; }
  int channels() const { return m_channels; }  // the codec's

  // What a gapless player needs, known once Finish succeeded: the silent samples the codec puts
  // before the audio, the audio's samples (at the codec's rate) and the samples the packets
  // hold in all (the rest is padding at the end).
  struct Gapless {
    std::int64_t priming = 0;
    std::int64_t samples = 0;
    std::int64_t encoded = 0;
  };
  Gapless GaplessFigures() const;

 private:
  Result EncodeFrames(bool flush);
  Result Convert(const float* interleaved, size_t frames);
  Result Drain();
  Result Failed(Result result, const std::string& what, int averror);
  void CloseFile();
  static int WritePacket(void* opaque, std::uint8_t* data, int size);
  static std::int64_t Seek(void* opaque, std::int64_t offset, int whence);

  AvEncodeSettings m_settings;
  FormatOutputPtr m_mux;
  CodecCtxPtr m_codec;
  AudioFifoPtr m_fifo;
  SwrPtr m_swr;  // floats at the input rate to the codec's format and rate
  std::vector<std::uint8_t> m_converted;  // one call's converted samples, plane after plane
  FramePtr m_frame;
  PacketPtr m_packet;
  AVIOContext* m_io = nullptr;  // ours; m_mux->pb points to it
  AVStream* m_stream = nullptr;  // owned by m_mux
  std::int64_t m_nextPts = 0;
  std::int64_t m_samplesSent = 0;  // audio samples given to the codec (no padding)
  std::int64_t m_packets = 0;      // packets written
  int m_fd = -1;
  int m_writeErrno = 0;  // errno of the first failed write or seek
  int m_channels = 0;
  bool m_headerWritten = false;
  bool m_finished = false;
  Result m_failed = kOk;
  std::string m_errorText;
};

}  // namespace qv::audio
