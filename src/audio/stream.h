#pragma once
// Stream: one open file behind a stream handle. A decoding stream owns its FileDecoder and is
// read on the caller's thread; a playable stream hands its decoder to a PlaybackFeed, whose own
// thread decodes while the output device plays. `mutex` guards the decoding stream's decoder
// and the length fields; the output device never takes it.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "audio/bass.h"
#include "audio/decoder.h"
#include "audio/playback.h"

namespace qv::audio {

// Playable streams are converted to the output device's format on their way out.
inline constexpr int kPlaybackRate = 44100;
inline constexpr int kPlaybackChannels = 2;

class Stream {
 public:
  // The stream plays the part `range` of the file (source frames): its positions, its length
  // and its data are those of the part.
  Stream(std::string path, DWORD flags, FrameRange range = {})
      : m_path(std::move(path)), m_flags(flags), m_range(range) {}

  // Opens the file. Returns BASS_OK or the error code.
  int Open();

  const std::string& path() const { return m_path; }
  DWORD flags() const { return m_flags; }
  bool decodeOnly() const { return (m_flags & BASS_STREAM_DECODE) != 0; }
  // Rate, channels and resolution of the source; fixed once opened.
  const SourceFormat& format() const { return m_format; }
  std::uint64_t fileSize() const { return m_fileSize; }
  // Takes `known` as the whole file's length when the file had its size and modification time
  // at the open; false (and the length is measured when asked) otherwise.
  bool KnowLength(const KnownLength& known);
  const FrameRange& range() const { return m_range; }
  // The length the file's header declares, as frames of the range; -1 when it declares none.
  std::int64_t DeclaredFrames() const { return OfRange(m_format.declaredFrames); }

  std::mutex mutex;

  // The following need `mutex`.
  // The decoded length in source frames, settled on first use: a header's length is checked
  // against the file, and counted where FFmpeg only guessed it or the file is cut short;
  // -1 when it cannot be known.
  std::int64_t LengthFrames();
  // Decoding streams: starts decoding again at source frame `frame` (exact: the file is
  // reopened and the frames before it are decoded and dropped). Returns BASS_OK or the error
  // code.
  int Seek(std::int64_t frame);
  // Decoding streams: reads up to `frames` frames in the source's format; as FileDecoder::Read.
  long Read(float* out, long frames);
  // Decoding streams: the source frame that the next Read starts at.
  std::int64_t Position() const { return m_position; }
  int decoderError() const { return m_decoder ? m_decoder->error() : BASS_ERROR_HANDLE; }
  // Decoding streams: how decoding has gone so far.
  DecodeReport decodeReport() const { return m_decoder ? m_decoder->report() : DecodeReport{}; }
  // Decoding streams: the source's container tags and cover.
  ContainerMetadata metadata(std::size_t maxCoverBytes) const {
    return m_decoder ? m_decoder->metadata(maxCoverBytes) : ContainerMetadata{};
  }

  // Playable streams: the decoding side that the output device plays from; null for decoding
  // streams. Safe to use from any thread.
  PlaybackFeed* feed() const { return m_feed.get(); }

  std::atomic<float> volume{1.0f};  // BASS_ATTRIB_VOL, applied by the output device
  // Set while the stream is on the output device's list (changed under the output mutex).
  std::atomic<bool> playing{false};

 private:
  FileDecoder::Output OutputFormat() const;
  // The frames of the range in a file of `fileFrames` frames (-1: unknown).
  std::int64_t OfRange(std::int64_t fileFrames) const;

  const std::string m_path;
  const DWORD m_flags;
  const FrameRange m_range;
  std::unique_ptr<FileDecoder> m_decoder;
  std::unique_ptr<PlaybackFeed> m_feed;
  int m_streamIndex = -1;
  SourceFormat m_format;
  std::uint64_t m_fileSize = 0;
  std::int64_t m_modifiedNs = 0;  // the file's modification time at the open
  bool m_lengthKnown = false;
  std::int64_t m_position = 0;
};

}  // namespace qv::audio
