#include "audio/metadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "audio/avptr.h"
#include "audio/decoder.h"

extern "C" {
#include <libavutil/dict.h>
#include <libavutil/error.h>
}

namespace qv::audio {
namespace {

// The named file only: playlists and references inside a container must not make the reader
// open other files or URLs. `opaque` holds the allowed URL while the header is read.
int OpenOnlyNamedFile(AVFormatContext* s, AVIOContext** pb, const char* url, int flags,
                      AVDictionary** options) {
  const auto* allowed = static_cast<const std::string*>(s->opaque);
  if (!allowed || !url || *allowed != url || (flags & AVIO_FLAG_WRITE)) return AVERROR(EPERM);
  return avio_open2(pb, url, flags, &s->interrupt_callback, options);
}

std::string MimeTypeOf(AVCodecID codec) {
  switch (codec) {
    case AV_CODEC_ID_MJPEG: return "image/jpeg";
    case AV_CODEC_ID_PNG: return "image/png";
    case AV_CODEC_ID_BMP: return "image/bmp";
    case AV_CODEC_ID_GIF: return "image/gif";
    case AV_CODEC_ID_WEBP: return "image/webp";
    case AV_CODEC_ID_TIFF: return "image/tiff";
    default: return {};
  }
}

std::string ErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

}  // namespace

ContainerMetadata ReadContainerMetadata(const std::string& path, std::size_t maxCoverBytes) {
  ContainerMetadata result;
  QuietFfmpegLog();
  // A FIFO would block the open and a device never ends: regular files only.
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    result.error = "not a readable regular file";
    return result;
  }
  // "file:" keeps a name such as "pipe:1.mp4" a plain file name.
  const std::string url = "file:" + path;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) {
    result.error = "out of memory";
    return result;
  }
  raw->io_open = &OpenOnlyNamedFile;
  raw->opaque = const_cast<std::string*>(&url);
  AVDictionary* options = nullptr;
  av_dict_set(&options, "protocol_whitelist", "file", 0);
  av_dict_set(&options, "format_whitelist", kSoundDemuxers, 0);
  const int ret = avformat_open_input(&raw, url.c_str(), nullptr, &options);
  av_dict_free(&options);
  if (ret < 0) {
    result.error = ErrorText(ret);  // the context was freed by avformat_open_input
    return result;
  }
  FormatInputPtr fmt(raw);
  fmt->opaque = nullptr;

  // Some containers (FLV's onMetaData) carry their tags in the first packets, not the header.
  // A WAV's chunks are all read with its header, and its first packets cost a scan of 64 KB
  // for a bitstream in S/PDIF framing: not for an untagged WAV.
  if (av_dict_count(fmt->metadata) == 0 && std::strcmp(fmt->iformat->name, "wav") != 0) {
    avformat_find_stream_info(fmt.get(), nullptr);
  }
  return MetadataOf(*fmt, maxCoverBytes);
}

ContainerMetadata MetadataOf(const AVFormatContext& fmt, std::size_t maxCoverBytes) {
  ContainerMetadata result;
  result.opened = true;
  const AVDictionaryEntry* entry = nullptr;
  while ((entry = av_dict_get(fmt.metadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
    if (entry->key && entry->value) result.tags.emplace_back(entry->key, entry->value);
  }
  for (unsigned i = 0; i < fmt.nb_streams; ++i) {
    const AVStream* stream = fmt.streams[i];
    if (!(stream->disposition & AV_DISPOSITION_ATTACHED_PIC)) continue;
    const AVPacket& pic = stream->attached_pic;
    if (!pic.data || pic.size <= 0) continue;
    if (static_cast<std::size_t>(pic.size) > maxCoverBytes) {
      result.refusedCoverBytes = static_cast<std::size_t>(pic.size);
      break;
    }
    result.coverData.assign(reinterpret_cast<const char*>(pic.data),
                            static_cast<std::size_t>(pic.size));
    result.coverMimeType = MimeTypeOf(stream->codecpar->codec_id);
    break;
  }
  return result;
}

}  // namespace qv::audio
