#pragma once
// What one output format does to write a decoded source, behind EncodeFile. EncodeFile does
// the steps every format shares: it refuses a destination that is the source, opens the source
// as float samples, starts the progress, removes an empty file of the destination's name, feeds
// the source to the encoder in one-second blocks and notes a source resampled to the format's
// highest rate. An encoder checks what it needs before the destination is touched, creates the
// output, writes the blocks and completes the output. The format table (convert/formats.h)
// names each format's encoder.

#include <cstddef>
#include <memory>
#include <string>

#include "audio/bass.h"
#include "convert/convertfile.h"

namespace qv {

// The source being encoded, as each step of an encoder sees it.
struct EncodeSource {
  const EncodeRequest& request;
  HSTREAM stream;
  const BASS_CHANNELINFO& info;
};

// Why the decode loop ended.
enum class PumpEnd { Finished, Cancelled, WriteFailed, ReadFailed, Damaged };

// The result code of an end as such: Ok, Cancelled, WriteFailed, ReadError or Damaged.
ConvertCode CodeOfEnd(PumpEnd end);

class FileEncoder {
 public:
  virtual ~FileEncoder() = default;
  // The checks made before the destination is touched (a bitrate or level the format does not
  // take, no encoder program, a WAV file too large); Ok, or the failure with its detail. A
  // source the format writes differently is noted in job.LogNote.
  virtual ConvertResult Check(const EncodeSource& /*source*/, JobContext& /*job*/) { return {}; }
  // Creates the destination exclusively and starts encoding into it; Ok, or the failure with
  // its detail.
  virtual ConvertResult Start(const EncodeSource& source) = 0;
  // Writes one block of `count` interleaved samples times `gain` (the samples may be changed in
  // place); false when it could not (m_putFailure says why).
  virtual bool Put(float* samples, std::size_t count, double gain) = 0;
  // Completes the output after the loop ended with `end`; the result.
  virtual ConvertResult Finish(PumpEnd end) = 0;
  // How many samples the output clipped (WAV, FLAC, AAC), as a log note; empty when none was,
  // and for the encoders that take samples beyond full scale whole.
  virtual std::string ClippingNote() const { return {}; }

 protected:
  // Why the last Put failed, for Finish.
  ConvertResult m_putFailure{ConvertCode::WriteFailed};
};

std::unique_ptr<FileEncoder> MakeWavEncoder();   // our own 16-bit PCM writer
std::unique_ptr<FileEncoder> MakeMp3Encoder();   // LAME, through the audio layer
std::unique_ptr<FileEncoder> MakeAacEncoder();   // the qvfaac program fed through a pipe
std::unique_ptr<FileEncoder> MakeWmaEncoder();   // wmav2, through the audio layer
// FFmpeg's FLAC, Opus and Vorbis encoders, through the audio layer.
std::unique_ptr<FileEncoder> MakeFlacEncoder();
std::unique_ptr<FileEncoder> MakeOpusEncoder();
std::unique_ptr<FileEncoder> MakeVorbisEncoder();

}  // namespace qv
