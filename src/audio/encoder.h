#pragma once
// The common face of the encoders that attach to a decoding channel (BASS_Encode_StartACMFile,
// BASS_Encode_Start). An encoder owns its output (a file or a child process) and is used under
// its own mutex, so any thread may write to it or stop it.

#include <mutex>
#include <string>

#include "audio/bass.h"

namespace qv::audio {

class Encoder {
 public:
  Encoder(DWORD channel, DWORD flags, int rate, int channels)
      : m_channel(channel), m_flags(flags), m_rate(rate), m_channels(channels) {}
  virtual ~Encoder() = default;
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;

  DWORD channel() const { return m_channel; }
  // What went wrong with the output, in the system's or FFmpeg's words; empty when nothing did
  // or the encoder cannot tell.
  std::string ErrorText() {
    std::lock_guard lock(m_mutex);
    return m_errorText;
  }
  DWORD flags() const { return m_flags; }
  int rate() const { return m_rate; }
  int channels() const { return m_channels; }

  // Encodes `frames` frames of interleaved floats in the channel's format. Returns BASS_OK or
  // the error code; after a failure every later write fails too.
  int Write(const float* samples, size_t frames) {
    std::lock_guard lock(m_mutex);
    if (m_finished) return BASS_ERROR_ENDED;
    if (m_failed) return m_failed;
    m_failed = DoWrite(samples, frames);
    return m_failed;
  }
  // Ends the output at once without completing it (a cancelled conversion): a child process
  // is ended and reaped, a file is closed as it stands. Later writes fail; Finish then repeats
  // the result. Returns BASS_OK or the error code.
  int Abort() {
    std::lock_guard lock(m_mutex);
    if (!m_finished) {
      m_finished = true;
      const int result = DoAbort();
      if (!m_failed) m_failed = result;
    }
    return m_failed;
  }
  // Completes the output once (later calls repeat the first result). Returns BASS_OK or the
  // error code of the first failure. `early`: the data end before the length the encoder was
  // told on purpose (a cancel), and the output is completed with what was written.
  int Finish(bool early = false) {
    std::lock_guard lock(m_mutex);
    if (!m_finished) {
      m_finished = true;
      const int result = early ? DoFinishEarly() : DoFinish();
      if (!m_failed) m_failed = result;
    }
    return m_failed;
  }

 protected:
  // Set by the Do* calls (which run under the encoder's mutex) when they fail.
  std::string m_errorText;

  virtual int DoWrite(const float* samples, size_t frames) = 0;
  virtual int DoFinish() = 0;
  // By default an output is simply completed; encoders with a child override this.
  virtual int DoAbort() { return DoFinish(); }
  // Only an encoder that declared a length cares that the data ended early.
  virtual int DoFinishEarly() { return DoFinish(); }

 private:
  std::mutex m_mutex;
  const DWORD m_channel;
  const DWORD m_flags;
  const int m_rate;
  const int m_channels;
  int m_failed = BASS_OK;
  bool m_finished = false;
};

// The detail text of the calling thread's last failed encoder call (BASS_Encode_StartACMFile,
// BASS_Encode_Write, BASS_Encode_Stop and the BASS_WMA_Encode calls): the system's or FFmpeg's
// words for what went wrong, or empty when the encoder could not tell. Every such call clears it
// first.
const std::string& LastEncoderErrorText();

}  // namespace qv::audio
