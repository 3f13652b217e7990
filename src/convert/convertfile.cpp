#include "convert/convertfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <vector>

#include "app/filedescriptor.h"
#include "app/paths.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "audio/encoder.h"
#include "audio/mp3rates.h"
#include "audio/outputrates.h"
#include "audio/ownedstream.h"
#include "audio/speakers.h"
#include "convert/fileencoder.h"
#include "convert/formats.h"
#include "convert/pcmquantizer.h"

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
// The bytes of a WAV header for one or two channels and for more (WAVE_FORMAT_EXTENSIBLE).
constexpr size_t kWavHeaderSize = 44;
constexpr size_t kExtensibleWavHeaderSize = 68;
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
// job.LogNote), a read error, or damaged data that stopped decoding or cost too much (described
// in `damage`).
PumpEnd JudgeEnd(HSTREAM stream, JobContext& job, std::string& damage) {
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
    damage = verdict.text;
    return PumpEnd::Damaged;
  }
  if (!verdict.text.empty()) {
    job.LogNote += (job.LogNote.empty() ? "" : "\n\n") + verdict.text;
  }
  return PumpEnd::Finished;
}

// The system's error number of a read error that ended the stream's decoding (EIO when it
// gave none).
int ReadErrorOf(HSTREAM stream) {
  audio::DecodeReport report;
  return QV_ChannelGetDecodeReport(stream, &report) && report.systemError != 0
             ? report.systemError
             : EIO;
}

// The decode loop every encoder shares: one-second blocks of interleaved floats from `stream`
// to `put` (which applies the gain and writes; false when it could not), progress after every
// block, and the cancel flag right after the progress. Damaged data is described in `damage`.
template <typename Put>
PumpEnd PumpBlocks(HSTREAM stream, std::vector<float>& block, JobContext& job,
                   std::string& damage, Put put) {
  const DWORD bytes = static_cast<DWORD>(block.size() * sizeof(float));
  while (true) {
    const DWORD got = BASS_ChannelGetData(stream, block.data(), bytes);
    if (got == kEndOfData || got == 0) return JudgeEnd(stream, job, damage);
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

// The speakers the source's channels name (AV_CH_* bits); 0 when it names none.
std::uint64_t SourceSpeakers(HSTREAM stream) {
  QV_SOURCEINFO source;
  return QV_ChannelGetSourceInfo(stream, &source) ? source.channelMask : 0;
}

// Adds a paragraph to the file's log record.
void AddLogNote(JobContext& job, const std::string& text) {
  job.LogNote += (job.LogNote.empty() ? "" : "\n\n") + text;
}

// The log record of a source whose channels the format cannot hold: they are mixed down to
// stereo.
void NoteMixedDown(const BASS_CHANNELINFO& info, const OutputFormat& format, JobContext& job) {
  if (static_cast<int>(info.chans) <= format.maxChannels) return;
  AddLogNote(job, FormatText("The source's %d channels were mixed down to 2: %s files hold at "
                             "most %d channels.",
                             static_cast<int>(info.chans), format.codecName, format.maxChannels));
}

bool GetInfo(HSTREAM stream, BASS_CHANNELINFO& info) {
  return BASS_ChannelGetInfo(stream, &info) && info.freq > 0 && info.chans > 0;
}

// A write or completion that failed, with the encoder's own complaint when it made one.
ConvertResult EncoderWriteFailure() {
  return {ConvertCode::WriteFailed, 0, audio::LastEncoderErrorText()};
}

// Applies the gain to a block of float samples and hands it to `write` (its bytes); false,
// with the encoder's failure in `failure`, when the encoder did not take it.
template <typename Write>
bool PutWithGain(float* samples, size_t count, double gain, ConvertResult& failure,
                 Write write) {
  ApplyFloatGain(samples, count, gain);
  if (write(samples, static_cast<DWORD>(count * sizeof(float)))) return true;
  failure = EncoderWriteFailure();
  return false;
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
    format.bitrate = static_cast<DWORD>(BitsPerSecondFor(kbps, static_cast<int>(info.chans)));
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

FailureCause CauseOfCode(ConvertCode code) {
  using enum ConvertCode;
  switch (code) {
    case Ok:
    case Skipped:
    case Cancelled: return FailureCause::None;
    case ReadError: return FailureCause::ReadError;
    case Damaged: return FailureCause::DamagedData;
    case Mp3Setup:
    case AacStart:
    case WmaStart:
    case EncoderStart: return FailureCause::Encoder;
    case CannotCreate:
    case WriteFailed:
    case WavTooLarge: return FailureCause::Write;
    case TagsFailed: return FailureCause::Tags;
    case NamesTaken: return FailureCause::Naming;
    case NotMeasured: return FailureCause::NotMeasured;
    default: return FailureCause::Source;
  }
}

namespace {

// A failure's reason: the encoder's or library's text, else the system error's text.
std::string ReasonOf(const ConvertResult& result) {
  if (!result.detail.empty() || result.systemError == 0) return result.detail;
  return std::strerror(result.systemError);
}

// "<text> - <guess>" for a create or write failure. The old texts guess the cause ("permissions
// problem", "disk full"); they stand (with the reason after them) when there is no reason or it
// is one of the `guessed` system errors, and give way to the reason itself when it is not.
std::string GuessedCauseText(const std::string& text, const char* guess,
                             const std::string& reason, std::initializer_list<int> guessed) {
  bool agrees = reason.empty();
  for (const int error : guessed) agrees = agrees || reason == std::strerror(error);
  if (!agrees) return text + " - " + reason;
  return text + " - " + guess + (reason.empty() ? "" : " (" + reason + ")");
}

}  // namespace

std::string ConversionErrorText(const ConvertResult& result) {
  const std::string reason = ReasonOf(result);
  using enum ConvertCode;
  switch (result.code) {
    case SamePath: return "The source file is the same as the destination file";
    case UnknownFormat: return "Unknown output file format";
    case CannotOpenSource:
      return reason.empty() ? "Can't open source file" : "Can't open source file - " + reason;
    case CannotCreate:
      return GuessedCauseText("Could not create the destination file", "permissions problem",
                              reason, {EACCES, EPERM, EROFS});
    case WriteFailed:
      return GuessedCauseText("Could not write to the destination file", "disk full", reason,
                              {ENOSPC, EDQUOT});
    case Mp3Setup:
    case AacStart:
    case WmaStart:
    case EncoderStart:
    case Damaged:
    case TagsFailed:
    case WavTooLarge: return reason;
    case NotMeasured:
      return "The file has no loudness measurement, so it cannot be normalized; it was not "
             "converted.  Measure it first (Calculate Loudness), or convert it without "
             "normalization";
    case ReadError:
      return std::string("Could not read the source file - read error") +
             (result.systemError != 0 ? FormatText(" (%s)", std::strerror(result.systemError))
                                      : "");
    case NamesTaken:
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

void ApplyFloatGain(float* samples, size_t count, double gain) {
  const auto g = static_cast<float>(gain);
  for (size_t i = 0; i < count; ++i) {
    // Not a NaN nor an infinity: the sample times the gain, beyond full scale or not.
    const bool finite = std::fabs(samples[i]) <= std::numeric_limits<float>::max();
    samples[i] = finite ? g * samples[i] : 0.0f;
  }
}

std::string WavHeader(int rate, int channels, std::uint64_t speakers) {
  std::string header;
  const auto put = [&header](std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) header.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  };
  // More than two channels need WAVE_FORMAT_EXTENSIBLE to name their speakers; one or two keep
  // the plain header every reader knows.
  const bool extensible = channels > 2;
  const auto blockAlign = static_cast<std::uint32_t>(16 * channels / 8);
  header += "RIFF";
  put(0, 4);
  header += "WAVEfmt ";
  put(extensible ? 40 : 16, 4);
  put(extensible ? 0xFFFE : 1, 2);  // WAVE_FORMAT_EXTENSIBLE or PCM
  put(static_cast<std::uint32_t>(channels), 2);
  put(static_cast<std::uint32_t>(rate), 4);
  put(blockAlign * static_cast<std::uint32_t>(rate), 4);
  put(blockAlign, 2);
  put(16, 2);
  if (extensible) {
    put(22, 2);  // the extension's size
    put(16, 2);  // valid bits
    // The low 18 bits of FFmpeg's speaker bits are the WAV channel mask's.
    put(static_cast<std::uint32_t>(audio::SpeakersOf(channels, speakers) & 0x3FFFF), 4);
    // KSDATAFORMAT_SUBTYPE_PCM: 00000001-0000-0010-8000-00aa00389b71.
    static constexpr unsigned char kPcmGuid[16] = {1, 0, 0,    0, 0,    0,    0x10, 0,
                                                   0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    header.append(reinterpret_cast<const char*>(kPcmGuid), sizeof kPcmGuid);
  }
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

ConvertCode CodeOfEnd(PumpEnd end) {
  switch (end) {
    case PumpEnd::Finished: return ConvertCode::Ok;
    case PumpEnd::Cancelled: return ConvertCode::Cancelled;
    case PumpEnd::WriteFailed: return ConvertCode::WriteFailed;
    case PumpEnd::ReadFailed: return ConvertCode::ReadError;
    case PumpEnd::Damaged: return ConvertCode::Damaged;
  }
  return ConvertCode::WriteFailed;
}

namespace {

// "Could not start the <what>.  Error code was <error>", with the encoder's own detail when it
// gave one.
std::string StartFailureText(const std::string& what, int error) {
  std::string text = FormatText("Could not start the %s.  Error code was %d", what.c_str(), error);
  if (!audio::LastEncoderErrorText().empty()) text += " (" + audio::LastEncoderErrorText() + ")";
  return text;
}

// The result of an encoder's file after the loop. A failed write stands as it is
// (`putFailure`); otherwise `complete` completes the encoder (true when that worked). An
// unreadable or damaged source then gives its own code, so does a cancel unless a cancelled
// file must be complete too (`cancelNeedsCompletion`); else a failed completion is a failed
// write.
template <typename Complete>
ConvertResult ResultAfterCompletion(PumpEnd end, bool cancelNeedsCompletion,
                                    const ConvertResult& putFailure, Complete complete) {
  if (end == PumpEnd::WriteFailed) return putFailure;
  const bool completed = complete();
  if (end == PumpEnd::ReadFailed || end == PumpEnd::Damaged) return {CodeOfEnd(end)};
  if (end == PumpEnd::Cancelled && !cancelNeedsCompletion) return {ConvertCode::Cancelled};
  if (!completed) return EncoderWriteFailure();
  return {CodeOfEnd(end)};
}

std::string WavTooLargeText(std::uint64_t bytes) {
  return FormatText(
      "The WAV file would hold %.2f GiB, more than the 4 GiB a WAV file can hold.  Please "
      "choose another Output Format for this file (MP3, M4A or WMA)",
      static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
}

// 16-bit PCM at the source's rate and channels, written by us: an 8- or 16-bit source at gain
// 1.0 sample for sample, anything else dithered (convert/pcmquantizer.h).
class WavEncoder final : public FileEncoder {
 public:
  // A WAV file's sizes are 32-bit: an output that would pass them fails before it is written
  // (when the length is known) or as soon as it would (when it is not).
  ConvertResult Check(const EncodeSource& source, JobContext&) override {
    const QWORD floatBytes = BASS_ChannelGetLength(source.stream, BASS_POS_BYTE);
    if (floatBytes == static_cast<QWORD>(-1)) return {};
    const std::uint64_t frameBytes = 2u * source.info.chans;
    const std::uint64_t bytes =
        (source.info.chans > 2 ? kExtensibleWavHeaderSize : kWavHeaderSize) +
        floatBytes / (4u * source.info.chans) * frameBytes;
    if (bytes <= kMaxWavBytes) return {};
    return {ConvertCode::WavTooLarge, 0, WavTooLargeText(bytes)};
  }

  ConvertResult Start(const EncodeSource& source) override {
    m_quantizer = PcmQuantizer(16, static_cast<int>(source.info.origres), source.request.gain);
    // Created exclusively: a file, link or folder that has the name is never replaced.
    m_file = FileDescriptor(CreateOutputFile(source.request.destination));
    if (m_file.Get() < 0) return {ConvertCode::CannotCreate, errno};
    const std::string header = WavHeader(static_cast<int>(source.info.freq),
                                         static_cast<int>(source.info.chans),
                                         SourceSpeakers(source.stream));
    if (!WriteAll(m_file.Get(), header.data(), header.size())) {
      return {ConvertCode::WriteFailed, errno};
    }
    m_headerSize = header.size();
    m_written = m_headerSize;
    return {};
  }

  // The gain is the request's, which the quantizer holds.
  bool Put(float* samples, size_t count, double) override {
    m_pcm.resize(count);
    m_quantizer.ToInt16(samples, count, m_pcm.data());
    m_written += count * sizeof(std::int16_t);
    if (m_written > kMaxWavBytes) {
      m_putFailure = {ConvertCode::WavTooLarge, 0, WavTooLargeText(m_written)};
      return false;
    }
    if (WriteAll(m_file.Get(), m_pcm.data(), count * sizeof(std::int16_t))) return true;
    m_putFailure = {ConvertCode::WriteFailed, errno};
    return false;
  }

  ConvertResult Finish(PumpEnd end) override {
    // A failed file keeps its zero sizes, so it does not pass for a complete one.
    if (end == PumpEnd::WriteFailed) return m_putFailure;
    if (end != PumpEnd::Finished && end != PumpEnd::Cancelled) return {CodeOfEnd(end)};
    // The sizes, also after a cancel: the file then holds the blocks written so far.
    const int fd = m_file.Get();
    struct stat st {};
    if (::fstat(fd, &st) != 0 ||
        !WriteLe32At(fd, static_cast<std::uint64_t>(st.st_size) - 8, 4) ||
        !WriteLe32At(fd, static_cast<std::uint64_t>(st.st_size) - m_headerSize,
                     static_cast<off_t>(m_headerSize - 4)) ||
        !m_file.Close()) {
      return {ConvertCode::WriteFailed, errno};
    }
    return {CodeOfEnd(end)};
  }

  std::string ClippingNote() const override { return m_quantizer.ClippingNote("WAV"); }

 private:
  FileDescriptor m_file;
  PcmQuantizer m_quantizer{16, 0, 1.0};
  std::vector<std::int16_t> m_pcm;
  std::uint64_t m_headerSize = kWavHeaderSize;
  std::uint64_t m_written = kWavHeaderSize;
};

// An encoder attached to the source's channel (MP3, AAC, FLAC, Opus, Vorbis): every block,
// with the gain applied, goes to it through BASS_Encode_Write.
class AttachedEncoder : public FileEncoder {
 public:
  ConvertResult Start(const EncodeSource& source) final {
    m_encoder.Set(StartEncoder(source));
    if (m_encoder.get()) return {};
    return StartFailed(source, BASS_ErrorGetCode());
  }

  bool Put(float* samples, size_t count, double gain) override {
    ApplyFloatGain(samples, count, gain);
    return Write(samples, count);
  }

 protected:
  // Hands a block to the encoder; false, with the encoder's failure in m_putFailure, when it
  // did not take it.
  bool Write(const float* samples, size_t count) {
    if (BASS_Encode_Write(m_encoder.get(), samples, static_cast<DWORD>(count * sizeof(float)))) {
      return true;
    }
    m_putFailure = EncoderWriteFailure();
    return false;
  }

  // Attaches the encoder to the source's channel; 0 when it does not start.
  virtual HENCODE StartEncoder(const EncodeSource& source) = 0;
  // Why the encoder did not start (BASS's `error`): the failure with its detail.
  virtual ConvertResult StartFailed(const EncodeSource& source, int error) = 0;

  ChannelEncoder m_encoder;
};

// MP3 through the audio layer's LAME encoder.
class Mp3Encoder final : public AttachedEncoder {
 public:
  ConvertResult Check(const EncodeSource& source, JobContext& job) override {
    const int kbps = source.request.value;
    if (FindMp3BitrateRow(kbps) < 0) {
      return {ConvertCode::Mp3Setup, 0,
              FormatText("An unsupported bitrate is being used (%d) - the MP3 encoder only "
                         "supports: 320, 256, 224, 192, 160, 128, 112, and 96 Kbps",
                         kbps)};
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
    m_record = Mp3FormatRecord(kbps, rate, static_cast<int>(source.info.chans));
    return {};
  }

  HENCODE StartEncoder(const EncodeSource& source) override {
    return BASS_Encode_StartACMFile(source.stream, &m_record, kMp3EncodeFlags,
                                    source.request.destination.c_str());
  }

  ConvertResult StartFailed(const EncodeSource& source, int error) override {
    if (error != BASS_ERROR_NOTAVAIL) {
      return {ConvertCode::Mp3Setup, 0, StartFailureText("encoder", error)};
    }
    return {ConvertCode::Mp3Setup, 0,
            FormatText("The MP3 encoder could not be set up for the source Audio file (%d Hz, "
                       "%d channels at %d kbps).",
                       static_cast<int>(source.info.freq), static_cast<int>(source.info.chans),
                       source.request.value)};
  }

  ConvertResult Finish(PumpEnd end) override {
    return ResultAfterCompletion(end, false, m_putFailure, [this] { return m_encoder.Stop(); });
  }

 private:
  MPEGLAYER3WAVEFORMAT m_record{};
};

// AAC (raw, in ADTS frames) or AAC in an MP4 container, by the encoder program fed through a
// pipe.
class AacEncoder final : public AttachedEncoder {
 public:
  ConvertResult Check(const EncodeSource& source, JobContext&) override {
    if (!source.request.faacPath.empty()) return {};
    return {ConvertCode::AacStart, 0,
            "Could not start the AAC encoder.  No encoder program is set (FAACExe in the "
            "configuration file)"};
  }

  HENCODE StartEncoder(const EncodeSource& source) override {
    // The encoder program names its finished file without replacing anything.
    ReuseEmptyDestination(source.request.destination);
    const EncodeRequest& request = source.request;
    const std::string command =
        AacCommandLine(request.faacPath, request.value, request.format->key, request.destination);
    return BASS_Encode_Start(source.stream, command.c_str(), kAacEncodeFlags, nullptr, nullptr);
  }

  ConvertResult StartFailed(const EncodeSource&, int error) override {
    return {ConvertCode::AacStart, 0,
            FormatText("Could not start the AAC encoder.  Error code was %d", error)};
  }

  // The encoder program's AAC encoder takes floats, but distorts those beyond full scale worse
  // than clipping them does: they are clipped here, and counted.
  bool Put(float* samples, size_t count, double gain) override {
    m_clipped += ClipToFullScale(samples, count, gain);
    m_gained = gain != 1.0;
    return Write(samples, count);
  }

  std::string ClippingNote() const override {
    if (m_clipped == 0) return {};
    return ClippedSamplesNote(m_clipped, m_gained, "the AAC encoder cannot take");
  }

  ConvertResult Finish(PumpEnd end) override {
    if (end == PumpEnd::Cancelled) {
      // A cancelled file keeps what was written, as every format does: the encoder program is
      // told that its input ends early on purpose and completes the file.
      m_encoder.StopEarly();
      return {ConvertCode::Cancelled};
    }
    if (end != PumpEnd::Finished) {
      // The encoder program ends at once and leaves no file behind that looks complete.
      m_encoder.Abort();
      if (end != PumpEnd::WriteFailed) return {CodeOfEnd(end)};
      return Explained(m_putFailure, "the AAC encoder program stopped taking data");
    }
    // The stop also holds the data to the source's length, which the encoder program was told
    // in advance; a source that ended well short of it fails here and says so.
    if (!m_encoder.Stop()) {
      return Explained(EncoderWriteFailure(), "the AAC encoder program could not finish the file");
    }
    return {};
  }

 private:
  std::uint64_t m_clipped = 0;
  bool m_gained = false;
  // `failure`, with `otherwise` as its detail when the encoder program gave none.
  static ConvertResult Explained(ConvertResult failure, const char* otherwise) {
    if (failure.detail.empty()) failure.detail = otherwise;
    return failure;
  }
};

// WMA through the audio layer's WMA encoder.
class WmaEncoder final : public FileEncoder {
 public:
  ConvertResult Start(const EncodeSource& source) override {
    const int kbps = source.request.value;
    const DWORD bitrate = kbps > 0 ? static_cast<DWORD>(kbps) * 1000 : 0;
    m_file.Set(QV_WMA_EncodeOpenFileSpeakers(source.info.freq, source.info.chans,
                                             SourceSpeakers(source.stream), kWmaEncodeFlags,
                                             bitrate, source.request.destination.c_str()));
    if (m_file.get()) return {};
    const int error = BASS_ErrorGetCode();
    return {ConvertCode::WmaStart, 0,
            error == 0 ? "Could not start the WMA encoder.  One possible solution is to try a "
                         "different Bitrate."
                       : StartFailureText("WMA encoder", error)};
  }

  bool Put(float* samples, size_t count, double gain) override {
    return PutWithGain(samples, count, gain, m_putFailure, [this](float* data, DWORD bytes) {
      return BASS_WMA_EncodeWrite(m_file.get(), data, bytes) == 1;
    });
  }

  ConvertResult Finish(PumpEnd end) override {
    return ResultAfterCompletion(end, false, m_putFailure, [this] { return m_file.Close(); });
  }

 private:
  WmaFile m_file;
};

// FLAC, Opus or Ogg Vorbis through the audio layer's FFmpeg file encoders. Opus and Vorbis take
// the floats whole; FLAC gets them on its integer steps (convert/pcmquantizer.h): 24 bits for a
// source of more than 16 integer bits or of floating-point samples, else 16.
class XiphEncoder final : public AttachedEncoder {
 public:
  explicit XiphEncoder(DWORD codec) { m_format.codec = codec; }

  ConvertResult Check(const EncodeSource& source, JobContext&) override {
    const int value = source.request.value;
    if (!source.request.format->isFlacLevel()) {
      m_format.bitrate = value > 0 ? static_cast<DWORD>(BitsPerSecondFor(
                                         value, static_cast<int>(source.info.chans)))
                                   : 0;
      return {};
    }
    if (value < 0 || value > kLastFlacLevel) {
      return {ConvertCode::EncoderStart, 0,
              FormatText("An unsupported compression level is being used (%d) - FLAC files "
                         "are written at the levels 0 to 8",
                         value)};
    }
    m_format.level = value;
    const int sourceBits = static_cast<int>(source.info.origres);
    QV_SOURCEINFO facts{};
    const bool floating = QV_ChannelGetSourceInfo(source.stream, &facts) && facts.floating;
    m_format.bits = sourceBits > 16 || floating ? 24 : 16;
    m_quantizer.emplace(static_cast<int>(m_format.bits), sourceBits, source.request.gain);
    return {};
  }

  bool Put(float* samples, size_t count, double gain) override {
    if (!m_quantizer) return AttachedEncoder::Put(samples, count, gain);
    m_quantizer->ToSteps(samples, count);
    return Write(samples, count);
  }

  std::string ClippingNote() const override {
    return m_quantizer ? m_quantizer->ClippingNote("FLAC") : std::string();
  }

  HENCODE StartEncoder(const EncodeSource& source) override {
    return QV_Encode_StartFile(source.stream, &m_format, kFileEncodeFlags,
                               source.request.destination.c_str());
  }

  ConvertResult StartFailed(const EncodeSource& source, int error) override {
    if (error == BASS_ERROR_CREATE && !audio::LastEncoderErrorText().empty()) {
      return {ConvertCode::CannotCreate, 0, audio::LastEncoderErrorText()};
    }
    const OutputFormat& format = *source.request.format;
    return {ConvertCode::EncoderStart, 0,
            error != BASS_ERROR_NOTAVAIL
                ? StartFailureText(std::string(format.codecName) + " encoder", error)
                : NotAvailableText(source)};
  }

  ConvertResult Finish(PumpEnd end) override {
    // Also after a cancel: the file is finished with what was written, so it plays.
    return ResultAfterCompletion(end, true, m_putFailure, [this] { return m_encoder.Stop(); });
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
  std::optional<PcmQuantizer> m_quantizer;  // FLAC's
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

ConvertResult EncodeFile(const EncodeRequest& request, JobContext& job) {
  if (SamePathIgnoringCase(request.source, request.destination)) return {ConvertCode::SamePath};
  const OwnedStream stream(OpenFloatDecoder(request.source, request.range, request.known));
  BASS_CHANNELINFO info{};
  if (!stream || !GetInfo(stream.get(), info)) {
    return {ConvertCode::CannotOpenSource, 0, stream ? "" : QV_OpenFailureText()};
  }
  if (request.sourceMetadata) {
    QV_ChannelGetContainerMetadata(stream.get(), audio::kMaxCoverBytes, request.sourceMetadata);
  }
  StartProgress(stream.get(), job);
  const OutputFormat& format = *request.format;
  // Declared after the stream: the encoder is done with before the stream is freed.
  const std::unique_ptr<FileEncoder> encoder = format.makeEncoder();
  const EncodeSource source{request, stream.get(), info};
  if (ConvertResult checked = encoder->Check(source, job); !checked.ok()) return checked;
  if (ConvertResult started = encoder->Start(source); !started.ok()) return started;
  if (format.highestRate > 0) NoteRateAtMost(info, format.codecName, format.highestRate, job);
  NoteMixedDown(info, format, job);
  std::vector<float> block = OneSecondBlock(info);
  std::string damage;
  const PumpEnd end =
      PumpBlocks(stream.get(), block, job, damage, [&](float* samples, size_t count) {
        return encoder->Put(samples, count, request.gain);
      });
  ConvertResult result = encoder->Finish(end);
  if (result.code == ConvertCode::Damaged) result.detail = damage;
  if (const std::string clipped = encoder->ClippingNote(); !clipped.empty()) {
    job.LogNote += (job.LogNote.empty() ? "" : "\n\n") + clipped;
  }
  if (result.code == ConvertCode::ReadError) result.systemError = ReadErrorOf(stream.get());
  return result;
}

ConvertResult ConvertFile(const std::string& source, const std::string& destination,
                          double gain, const std::string& formatKey, int kbps,
                          const std::string& faacPath, JobContext& job,
                          const audio::FrameRange& range,
                          audio::ContainerMetadata* sourceMetadata, audio::KnownLength known) {
  job.LogNote.clear();
  job.ProcessedSeconds = 0;
  job.SourceDuration = 0;
  if (!std::isfinite(gain)) gain = 1.0;
  const OutputFormat* format = FindOutputFormat(formatKey);
  if (!format) return {ConvertCode::UnknownFormat};
  return EncodeFile(
      {source, destination, gain, format, kbps, faacPath, range, sourceMetadata, known}, job);
}

}  // namespace qv
