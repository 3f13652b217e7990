#include "audio/decoder.h"

#include <atomic>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/filedescriptor.h"
#include "audio/bass.h"

extern "C" {
#include <libavutil/avstring.h>
}

namespace qv::audio {
namespace {

// FFmpeg keeps probing below this score; a file that only reaches it is a guess (a text file
// named .mp3 scores 1 as MPEG audio) and decodes to noise.
constexpr int kMinProbeScore = AVPROBE_SCORE_RETRY;
// Damaged frames in a row that are skipped before the stream counts as undecodable.
constexpr int kMaxBadPackets = 64;
// No codec packs a second of sound into fewer bits than this (silence in FLAC takes about
// 1500 bit/s); a header that claims more time than the file could hold at this rate is damaged.
constexpr double kMinBitsPerSecond = 100.0;
// A length from a header is believed when the packets from this far before its end reach it
// within the slack (see FileDecoder::ReachesLength).
constexpr int kCheckSeconds = 2;
constexpr int kEndSlackMs = 100;

std::atomic<ReadFaultHook> g_readFaultHook{nullptr};

// Why the calling thread's last open failed (see LastOpenFailureText).
thread_local std::string t_openFailure;
constexpr const char* kNotAudio = "it is not audio in a format Quorvin reads";
constexpr const char* kUndecodable = "its audio could not be decoded";

// Records why an open failed; returns its code.
int Refuse(int code, std::string why) {
  t_openFailure = std::move(why);
  return code;
}

// Why a file has no audio Quorvin can decode: no audio stream at all, or a codec without a
// decoder here (named).
std::string NoDecoderText(const AVFormatContext& fmt) {
  for (unsigned i = 0; i < fmt.nb_streams; ++i) {
    const AVCodecParameters& par = *fmt.streams[i]->codecpar;
    if (par.codec_type == AVMEDIA_TYPE_AUDIO) {
      return std::string("its audio codec (") + avcodec_get_name(par.codec_id) +
             ") is not supported";
    }
  }
  return "it holds no audio stream";
}

// Asked before every read of a source (and by FFmpeg before a nested file's); a true answer
// fails the read, as an I/O error of the disk would.
int CheckReadFault(void*) {
  const ReadFaultHook hook = g_readFaultHook.load(std::memory_order_relaxed);
  return hook && hook() ? 1 : 0;
}

// The source's bytes for FFmpeg, read with pread from the descriptor its checks opened: one open
// of the file serves the checks and the whole decoding.
class DescriptorSource final : public InputSource {
 public:
  static constexpr int kBufferSize = 32768;  // as FFmpeg's own file reading

  explicit DescriptorSource(FileDescriptor fd) : m_fd(std::move(fd)) {}

  static int Read(void* opaque, uint8_t* buffer, int size) {
    auto& self = *static_cast<DescriptorSource*>(opaque);
    if (CheckReadFault(nullptr)) return AVERROR_EXIT;
    for (;;) {
      const ssize_t got = ::pread(self.m_fd.Get(), buffer, static_cast<size_t>(size),
                                  static_cast<off_t>(self.m_position));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) return AVERROR(errno);
      if (got == 0) return AVERROR_EOF;
      self.m_position += got;
      return static_cast<int>(got);
    }
  }

  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto& self = *static_cast<DescriptorSource*>(opaque);
    struct stat info {};
    if (whence & AVSEEK_SIZE || (whence & ~AVSEEK_FORCE) == SEEK_END) {
      if (::fstat(self.m_fd.Get(), &info) != 0) return AVERROR(errno);
      if (whence & AVSEEK_SIZE) return info.st_size;
    }
    std::int64_t position = -1;
    switch (whence & ~AVSEEK_FORCE) {
      case SEEK_SET: position = offset; break;
      case SEEK_CUR: position = self.m_position + offset; break;
      case SEEK_END: position = info.st_size + offset; break;
      default: return AVERROR(EINVAL);
    }
    if (position < 0) return AVERROR(EINVAL);
    self.m_position = position;
    return position;
  }

 private:
  FileDescriptor m_fd;
  std::int64_t m_position = 0;
};

// An I/O context that reads `fd` (taken); null when out of memory.
InputIoPtr ReadThrough(FileDescriptor fd) {
  auto source = std::make_unique<DescriptorSource>(std::move(fd));
  auto* buffer = static_cast<unsigned char*>(av_malloc(DescriptorSource::kBufferSize));
  if (!buffer) return nullptr;
  AVIOContext* io = avio_alloc_context(buffer, DescriptorSource::kBufferSize, 0, source.get(),
                                       &DescriptorSource::Read, nullptr,
                                       &DescriptorSource::Seek);
  if (!io) {
    av_free(buffer);
    return nullptr;
  }
  source.release();  // the context owns it now
  return InputIoPtr(io);
}

// FFmpeg opens nested files for playlists and references (HLS, DASH, concat lists). The layer
// reads only the file it was given: any other URL is refused. `opaque` holds the allowed URL.
int OpenOnlyTheFile(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                    AVDictionary** options) {
  const auto* allowed = static_cast<const std::string*>(s->opaque);
  if (!allowed || !url || *allowed != url || (flags & AVIO_FLAG_WRITE)) return AVERROR(EPERM);
  return avio_open2(pb, url, flags, &s->interrupt_callback, options);
}

// Demuxers that stand for a list of other files or a network session rather than a file's
// own sound: a playlist, a concat list, an image sequence, a stream description.
bool NamesOtherFiles(const char* demuxer) {
  static constexpr const char* kNames[] = {"concat", "hls", "dash", "imf", "sdp", "rtsp",
                                           "rtp", "image2", "webm_dash_manifest", "tee"};
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [&](const char* name) { return av_match_list(demuxer, name, ',') > 0; });
}

// Whether FFmpeg's guess of the container can be believed: a confident probe, or a weak one
// (raw MPEG audio after some junk, for one) that the file's own name agrees with. A weak guess
// of another format is noise taken for audio.
bool TrustedProbe(const AVFormatContext& fmt, const std::string& path) {
  if (fmt.probe_score >= AVPROBE_SCORE_EXTENSION) return true;
  if (fmt.probe_score < kMinProbeScore) return false;
  std::string names = fmt.iformat->extensions ? fmt.iformat->extensions : "";
  // The MPEG audio demuxer reads Layer I too but does not list its extension.
  if (std::strcmp(fmt.iformat->name, "mp3") == 0) names += ",mp1";
  return !names.empty() && av_match_ext(path.c_str(), names.c_str());
}

// Bits per sample of an integer lossless source (PCM, FLAC, ALAC, ...); 0 for lossy codecs and
// floating-point data.
int OriginalResolution(const AVCodecContext& codec, const AVCodecParameters& par) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec.codec_id);
  if (!descriptor || !(descriptor->props & AV_CODEC_PROP_LOSSLESS) ||
      (descriptor->props & AV_CODEC_PROP_LOSSY)) {
    return 0;
  }
  const AVSampleFormat packed = av_get_packed_sample_fmt(codec.sample_fmt);
  if (packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL) return 0;
  int bits = codec.bits_per_raw_sample;
  if (bits <= 0) bits = par.bits_per_raw_sample;
  if (bits <= 0) bits = av_get_bits_per_sample(codec.codec_id);
  if (bits <= 0) bits = av_get_bytes_per_sample(packed) * 8;
  return bits;
}

std::int64_t ReadLe32(const uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::int64_t>(p[3]) << 24;
}

bool IsPlainPcm(AVCodecID id) {
  return id >= AV_CODEC_ID_PCM_S16LE && id < AV_CODEC_ID_ADPCM_IMA_QT &&
         av_get_bits_per_sample(id) > 0;
}

// Containers whose packet timestamps are worked out from byte positions. A seek in them can land
// with a wrong timestamp (FFmpeg's WAV demuxer places ADPCM seeks as if the data were PCM), so
// the timestamps after it cannot tell whether the file reaches the length its header claims.
bool TimestampsFromPosition(const std::string& container) {
  static constexpr const char* kNames[] = {"wav", "w64", "aiff", "au", "caf", "voc"};
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [&](const char* name) { return container == name; });
}

// Demuxers of bare codec streams, whose packets follow one another without a gap in the file.
bool IsRawStream(const std::string& container) {
  static constexpr const char* kNames[] = {"mp3", "aac", "flac", "ac3", "eac3", "mp2", "mpa",
                                           "dts", "truehd", "mlp"};
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [&](const char* name) { return container == name; });
}

}  // namespace

void QuietFfmpegLog() {
  // FFmpeg's warnings about damaged input would go to the program's standard error; the
  // layer reports through its error codes instead.
  static std::once_flag once;
  std::call_once(once, [] { av_log_set_level(AV_LOG_FATAL); });
}

bool ListsOtherFiles(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  QuietFfmpegLog();
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  const std::string url = "file:" + path;
  AVIOContext* io = nullptr;
  const int opened = avio_open2(&io, url.c_str(), AVIO_FLAG_READ, nullptr, &options);
  av_dict_free(&options);
  if (opened < 0) return false;
  // Probing reads only these bytes; no demuxer is opened.
  const AVInputFormat* format = nullptr;
  const bool probed = av_probe_input_buffer2(io, &format, url.c_str(), nullptr, 0, 0) >= 0;
  avio_closep(&io);
  return probed && format && NamesOtherFiles(format->name);
}

namespace {

// How much of a WAV is searched for a bitstream stored as samples: eight of FFmpeg's 4 KB
// packets, several frames of any DTS or AC-3 stream (such a stream starts with the data).
constexpr size_t kBitstreamProbeBytes = 8 * 4096;

// Whether `data` may hold a DTS or AC-3 bitstream: a DTS sync word (16-bit or 14-bit words, in
// either byte order), or three AC-3 sync words in either byte order one frame apart (128 to
// 3840 bytes). Three equally spaced 16-bit words almost never occur in PCM by chance; one DTS
// word seldom does, and then the full probe runs.
bool MayHoldBitstream(const uint8_t* data, size_t size) {
  static const uint8_t kDts[4][4] = {
      {0x7F, 0xFE, 0x80, 0x01}, {0xFE, 0x7F, 0x01, 0x80}, {0x1F, 0xFF, 0xE8, 0x00},
      {0xFF, 0x1F, 0x00, 0xE8}};
  std::vector<size_t> syncs[2];  // AC-3 sync words as 0B 77 and as 77 0B
  for (size_t at = 0; at + 4 <= size; ++at) {
    const uint8_t first = data[at];
    if (first == 0x0B && data[at + 1] == 0x77) {
      syncs[0].push_back(at);
    } else if (first == 0x77 && data[at + 1] == 0x0B) {
      syncs[1].push_back(at);
    } else if (first == 0x7F || first == 0xFE || first == 0x1F || first == 0xFF) {
      for (const auto& word : kDts) {
        if (std::memcmp(data + at, word, 4) == 0) return true;
      }
    }
  }
  for (const std::vector<size_t>& found : syncs) {
    for (size_t i = 0; i < found.size(); ++i) {
      for (size_t j = i + 1; j < found.size() && found[j] - found[i] <= 3840; ++j) {
        const size_t step = found[j] - found[i];
        if (step >= 128 && std::binary_search(found.begin() + static_cast<long>(j),
                                              found.end(), found[j] + step)) {
          return true;
        }
      }
    }
  }
  return false;
}

// What the first stretch of a file tells. Of a RIFF WAVE file: whether it shows no sign of a
// DTS or AC-3 bitstream stored as samples (see MayHoldBitstream), and where its data chunk
// starts and the size that chunk's header gives. Of an ASF file: the play time its header
// declares (FFmpeg drops it when the file's size differs from the one in the header, as it
// does for a file cut short).
struct FileHead {
  bool plainPcm = false;
  std::int64_t dataStart = -1;
  std::int64_t dataSize = -1;
  std::int64_t asfPlayTime = -1;  // in 100 ns units, less the preroll; -1 when none
};

std::int64_t ReadLe64(const uint8_t* p) {
  return ReadLe32(p) | ReadLe32(p + 4) << 32;
}

// The play time of an ASF header in `head` (its file properties object), less the preroll.
std::int64_t AsfPlayTime(const uint8_t* head, std::int64_t size) {
  static constexpr uint8_t kHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                          0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
  static constexpr uint8_t kFileProperties[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9,
                                                  0xCF, 0x11, 0x8E, 0xE4, 0x00, 0xC0,
                                                  0x0C, 0x20, 0x53, 0x65};
  if (size < 30 || std::memcmp(head, kHeader, 16) != 0) return -1;
  for (std::int64_t at = 30; at + 24 <= size;) {
    const std::int64_t objectSize = ReadLe64(head + at + 16);
    if (std::memcmp(head + at, kFileProperties, 16) == 0) {
      // File id, size, date and packet count come first; a broadcast file has no durations.
      if (objectSize < 92 || at + 92 > size || (head[at + 88] & 1)) return -1;
      const std::int64_t play = ReadLe64(head + at + 64);
      const std::int64_t prerollMs = ReadLe64(head + at + 80);
      return play > prerollMs * 10000 ? play - prerollMs * 10000 : -1;
    }
    if (objectSize < 24) return -1;
    at += objectSize;
  }
  return -1;
}

FileHead ReadHead(int fd) {
  FileHead file;
  std::vector<uint8_t> head(kBitstreamProbeBytes);
  const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
  if (got < 12) return file;
  const auto size = static_cast<std::int64_t>(got);
  if (std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "WAVE", 4) != 0) {
    file.asfPlayTime = AsfPlayTime(head.data(), size);
    return file;
  }
  for (std::int64_t at = 12; at + 8 <= size;) {
    const std::int64_t chunkSize = ReadLe32(head.data() + at + 4);
    if (std::memcmp(head.data() + at, "data", 4) == 0) {
      file.dataStart = at + 8;
      file.dataSize = chunkSize;
      break;
    }
    at += 8 + chunkSize + (chunkSize & 1);
  }
  file.plainPcm = !MayHoldBitstream(head.data() + 12, static_cast<size_t>(got) - 12);
  return file;
}

// Opens `path` for demuxing and checks FFmpeg's guess of its format. Returns BASS_OK,
// BASS_ERROR_FILEOPEN when it is not a readable regular file, BASS_ERROR_FILEFORM when its
// content is not a container or stream FFmpeg can read with confidence. `fileSize` and `wav`
// (optional) receive the size of the file and what its head tells.
int OpenInput(const std::string& path, FormatInputPtr& fmt, std::int64_t* fileSize,
              const AVInputFormat* known = nullptr, FileHead* wav = nullptr) {
  QuietFfmpegLog();
  // Only regular files: a FIFO would block the open forever, and a device (a link to
  // /dev/urandom) never ends. O_NONBLOCK keeps even this check from waiting on a FIFO.
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.Get() < 0) return Refuse(BASS_ERROR_FILEOPEN, std::strerror(errno));
  struct stat info {};
  const bool regular = ::fstat(fd.Get(), &info) == 0 && S_ISREG(info.st_mode);
  const FileHead head = regular ? ReadHead(fd.Get()) : FileHead{};
  const bool plainPcmWav = head.plainPcm;
  if (!regular) {
    return Refuse(BASS_ERROR_FILEOPEN,
                  S_ISDIR(info.st_mode) ? "it is a folder" : "it is not a regular file");
  }
  if (fileSize) *fileSize = info.st_size;
  if (wav) *wav = head;
  if (info.st_size == 0) return Refuse(BASS_ERROR_FILEFORM, "the file is empty");

  // The "file:" prefix keeps a name such as "pipe:1.mp3" or "http:x.mp3" a plain file name.
  const std::string url = "file:" + path;
  InputIoPtr io = ReadThrough(std::move(fd));
  AVFormatContext* raw = io ? avformat_alloc_context() : nullptr;
  if (!raw) return Refuse(BASS_ERROR_MEM, "out of memory");
  raw->pb = io.get();
  raw->io_open = &OpenOnlyTheFile;
  raw->interrupt_callback.callback = &CheckReadFault;
  raw->opaque = const_cast<std::string*>(&url);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kSoundDemuxers, 0);
  // FFmpeg looks for a compressed bitstream (DTS or AC-3 stored as 16-bit PCM) in every 16-bit
  // WAV by probing its packets with every demuxer, up to 32 packets and about 250 KB of
  // scanning: most of what a short WAV costs to open. Where the same stretch of the file
  // holds no sign of such a stream, one packet is probed instead.
  if (plainPcmWav) av_dict_set(&options, "max_probe_packets", "1", 0);
  const int ret = avformat_open_input(&raw, url.c_str(), known, &options);
  av_dict_free(&options);
  if (ret < 0) {
    // avformat_open_input freed the context (the I/O context is still ours). The file is open
    // and was readable, so a failure now is its content (FFmpeg says EIO or even ENOMEM for a
    // header cut short).
    return Refuse(BASS_ERROR_FILEFORM, kNotAudio);
  }
  io.release();  // closed with the input (FormatInputDeleter)
  fmt.reset(raw);
  // `url` dies with this call: nested opens from now on are refused outright.
  fmt->opaque = nullptr;
  if (!known && !TrustedProbe(*fmt, path)) return Refuse(BASS_ERROR_FILEFORM, kNotAudio);
  return BASS_OK;
}

// The size of a WAV's data chunk as its header gives it, when it is the chunk the demuxer of
// `fmt` reads from (its data start at `dataStart`). -1 for another container or a size that
// declares nothing (0, or the 0xFFFFFFFF of a stream being written).
std::int64_t WavDataSize(const AVFormatContext& fmt, const FileHead& wav, std::int64_t dataStart) {
  if (std::strcmp(fmt.iformat->name, "wav") != 0 || wav.dataStart != dataStart) return -1;
  return wav.dataSize == 0 || wav.dataSize == 0xFFFFFFFF ? -1 : wav.dataSize;
}

// Whether FFmpeg's length of `fmt` is one its header declares: not one estimated from the
// bitrate, and not one it measured from the last timestamps (MPEG streams) or the last page
// (Ogg, whose header has no length).
bool DeclaresLength(const AVFormatContext& fmt) {
  return fmt.duration_estimation_method == AVFMT_DURATION_FROM_STREAM &&
         std::strcmp(fmt.iformat->name, "ogg") != 0;
}

// Whether `codec` decodes a lossless source of floating-point samples (lossy decoders give
// floats of their own making).
bool IsFloatingLossless(const AVCodecContext& codec) {
  const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec.codec_id);
  if (!descriptor || !(descriptor->props & AV_CODEC_PROP_LOSSLESS) ||
      (descriptor->props & AV_CODEC_PROP_LOSSY)) {
    return false;
  }
  const AVSampleFormat packed = av_get_packed_sample_fmt(codec.sample_fmt);
  return packed == AV_SAMPLE_FMT_FLT || packed == AV_SAMPLE_FMT_DBL;
}

}  // namespace

// What the header declares (`headerFrames`: FFmpeg's length when it took it from a header),
// before any check against the file. FFmpeg leaves a WAV's length unset when its data chunk
// runs past the end of the file, and an ASF file's when the file's size is not the one its
// header gives, so those come from our own reading of the header. A claim of more than the
// file could hold at the lowest bitrate is damage, not a declaration.
std::int64_t FileDecoder::DeclaredLength(const AVStream& stream, std::int64_t headerFrames,
                                         const HeadLengths& head, std::int64_t fileSize) const {
  const int blockAlign = stream.codecpar->block_align;
  std::int64_t frames = -1;
  if (head.wavDataBytes > 0 && IsPlainPcm(m_format.codec) && blockAlign > 0) {
    frames = head.wavDataBytes / blockAlign;
  } else if (headerFrames > 0 && DeclaresLength(*m_fmt)) {
    frames = headerFrames;
  } else if (head.asfPlayTime > 0 && std::strcmp(m_fmt->iformat->name, "asf") == 0) {
    frames = av_rescale(head.asfPlayTime, m_format.rate, 10000000);
  }
  const double bits = kMinBitsPerSecond * static_cast<double>(frames) / m_format.rate;
  return frames > 0 && !IsPlainPcm(m_format.codec) && static_cast<double>(fileSize) * 8.0 < bits
             ? -1
             : frames;
}

// The source's length in frames, where it comes from and what its header declares (after the
// first frame told the real rate): from the stream's or the container's duration, checked
// against what a PCM file holds and what the file's size could hold.
void FileDecoder::FindLength(const AVStream& stream, std::int64_t fileSize,
                             std::int64_t dataStart, const HeadLengths& head, bool decoded) {
  std::int64_t frames = -1;
  LengthSource source = LengthSource::Header;
  if (m_fmt->duration_estimation_method == AVFMT_DURATION_FROM_BITRATE) {
    source = LengthSource::Guess;
  } else if (stream.duration != AV_NOPTS_VALUE && stream.duration > 0) {
    frames = av_rescale_q(stream.duration, stream.time_base, AVRational{1, m_format.rate});
    // An MP3 with a LAME tag: the decoder drops the encoder delay, which FFmpeg reports as the
    // start time but leaves in the duration.
    if (m_format.containerName == "mp3" && stream.start_time != AV_NOPTS_VALUE &&
        stream.start_time > 0) {
      frames -= av_rescale_q(stream.start_time, stream.time_base, AVRational{1, m_format.rate});
    }
  } else if (m_fmt->duration != AV_NOPTS_VALUE && m_fmt->duration > 0) {
    frames = av_rescale(m_fmt->duration, m_format.rate, AV_TIME_BASE);
  } else {
    source = LengthSource::Guess;
  }
  m_format.declaredFrames = DeclaredLength(
      stream, source == LengthSource::Header ? frames : -1, head, fileSize);
  const int blockAlign = stream.codecpar->block_align;
  // A truncated PCM file announces more data than it holds.
  if (frames > 0 && IsPlainPcm(m_format.codec) && blockAlign > 0 && dataStart >= 0 &&
      fileSize > dataStart) {
    frames = std::min<std::int64_t>(frames, (fileSize - dataStart) / blockAlign);
    source = LengthSource::Measured;
  } else if (source == LengthSource::Header && TimestampsFromPosition(m_format.containerName)) {
    // Compressed data in such a container (ADPCM in WAV): its packets are cheap to count.
    source = LengthSource::Guess;
  } else if (source == LengthSource::Header && m_format.containerName == "ogg") {
    // Ogg has no length in its header: FFmpeg takes it from the last page in the file, so a
    // file cut short already reports what it holds.
    source = LengthSource::Measured;
  }
  if (frames > 0 && static_cast<double>(fileSize) * 8.0 <
                        kMinBitsPerSecond * static_cast<double>(frames) / m_format.rate) {
    frames = -1;
    source = LengthSource::Guess;
  }
  if (!decoded) {
    frames = 0;
    source = LengthSource::Measured;
  }
  m_format.lengthFrames = frames;
  m_format.lengthSource = frames < 0 ? LengthSource::Guess : source;
}

void SetOpenFailureText(std::string text) { t_openFailure = std::move(text); }
const std::string& LastOpenFailureText() { return t_openFailure; }

int FileDecoder::Open(const std::string& path, Output output) {
  return Open(path, output, FrameRange{});
}

int FileDecoder::Open(const std::string& path, Output output, FrameRange range) {
  t_openFailure.clear();
  std::int64_t fileSize = 0;
  FileHead wav;
  if (const int result = OpenInput(path, m_fmt, &fileSize, nullptr, &wav); result != BASS_OK) {
    return result;
  }
  const std::int64_t dataStart = m_fmt->pb ? avio_tell(m_fmt->pb) : 0;
  const HeadLengths head{WavDataSize(*m_fmt, wav, dataStart), wav.asfPlayTime};
  if (avformat_find_stream_info(m_fmt.get(), nullptr) < 0) {
    return Refuse(BASS_ERROR_FILEFORM, "its streams could not be read (a damaged header)");
  }

  const AVCodec* codec = nullptr;
  m_streamIndex = av_find_best_stream(m_fmt.get(), AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
  if (m_streamIndex < 0 || !codec) return Refuse(BASS_ERROR_FILEFORM, NoDecoderText(*m_fmt));
  for (unsigned i = 0; i < m_fmt->nb_streams; ++i) {
    m_fmt->streams[i]->discard =
        static_cast<int>(i) == m_streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
  const AVStream* stream = m_fmt->streams[m_streamIndex];

  m_codec.reset(avcodec_alloc_context3(codec));
  m_packet.reset(av_packet_alloc());
  m_frame.reset(av_frame_alloc());
  if (!m_codec || !m_packet || !m_frame) return Refuse(BASS_ERROR_MEM, "out of memory");
  if (avcodec_parameters_to_context(m_codec.get(), stream->codecpar) < 0) {
    return Refuse(BASS_ERROR_FILEFORM, NoDecoderText(*m_fmt));
  }
  m_codec->pkt_timebase = stream->time_base;
  m_codec->thread_count = 1;
  if (avcodec_open2(m_codec.get(), codec, nullptr) < 0) {
    return Refuse(BASS_ERROR_FILEFORM, NoDecoderText(*m_fmt));
  }

  m_format.containerName = m_fmt->iformat->name;
  m_format.inputFormat = m_fmt->iformat;
  m_format.codec = m_codec->codec_id;
  m_contiguous = IsRawStream(m_format.containerName);
  m_outRate = output.rate;
  if (output.channels > 0) m_outLayout.SetDefault(output.channels);

  m_range = range;
  if (range.start > 0 && SeekBefore(*stream, range.start)) m_position = -1;

  // The first frame proves that the stream decodes and gives its real rate and channel count.
  const bool decoded = DecodeMore();
  if (m_error) return Refuse(m_error, m_error == BASS_ERROR_MEM ? "out of memory" : kUndecodable);
  if (!decoded) {
    // A stream without a single frame (a WAV with an empty data chunk) is empty audio.
    m_format.rate = m_codec->sample_rate;
    m_format.channels = m_codec->ch_layout.nb_channels;
    if (m_outRate <= 0) m_outRate = m_format.rate;
    if (m_outLayout.channels() <= 0) m_outLayout.SetDefault(m_format.channels);
  }
  if (m_format.rate <= 0 || m_format.channels <= 0) return Refuse(BASS_ERROR_FILEFORM, kUndecodable);
  m_format.origres = OriginalResolution(*m_codec, *stream->codecpar);
  m_format.floating = IsFloatingLossless(*m_codec);
  if (m_codec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE) {
    m_format.channelMask = m_codec->ch_layout.u.mask;
  }

  FindLength(*stream, fileSize, dataStart, head, decoded);
  return BASS_OK;
}

namespace {

// Opens `path` again for reading the packets of stream `streamIndex` only. Returns that stream,
// or nullptr when the file no longer opens or lacks the stream. `probe` runs FFmpeg's stream
// probing as the decoder did; without it only containers that announce their streams in the
// header are probed (streams found in the packets need it for their numbers to match).
AVStream* OpenForPackets(const std::string& path, int streamIndex, bool probe,
                         FormatInputPtr& fmt, const AVInputFormat* format) {
  if (OpenInput(path, fmt, nullptr, format) != BASS_OK) return nullptr;
  if ((probe || (fmt->ctx_flags & AVFMTCTX_NOHEADER)) &&
      avformat_find_stream_info(fmt.get(), nullptr) < 0) {
    return nullptr;
  }
  if (streamIndex < 0 || streamIndex >= static_cast<int>(fmt->nb_streams)) return nullptr;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    fmt->streams[i]->discard =
        static_cast<int>(i) == streamIndex ? AVDISCARD_DEFAULT : AVDISCARD_ALL;
  }
  return fmt->streams[streamIndex];
}

}  // namespace

bool FileDecoder::ReachesLength(const std::string& path, int streamIndex, int rate,
                                std::int64_t frames, const AVInputFormat* format) {
  FormatInputPtr fmt;
  // Probing would read and decode the first packets again: the header is enough here.
  const AVStream* stream = OpenForPackets(path, streamIndex, false, fmt, format);
  PacketPtr packet(av_packet_alloc());
  if (!stream || !packet || rate <= 0 || frames <= 0) return false;
  const AVRational frameBase{1, rate};
  const std::int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
  const std::int64_t end = start + av_rescale_q(frames, frameBase, stream->time_base);
  const std::int64_t target = std::max<std::int64_t>(
      start, end - av_rescale_q(kCheckSeconds, AVRational{1, 1}, stream->time_base));
  // An estimate is enough here (MP3 uses its table of contents instead of reading every frame
  // up to the target); the packets read afterwards settle the question.
  fmt->flags |= AVFMT_FLAG_FAST_SEEK;
  if (avformat_seek_file(fmt.get(), streamIndex, INT64_MIN, target, target, 0) < 0) return false;

  // The packets from there on must reach the end, give or take the rounding of coarse
  // timestamps (ASF counts milliseconds). A packet without a duration lasts as long as the
  // codec's frames, or as the longest packet seen.
  const std::int64_t slack = av_rescale_q(kEndSlackMs, AVRational{1, 1000}, stream->time_base);
  const int frameSize = stream->codecpar->frame_size;
  std::int64_t longest =
      frameSize > 0 ? av_rescale_q(frameSize, frameBase, stream->time_base) : 0;
  // No bound but the end of the file: at worst this reads what counting would read.
  while (av_read_frame(fmt.get(), packet.get()) >= 0) {
    const std::int64_t ts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    const bool ours = packet->stream_index == streamIndex && ts != AV_NOPTS_VALUE;
    std::int64_t duration = packet->duration;
    av_packet_unref(packet.get());
    if (!ours) continue;
    if (duration > 0) {
      longest = std::max(longest, duration);
    } else {
      duration = longest;
    }
    if (ts + duration >= end - slack) return true;
  }
  return false;
}

std::int64_t FileDecoder::CountFrames(const std::string& path, int streamIndex, int rate,
                                      const AVInputFormat* format) {
  FormatInputPtr fmt;
  const AVStream* stream = OpenForPackets(path, streamIndex, true, fmt, format);
  PacketPtr packet(av_packet_alloc());
  if (!stream || !packet || rate <= 0) return -1;
  const AVRational frameBase{1, rate};
  std::int64_t total = 0;
  std::int64_t dropped = 0;  // in frames: encoder delay and padding the decoder drops
  const int frameSize = stream->codecpar->frame_size;
  while (av_read_frame(fmt.get(), packet.get()) >= 0) {
    if (packet->stream_index == streamIndex) {
      if (packet->duration > 0) {
        total += packet->duration;
      } else if (frameSize > 0) {
        total += av_rescale_q(frameSize, frameBase, stream->time_base);
      }
      size_t size = 0;
      if (const uint8_t* skip =
              av_packet_get_side_data(packet.get(), AV_PKT_DATA_SKIP_SAMPLES, &size);
          skip && size >= 8) {
        dropped += ReadLe32(skip) + ReadLe32(skip + 4);
      }
    }
    av_packet_unref(packet.get());
  }
  return std::max<std::int64_t>(0, av_rescale_q(total, stream->time_base, frameBase) - dropped);
}

ContainerMetadata FileDecoder::metadata(std::size_t maxCoverBytes) const {
  return m_fmt ? MetadataOf(*m_fmt, maxCoverBytes) : ContainerMetadata{};
}

DecodeReport FileDecoder::report() const {
  DecodeReport report = m_report;
  report.declaredFrames = m_format.declaredFrames;
  // A part of the file declares the part of the file's declared length it covers.
  if (!m_range.Whole() && report.declaredFrames >= 0) {
    const std::int64_t end = m_range.end >= 0 ? std::min(m_range.end, report.declaredFrames)
                                              : report.declaredFrames;
    report.declaredFrames = std::max<std::int64_t>(0, end - m_range.start);
  }
  std::int64_t gaps = m_gapFrames;
  if (m_gapBytes > 0 && m_packetBytes > 0) {
    gaps = std::max(gaps, static_cast<std::int64_t>(static_cast<double>(m_gapBytes) *
                                                    static_cast<double>(report.deliveredFrames) /
                                                    static_cast<double>(m_packetBytes)));
  }
  // Damaged timestamps can jump far past the end: against a declared length, the gaps cost
  // at most the part of it that was not delivered.
  if (report.declaredFrames > 0) {
    gaps = std::min(gaps, std::max<std::int64_t>(
                              0, report.declaredFrames - report.deliveredFrames));
  }
  report.lostFrames = std::max(m_skippedFrames, gaps);
  return report;
}

void FileDecoder::NoteLoss(std::int64_t frames) {
  ++m_report.damagedPackets;
  if (frames <= 0) return;
  m_skippedFrames += frames;
  if (m_report.firstLossAt < 0) m_report.firstLossAt = m_report.deliveredFrames;
  m_report.lastLossAt = m_report.deliveredFrames;
}

void FileDecoder::StopEarly(int error) {
  m_error = error;
  m_report.stoppedEarly = true;
  m_report.stopError = error;
  m_report.ended = true;
}

std::int64_t FileDecoder::PacketFrames(const AVPacket& packet) const {
  const int rate = m_format.rate > 0 ? m_format.rate : m_codec->sample_rate;
  if (packet.duration > 0 && rate > 0) {
    return av_rescale_q(packet.duration, m_fmt->streams[m_streamIndex]->time_base,
                        AVRational{1, rate});
  }
  if (m_codec->frame_size > 0) return m_codec->frame_size;
  return m_lastFrameSamples;
}

void FileDecoder::NoteTimestamp(const AVFrame& frame) {
  const std::int64_t ts = frame.best_effort_timestamp;
  if (ts == AV_NOPTS_VALUE || m_format.rate <= 0) {
    m_nextTimestamp = AV_NOPTS_VALUE;
    return;
  }
  const std::int64_t at = av_rescale_q(ts, m_fmt->streams[m_streamIndex]->time_base,
                                       AVRational{1, m_format.rate});
  if (m_nextTimestamp != AV_NOPTS_VALUE) {
    // Small jumps are the rounding of coarse timestamps and the decoder's own trimming of
    // encoder delay; data the demuxer skipped leaves a gap of at least two frames.
    const std::int64_t gap = at - m_nextTimestamp;
    const std::int64_t tolerance =
        std::max<std::int64_t>(2 * m_lastFrameSamples, m_format.rate / 50);
    if (gap > tolerance) {
      m_gapFrames += gap;
      if (m_report.firstLossAt < 0) m_report.firstLossAt = m_report.deliveredFrames;
      m_report.lastLossAt = m_report.deliveredFrames;
    }
  }
  m_nextTimestamp = at + frame.nb_samples;
}

namespace {

// Codecs whose packets a demuxer places to the sample when its time base is one sample.
bool CountsSamples(AVCodecID id) {
  return IsPlainPcm(id) || id == AV_CODEC_ID_FLAC || id == AV_CODEC_ID_WAVPACK ||
         id == AV_CODEC_ID_ALAC || id == AV_CODEC_ID_TTA;
}

}  // namespace

bool FileDecoder::SeekBefore(const AVStream& stream, std::int64_t frame) {
  const int rate = stream.codecpar->sample_rate;
  if (rate <= 0 || av_cmp_q(stream.time_base, AVRational{1, rate}) != 0 ||
      !CountsSamples(stream.codecpar->codec_id)) {
    return false;
  }
  const std::int64_t ts =
      frame + (stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0);
  if (avformat_seek_file(m_fmt.get(), m_streamIndex, INT64_MIN, ts, ts, 0) < 0) return false;
  avcodec_flush_buffers(m_codec.get());
  return true;
}

bool FileDecoder::TrimToRange(const AVFrame& frame, int& offset, int& count) {
  if (m_position < 0) {
    // The first frame after a seek: its timestamp (in samples) says where it lies. A frame
    // without one, or one past the start, means the seek cannot be trusted: decoding starts
    // again at the beginning.
    const AVStream& stream = *m_fmt->streams[m_streamIndex];
    const std::int64_t ts = frame.best_effort_timestamp;
    const std::int64_t at =
        ts == AV_NOPTS_VALUE
            ? -1
            : ts - (stream.start_time != AV_NOPTS_VALUE ? stream.start_time : 0);
    if (at < 0 || at > m_range.start) {
      if (av_seek_frame(m_fmt.get(), m_streamIndex, INT64_MIN, AVSEEK_FLAG_BACKWARD) < 0) {
        StopEarly(BASS_ERROR_FILEFORM);
      }
      avcodec_flush_buffers(m_codec.get());
      m_position = 0;
      return false;
    }
    m_position = at;
  }
  const std::int64_t at = m_position;
  m_position += frame.nb_samples;
  const std::int64_t from = std::max(at, m_range.start);
  std::int64_t to = at + frame.nb_samples;
  if (m_range.end >= 0 && to >= m_range.end) {
    to = m_range.end;
    m_rangeDone = true;
  }
  if (to <= from) return false;
  offset = static_cast<int>(from - at);
  count = static_cast<int>(to - from);
  return true;
}

bool FileDecoder::DecodeMore() {
  while (true) {
    if (m_rangeDone) return Drain();
    int ret = avcodec_receive_frame(m_codec.get(), m_frame.get());
    if (ret == 0) {
      m_badPackets = 0;
      const bool converted = ConvertFrame(m_frame.get());
      av_frame_unref(m_frame.get());
      if (!converted) return false;
      if (m_pending.size() > m_pendingPos) return true;
      continue;
    }
    if (ret == AVERROR_EOF) return Drain();
    if (ret != AVERROR(EAGAIN)) {
      // A damaged frame is skipped and its length counted as lost, as far as the stream goes
      // on: the decoder resynchronises at the next good packet. Before the first good frame a
      // long run of refusals means the data are not audio of this codec at all.
      NoteLoss(m_lastPacketFrames);
      if (!m_sawFrame && ++m_badPackets > kMaxBadPackets) {
        StopEarly(BASS_ERROR_FILEFORM);
        return false;
      }
      continue;
    }
    if (m_inputDone) return Drain();
    ret = av_read_frame(m_fmt.get(), m_packet.get());
    if (ret < 0) {
      // The file could not be read further (the disk failed, the file system went away): not
      // the end of the audio.
      if (m_fmt->pb && m_fmt->pb->error < 0 && m_fmt->pb->error != AVERROR_EOF) {
        // FFmpeg's own codes (an interrupted read) are no system error: the disk's is EIO.
        const int error = AVUNERROR(m_fmt->pb->error);
        m_report.systemError = error > 0 && error < 4096 ? error : EIO;
        StopEarly(BASS_ERROR_READ);
        return false;
      }
      // A demuxer that gives up on damaged data before the end of the file ends the audio
      // early: what follows is lost. The end of the file (also of one cut short) is the end.
      if (ret != AVERROR_EOF && !(m_fmt->pb && avio_feof(m_fmt->pb))) {
        m_report.stoppedEarly = true;
        m_report.stopError = BASS_ERROR_FILEFORM;
      }
      m_inputDone = true;
      avcodec_send_packet(m_codec.get(), nullptr);
      continue;
    }
    if (m_packet->stream_index == m_streamIndex) {
      if (m_contiguous && m_packet->pos >= 0) {
        if (m_nextPosition >= 0 && m_packet->pos > m_nextPosition) {
          m_gapBytes += m_packet->pos - m_nextPosition;
          if (m_report.firstLossAt < 0) m_report.firstLossAt = m_report.deliveredFrames;
          m_report.lastLossAt = m_report.deliveredFrames;
        }
        m_nextPosition = m_packet->pos + m_packet->size;
        m_packetBytes += m_packet->size;
      }
      m_lastPacketFrames = PacketFrames(*m_packet);
      ret = avcodec_send_packet(m_codec.get(), m_packet.get());
      if (ret < 0 && ret != AVERROR(EAGAIN)) {
        NoteLoss(m_lastPacketFrames);
        if (!m_sawFrame && ++m_badPackets > kMaxBadPackets) StopEarly(BASS_ERROR_FILEFORM);
      }
    }
    av_packet_unref(m_packet.get());
    if (m_error) return false;
  }
}

bool FileDecoder::SetUpConverter(const AVFrame* frame) {
  if (m_inLayout.CopyFrom(frame->ch_layout) < 0) {
    StopEarly(BASS_ERROR_MEM);
    return false;
  }
  m_inSampleFormat = frame->format;
  if (m_outRate <= 0) m_outRate = frame->sample_rate;
  if (m_outLayout.channels() <= 0 && m_outLayout.CopyFrom(*m_inLayout.get()) < 0) {
    StopEarly(BASS_ERROR_MEM);
    return false;
  }
  m_resampling = m_outRate != frame->sample_rate;
  SwrContext* raw = nullptr;
  if (swr_alloc_set_opts2(&raw, m_outLayout.get(), AV_SAMPLE_FMT_FLT, m_outRate,
                          m_inLayout.get(), static_cast<AVSampleFormat>(frame->format),
                          frame->sample_rate, 0, nullptr) < 0) {
    StopEarly(BASS_ERROR_MEM);
    return false;
  }
  m_swr.reset(raw);
  if (swr_init(m_swr.get()) < 0) {
    StopEarly(BASS_ERROR_FILEFORM);
    return false;
  }
  return true;
}

bool FileDecoder::ConvertFrame(const AVFrame* frame) {
  const int channels = frame->ch_layout.nb_channels;
  if (channels <= 0 || frame->sample_rate <= 0) {
    if (!m_sawFrame) {
      StopEarly(BASS_ERROR_FILEFORM);
      return false;
    }
    NoteLoss(m_lastFrameSamples);
    return true;
  }
  if (m_format.rate == 0) {
    m_format.rate = frame->sample_rate;
    m_format.channels = channels;
  } else if (frame->sample_rate != m_format.rate || channels != m_format.channels) {
    // A frame in another format midway is damaged data that passed for a frame header (or a
    // splice of two files): it cannot go on into the same output, so it is dropped and its
    // length counted as lost.
    NoteLoss(av_rescale(frame->nb_samples, m_format.rate, frame->sample_rate));
    return true;
  }
  m_sawFrame = true;
  NoteTimestamp(*frame);
  m_lastFrameSamples = frame->nb_samples;
  int offset = 0;
  int count = frame->nb_samples;
  if (!m_range.Whole() && !TrimToRange(*frame, offset, count)) return m_error == 0;
  m_report.deliveredFrames += count;
  if (!m_swr || frame->format != m_inSampleFormat) {
    if (!SetUpConverter(frame)) return false;
  } else {
    ChannelLayout layout;
    if (layout.CopyFrom(frame->ch_layout) < 0 ||
        av_channel_layout_compare(layout.get(), m_inLayout.get()) != 0) {
      if (!SetUpConverter(frame)) return false;
    }
  }
  if (m_pendingPos >= m_pending.size()) {
    m_pending.clear();
    m_pendingPos = 0;
  }
  const int outChannels = m_outLayout.channels();
  const int capacity = swr_get_out_samples(m_swr.get(), count);
  if (capacity < 0) {
    StopEarly(BASS_ERROR_FILEFORM);
    return false;
  }
  const size_t base = m_pending.size();
  m_pending.resize(base + static_cast<size_t>(capacity) * outChannels);
  auto* out = reinterpret_cast<uint8_t*>(m_pending.data() + base);
  const auto** input = const_cast<const uint8_t**>(frame->extended_data);
  std::vector<const uint8_t*> planes;
  if (offset > 0) {
    // The samples from `offset` on: every plane (or the one packed plane) starts later.
    const auto sampleFormat = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(sampleFormat) != 0;
    const int step = av_get_bytes_per_sample(sampleFormat) * (planar ? 1 : channels);
    planes.resize(planar ? static_cast<size_t>(channels) : 1u);
    for (size_t i = 0; i < planes.size(); ++i) {
      planes[i] = frame->extended_data[i] + static_cast<std::ptrdiff_t>(offset) * step;
    }
    input = planes.data();
  }
  const int got = swr_convert(m_swr.get(), &out, capacity, input, count);
  if (got < 0) {
    m_pending.resize(base);
    StopEarly(BASS_ERROR_FILEFORM);
    return false;
  }
  m_pending.resize(base + static_cast<size_t>(got) * outChannels);
  return true;
}

bool FileDecoder::Drain() {
  m_ended = true;
  m_report.ended = true;
  if (!m_swr || !m_resampling) return false;
  const int outChannels = m_outLayout.channels();
  const int capacity = swr_get_out_samples(m_swr.get(), 0);
  if (capacity <= 0) return false;
  if (m_pendingPos >= m_pending.size()) {
    m_pending.clear();
    m_pendingPos = 0;
  }
  const size_t base = m_pending.size();
  m_pending.resize(base + static_cast<size_t>(capacity) * outChannels);
  auto* out = reinterpret_cast<uint8_t*>(m_pending.data() + base);
  const int got = swr_convert(m_swr.get(), &out, capacity, nullptr, 0);
  m_pending.resize(base + static_cast<size_t>(std::max(got, 0)) * outChannels);
  return got > 0;
}

long FileDecoder::Read(float* out, long frames) {
  const int channels = m_outLayout.channels();
  if (channels <= 0) return m_error ? -1 : 0;
  long done = 0;
  while (done < frames) {
    const size_t available = (m_pending.size() - m_pendingPos) / channels;
    if (available > 0) {
      const long n = std::min<long>(frames - done, static_cast<long>(available));
      std::memcpy(out + static_cast<size_t>(done) * channels, m_pending.data() + m_pendingPos,
                  static_cast<size_t>(n) * channels * sizeof(float));
      m_pendingPos += static_cast<size_t>(n) * channels;
      done += n;
      continue;
    }
    m_pending.clear();
    m_pendingPos = 0;
    if (m_ended || m_error) break;
    DecodeMore();
  }
  if (done == 0 && m_error) return -1;
  return done;
}

void SetReadFaultHook(ReadFaultHook hook) { g_readFaultHook.store(hook); }

}  // namespace qv::audio
