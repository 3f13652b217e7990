#pragma once
// What decoding a file cost and why it ended, and the one rule that decides whether the audio
// decoded is the file's audio: a conversion or a measurement counts only when decoding reached
// the end of the audio (the length the file declares, when it declares one) and damaged data
// lost at most a second on the way.

#include <cstdint>
#include <string>

namespace qv::audio {

// How the decoding of a file has gone so far. A file is decoded completely only when `ended`
// is set and `stoppedEarly` is not (the demuxer reached the end of the file and the decoder
// was drained).
struct DecodeReport {
  bool ended = false;                // the stream has ended (drained, or stopped)
  bool stoppedEarly = false;         // decoding could not go on before the end of the file
  int stopError = 0;                 // the layer's error code when it stopped early
  int systemError = 0;               // errno of a read error (BASS_ERROR_READ)
  std::int64_t deliveredFrames = 0;  // source frames decoded and handed on
  std::int64_t lostFrames = 0;       // source frames lost to damaged data (skipped, gaps)
  int damagedPackets = 0;            // packets or frames the decoder refused or dropped
  // Where the losses were, as positions in the decoded audio (source frames); -1 when none.
  std::int64_t firstLossAt = -1;
  std::int64_t lastLossAt = -1;
  // The length in source frames that the file's header declares (see
  // SourceFormat::declaredFrames); -1 when it declares none.
  std::int64_t declaredFrames = -1;
};

// Damaged data may cost this much audio in total before a file counts as not decoded.
inline constexpr double kMaxLostSeconds = 1.0;
// A shortfall against the length of up to this much, with nothing damaged seen, is the
// rounding of a length (an encoder's delay and padding, a first frame a decoder swallows).
inline constexpr double kLengthSlackSeconds = 0.1;

struct DecodeVerdict {
  bool complete = false;  // the audio decoded is the file's audio (perhaps with small losses)
  // Why it is not (when !complete), or what was skipped (when complete and something was):
  // one sentence that says where in the file and how much. Empty for a clean decode.
  std::string text;
};

// Judges a finished decode of a stream at `rate` Hz whose length is `totalFrames` source frames
// (-1 when unknown). The audio the file should hold is the length its header declares, else
// `totalFrames`: what falls short of it was lost, and a file that holds all of it but ends in
// unreadable data (junk after the last packet) counts as complete.
DecodeVerdict JudgeDecode(const DecodeReport& report, int rate, std::int64_t totalFrames);

// "m:ss" of a position in frames.
std::string FramesAsMinutes(std::int64_t frames, int rate);

}  // namespace qv::audio
