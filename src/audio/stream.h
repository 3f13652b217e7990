#pragma once
// Stream: one open file behind a stream handle. Owns its FileDecoder and the playback state
// that the output device reads. `mutex` guards the decoder and the fields below it; the
// output thread takes it while it mixes the stream, so the calls of the user-interface thread
// and the output thread never touch the decoder at the same time.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/bass.h"
#include "audio/decoder.h"

namespace qv::audio {

// Playable streams are converted to the output device's format on their way out.
inline constexpr int kPlaybackRate = 44100;
inline constexpr int kPlaybackChannels = 2;

class Stream {
 public:
  Stream(std::string path, DWORD flags) : m_path(std::move(path)), m_flags(flags) {}

  // Opens the file. Returns BASS_OK or the error code.
  int Open();

  const std::string& path() const { return m_path; }
  DWORD flags() const { return m_flags; }
  bool decodeOnly() const { return (m_flags & BASS_STREAM_DECODE) != 0; }
  // Rate, channels and resolution of the source; fixed once opened.
  const SourceFormat& format() const { return m_format; }
  std::uint64_t fileSize() const { return m_fileSize; }

  std::mutex mutex;

  // The following need `mutex`.
  // The decoded length in source frames, settled on first use: a header's length is checked
  // against the file, and counted where FFmpeg only guessed it or the file is cut short;
  // -1 when it cannot be known.
  std::int64_t LengthFrames();
  // Starts decoding again at source frame `frame` (exact: the file is reopened and the frames
  // before it are decoded and dropped). Returns BASS_OK or the error code.
  int Seek(std::int64_t frame);
  // Reads up to `frames` output frames (source format for decoding streams, the device format
  // for playable ones); as FileDecoder::Read.
  long Read(float* out, long frames);
  int decoderError() const { return m_decoder ? m_decoder->error() : BASS_ERROR_HANDLE; }

  bool ended = false;    // playback reached the end of the data
  float volume = 1.0f;   // BASS_ATTRIB_VOL, applied by the output device
  std::atomic<bool> playing{false};

 private:
  FileDecoder::Output OutputFormat() const;

  const std::string m_path;
  const DWORD m_flags;
  std::unique_ptr<FileDecoder> m_decoder;
  SourceFormat m_format;
  std::uint64_t m_fileSize = 0;
  bool m_lengthKnown = false;
};

}  // namespace qv::audio
