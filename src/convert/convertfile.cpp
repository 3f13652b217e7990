#include "convert/convertfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "app/filedescriptor.h"
#include "app/paths.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "audio/encoder.h"
#include "audio/mp3rates.h"
#include "audio/outputrates.h"
#include "audio/ownedstream.h"
#include "convert/fileencoder.h"
#include "convert/formats.h"

namespace qv {
namespace {

// The MP3 encoder's flags as the program has always passed them: free with the channel, take
// data only through BASS_Encode_Write, no WAV header in the file.
constexpr DWORD kMp3EncodeFlags = 0x40121;
// The pipe encoder's flags: free with the channel, data only through BASS_Encode_Write (the
// child gets a WAV header first).
constexpr DWORD kAacEncodeFlags = 0x40020;
// The FFmpeg file encoders' flags: free with the channel, data only through BASS_Encode_Write.
constexpr DWORD kFileEncodeFlags = BASS_ENCODE_AUTOFREE | BASS_ENCODE_PAUSE;
// BASS_WMA_ENCODE_STANDARD | BASS_SAMPLE_FLOAT.
constexpr DWORD kWmaEncodeFlags = 0x2100;
constexpr DWORD kEndOfData = 0xFFFFFFFFu;
constexpr const char* kConverting = "Converting";
constexpr size_t kWavHeaderSize = 44;
constexpr std::uint64_t kMaxWavBytes = 0xFFFFFFFFu;

// Owns an encoder attached to a channel. Left alone it is stopped (the output completed); a
// cancelled or failed AAC encoder is aborted instead, so its child ends at once.
class ChannelEncoder {
 public:
  ChannelEncoder() = default;
  ~ChannelEncoder() {
    if (m_handle) BASS_Encode_Stop(m_handle);
  }
  ChannelEncoder(const ChannelEncoder&) = delete;
  ChannelEncoder& operator=(const ChannelEncoder&) = delete;
  HENCODE get() const { return m_handle; }
  // Takes the encoder `handle` (none is held before).
  void Set(HENCODE handle) { m_handle = handle; }
  // Completes the output; false when it could not be completed.
  bool Stop() { return Release([](HENCODE h) { return BASS_Encode_Stop(h) != 0; }); }
  // Completes the output with what was written before a cancel.
  bool StopEarly() { return Release([](HENCODE h) { return QV_Encode_StopEarly(h) != 0; }); }
  bool Abort() { return Release([](HENCODE h) { return BASS_Encode_Abort(h) != 0; }); }

 private:
  template <typename Call>
  bool Release(Call call) {
    const HENCODE handle = m_handle;
    m_handle = 0;
    return handle && call(handle);
  }
  HENCODE m_handle = 0;
};

// Owns a WMA file encoder; left alone it is closed (the file completed).
class WmaFile {
 public:
  WmaFile() = default;
  ~WmaFile() { Close(); }
  WmaFile(const WmaFile&) = delete;
  WmaFile& operator=(const WmaFile&) = delete;
  HWMENCODE get() const { return m_handle; }
  // Takes the encoder `handle` (none is held before).
  void Set(HWMENCODE handle) { m_handle = handle; }
  bool Close() {
    const HWMENCODE handle = m_handle;
    m_handle = 0;
    return handle && BASS_WMA_EncodeClose(handle) != 0;
  }

 private:
  HWMENCODE m_handle = 0;
};

bool WriteLe32At(int fd, std::uint64_t value, off_t offset) {
  // A file beyond the 32-bit sizes says "to the end of the file" rather than a wrapped size.
  const std::uint32_t v = value > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
  const unsigned char bytes[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                                  static_cast<unsigned char>(v >> 16),
                                  static_cast<unsigned char>(v >> 24)};
  return ::pwrite(fd, bytes, 4, offset) == 4;
}

// The naming rule counts an empty file as free: such a file (a regular file, not a link) is
// removed right before the output is created exclusively in its place.
void ReuseEmptyDestination(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
    ::unlink(path.c_str());
  }
}

void StartProgress(HSTREAM stream, JobContext& job) {
  job.ProcessedSeconds = 0;
  job.SourceDuration = StreamSeconds(stream);
}

// Why the stream's data ended: the end of the file (perhaps with small losses, noted in
// job.LogNote), a read error, or damaged data that stopped decoding or cost too much.
PumpEnd JudgeEnd(HSTREAM stream, JobContext& job) {
  audio::DecodeReport report;
  if (!QV_ChannelGetDecodeReport(stream, &report)) return PumpEnd::ReadFailed;
  if (report.stoppedEarly && report.stopError == BASS_ERROR_READ) return PumpEnd::ReadFailed;
  BASS_CHANNELINFO info{};
  BASS_ChannelGetInfo(stream, &info);
  const QWORD bytes = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
  const std::int64_t frames =
      bytes == static_cast<QWORD>(-1) || info.chans == 0
          ? -1
          : static_cast<std::int64_t>(bytes / (4u * info.chans));
  const audio::DecodeVerdict verdict =
      audio::JudgeDecode(report, static_cast<int>(info.freq), frames);
  if (!verdict.complete) {
    job.EncoderErrorText = verdict.text;
    return PumpEnd::Damaged;
  }
  if (!verdict.text.empty()) {
    job.LogNote += (job.LogNote.empty() ? "" : "\n\n") + verdict.text;
  }
  return PumpEnd::Finished;
}

// The decode loop every encoder shares: one-second blocks of interleaved floats from `stream`
// to `put` (which applies the gain and writes; false when it could not), progress after every
// block, and the cancel flag right after the progress.
template <typename Put>
PumpEnd PumpBlocks(HSTREAM stream, std::vector<float>& block, JobContext& job, Put put) {
  const DWORD bytes = static_cast<DWORD>(block.size() * sizeof(float));
  while (true) {
    const DWORD got = BASS_ChannelGetData(stream, block.data(), bytes);
    if (got == kEndOfData || got == 0) return JudgeEnd(stream, job);
    if (!put(block.data(), static_cast<size_t>(got / sizeof(float)))) return PumpEnd::WriteFailed;
    ++job.ProcessedSeconds;
    if (job.ProgressCallback) job.ProgressCallback(kConverting);
    if (job.Cancelled()) return PumpEnd::Cancelled;
  }
}

// One second of audio: rate × channels floats.
std::vector<float> OneSecondBlock(const BASS_CHANNELINFO& info) {
  return std::vector<float>(static_cast<size_t>(info.freq) * info.chans);
}

bool GetInfo(HSTREAM stream, BASS_CHANNELINFO& info) {
  return BASS_ChannelGetInfo(stream, &info) && info.freq > 0 && info.chans > 0;
}

void NoteEncoderDetail(JobContext& job) { job.EncoderErrorText = audio::LastEncoderErrorText(); }

float ClampUnit(float sample) {
  if (sample > 1.0f) return 1.0f;
  if (sample < -1.0f) return -1.0f;
  if (sample != sample) return 0.0f;  // NaN
  return sample;
}

// The log record of a source that a format whose highest rate is `highest` writes at a lower
// rate (RateAtMost) than its own; nothing when it keeps the source's rate.
void NoteRateAtMost(const BASS_CHANNELINFO& info, const char* format, int highest,
                    JobContext& job) {
  const int sourceRate = static_cast<int>(info.freq);
  const int rate = audio::RateAtMost(sourceRate, highest);
  if (rate == sourceRate) return;
  job.LogNote = FormatText("The source's sample rate of %d Hz was resampled to %d Hz: %s files "
                           "are written at up to %d Hz.",
                           sourceRate, rate, format, highest);
}

// Which of the format's listed bitrates its encoder does take for this source, as advice.
std::string OtherBitratesText(const OutputFormat& outputFormat, QV_ENCODEFORMAT format,
                              const BASS_CHANNELINFO& info) {
  std::vector<int> usable;
  for (const int kbps : outputFormat.Bitrates().kbps) {
    format.bitrate = static_cast<DWORD>(kbps) * 1000;
    if (QV_Encode_FileAccepts(info.freq, info.chans, info.origres, &format)) usable.push_back(kbps);
  }
  if (usable.empty()) {
    return "It takes none of the listed Bitrates for it: please choose another Output Format.";
  }
  std::string list;
  for (size_t i = 0; i < usable.size(); ++i) {
    if (i > 0) list += i + 1 == usable.size() ? " or " : ", ";
    list += std::to_string(usable[i]);
  }
  return "Please choose another Bitrate: it takes " + list + " kbps for this source.";
}

}  // namespace

FailureCause CauseOfCode(int code) {
  switch (code) {
    case kConvertOk:
    case kConvertSkipped:
    case kConvertCancelled: return FailureCause::None;
    case kConvertReadError: return FailureCause::ReadError;
    case kConvertDamaged: return FailureCause::DamagedData;
    case kConvertMp3Setup:
    case kConvertAacStart:
    case kConvertWmaStart:
    case kConvertEncoderStart: return FailureCause::Encoder;
    case kConvertCannotCreate:
    case kConvertWriteFailed:
    case kConvertWavTooLarge: return FailureCause::Write;
    case kConvertTagsFailed: return FailureCause::Tags;
    case kConvertNamesTaken: return FailureCause::Naming;
    case kConvertNotMeasured: return FailureCause::NotMeasured;
    default: return FailureCause::Source;
  }
}

std::string ConversionErrorText(int code, const JobContext& job) {
  const std::string& detail = job.EncoderErrorText;
  const auto withDetail = [&detail](const char* text) {
    std::string result = text;
    if (!detail.empty()) result += " (" + detail + ")";
    return result;
  };
  // The old texts guess the cause ("permissions problem", "disk full"); they stand when the
  // system's reason agrees, and give way to the reason itself when it does not.
  const auto is = [&detail](std::initializer_list<int> errors) {
    for (const int error : errors) {
      if (detail == std::strerror(error)) return true;
    }
    return false;
  };
  switch (code) {
    case kConvertSamePath: return "The source file is the same as the destination file";
    case kConvertUnknownFormat: return "Unknown output file format";
    case kConvertCannotOpenSource: return "Can't open source file";
    case kConvertCannotCreate:
      if (detail.empty() || is({EACCES, EPERM, EROFS})) {
        return withDetail("Could not create the destination file - permissions problem");
      }
      return "Could not create the destination file - " + detail;
    case kConvertWriteFailed:
      if (detail.empty() || is({ENOSPC, EDQUOT})) {
        return withDetail("Could not write to the destination file - disk full");
      }
      return "Could not write to the destination file - " + detail;
    case kConvertMp3Setup:
    case kConvertAacStart:
    case kConvertWmaStart:
    case kConvertEncoderStart:
    case kConvertDamaged:
    case kConvertTagsFailed:
    case kConvertWavTooLarge: return detail;
    case kConvertNotMeasured:
      return "The file has no loudness measurement, so it cannot be normalized; it was not "
             "converted.  Measure it first (Calculate Loudness), or convert it without "
             "normalization";
    case kConvertReadError: return "Could not read the source file - read error";
    case kConvertNamesTaken:
      return "Every numbered name for the destination file (up to -COPY999999) is taken, so "
             "nothing was written";
    default: return "Unknown error";
  }
}

bool SamePathIgnoringCase(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa {}, sb {};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::int16_t PcmSampleWithGain(float sample, double gain) {
  const double x = ClampUnit(sample);
  const auto y = static_cast<float>(x * 32767.0 * gain);
  if (y >= 32767.0f) return 32767;
  if (y <= -32768.0f) return -32768;
  if (y != y) return 0;
  return static_cast<std::int16_t>(y);  // truncation toward zero
}

void ApplyFloatGain(float* samples, size_t count, double gain) {
  const auto g = static_cast<float>(gain);
  for (size_t i = 0; i < count; ++i) samples[i] = g * ClampUnit(samples[i]);
}

std::string WavHeader(int rate, int channels) {
  std::string header;
  const auto put = [&header](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  const auto blockAlign = static_cast<std::uint32_t>(16 * channels / 8);
  header += "RIFF";
  put(0, 4);
  header += "WAVEfmt ";
  put(16, 4);
  put(1, 2);  // PCM
  put(static_cast<std::uint32_t>(channels), 2);
  put(static_cast<std::uint32_t>(rate), 4);
  put(blockAlign * static_cast<std::uint32_t>(rate), 4);
  put(blockAlign, 2);
  put(16, 2);
  header += "data";
  put(0, 4);
  return header;
}

std::string AacCommandLine(const std::string& faacPath, int kbps, const std::string& key,
                           const std::string& destination) {
  // exec: the program takes the shell's place, so signals for it reach it.
  std::string command = "exec " + ShellQuote(faacPath) + " " + AacOptionsForKbps(kbps);
  const OutputFormat* format = FindOutputFormat(key);
  if (format && format->tagKind == tags::OutputKind::Mp4) command += " -w";
  command += " -o " + ShellQuote(destination) + " -";
  return command;
}

int CodeOfEnd(PumpEnd end) {
  switch (end) {
    case PumpEnd::Finished: return kConvertOk;
    case PumpEnd::Cancelled: return kConvertCancelled;
    case PumpEnd::WriteFailed: return kConvertWriteFailed;
    case PumpEnd::ReadFailed: return kConvertReadError;
    case PumpEnd::Damaged: return kConvertDamaged;
  }
  return kConvertWriteFailed;
}

namespace {

// "Could not start the <what>.  Error code was <error>", with the encoder's own detail when it
// gave one.
std::string StartFailureText(const std::string& what, int error) {
  std::string text = FormatText("Could not start the %s.  Error code was %d", what.c_str(), error);
  if (!audio::LastEncoderErrorText().empty()) text += " (" + audio::LastEncoderErrorText() + ")";
  return text;
}

// The result of an encoder's file after the loop. A failed write stands as it is; otherwise
// `complete` completes the encoder (true when that worked). An unreadable or damaged source then
// gives its own code, so does a cancel unless a cancelled file must be complete too
// (`cancelNeedsCompletion`); else a failed completion is a failed write.
template <typename Complete>
int CodeAfterCompletion(PumpEnd end, bool cancelNeedsCompletion, JobContext& job,
                        Complete complete) {
  if (end == PumpEnd::WriteFailed) return kConvertWriteFailed;
  const bool completed = complete();
  if (end == PumpEnd::ReadFailed || end == PumpEnd::Damaged) return CodeOfEnd(end);
  if (end == PumpEnd::Cancelled && !cancelNeedsCompletion) return kConvertCancelled;
  if (!completed) {
    NoteEncoderDetail(job);
    return kConvertWriteFailed;
  }
  return CodeOfEnd(end);
}

std::string WavTooLargeText(std::uint64_t bytes) {
  return FormatText(
      "The WAV file would hold %.2f GiB, more than the 4 GiB a WAV file can hold.  Please "
      "choose another Output Format for this file (MP3, M4A or WMA)",
      static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
}

// 16-bit PCM at the source's rate and channels, written by us.
class WavEncoder final : public FileEncoder {
 public:
  // A WAV file's sizes are 32-bit: an output that would pass them fails before it is written
  // (when the length is known) or as soon as it would (when it is not).
  int Check(const EncodeSource& source, JobContext& job) override {
    const QWORD floatBytes = BASS_ChannelGetLength(source.stream, BASS_POS_BYTE);
    if (floatBytes == static_cast<QWORD>(-1)) return kConvertOk;
    const std::uint64_t frameBytes = 2u * source.info.chans;
    const std::uint64_t bytes =
        kWavHeaderSize + floatBytes / (4u * source.info.chans) * frameBytes;
    if (bytes <= kMaxWavBytes) return kConvertOk;
    job.EncoderErrorText = WavTooLargeText(bytes);
    return kConvertWavTooLarge;
  }

  int Start(const EncodeSource& source, JobContext& job) override {
    // Created exclusively: a file, link or folder that has the name is never replaced.
    m_file = FileDescriptor(CreateExclusive(source.request.destination));
    if (m_file.Get() < 0) {
      job.EncoderErrorText = std::strerror(errno);
      return kConvertCannotCreate;
    }
    const std::string header =
        WavHeader(static_cast<int>(source.info.freq), static_cast<int>(source.info.chans));
    if (!WriteAll(m_file.Get(), header.data(), header.size())) {
      job.EncoderErrorText = std::strerror(errno);
      return kConvertWriteFailed;
    }
    return kConvertOk;
  }

  bool Put(float* samples, size_t count, double gain, JobContext& job) override {
    m_pcm.resize(count);
    for (size_t i = 0; i < count; ++i) m_pcm[i] = PcmSampleWithGain(samples[i], gain);
    m_written += count * sizeof(std::int16_t);
    if (m_written > kMaxWavBytes) {
      m_tooLarge = true;
      job.EncoderErrorText = WavTooLargeText(m_written);
      return false;
    }
    if (WriteAll(m_file.Get(), m_pcm.data(), count * sizeof(std::int16_t))) return true;
    job.EncoderErrorText = std::strerror(errno);
    return false;
  }

  int Finish(PumpEnd end, JobContext& job) override {
    // A failed file keeps its zero sizes, so it does not pass for a complete one.
    if (end == PumpEnd::WriteFailed && m_tooLarge) return kConvertWavTooLarge;
    if (end != PumpEnd::Finished && end != PumpEnd::Cancelled) return CodeOfEnd(end);
    // The sizes, also after a cancel: the file then holds the blocks written so far.
    const int fd = m_file.Get();
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        !WriteLe32At(fd, static_cast<std::uint64_t>(st.st_size) - 8, 4) ||
        !WriteLe32At(fd, static_cast<std::uint64_t>(st.st_size) - kWavHeaderSize, 40) ||
        !m_file.Close()) {
      job.EncoderErrorText = std::strerror(errno);
      return kConvertWriteFailed;
    }
    return CodeOfEnd(end);
  }

 private:
  FileDescriptor m_file;
  std::vector<std::int16_t> m_pcm;
  std::uint64_t m_written = kWavHeaderSize;
  bool m_tooLarge = false;
};

// An encoder attached to the source's channel (MP3, AAC, FLAC, Opus, Vorbis): every block,
// with the gain applied, goes to it through BASS_Encode_Write.
class AttachedEncoder : public FileEncoder {
 public:
  int Start(const EncodeSource& source, JobContext& job) final {
    m_encoder.Set(StartEncoder(source));
    if (m_encoder.get()) return kConvertOk;
    return StartFailed(source, BASS_ErrorGetCode(), job);
  }

  bool Put(float* samples, size_t count, double gain, JobContext& job) override {
    ApplyFloatGain(samples, count, gain);
    const auto bytes = static_cast<DWORD>(count * sizeof(float));
    if (BASS_Encode_Write(m_encoder.get(), samples, bytes) == 1) return true;
    NoteEncoderDetail(job);  // the encoder's own complaint, when it made one
    return false;
  }

 protected:
  // Attaches the encoder to the source's channel; 0 when it does not start.
  virtual HENCODE StartEncoder(const EncodeSource& source) = 0;
  // Why the encoder did not start (BASS's `error`), in the job's text; the result code.
  virtual int StartFailed(const EncodeSource& source, int error, JobContext& job) = 0;

  ChannelEncoder m_encoder;
};

// MP3 through the audio layer's LAME encoder.
class Mp3Encoder final : public AttachedEncoder {
 public:
  int Check(const EncodeSource& source, JobContext& job) override {
    const int kbps = source.request.value;
    if (FindMp3BitrateRow(kbps) < 0) {
      job.EncoderErrorText = FormatText(
          "An unsupported bitrate is being used (%d) - the MP3 encoder only supports: 320, "
          "256, 224, 192, 160, 128, 112, and 96 Kbps",
          kbps);
      return kConvertMp3Setup;
    }
    // A rate an MP3 file cannot hold at this bitrate is resampled to the nearest one it can.
    const int sourceRate = static_cast<int>(source.info.freq);
    const int rate = audio::Mp3OutputRate(sourceRate, kbps);
    if (rate != sourceRate) {
      job.LogNote = FormatText(
          "The source's sample rate of %d Hz was resampled to %d Hz, the nearest rate an MP3 "
          "file holds at %d kbps.",
          sourceRate, rate, kbps);
    }
    m_record = Mp3FormatRecord(kbps, rate);
    return kConvertOk;
  }

  HENCODE StartEncoder(const EncodeSource& source) override {
    return BASS_Encode_StartACMFile(source.stream, &m_record, kMp3EncodeFlags,
                                    source.request.destination.c_str());
  }

  int StartFailed(const EncodeSource& source, int error, JobContext& job) override {
    if (error == BASS_ERROR_NOTAVAIL) {
      job.EncoderErrorText = FormatText(
          "The MP3 encoder could not be set up for the source Audio file (%d Hz, %d channels "
          "at %d kbps).",
          static_cast<int>(source.info.freq), static_cast<int>(source.info.chans),
          source.request.value);
    } else {
      job.EncoderErrorText = StartFailureText("encoder", error);
    }
    return kConvertMp3Setup;
  }

  int Finish(PumpEnd end, JobContext& job) override {
    return CodeAfterCompletion(end, false, job, [this] { return m_encoder.Stop(); });
  }

 private:
  MPEGLAYER3WAVEFORMAT m_record{};
};

// AAC (raw, in ADTS frames) or AAC in an MP4 container, by the encoder program fed through a
// pipe.
class AacEncoder final : public AttachedEncoder {
 public:
  int Check(const EncodeSource& source, JobContext& job) override {
    if (!source.request.faacPath.empty()) return kConvertOk;
    job.EncoderErrorText =
        "Could not start the AAC encoder.  No encoder program is set (FAACExe in the "
        "configuration file)";
    return kConvertAacStart;
  }

  HENCODE StartEncoder(const EncodeSource& source) override {
    const EncodeRequest& request = source.request;
    const std::string command =
        AacCommandLine(request.faacPath, request.value, request.format->key, request.destination);
    return BASS_Encode_Start(source.stream, command.c_str(), kAacEncodeFlags, nullptr, nullptr);
  }

  int StartFailed(const EncodeSource&, int error, JobContext& job) override {
    job.EncoderErrorText = FormatText("Could not start the AAC encoder.  Error code was %d", error);
    return kConvertAacStart;
  }

  int Finish(PumpEnd end, JobContext& job) override {
    if (end == PumpEnd::Cancelled) {
      // A cancelled file keeps what was written, as every format does: the encoder program is
      // told that its input ends early on purpose and completes the file.
      m_encoder.StopEarly();
      return kConvertCancelled;
    }
    if (end != PumpEnd::Finished) {
      // The encoder program ends at once and leaves no file behind that looks complete.
      m_encoder.Abort();
      if (end == PumpEnd::WriteFailed && job.EncoderErrorText.empty()) {
        job.EncoderErrorText = "the AAC encoder program stopped taking data";
      }
      return CodeOfEnd(end);
    }
    // The stop also holds the data to the source's length, which the encoder program was told
    // in advance; a source that ended well short of it fails here and says so.
    if (!m_encoder.Stop()) {
      job.EncoderErrorText = audio::LastEncoderErrorText().empty()
                                 ? "the AAC encoder program could not finish the file"
                                 : audio::LastEncoderErrorText();
      return kConvertWriteFailed;
    }
    return kConvertOk;
  }
};

// WMA through the audio layer's WMA encoder.
class WmaEncoder final : public FileEncoder {
 public:
  int Start(const EncodeSource& source, JobContext& job) override {
    const int kbps = source.request.value;
    const DWORD bitrate = kbps > 0 ? static_cast<DWORD>(kbps) * 1000 : 0;
    m_file.Set(BASS_WMA_EncodeOpenFile(source.info.freq, source.info.chans, kWmaEncodeFlags,
                                       bitrate, source.request.destination.c_str()));
    if (m_file.get()) return kConvertOk;
    const int error = BASS_ErrorGetCode();
    job.EncoderErrorText =
        error == 0 ? "Could not start the WMA encoder.  One possible solution is to try a "
                     "different Bitrate."
                   : StartFailureText("WMA encoder", error);
    return kConvertWmaStart;
  }

  bool Put(float* samples, size_t count, double gain, JobContext& job) override {
    ApplyFloatGain(samples, count, gain);
    const auto bytes = static_cast<DWORD>(count * sizeof(float));
    if (BASS_WMA_EncodeWrite(m_file.get(), samples, bytes) == 1) return true;
    NoteEncoderDetail(job);
    return false;
  }

  int Finish(PumpEnd end, JobContext& job) override {
    return CodeAfterCompletion(end, false, job, [this] { return m_file.Close(); });
  }

 private:
  WmaFile m_file;
};

// FLAC, Opus or Ogg Vorbis through the audio layer's FFmpeg file encoders.
class XiphEncoder final : public AttachedEncoder {
 public:
  explicit XiphEncoder(DWORD codec) { m_format.codec = codec; }

  int Check(const EncodeSource& source, JobContext& job) override {
    const int value = source.request.value;
    if (!source.request.format->isFlacLevel()) {
      m_format.bitrate = value > 0 ? static_cast<DWORD>(value) * 1000 : 0;
      return kConvertOk;
    }
    if (value < 0 || value > kLastFlacLevel) {
      job.EncoderErrorText = FormatText(
          "An unsupported compression level is being used (%d) - FLAC files are written at "
          "the levels 0 to 8",
          value);
      return kConvertEncoderStart;
    }
    m_format.level = value;
    return kConvertOk;
  }

  HENCODE StartEncoder(const EncodeSource& source) override {
    return QV_Encode_StartFile(source.stream, &m_format, kFileEncodeFlags,
                               source.request.destination.c_str());
  }

  int StartFailed(const EncodeSource& source, int error, JobContext& job) override {
    if (error == BASS_ERROR_CREATE && !audio::LastEncoderErrorText().empty()) {
      job.EncoderErrorText = audio::LastEncoderErrorText();
      return kConvertCannotCreate;
    }
    const OutputFormat& format = *source.request.format;
    job.EncoderErrorText = error != BASS_ERROR_NOTAVAIL
                               ? StartFailureText(std::string(format.codecName) + " encoder", error)
                               : NotAvailableText(source);
    return kConvertEncoderStart;
  }

  int Finish(PumpEnd end, JobContext& job) override {
    // Also after a cancel: the file is finished with what was written, so it plays.
    return CodeAfterCompletion(end, true, job, [this] { return m_encoder.Stop(); });
  }

 private:
  // Why the encoder does not take this source: its rate and channels, and for a bitrate the
  // listed bitrates it does take.
  std::string NotAvailableText(const EncodeSource& source) const {
    const OutputFormat& format = *source.request.format;
    const int rate = static_cast<int>(source.info.freq);
    const int channels = static_cast<int>(source.info.chans);
    if (format.isFlacLevel()) {
      return FormatText("Could not start the FLAC encoder for this source (%d Hz, %d channels)",
                        rate, channels);
    }
    return FormatText(
        "Could not start the %s encoder at %d kbps for this source (%d Hz, %d channels).  %s",
        format.codecName, source.request.value, rate, channels,
        OtherBitratesText(format, m_format, source.info).c_str());
  }

  QV_ENCODEFORMAT m_format;
};

}  // namespace

std::unique_ptr<FileEncoder> MakeWavEncoder() { return std::make_unique<WavEncoder>(); }
std::unique_ptr<FileEncoder> MakeMp3Encoder() { return std::make_unique<Mp3Encoder>(); }
std::unique_ptr<FileEncoder> MakeAacEncoder() { return std::make_unique<AacEncoder>(); }
std::unique_ptr<FileEncoder> MakeWmaEncoder() { return std::make_unique<WmaEncoder>(); }
std::unique_ptr<FileEncoder> MakeFlacEncoder() {
  return std::make_unique<XiphEncoder>(QV_ENCODE_FLAC);
}
std::unique_ptr<FileEncoder> MakeOpusEncoder() {
  return std::make_unique<XiphEncoder>(QV_ENCODE_OPUS);
}
std::unique_ptr<FileEncoder> MakeVorbisEncoder() {
  return std::make_unique<XiphEncoder>(QV_ENCODE_VORBIS);
}

int EncodeFile(const EncodeRequest& request, JobContext& job) {
  if (SamePathIgnoringCase(request.source, request.destination)) return kConvertSamePath;
  const OwnedStream stream(OpenFloatDecoder(request.source));
  if (!stream) return kConvertCannotOpenSource;
  BASS_CHANNELINFO info{};
  if (!GetInfo(stream.get(), info)) return kConvertCannotOpenSource;
  StartProgress(stream.get(), job);
  const OutputFormat& format = *request.format;
  // Declared after the stream: the encoder is done with before the stream is freed.
  const std::unique_ptr<FileEncoder> encoder = format.makeEncoder();
  const EncodeSource source{request, stream.get(), info};
  if (const int code = encoder->Check(source, job); code != kConvertOk) return code;
  ReuseEmptyDestination(request.destination);
  if (const int code = encoder->Start(source, job); code != kConvertOk) return code;
  if (format.highestRate > 0) NoteRateAtMost(info, format.codecName, format.highestRate, job);
  std::vector<float> block = OneSecondBlock(info);
  const PumpEnd end = PumpBlocks(stream.get(), block, job, [&](float* samples, size_t count) {
    return encoder->Put(samples, count, request.gain, job);
  });
  return encoder->Finish(end, job);
}

int ConvertFile(const std::string& source, const std::string& destination, double gain,
                const std::string& formatKey, int kbps, const std::string& faacPath,
                JobContext& job) {
  job.EncoderErrorText.clear();
  job.LogNote.clear();
  job.ProcessedSeconds = 0;
  job.SourceDuration = 0;
  if (!std::isfinite(gain)) gain = 1.0;
  const OutputFormat* format = FindOutputFormat(formatKey);
  if (!format) return kConvertUnknownFormat;
  return EncodeFile({source, destination, gain, format, kbps, faacPath}, job);
}

}  // namespace qv
