#pragma once
// PipeEncoder: runs a command line with /bin/sh in its own process group and feeds its
// standard input a WAV header for 32-bit float data followed by the channel's samples. Owns
// the child process (a ChildProcess); finishing closes its input and waits for it to exit,
// ending it if it does not exit in time; aborting (or destruction) ends it at once. A child
// that stops reading makes the write fail after the stall timeout and is ended.

#include <atomic>
#include <memory>
#include <string>

#include "audio/encoder.h"
#include "tools/childprocess.h"

namespace qv::audio {

class PipeEncoder final : public Encoder {
 public:
  // Starts the child. Returns BASS_ERROR_CREATE when no process could be started.
  static int Create(DWORD channel, DWORD flags, int rate, int channels, const std::string& command,
                    std::shared_ptr<Encoder>& encoder);

  PipeEncoder(DWORD channel, DWORD flags, int rate, int channels)
      : Encoder(channel, flags, rate, channels) {}
  ~PipeEncoder() override { Finish(); }

  // How long a write may wait for a child that reads nothing, and how long the child may take
  // to exit after its input is closed, before it counts as hung; how long an aborted child
  // may take to act on SIGTERM before it is killed.
  static constexpr int kStallTimeoutMs = 30000;
  static constexpr int kExitTimeoutMs = 60000;
  static constexpr int kAbortGraceMs = 500;
  // Tests shorten the two timeouts; a value <= 0 restores the default.
  static void SetTimeoutsForTesting(int stallTimeoutMs, int exitTimeoutMs);

 private:
  int DoWrite(const float* samples, size_t frames) override;
  int DoFinish() override;
  int DoAbort() override;
  // Writes everything or fails (BASS_ERROR_ENDED, the child ended when it stalled).
  int WriteAll(const void* data, size_t size);

  ChildProcess m_child;
  static std::atomic<int> s_stallTimeoutMs;
  static std::atomic<int> s_exitTimeoutMs;
};

// The 46-byte WAV header of a stream of 32-bit float samples whose length is not known.
std::string FloatWavHeader(int rate, int channels);

}  // namespace qv::audio
