#include "convert/convertfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "app/paths.h"
#include "app/showmessage.h"
#include "audio/bass.h"
#include "audio/encoder.h"
#include "audio/mp3rates.h"
#include "audio/outputrates.h"
#include "audio/ownedstream.h"
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
constexpr int kFirstFlacLevel = 0;
constexpr int kLastFlacLevel = 8;
constexpr size_t kWavHeaderSize = 44;
constexpr std::uint64_t kMaxWavBytes = 0xFFFFFFFFu;

// Owns an encoder attached to a channel. Left alone it is stopped (the output completed); a
// cancelled or failed AAC encoder is aborted instead, so its child ends at once.
class ChannelEncoder {
 public:
  explicit ChannelEncoder(HENCODE handle) : m_handle(handle) {}
  ~ChannelEncoder() {
    if (m_handle) BASS_Encode_Stop(m_handle);
  }
  ChannelEncoder(const ChannelEncoder&) = delete;
  ChannelEncoder& operator=(const ChannelEncoder&) = delete;
  HENCODE get() const { return m_handle; }
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
  HENCODE m_handle;
};

// Owns a WMA file encoder; left alone it is closed (the file completed).
class WmaFile {
 public:
  explicit WmaFile(HWMENCODE handle) : m_handle(handle) {}
  ~WmaFile() { Close(); }
  WmaFile(const WmaFile&) = delete;
  WmaFile& operator=(const WmaFile&) = delete;
  HWMENCODE get() const { return m_handle; }
  bool Close() {
    const HWMENCODE handle = m_handle;
    m_handle = 0;
    return handle && BASS_WMA_EncodeClose(handle) != 0;
  }

 private:
  HWMENCODE m_handle;
};

// Owns a file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : m_fd(fd) {}
  ~FileDescriptor() {
    if (m_fd >= 0) ::close(m_fd);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return m_fd; }
  // Closes it; false (errno set) when the close reports a failure of delayed writes.
  bool Close() {
    const int fd = m_fd;
    m_fd = -1;
    return fd >= 0 && ::close(fd) == 0;
  }

 private:
  int m_fd;
};

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    bytes += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

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

enum class PumpEnd { Finished, Cancelled, WriteFailed, ReadFailed, Damaged };

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

// The decode loop of the encoders attached to the channel (MP3, FLAC, Opus, Vorbis): every
// block with the gain applied into `encoder`, the encoder's detail kept when a write fails.
PumpEnd PumpIntoEncoder(HSTREAM stream, const BASS_CHANNELINFO& info, double gain,
                        HENCODE encoder, JobContext& job);

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
std::string OtherBitratesText(const std::string& key, QV_ENCODEFORMAT format,
                              const BASS_CHANNELINFO& info) {
  std::vector<int> usable;
  for (const int kbps : BitratesForFormat(key).kbps) {
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
  if (key != "aac") command += " -w";
  command += " -o " + ShellQuote(destination) + " -";
  return command;
}

int WriteWavFile(const std::string& source, const std::string& destination, double gain,
                 JobContext& job) {
  if (SamePathIgnoringCase(source, destination)) return kConvertSamePath;
  const OwnedStream stream(OpenFloatDecoder(source));
  if (!stream) return kConvertCannotOpenSource;
  BASS_CHANNELINFO info{};
  if (!GetInfo(stream.get(), info)) return kConvertCannotOpenSource;
  // A WAV file's sizes are 32-bit: an output that would pass them fails before it is written
  // (when the length is known) or as soon as it would (when it is not).
  const std::uint64_t frameBytes = 2u * info.chans;
  const QWORD floatBytes = BASS_ChannelGetLength(stream.get(), BASS_POS_BYTE);
  const auto tooLargeText = [&](std::uint64_t bytes) {
    return FormatText(
        "The WAV file would hold %.2f GiB, more than the 4 GiB a WAV file can hold.  Please "
        "choose another Output Format for this file (MP3, M4A or WMA)",
        static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
  };
  if (floatBytes != static_cast<QWORD>(-1)) {
    const std::uint64_t bytes = kWavHeaderSize + floatBytes / (4u * info.chans) * frameBytes;
    if (bytes > kMaxWavBytes) {
      job.EncoderErrorText = tooLargeText(bytes);
      return kConvertWavTooLarge;
    }
  }
  ReuseEmptyDestination(destination);
  // Created exclusively: a file, link or folder that has the name is never replaced.
  FileDescriptor file(::open(destination.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (file.get() < 0) {
    job.EncoderErrorText = std::strerror(errno);
    return kConvertCannotCreate;
  }
  StartProgress(stream.get(), job);
  std::uint64_t written = kWavHeaderSize;
  bool tooLarge = false;
  const std::string header = WavHeader(static_cast<int>(info.freq), static_cast<int>(info.chans));
  if (!WriteAll(file.get(), header.data(), header.size())) {
    job.EncoderErrorText = std::strerror(errno);
    return kConvertWriteFailed;
  }
  std::vector<float> block = OneSecondBlock(info);
  std::vector<std::int16_t> pcm(block.size());
  const PumpEnd end = PumpBlocks(stream.get(), block, job, [&](float* samples, size_t n) {
    for (size_t i = 0; i < n; ++i) pcm[i] = PcmSampleWithGain(samples[i], gain);
    written += n * sizeof(std::int16_t);
    if (written > kMaxWavBytes) {
      tooLarge = true;
      job.EncoderErrorText = tooLargeText(written);
      return false;
    }
    if (WriteAll(file.get(), pcm.data(), n * sizeof(std::int16_t))) return true;
    job.EncoderErrorText = std::strerror(errno);
    return false;
  });
  // A failed file keeps its zero sizes, so it does not pass for a complete one.
  if (end == PumpEnd::WriteFailed) return tooLarge ? kConvertWavTooLarge : kConvertWriteFailed;
  if (end == PumpEnd::ReadFailed) return kConvertReadError;
  if (end == PumpEnd::Damaged) return kConvertDamaged;

  // The sizes, also after a cancel: the file then holds the blocks written so far.
  struct stat st {};
  if (::fstat(file.get(), &st) != 0 ||
      !WriteLe32At(file.get(), static_cast<std::uint64_t>(st.st_size) - 8, 4) ||
      !WriteLe32At(file.get(), static_cast<std::uint64_t>(st.st_size) - kWavHeaderSize, 40) ||
      !file.Close()) {
    job.EncoderErrorText = std::strerror(errno);
    return kConvertWriteFailed;
  }
  return end == PumpEnd::Cancelled ? kConvertCancelled : kConvertOk;
}

int EncodeMp3File(const std::string& source, const std::string& destination, double gain,
                  int kbps, JobContext& job) {
  if (SamePathIgnoringCase(source, destination)) return kConvertSamePath;
  const OwnedStream stream(OpenFloatDecoder(source));
  if (!stream) return kConvertCannotOpenSource;
  StartProgress(stream.get(), job);
  BASS_CHANNELINFO info{};
  if (!GetInfo(stream.get(), info)) return kConvertCannotOpenSource;
  const int row = FindMp3BitrateRow(kbps);
  if (row < 0) {
    job.EncoderErrorText = FormatText(
        "An unsupported bitrate is being used (%d) - the MP3 encoder only supports: 320, 256, "
        "224, 192, 160, 128, 112, and 96 Kbps",
        kbps);
    return kConvertMp3Setup;
  }
  // A rate an MP3 file cannot hold at this bitrate is resampled to the nearest one it can.
  const int sourceRate = static_cast<int>(info.freq);
  const int rate = audio::Mp3OutputRate(sourceRate, kbps);
  if (rate != sourceRate) {
    job.LogNote = FormatText(
        "The source's sample rate of %d Hz was resampled to %d Hz, the nearest rate an MP3 file "
        "holds at %d kbps.",
        sourceRate, rate, kbps);
  }
  const MPEGLAYER3WAVEFORMAT record = Mp3FormatRecord(kbps, rate);
  ReuseEmptyDestination(destination);
  ChannelEncoder encoder(BASS_Encode_StartACMFile(stream.get(), &record,
                                                  kMp3EncodeFlags, destination.c_str()));
  if (!encoder.get()) {
    const int error = BASS_ErrorGetCode();
    if (error == BASS_ERROR_NOTAVAIL) {
      job.EncoderErrorText = FormatText(
          "The MP3 encoder could not be set up for the source Audio file (%d Hz, %d channels "
          "at %d kbps).",
          sourceRate, static_cast<int>(info.chans), kbps);
    } else {
      job.EncoderErrorText = FormatText("Could not start the encoder.  Error code was %d", error);
      if (!audio::LastEncoderErrorText().empty()) {
        job.EncoderErrorText += " (" + audio::LastEncoderErrorText() + ")";
      }
    }
    return kConvertMp3Setup;
  }
  const PumpEnd end = PumpIntoEncoder(stream.get(), info, gain, encoder.get(), job);
  if (end == PumpEnd::WriteFailed) return kConvertWriteFailed;
  const bool finished = encoder.Stop();
  if (end == PumpEnd::ReadFailed) return kConvertReadError;
  if (end == PumpEnd::Damaged) return kConvertDamaged;
  if (end == PumpEnd::Cancelled) return kConvertCancelled;
  if (!finished) {
    NoteEncoderDetail(job);
    return kConvertWriteFailed;
  }
  return kConvertOk;
}

int EncodeAacFile(const std::string& source, const std::string& destination, double gain,
                  int kbps, const std::string& key, const std::string& faacPath, JobContext& job) {
  if (SamePathIgnoringCase(source, destination)) return kConvertSamePath;
  const OwnedStream stream(OpenFloatDecoder(source));
  if (!stream) return kConvertCannotOpenSource;
  BASS_CHANNELINFO info{};
  if (!GetInfo(stream.get(), info)) return kConvertCannotOpenSource;
  if (faacPath.empty()) {
    job.EncoderErrorText =
        "Could not start the AAC encoder.  No encoder program is set (FAACExe in the "
        "configuration file)";
    return kConvertAacStart;
  }
  ReuseEmptyDestination(destination);
  const std::string command = AacCommandLine(faacPath, kbps, key, destination);
  ChannelEncoder encoder(
      BASS_Encode_Start(stream.get(), command.c_str(), kAacEncodeFlags, nullptr, nullptr));
  if (!encoder.get()) {
    job.EncoderErrorText =
        FormatText("Could not start the AAC encoder.  Error code was %d", BASS_ErrorGetCode());
    return kConvertAacStart;
  }
  NoteRateAtMost(info, "AAC", audio::kAacHighestRate, job);
  StartProgress(stream.get(), job);
  std::vector<float> block = OneSecondBlock(info);
  const PumpEnd end = PumpBlocks(stream.get(), block, job, [&](float* samples, size_t n) {
    ApplyFloatGain(samples, n, gain);
    if (BASS_Encode_Write(encoder.get(), samples, static_cast<DWORD>(n * sizeof(float))) == 1) {
      return true;
    }
    NoteEncoderDetail(job);  // the encoder program's own complaint, when it made one
    return false;
  });
  if (end == PumpEnd::Cancelled) {
    // A cancelled file keeps what was written, as every format does: the encoder program is
    // told that its input ends early on purpose and completes the file.
    encoder.StopEarly();
    return kConvertCancelled;
  }
  if (end != PumpEnd::Finished) {
    // The encoder program ends at once and leaves no file behind that looks complete.
    encoder.Abort();
    if (end == PumpEnd::WriteFailed) {
      if (job.EncoderErrorText.empty()) {
        job.EncoderErrorText = "the AAC encoder program stopped taking data";
      }
      return kConvertWriteFailed;
    }
    if (end == PumpEnd::ReadFailed) return kConvertReadError;
    return end == PumpEnd::Damaged ? kConvertDamaged : kConvertCancelled;
  }
  // The stop also holds the data to the source's length, which the encoder program was told
  // in advance; a source that ended well short of it fails here and says so.
  if (!encoder.Stop()) {
    job.EncoderErrorText = audio::LastEncoderErrorText().empty()
                               ? "the AAC encoder program could not finish the file"
                               : audio::LastEncoderErrorText();
    return kConvertWriteFailed;
  }
  return kConvertOk;
}

int EncodeWmaFile(const std::string& source, const std::string& destination, double gain,
                  int kbps, JobContext& job) {
  if (SamePathIgnoringCase(source, destination)) return kConvertSamePath;
  const OwnedStream stream(OpenFloatDecoder(source));
  if (!stream) return kConvertCannotOpenSource;
  BASS_CHANNELINFO info{};
  if (!GetInfo(stream.get(), info)) return kConvertCannotOpenSource;
  ReuseEmptyDestination(destination);
  const DWORD bitrate = kbps > 0 ? static_cast<DWORD>(kbps) * 1000 : 0;
  WmaFile encoder(BASS_WMA_EncodeOpenFile(info.freq, info.chans, kWmaEncodeFlags, bitrate,
                                          destination.c_str()));
  if (!encoder.get()) {
    const int error = BASS_ErrorGetCode();
    if (error == 0) {
      job.EncoderErrorText =
          "Could not start the WMA encoder.  One possible solution is to try a different "
          "Bitrate.";
    } else {
      job.EncoderErrorText =
          FormatText("Could not start the WMA encoder.  Error code was %d", error);
      if (!audio::LastEncoderErrorText().empty()) {
        job.EncoderErrorText += " (" + audio::LastEncoderErrorText() + ")";
      }
    }
    return kConvertWmaStart;
  }
  NoteRateAtMost(info, "WMA", audio::kWmaHighestRate, job);
  StartProgress(stream.get(), job);
  std::vector<float> block = OneSecondBlock(info);
  const PumpEnd end = PumpBlocks(stream.get(), block, job, [&](float* samples, size_t n) {
    ApplyFloatGain(samples, n, gain);
    if (BASS_WMA_EncodeWrite(encoder.get(), samples, static_cast<DWORD>(n * sizeof(float))) == 1) {
      return true;
    }
    NoteEncoderDetail(job);
    return false;
  });
  if (end == PumpEnd::WriteFailed) return kConvertWriteFailed;
  const bool finished = encoder.Close();
  if (end == PumpEnd::ReadFailed) return kConvertReadError;
  if (end == PumpEnd::Damaged) return kConvertDamaged;
  if (end == PumpEnd::Cancelled) return kConvertCancelled;
  if (!finished) {
    NoteEncoderDetail(job);
    return kConvertWriteFailed;
  }
  return kConvertOk;
}

int EncodeXiphFile(const std::string& source, const std::string& destination, double gain,
                   const std::string& key, int value, JobContext& job) {
  if (SamePathIgnoringCase(source, destination)) return kConvertSamePath;
  const OwnedStream stream(OpenFloatDecoder(source));
  if (!stream) return kConvertCannotOpenSource;
  StartProgress(stream.get(), job);
  BASS_CHANNELINFO info{};
  if (!GetInfo(stream.get(), info)) return kConvertCannotOpenSource;
  QV_ENCODEFORMAT format;
  const char* name = "FLAC";
  if (key == "flac") {
    format.codec = QV_ENCODE_FLAC;
    if (value < kFirstFlacLevel || value > kLastFlacLevel) {
      job.EncoderErrorText = FormatText(
          "An unsupported compression level is being used (%d) - FLAC files are written at "
          "the levels 0 to 8",
          value);
      return kConvertEncoderStart;
    }
    format.level = value;
  } else {
    format.codec = key == "opus" ? QV_ENCODE_OPUS : QV_ENCODE_VORBIS;
    name = key == "opus" ? "Opus" : "Vorbis";
    format.bitrate = value > 0 ? static_cast<DWORD>(value) * 1000 : 0;
  }
  ReuseEmptyDestination(destination);
  ChannelEncoder encoder(QV_Encode_StartFile(stream.get(), &format, kFileEncodeFlags,
                                             destination.c_str()));
  if (!encoder.get()) {
    const int error = BASS_ErrorGetCode();
    if (error == BASS_ERROR_NOTAVAIL) {
      job.EncoderErrorText =
          key == "flac"
              ? FormatText("Could not start the FLAC encoder for this source (%d Hz, %d channels)",
                           static_cast<int>(info.freq), static_cast<int>(info.chans))
              : FormatText("Could not start the %s encoder at %d kbps for this source (%d Hz, %d "
                           "channels).  %s",
                           name, value, static_cast<int>(info.freq),
                           static_cast<int>(info.chans),
                           OtherBitratesText(key, format, info).c_str());
    } else if (error == BASS_ERROR_CREATE && !audio::LastEncoderErrorText().empty()) {
      job.EncoderErrorText = audio::LastEncoderErrorText();
      return kConvertCannotCreate;
    } else {
      job.EncoderErrorText =
          FormatText("Could not start the %s encoder.  Error code was %d", name, error);
      if (!audio::LastEncoderErrorText().empty()) {
        job.EncoderErrorText += " (" + audio::LastEncoderErrorText() + ")";
      }
    }
    return kConvertEncoderStart;
  }
  if (key == "ogg") NoteRateAtMost(info, "Vorbis", audio::kVorbisHighestRate, job);
  const PumpEnd end = PumpIntoEncoder(stream.get(), info, gain, encoder.get(), job);
  if (end == PumpEnd::WriteFailed) return kConvertWriteFailed;
  // Also after a cancel: the file is finished with what was written, so it plays.
  const bool finished = encoder.Stop();
  if (end == PumpEnd::ReadFailed) return kConvertReadError;
  if (end == PumpEnd::Damaged) return kConvertDamaged;
  if (!finished) {
    NoteEncoderDetail(job);
    return kConvertWriteFailed;
  }
  return end == PumpEnd::Cancelled ? kConvertCancelled : kConvertOk;
}

namespace {

PumpEnd PumpIntoEncoder(HSTREAM stream, const BASS_CHANNELINFO& info, double gain,
                        HENCODE encoder, JobContext& job) {
  std::vector<float> block = OneSecondBlock(info);
  return PumpBlocks(stream, block, job, [&](float* samples, size_t n) {
    ApplyFloatGain(samples, n, gain);
    if (BASS_Encode_Write(encoder, samples, static_cast<DWORD>(n * sizeof(float))) == 1) {
      return true;
    }
    NoteEncoderDetail(job);
    return false;
  });
}

}  // namespace

int ConvertFile(const std::string& source, const std::string& destination, double gain,
                const std::string& formatKey, int kbps, const std::string& faacPath,
                JobContext& job) {
  job.EncoderErrorText.clear();
  job.LogNote.clear();
  job.ProcessedSeconds = 0;
  job.SourceDuration = 0;
  if (!std::isfinite(gain)) gain = 1.0;
  const std::string key = LowerAscii(formatKey);
  if (key == "wav") return WriteWavFile(source, destination, gain, job);
  if (key == "mp3") return EncodeMp3File(source, destination, gain, kbps, job);
  if (key == "aac" || key == "mp4" || key == "m4a") {
    return EncodeAacFile(source, destination, gain, kbps, key, faacPath, job);
  }
  if (key == "wma") return EncodeWmaFile(source, destination, gain, kbps, job);
  if (key == "flac" || key == "opus" || key == "ogg") {
    return EncodeXiphFile(source, destination, gain, key, kbps, job);
  }
  return kConvertUnknownFormat;
}

}  // namespace qv
