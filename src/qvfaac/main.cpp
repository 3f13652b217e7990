// qvfaac: an AAC encoder program with the command line of the faac encoder that the converter
// runs. Reads a WAV stream (16-bit PCM or 32-bit float; sizes may be 0 or 0xFFFFFFFF when the
// writer did not know them) from standard input or a file, and writes raw AAC in ADTS frames,
// or with -w an MP4 container, using FFmpeg's AAC encoder. The output appears under its name
// only when it is complete: it is written to a temporary name beside it and renamed at the end.

#include <fcntl.h>
#include <sys/stat.h>
#include <csignal>
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

#include "audio/avptr.h"

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
    "                  raw AAC in ADTS frames\n"
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
    "Exit status: 0 when the file was written, 1 for a wrong command line, 2 for unusable\n"
    "input, 3 when the output could not be written.\n";

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
        if (tag == 0xFFFE && size >= 40) tag = Le(&fmt[24], 2);  // the sub-format's tag
        m_float = tag == 3;
        if (!((tag == 1 && m_bits == 16) || (tag == 3 && m_bits == 32))) {
          return "the WAV data must be 16-bit PCM or 32-bit float";
        }
        if (m_channels < 1 || m_channels > 8 || m_rate < 8000 || m_rate > 96000) {
          return "the WAV stream has an unusable channel count or sample rate";
        }
        haveFormat = true;
      } else if (std::memcmp(chunk, "data", 4) == 0) {
        if (!haveFormat) return "the WAV data come before their format";
        // 0 and 0xFFFFFFFF: a writer that did not know the length; read to the end.
        m_remaining = (size == 0 || size == 0xFFFFFFFFu) ? UINT64_MAX : size;
        return {};
      } else if (!Skip(size + (size & 1))) {
        return "the WAV stream ends before its data";
      }
    }
  }

  int rate() const { return m_rate; }
  int channels() const { return m_channels; }

  // Reads up to `frames` frames into `planes` (one vector per channel). Returns the frames read;
  // 0 at the end of the data.
  size_t Read(std::vector<std::vector<float>>& planes, size_t frames) {
    const size_t frameBytes = static_cast<size_t>(m_channels) * (m_bits / 8);
    const size_t wanted = std::min<std::uint64_t>(frames * frameBytes, m_remaining);
    m_buffer.resize(wanted);
    const size_t got = std::fread(m_buffer.data(), 1, wanted, m_in);
    m_remaining -= got;
    const size_t n = got / frameBytes;
    for (int c = 0; c < m_channels; ++c) planes[c].resize(n);
    for (size_t i = 0; i < n; ++i) {
      for (int c = 0; c < m_channels; ++c) {
        const unsigned char* p = &m_buffer[i * frameBytes + static_cast<size_t>(c) * (m_bits / 8)];
        if (m_float) {
          float value;
          std::uint32_t bits = Le(p, 4);
          std::memcpy(&value, &bits, 4);
          planes[c][i] = std::isfinite(value) ? value : 0.0f;
        } else {
          planes[c][i] = static_cast<std::int16_t>(Le(p, 2)) / 32768.0f;
        }
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

  std::FILE* m_in;
  int m_rate = 0;
  int m_channels = 0;
  int m_bits = 0;
  bool m_float = false;
  std::uint64_t m_remaining = 0;
  std::vector<unsigned char> m_buffer;
};

// The temporary output's name, for the signal handler (which may only call unlink and _exit).
char g_partialPath[4096];

void RemovePartialAndExit(int signal) {
  if (g_partialPath[0]) ::unlink(g_partialPath);
  _exit(128 + signal);
}

struct FileCloser {
  void operator()(std::FILE* p) const { std::fclose(p); }
};

// AacWriter: FFmpeg's AAC encoder and the ADTS or MP4 muxer writing one file. Owns the codec
// and muxer contexts and the output file.
class AacWriter {
 public:
  // Returns an empty string or the reason of the failure; `exitCode` tells whose fault it is
  // (kInputError when the encoder refuses the input's rate or channel count).
  std::string Open(const Options& options, int rate, int channels, const std::string& path,
                   int& exitCode) {
    exitCode = kOutputError;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return "FFmpeg has no AAC encoder";
    m_codec.reset(avcodec_alloc_context3(codec));
    if (!m_codec) return "out of memory";
    m_codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
    m_codec->sample_rate = rate;
    av_channel_layout_default(&m_codec->ch_layout, channels);
    m_codec->bit_rate = static_cast<std::int64_t>(
        StereoBitrateForQuality(options.quality) / 2 * channels);
    if (options.bandwidth > 0) m_codec->cutoff = std::min(options.bandwidth, rate / 2);
    m_codec->time_base = AVRational{1, rate};

    const char* muxer = "adts";
    if (options.mp4) {
      const std::string& out = options.output;
      const bool m4a = out.size() >= 4 && strcasecmp(out.c_str() + out.size() - 4, ".m4a") == 0;
      muxer = m4a ? "ipod" : "mp4";
    }
    AVFormatContext* raw = nullptr;
    if (avformat_alloc_output_context2(&raw, nullptr, muxer, nullptr) < 0 || !raw) {
      return "cannot set up the output format";
    }
    m_mux.reset(raw);
    if (m_mux->oformat->flags & AVFMT_GLOBALHEADER) {
      m_codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    if (avcodec_open2(m_codec.get(), codec, nullptr) < 0) {
      exitCode = kInputError;
      return "the AAC encoder cannot encode " + std::to_string(rate) + " Hz with " +
             std::to_string(channels) + " channels";
    }
    m_stream = avformat_new_stream(m_mux.get(), nullptr);
    if (!m_stream || avcodec_parameters_from_context(m_stream->codecpar, m_codec.get()) < 0) {
      return "out of memory";
    }
    m_stream->time_base = m_codec->time_base;
    if (avio_open(&m_mux->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) {
      return "cannot create the output file";
    }
    if (avformat_write_header(m_mux.get(), nullptr) < 0) return "cannot write the output file";
    m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, m_codec->frame_size * 2));
    m_frame.reset(av_frame_alloc());
    m_packet.reset(av_packet_alloc());
    if (!m_fifo || !m_frame || !m_packet) return "out of memory";
    m_frame->nb_samples = m_codec->frame_size;
    m_frame->format = AV_SAMPLE_FMT_FLTP;
    m_frame->sample_rate = rate;
    if (av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout) < 0 ||
        av_frame_get_buffer(m_frame.get(), 0) < 0) {
      return "out of memory";
    }
    return {};
  }

  std::string Write(std::vector<std::vector<float>>& planes, size_t frames) {
    std::vector<void*> pointers;
    for (auto& plane : planes) pointers.push_back(plane.data());
    if (av_audio_fifo_write(m_fifo.get(), pointers.data(), static_cast<int>(frames)) <
        static_cast<int>(frames)) {
      return "out of memory";
    }
    return Encode(false);
  }

  std::string Finish() {
    std::string error = Encode(true);
    if (error.empty() && avcodec_send_frame(m_codec.get(), nullptr) < 0) error = "encoder failed";
    if (error.empty()) error = Drain();
    if (error.empty() && av_write_trailer(m_mux.get()) < 0) error = "cannot finish the file";
    if (error.empty() && m_mux->pb->error < 0) error = "cannot write the output file";
    if (avio_closep(&m_mux->pb) < 0 && error.empty()) error = "cannot write the output file";
    return error;
  }

 private:
  std::string Encode(bool flush) {
    const int frameSize = m_codec->frame_size;
    while (av_audio_fifo_size(m_fifo.get()) >= frameSize ||
           (flush && av_audio_fifo_size(m_fifo.get()) > 0)) {
      if (av_frame_make_writable(m_frame.get()) < 0) return "out of memory";
      const int got = std::min(frameSize, av_audio_fifo_size(m_fifo.get()));
      if (av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_frame->data), got) < got) {
        return "out of memory";
      }
      m_frame->nb_samples = got;  // the AAC encoder takes a short last frame
      m_frame->pts = m_nextPts;
      m_nextPts += got;
      if (avcodec_send_frame(m_codec.get(), m_frame.get()) < 0) return "the encoder failed";
      m_frame->nb_samples = frameSize;
      std::string error = Drain();
      if (!error.empty()) return error;
    }
    return {};
  }

  std::string Drain() {
    while (true) {
      const int ret = avcodec_receive_packet(m_codec.get(), m_packet.get());
      if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return {};
      if (ret < 0) return "the encoder failed";
      m_packet->stream_index = m_stream->index;
      av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_stream->time_base);
      const int written = av_interleaved_write_frame(m_mux.get(), m_packet.get());
      av_packet_unref(m_packet.get());
      if (written < 0) return "cannot write the output file (disk full?)";
    }
  }

  qv::audio::CodecCtxPtr m_codec;
  qv::audio::FormatOutputPtr m_mux;
  qv::audio::AudioFifoPtr m_fifo;
  qv::audio::FramePtr m_frame;
  qv::audio::PacketPtr m_packet;
  AVStream* m_stream = nullptr;
  std::int64_t m_nextPts = 0;
};

// A unique temporary name beside `output`, reserved by creating the file.
std::string ReservePartialName(const std::string& output) {
  std::string pattern = output + ".qvfaac-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return {};
  // mkstemp makes the file private; the finished file gets the usual permissions.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  ::close(fd);
  return pattern;
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

  const std::string partial = ReservePartialName(options.output);
  if (partial.empty() || partial.size() >= sizeof g_partialPath) {
    return Fail(kOutputError, {}, "cannot create \"" + options.output + "\"");
  }
  std::memcpy(g_partialPath, partial.c_str(), partial.size() + 1);
  for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) ::signal(sig, RemovePartialAndExit);

  AacWriter writer;
  int openCode = kOk;
  if (const std::string error =
          writer.Open(options, reader.rate(), reader.channels(), partial, openCode);
      !error.empty()) {
    return Fail(openCode, partial, error);
  }
  std::vector<std::vector<float>> planes(static_cast<size_t>(reader.channels()));
  while (const size_t frames = reader.Read(planes, 4096)) {
    if (const std::string error = writer.Write(planes, frames); !error.empty()) {
      return Fail(kOutputError, partial, error);
    }
  }
  if (reader.failed()) return Fail(kInputError, partial, "reading the input failed");
  if (const std::string error = writer.Finish(); !error.empty()) {
    return Fail(kOutputError, partial, error);
  }
  if (std::rename(partial.c_str(), options.output.c_str()) != 0) {
    return Fail(kOutputError, partial, "cannot rename the finished file to \"" + options.output +
                                           "\": " + std::strerror(errno));
  }
  return kOk;
}
