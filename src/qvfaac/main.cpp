// qvfaac: an AAC encoder program with the command line of the faac encoder that the converter
// runs. Reads a WAV stream (16-bit PCM or 32-bit float; sizes may be 0 or 0xFFFFFFFF when the
// writer did not know them) from standard input or a file, and writes raw AAC in ADTS frames,
// or with -w an MP4 container, using FFmpeg's AAC encoder. The output appears under its name
// only when it is complete: it is written to a temporary name beside it and renamed at the end.
// An existing file of the output's name is never replaced. An input that ends before the data
// size its header declares is refused, and a run ended by a signal removes its temporary file:
// a writer that died mid-stream never leaves a file that looks finished.

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <mp4file.h>
#include <mp4tag.h>

extern "C" {
#include <libavutil/opt.h>
}

#include "app/renamefile.h"
#include "audio/avencode.h"
#include "audio/outputrates.h"
#include "audio/speakers.h"

namespace {

const char kUsage[] =
    "Usage: qvfaac [options] -o OUTFILE INFILE\n"
    "Encodes a WAV stream (16-bit PCM or 32-bit float) to AAC. INFILE \"-\" reads standard "
    "input.\n"
    "\n"
    "Options:\n"
    "  -q N            quality, 10 to 500 (default 100); sets the bitrate, see below\n"
    "  -c N            bandwidth in Hz: no content above this frequency (default: the\n"
    "                  encoder's choice for the bitrate); at most half the sample rate\n"
    "  --mpeg-vers N   2 or 4 (accepted; the output is always MPEG-4 AAC LC)\n"
    "  -w              write an MP4 container (M4A when OUTFILE ends in .m4a) instead of\n"
    "                  raw AAC in ADTS frames; it is gapless (an edit list and the\n"
    "                  iTunSMPB tag mark the encoder's priming and padding)\n"
    "  -o FILE         the output file\n"
    "  -h, --help      this text\n"
    "\n"
    "Quality to bitrate (for two channels; one channel gets half, more channels a half per\n"
    "channel), linear between the rows:\n"
    "  -q  70 ->  62 kbit/s    -q  80 ->  79 kbit/s    -q  90 -> 103 kbit/s\n"
    "  -q 100 -> 129 kbit/s    -q 110 -> 158 kbit/s    -q 120 -> 194 kbit/s\n"
    "  -q 130 -> 218 kbit/s\n"
    "Below 70 the bitrate falls in proportion to N (at least 16 kbit/s); above 130 it rises\n"
    "by 2.4 kbit/s per step up to 320 kbit/s.\n"
    "\n"
    "A WAV header that declares its data size (not 0 or 0xFFFFFFFF, which mean \"unknown\":\n"
    "the data then run to the end of the input) is held to it: an input that ends before\n"
    "it is refused, and no file is written, unless SIGUSR1 arrived first: it says that the\n"
    "input ends early on purpose, and the file is completed with what arrived. SIGTERM,\n"
    "SIGINT or SIGHUP ends qvfaac at once,\n"
    "with its unfinished output removed and exit status 128 + the signal number.\n"
    "\n"
    "Exit status: 0 when the file was written, 1 for a wrong command line, 2 for unusable\n"
    "input (also input cut short), 3 when the output could not be written (also when\n"
    "OUTFILE already exists: it is never replaced).\n";

// The quality table: (q, stereo kbit/s).
constexpr int kQualityRows[][2] = {{70, 62},   {80, 79},   {90, 103}, {100, 129},
                                   {110, 158}, {120, 194}, {130, 218}};

// Stereo bitrate in bit/s for quality `q`, as documented in kUsage.
double StereoBitrateForQuality(int q) {
  constexpr int kRows = static_cast<int>(std::size(kQualityRows));
  if (q <= kQualityRows[0][0]) {
    return std::max(16.0, kQualityRows[0][1] * static_cast<double>(q) / kQualityRows[0][0]) *
           1000;
  }
  if (q >= kQualityRows[kRows - 1][0]) {
    return std::min(320.0, kQualityRows[kRows - 1][1] + 2.4 * (q - kQualityRows[kRows - 1][0])) *
           1000;
  }
  for (int i = 1; i < kRows; ++i) {
    if (q <= kQualityRows[i][0]) {
      const double t = static_cast<double>(q - kQualityRows[i - 1][0]) /
                       (kQualityRows[i][0] - kQualityRows[i - 1][0]);
      return (kQualityRows[i - 1][1] + t * (kQualityRows[i][1] - kQualityRows[i - 1][1])) * 1000;
    }
  }
  return 129000;
}

enum ExitCode { kOk = 0, kUsageError = 1, kInputError = 2, kOutputError = 3 };

struct Options {
  int quality = 100;
  int bandwidth = 0;
  bool mp4 = false;
  std::string output;
  std::string input;
};

bool ParseInt(const char* text, int low, int high, int& value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno || end == text || *end || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

// Returns -1 to go on, else the exit code (after printing help or an error).
int ParseArguments(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      std::fputs(kUsage, stdout);
      return kOk;
    } else if (arg == "-q" && hasValue) {
      if (!ParseInt(argv[++i], 10, 500, options.quality)) {
        std::fprintf(stderr, "qvfaac: -q needs a number from 10 to 500\n");
        return kUsageError;
      }
    } else if (arg == "-c" && hasValue) {
      if (!ParseInt(argv[++i], 1000, 96000, options.bandwidth)) {
        std::fprintf(stderr, "qvfaac: -c needs a bandwidth from 1000 to 96000 Hz\n");
        return kUsageError;
      }
    } else if (arg == "--mpeg-vers" && hasValue) {
      int version = 0;
      if (!ParseInt(argv[++i], 2, 4, version) || version == 3) {
        std::fprintf(stderr, "qvfaac: --mpeg-vers must be 2 or 4\n");
        return kUsageError;
      }
    } else if (arg == "-w") {
      options.mp4 = true;
    } else if (arg == "-o" && hasValue) {
      options.output = argv[++i];
    } else if (arg == "-" || (!arg.empty() && arg[0] != '-')) {
      if (!options.input.empty()) {
        std::fprintf(stderr, "qvfaac: only one input file\n");
        return kUsageError;
      }
      options.input = arg;
    } else {
      std::fprintf(stderr, "qvfaac: unknown or incomplete option \"%s\"\n%s", arg.c_str(),
                   kUsage);
      return kUsageError;
    }
  }
  if (options.output.empty() || options.input.empty()) {
    std::fprintf(stderr, "qvfaac: an input (\"-\" for standard input) and -o FILE are needed\n");
    return kUsageError;
  }
  return -1;
}

// WavReader: reads a WAV stream from a FILE it does not own, header first, then blocks of
// samples converted to planar floats.
class WavReader {
 public:
  explicit WavReader(std::FILE* in) : m_in(in) {}

  // Returns an empty string, or what is wrong with the header.
  std::string ReadHeader() {
    unsigned char riff[12];
    if (!ReadExact(riff, 12)) return "the input is empty or shorter than a WAV header";
    if (std::memcmp(riff, "RIFF", 4) != 0 || std::memcmp(riff + 8, "WAVE", 4) != 0) {
      return "the input is not a WAV stream";
    }
    bool haveFormat = false;
    while (true) {
      unsigned char chunk[8];
      if (!ReadExact(chunk, 8)) return "the WAV stream ends before its data";
      const std::uint32_t size = Le(chunk + 4, 4);
      if (std::memcmp(chunk, "fmt ", 4) == 0) {
        if (size < 16 || size > 1024) return "the WAV format chunk is damaged";
        std::vector<unsigned char> fmt(size + (size & 1));
        if (!ReadExact(fmt.data(), fmt.size())) return "the WAV format chunk is cut short";
        unsigned tag = Le(&fmt[0], 2);
        m_channels = static_cast<int>(Le(&fmt[2], 2));
        m_rate = static_cast<int>(Le(&fmt[4], 4));
        m_bits = static_cast<int>(Le(&fmt[14], 2));
        if (tag == 0xFFFE && size >= 40) {
          m_speakers = Le(&fmt[20], 4);  // the channel mask: the speakers, in FFmpeg's bits
          tag = Le(&fmt[24], 2);         // the sub-format's tag
        }
        m_float = tag == 3;
        if (!((tag == 1 && m_bits == 16) || (tag == 3 && m_bits == 32))) {
          return "the WAV data must be 16-bit PCM or 32-bit float";
        }
        if (m_channels < 1 || m_channels > 8 || m_rate < 8000 ||
            m_rate > qv::audio::kHighestSourceRate) {
          return "the WAV stream has an unusable channel count or sample rate";
        }
        haveFormat = true;
      } else if (std::memcmp(chunk, "data", 4) == 0) {
        if (!haveFormat) return "the WAV data come before their format";
        // 0 and 0xFFFFFFFF: a writer that did not know the length; read to the end.
        m_declaredBytes = (size == 0 || size == 0xFFFFFFFFu) ? kUnknownSize : size;
        m_remaining = m_declaredBytes;
        return {};
      } else if (!Skip(size + (size & 1))) {
        return "the WAV stream ends before its data";
      }
    }
  }

  int rate() const { return m_rate; }
  int channels() const { return m_channels; }
  std::uint64_t speakers() const { return m_speakers; }  // 0 when the header names none
  std::uint64_t FrameBytes() const { return static_cast<std::uint64_t>(m_channels) * (m_bits / 8); }

  // What is missing of a data size the header declared, once the input has ended: an empty
  // string when every whole frame it declares arrived (or it declared no size), else how much
  // was expected and how much came.
  std::string Shortfall() const {
    if (m_declaredBytes == kUnknownSize) return {};
    const std::uint64_t declaredFrames = m_declaredBytes / FrameBytes();
    const std::uint64_t receivedBytes = m_declaredBytes - m_remaining;
    const std::uint64_t receivedFrames = receivedBytes / FrameBytes();
    if (receivedFrames >= declaredFrames) return {};
    return "the input ended after " + std::to_string(receivedFrames) + " of the " +
           std::to_string(declaredFrames) + " frames (" + std::to_string(receivedBytes) +
           " of " + std::to_string(m_declaredBytes) +
           " data bytes) that its WAV header declares; no file was written";
  }

  // Reads up to `frames` frames of interleaved floats into `samples`. Returns the frames read;
  // 0 at the end of the data.
  size_t Read(std::vector<float>& samples, size_t frames) {
    const size_t frameBytes = FrameBytes();
    const size_t wanted = std::min<std::uint64_t>(frames * frameBytes, m_remaining);
    m_buffer.resize(wanted);
    const size_t got = std::fread(m_buffer.data(), 1, wanted, m_in);
    m_remaining -= got;
    const size_t n = got / frameBytes;
    const size_t count = n * static_cast<size_t>(m_channels);
    samples.resize(count);
    const size_t sampleBytes = static_cast<size_t>(m_bits / 8);
    for (size_t i = 0; i < count; ++i) {
      const unsigned char* p = &m_buffer[i * sampleBytes];
      if (m_float) {
        float value;
        std::uint32_t bits = Le(p, 4);
        std::memcpy(&value, &bits, 4);
        samples[i] = std::isfinite(value) ? value : 0.0f;
      } else {
        samples[i] = static_cast<std::int16_t>(Le(p, 2)) / 32768.0f;
      }
    }
    return n;
  }
  bool failed() const { return std::ferror(m_in) != 0; }

 private:
  static std::uint32_t Le(const unsigned char* p, int bytes) {
    std::uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
    return value;
  }
  bool ReadExact(unsigned char* out, size_t size) { return std::fread(out, 1, size, m_in) == size; }
  bool Skip(std::uint64_t size) {
    unsigned char scratch[4096];
    while (size > 0) {
      const size_t n = static_cast<size_t>(std::min<std::uint64_t>(size, sizeof scratch));
      if (!ReadExact(scratch, n)) return false;
      size -= n;
    }
    return true;
  }

  static constexpr std::uint64_t kUnknownSize = UINT64_MAX;

  std::FILE* m_in;
  int m_rate = 0;
  int m_channels = 0;
  std::uint64_t m_speakers = 0;
  int m_bits = 0;
  bool m_float = false;
  std::uint64_t m_declaredBytes = kUnknownSize;  // of the data chunk
  std::uint64_t m_remaining = 0;                 // data bytes not read yet
  std::vector<unsigned char> m_buffer;
};

// The temporary output's name, for the signal handler (which may only call unlink and _exit).
// Written only while the signals are blocked, before the handler can run.
char g_partialPath[4096];

// The signals that end a run: the three that ask it to stop, a reader of a pipe that went
// away, and a file grown beyond the size limit.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGXFSZ};

// Set by SIGUSR1: the writer ends the input early on purpose (a cancelled conversion keeps its
// part), so a shortfall is no sign of a writer that died.
volatile sig_atomic_t g_endsEarly = 0;
void NoteEarlyEnd(int) { g_endsEarly = 1; }

void RemovePartialAndExit(int signal) {
  if (g_partialPath[0]) ::unlink(g_partialPath);
  _exit(128 + signal);
}

sigset_t EndingSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : kEndingSignals) sigaddset(&set, sig);
  return set;
}

struct FileCloser {
  void operator()(std::FILE* p) const { std::fclose(p); }
};

// The encoder settings for the options and the input's format.
qv::audio::AvEncodeSettings AacSettings(const Options& options, int rate, int channels,
                                        std::uint64_t speakers) {
  qv::audio::AvEncodeSettings settings;
  settings.codec = AV_CODEC_ID_AAC;
  settings.muxer = "adts";
  if (options.mp4) {
    const std::string& out = options.output;
    const bool m4a = out.size() >= 4 && strcasecmp(out.c_str() + out.size() - 4, ".m4a") == 0;
    settings.muxer = m4a ? "ipod" : "mp4";
    // The edit list that hides the encoder's priming and padding counts in the movie's time
    // scale: at the sample rate it marks the source's samples exactly, where the muxer's
    // default of milliseconds marks up to 44 samples of padding as audio.
    settings.configureMuxer = [](AVFormatContext* mux, const AVCodecContext* codec) {
      av_opt_set_int(mux->priv_data, "movie_timescale", codec->sample_rate, 0);
    };
  }
  // A rate above the highest an AAC file holds is resampled to it.
  settings.rate = qv::audio::AacOutputRate(rate);
  settings.inputRate = rate;
  settings.channels = channels;
  settings.speakers = speakers;
  settings.codecSpeakers = qv::audio::AacSpeakers(channels, speakers);
  settings.bitRate =
      static_cast<std::int64_t>(StereoBitrateForQuality(options.quality) / 2 * channels);
  if (options.bandwidth > 0) settings.cutoff = std::min(options.bandwidth, settings.rate / 2);
  settings.padLastFrame = false;  // the AAC encoder takes a short last frame
  return settings;
}

// A unique temporary name beside `output`, reserved by creating the file; `fd` is left open
// for writing it.
std::string ReservePartialName(const std::string& output, int& fd) {
  std::string pattern = output + ".qvfaac-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) return {};
  // mkstemp makes the file private; the finished file gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  return pattern;
}

// Gives the finished file its name, failing (not replacing) when the name has been taken
// meanwhile.
bool PublishWithoutReplacing(const std::string& partial, const std::string& output,
                             std::string& error) {
  if (qv::RenameWithoutReplacing(partial, output)) return true;
  const int failure = errno;
  error = failure == EEXIST ? "\"" + output + "\" already exists; it was not replaced"
                            : "cannot give the finished file its name \"" + output + "\": " +
                                  std::strerror(failure);
  return false;
}

// The iTunSMPB text gapless players read from an MP4 file: the priming samples, the padding at
// the end and the audio's length, in hexadecimal, among fields that are always zero.
std::string GaplessText(const qv::audio::AvFileEncoder::Gapless& figures) {
  const std::int64_t padding = std::max<std::int64_t>(0, figures.encoded - figures.priming -
                                                             figures.samples);
  char text[160];
  std::snprintf(text, sizeof text,
                " 00000000 %08X %08X %016llX 00000000 00000000 00000000 00000000 00000000 "
                "00000000 00000000 00000000",
                static_cast<unsigned>(figures.priming), static_cast<unsigned>(padding),
                static_cast<unsigned long long>(figures.samples));
  return text;
}

// Adds the gapless figures to the finished MP4 file at `path`.
bool WriteGaplessTag(const std::string& path, const qv::audio::AvFileEncoder::Gapless& figures) {
  TagLib::MP4::File file(path.c_str(), false);
  if (!file.isValid() || !file.tag()) return false;
  file.tag()->setItem("----:com.apple.iTunes:iTunSMPB",
                      TagLib::MP4::Item(TagLib::StringList(GaplessText(figures))));
  return file.save();
}

int Fail(int code, const std::string& partial, const std::string& message) {
  std::fprintf(stderr, "qvfaac: %s\n", message.c_str());
  if (!partial.empty()) ::unlink(partial.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const int done = ParseArguments(argc, argv, options); done >= 0) return done;
  av_log_set_level(AV_LOG_ERROR);
  // First of all, so that the writer's word can never end the program.
  struct sigaction early {};
  early.sa_handler = NoteEarlyEnd;
  early.sa_flags = SA_RESTART;
  ::sigaction(SIGUSR1, &early, nullptr);

  std::unique_ptr<std::FILE, FileCloser> opened;
  std::FILE* in = stdin;
  if (options.input != "-") {
    opened.reset(std::fopen(options.input.c_str(), "rb"));
    if (!opened) return Fail(kInputError, {}, "cannot open \"" + options.input + "\"");
    in = opened.get();
  }
  WavReader reader(in);
  if (const std::string error = reader.ReadHeader(); !error.empty()) {
    return Fail(kInputError, {}, error);
  }

  // The output is never written over: refuse a taken name before any work is done (and again
  // when the finished file gets its name).
  struct stat existing {};
  if (::lstat(options.output.c_str(), &existing) == 0) {
    return Fail(kOutputError, {}, "\"" + options.output + "\" already exists; it was not replaced");
  }
  // The signals wait while the temporary file is created and its name handed to the handler,
  // so no moment leaves a temporary file that nothing would remove.
  const sigset_t ending = EndingSignals();
  sigset_t previous;
  ::sigprocmask(SIG_BLOCK, &ending, &previous);
  int fd = -1;
  const std::string partial = ReservePartialName(options.output, fd);
  if (partial.empty() || partial.size() >= sizeof g_partialPath) {
    if (fd >= 0) ::close(fd);
    if (!partial.empty()) ::unlink(partial.c_str());
    ::sigprocmask(SIG_SETMASK, &previous, nullptr);
    return Fail(kOutputError, {}, "cannot create \"" + options.output + "\"");
  }
  std::memcpy(g_partialPath, partial.c_str(), partial.size() + 1);
  struct sigaction action {};
  action.sa_handler = RemovePartialAndExit;
  action.sa_mask = ending;  // one handler at a time
  for (int sig : kEndingSignals) ::sigaction(sig, &action, nullptr);

  ::sigprocmask(SIG_SETMASK, &previous, nullptr);

  qv::audio::AvFileEncoder writer;
  const qv::audio::AvFileEncoder::Result started =
      writer.Open(AacSettings(options, reader.rate(), reader.channels(), reader.speakers()), fd);
  if (started != qv::audio::AvFileEncoder::kOk) {
    const bool inputFault = started == qv::audio::AvFileEncoder::kRefused;
    return Fail(inputFault ? kInputError : kOutputError, partial,
                inputFault ? "the AAC encoder cannot encode " + std::to_string(reader.rate()) +
                                 " Hz with " + std::to_string(reader.channels()) +
                                 " channels (" + writer.ErrorText() + ")"
                           : writer.ErrorText());
  }
  std::vector<float> samples;
  while (const size_t frames = reader.Read(samples, 4096)) {
    if (writer.Write(samples.data(), frames) != qv::audio::AvFileEncoder::kOk) {
      return Fail(kOutputError, partial, writer.ErrorText());
    }
  }
  if (reader.failed()) return Fail(kInputError, partial, "reading the input failed");
  // A writer that died mid-stream closes the pipe as a finished one does; only the declared
  // size tells them apart.
  if (const std::string shortfall = reader.Shortfall(); !shortfall.empty() && !g_endsEarly) {
    return Fail(kInputError, partial, shortfall);
  }
  if (writer.Finish() != qv::audio::AvFileEncoder::kOk) {
    return Fail(kOutputError, partial, writer.ErrorText());
  }
  if (options.mp4 && !WriteGaplessTag(partial, writer.GaplessFigures())) {
    return Fail(kOutputError, partial, "cannot add the gapless playback figures to the file");
  }
  std::string error;
  if (!PublishWithoutReplacing(partial, options.output, error)) {
    return Fail(kOutputError, partial, error);
  }
  return kOk;
}
