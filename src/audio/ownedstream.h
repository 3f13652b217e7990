#pragma once
// The one owner of a stream of the audio layer, freed on every path out of the code that opened
// it, and the helpers every decoding loop needs.

#include <string>

#include "audio/bass.h"

namespace qv {

class OwnedStream {
 public:
  explicit OwnedStream(HSTREAM handle) : m_handle(handle) {}
  ~OwnedStream() {
    if (m_handle != 0) BASS_StreamFree(m_handle);
  }
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;

  HSTREAM get() const { return m_handle; }
  explicit operator bool() const { return m_handle != 0; }

 private:
  HSTREAM m_handle;
};

// Opens `path` (the part `range` of it) as a decoding stream of 32-bit float samples; 0 when it
// cannot be opened. `known`: the file's length measured before, if any.
inline HSTREAM OpenFloatDecoder(const std::string& path, const audio::FrameRange& range = {},
                                const audio::KnownLength& known = {}) {
  const HSTREAM stream =
      range.Whole()
          ? BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT)
          : QV_StreamCreateFileRange(path.c_str(), BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT, range);
  if (stream) QV_ChannelSetFileLength(stream, known);
  return stream;
}

// Whole seconds of the stream, truncated; 0 when its length is unknown.
inline int StreamSeconds(HSTREAM stream) {
  const QWORD bytes = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
  if (bytes == static_cast<QWORD>(-1)) return 0;
  const double seconds = BASS_ChannelBytes2Seconds(stream, bytes);
  return seconds > 0 && seconds < 2147483647.0 ? static_cast<int>(seconds) : 0;
}

}  // namespace qv
