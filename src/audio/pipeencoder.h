#pragma once
// PipeEncoder: runs a command line with /bin/sh in its own process group and feeds its
// standard input a WAV header for 32-bit float data followed by the channel's samples. Owns
// the child process and the write end of its input pipe; finishing (or destruction) closes the
// pipe and reaps the child, ending it if it does not exit in time.

#include <sys/types.h>

#include <memory>
#include <string>

#include "audio/encoder.h"

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
  // to exit after its input is closed, before it counts as hung.
  static constexpr int kStallTimeoutMs = 30000;
  static constexpr int kExitTimeoutMs = 60000;

 private:
  int DoWrite(const float* samples, size_t frames) override;
  int DoFinish() override;
  // Writes everything or fails (BASS_ERROR_ENDED) without raising SIGPIPE.
  int WriteAll(const void* data, size_t size);

  int m_fd = -1;
  pid_t m_pid = -1;
};

// The 46-byte WAV header of a stream of 32-bit float samples whose length is not known.
std::string FloatWavHeader(int rate, int channels);

}  // namespace qv::audio
