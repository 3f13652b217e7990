#pragma once
// Converting one source file into one output file: WAV (our own writer), MP3 (the audio layer's
// MP3 encoder), AAC, MP4 and M4A (the qvfaac program fed through a pipe), WMA (the audio
// layer's WMA encoder) and FLAC, Opus and Ogg Vorbis (the audio layer's FFmpeg file encoders),
// with a volume gain applied on the way. Every call decodes the source in
// one-second blocks, reports progress and reads the cancel flag through its own JobContext, and
// touches no process-wide state, so several conversions may run at once on different threads.
// EncodeFile owns the stream and the format's encoder (convert/fileencoder.h) its buffers and
// its output, for the length of the call; both are released on every path.

#include <cstdint>
#include <string>

#include "audio/framerange.h"
#include "audio/metadata.h"
#include "model/batchstate.h"

namespace qv {

// Result codes of ConvertFile and of every encoder. The numbers stay as they are: the row runner
// carries a code as an int, and the logs and tests name some by number.
enum class ConvertCode : int {
  Ok = 0,
  SamePath = 1,          // the source and the destination are the same file
  UnknownFormat = 2,
  CannotOpenSource = 3,
  CannotCreate = 4,      // the WAV, FLAC, Opus or Vorbis file cannot be created
  WriteFailed = 5,       // writing or finishing the output failed
  Mp3Setup = 6,          // the MP3 encoder could not be set up (the detail says why)
  AacStart = 7,          // the AAC encoder could not start (the detail says why)
  WmaStart = 8,          // the WMA encoder could not start (the detail says why)
  ReadError = 9,         // the source could not be read to its end (an I/O error)
  NamesTaken = 10,       // every numbered name of the destination is taken
  Damaged = 11,          // damaged data: decoding stopped early or lost too much
  TagsFailed = 12,       // the tags could not be written into the output
  WavTooLarge = 13,      // the WAV output would pass the 4 GiB a WAV file can hold
  NotMeasured = 14,      // to be normalized, but the file has no loudness measurement
  Skipped = 15,          // not converted: its output is there already (not a failure)
  EncoderStart = 16,     // the FLAC, Opus or Vorbis encoder could not start
  Cancelled = 100,
};

// What a conversion, or one step of it, ended with: the code, the system's error number when a
// system call failed (errno, else 0), and the encoder's or library's own text of the failure.
struct ConvertResult {
  ConvertCode code = ConvertCode::Ok;
  int systemError = 0;
  std::string detail;

  bool ok() const { return code == ConvertCode::Ok; }
};

// What a failed row's cause is, for the batch's typed outcome.
enum class FailureCause { None, Source, ReadError, DamagedData, Encoder, Write, Tags, Naming,
                          NotMeasured };
FailureCause CauseOfCode(ConvertCode code);

// The user's text for a result. Mp3Setup, AacStart, WmaStart, EncoderStart, Damaged, TagsFailed
// and WavTooLarge give the detail; CannotCreate and WriteFailed name the system's or FFmpeg's
// reason (the detail, else the system error's text) when there is one.
std::string ConversionErrorText(const ConvertResult& result);

// Whether two paths name the same file: the same text, or (when both exist) the same file on
// disk (a link, a case-insensitive file system). Two spellings that differ only in letter case
// are two files on a case-sensitive file system.
bool SamePathIgnoringCase(const std::string& a, const std::string& b);

// Converts `source` into `destination` in the format `formatKey` (any case: "wav", "mp3", "aac",
// "mp4", "m4a", "wma", "flac", "opus", "ogg") at `kbps` (0 for WAV; the compression level, 0 to
// 8, for FLAC), multiplying every sample by `gain`. `faacPath` is
// the AAC encoder program. The destination is created exclusively: an existing file is never
// replaced, except an empty regular file of that name, which is removed first (the naming rule
// treats an empty file as free). A failure's result holds its detail. Only a decode that
// reached the end of the source counts: damaged data that cost more than a second, or a decoder
// that stopped early, give ConvertCode::Damaged; smaller losses convert and are described in
// job.LogNote, and so are samples a WAV or FLAC output had to clip.
// `range` is the part of the source converted (a track of an album image), exactly. When
// `sourceMetadata` is given, it receives the source's container tags and cover as the decoder
// read them (for the tag copy, which then need not open the source with FFmpeg again).
// `known`: the source's length as its add measured it (see audio::KnownLength).
ConvertResult ConvertFile(const std::string& source, const std::string& destination,
                          double gain, const std::string& formatKey, int kbps,
                          const std::string& faacPath, JobContext& job,
                          const audio::FrameRange& range = {},
                          audio::ContainerMetadata* sourceMetadata = nullptr,
                          audio::KnownLength known = {});

struct OutputFormat;  // convert/formats.h

// One conversion for EncodeFile.
struct EncodeRequest {
  std::string source;
  std::string destination;
  double gain = 1.0;                     // finite
  const OutputFormat* format = nullptr;  // not null
  // The kbps; for FLAC the compression level, 0 to 8 (24 bits for an integer source of more
  // than 16 bits or a floating-point source, else 16); for Opus the VBR target (Ogg, 48000 Hz);
  // unused for WAV.
  int value = 0;
  std::string faacPath;  // the AAC encoder program
  audio::FrameRange range;  // the part of the source converted
  audio::ContainerMetadata* sourceMetadata = nullptr;  // receives the source's tags when set
  audio::KnownLength known;  // the whole file's length, measured before
};

// ConvertFile once the format is known: the same results and notes. The job's note and
// progress are expected to start empty and at 0 (ConvertFile clears them). A cancelled file is
// kept with what was written (FLAC, Opus and Vorbis finish it so it plays).
ConvertResult EncodeFile(const EncodeRequest& request, JobContext& job);

// The sample arithmetic of the encoders that take floats whole (MP3, WMA, Opus, Vorbis), exposed
// for its tests: each sample times the gain rounded to single precision, in place; a NaN or an
// infinity gives 0. Nothing is clipped: samples beyond ±1 (a floating-point source above full
// scale, a gain above 1) reach the encoder whole. The integer outputs (WAV, FLAC) and AAC, whose
// encoder cannot take more than full scale, go through convert/pcmquantizer.h instead.
void ApplyFloatGain(float* samples, size_t count, double gain);

// The header of a 16-bit PCM WAV file with both sizes 0 (patched at the end): 44 bytes for one
// or two channels, 68 for more (WAVE_FORMAT_EXTENSIBLE, its channel mask `speakers` when they
// name as many speakers, else FFmpeg's default layout for the count).
std::string WavHeader(int rate, int channels, std::uint64_t speakers = 0);
// The command line that runs the AAC encoder program: the program, the options for `kbps`, -w
// for an MP4 container (the formats "mp4" and "m4a" of the format table), -o and the
// destination, and "-" for standard input. Every path is quoted for /bin/sh.
std::string AacCommandLine(const std::string& faacPath, int kbps, const std::string& key,
                           const std::string& destination);

}  // namespace qv
