#pragma once
// PipeEncoder: runs a command line with /bin/sh in its own process group and feeds its
// standard input a WAV header for 32-bit float data followed by the channel's samples. Owns
// the child process (a ChildProcess); finishing closes its input and waits for it to exit,
// ending it if it does not exit in time; aborting (or destruction) ends it at once, before its
// input closes, so the child never takes an abort for the end of the data. A child that stops
// reading makes the write fail after the stall timeout and is ended.
//
// When the length of the data is known in advance the header declares it, so that a child
// which sees its input end early (this program killed or crashed) can tell a cut stream from a
// finished one. The data then keep to the declared length: frames beyond it are dropped, and
// at the finish a shortfall of up to kMaxPadSeconds is filled with silence. A decoder may give
// slightly less or more than a length settled beforehand (small damage it skips, the rounding
// of a header's length); a larger shortfall fails the finish, and the child is ended instead.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "audio/encoder.h"
#include "tools/childprocess.h"

namespace qv::audio {

class PipeEncoder final : public Encoder {
 public:
  // Starts the child. `expectedFrames` is the number of frames the data will have, or -1 when
  // it is not known; `speakers` (AV_CH_* bits, 0 unknown) the channels' speakers. The header
  // (none with BASS_ENCODE_NOHEAD) declares the length where its 32-bit
  // sizes can hold it (FloatWavHeaderDeclares), and only then are the data held to it. Returns
  // BASS_ERROR_CREATE when no process could be started.
  static int Create(DWORD channel, DWORD flags, int rate, int channels, std::uint64_t speakers,
                    std::int64_t expectedFrames, const std::string& command,
                    std::shared_ptr<Encoder>& encoder);

  using Encoder::Encoder;
  ~PipeEncoder() override;

  // How long a write may wait for a child that reads nothing, and how long the child may take
  // to exit after its input is closed, before it counts as hung; how long an aborted child
  // may take to act on SIGTERM before it is killed.
  static constexpr int kStallTimeoutMs = 30000;
  static constexpr int kExitTimeoutMs = 60000;
  static constexpr int kAbortGraceMs = 500;
  // The longest shortfall of a declared length that the finish fills with silence.
  static constexpr int kMaxPadSeconds = 2;
  // Tests shorten the two timeouts; a value <= 0 restores the default.
  static void SetTimeoutsForTesting(int stallTimeoutMs, int exitTimeoutMs);

 private:
  int DoWrite(const float* samples, size_t frames) override;
  int DoFinish() override;
  int DoAbort() override;
  // Tells the child (SIGUSR1) that the input ends early on purpose, then finishes without
  // padding: the child completes its file with what arrived.
  int DoFinishEarly() override;
  // Writes everything or fails (BASS_ERROR_ENDED, the child ended when it stalled).
  int WriteAll(const void* data, size_t size);
  int WriteSilence(std::int64_t frames);
  // After the child failed: its last line of complaint (what it wrote to its standard error)
  // becomes the error text, unless a text is set already.
  void TakeChildComplaint();

  ChildProcess m_child;
  // The child's standard error: an anonymous file (memfd), so a failure can name its cause,
  // and a child that writes a lot can never block on it. -1 when none could be made (the
  // child's complaints then go to ours).
  int m_errorsFd = -1;
  std::int64_t m_declaredFrames = -1;  // the length the header declared; -1 when none
  std::int64_t m_writtenFrames = 0;
  bool m_writeFailed = false;
  static std::atomic<int> s_stallTimeoutMs;
  static std::atomic<int> s_exitTimeoutMs;
};

// Whether the 32-bit sizes of a float WAV header can declare `frames` frames (more than 0:
// a data size of 0 means "unknown" to its readers).
bool FloatWavHeaderDeclares(int channels, std::int64_t frames);
// The WAV header of a stream of 32-bit float samples: 46 bytes for one or two channels, 68
// (WAVE_FORMAT_EXTENSIBLE, whose channel mask names the speakers: `speakers` when it names as
// many, else FFmpeg's default layout) for more. Its RIFF and data sizes declare `frames`
// frames when FloatWavHeaderDeclares, else they are 0xFFFFFFFF: the length is not known, the
// data run to the end of the stream.
std::string FloatWavHeader(int rate, int channels, std::int64_t frames,
                           std::uint64_t speakers = 0);

}  // namespace qv::audio
