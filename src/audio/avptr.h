#pragma once
// Owners for the FFmpeg objects the audio layer creates: each pointer frees its object with the
// matching FFmpeg call, so every exit path releases what was opened.

#include <bit>
#include <cstdint>
#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
}

namespace qv::audio {

// What an input read through an I/O context of our own (AVFMT_FLAG_CUSTOM_IO) reads from: the
// context's `opaque`, destroyed with the context.
struct InputSource {
  virtual ~InputSource() = default;
};
// Frees an I/O context of our own with its buffer and its source; null is ignored.
inline void FreeInputIo(AVIOContext* io) {
  if (!io) return;
  delete static_cast<InputSource*>(io->opaque);
  av_freep(&io->buffer);
  avio_context_free(&io);
}
struct InputIoDeleter {
  void operator()(AVIOContext* p) const { FreeInputIo(p); }
};
// Closes an input, and frees its I/O context when that is one of ours (FFmpeg leaves it).
struct FormatInputDeleter {
  void operator()(AVFormatContext* p) const {
    AVIOContext* own = (p->flags & AVFMT_FLAG_CUSTOM_IO) ? p->pb : nullptr;
    avformat_close_input(&p);
    FreeInputIo(own);
  }
};
// An output context whose file (if any) was opened with avio_open; closes it too.
struct FormatOutputDeleter {
  void operator()(AVFormatContext* p) const {
    if (p->pb && !(p->oformat->flags & AVFMT_NOFILE)) avio_closep(&p->pb);
    avformat_free_context(p);
  }
};
struct CodecCtxDeleter {
  void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct FrameDeleter {
  void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct SwrDeleter {
  void operator()(SwrContext* p) const { swr_free(&p); }
};
struct AudioFifoDeleter {
  void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};

using FormatInputPtr = std::unique_ptr<AVFormatContext, FormatInputDeleter>;
using InputIoPtr = std::unique_ptr<AVIOContext, InputIoDeleter>;
using FormatOutputPtr = std::unique_ptr<AVFormatContext, FormatOutputDeleter>;
using CodecCtxPtr = std::unique_ptr<AVCodecContext, CodecCtxDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;
using AudioFifoPtr = std::unique_ptr<AVAudioFifo, AudioFifoDeleter>;

// Owns an AVChannelLayout (layouts with a custom map hold memory).
class ChannelLayout {
 public:
  ChannelLayout() = default;
  ~ChannelLayout() { av_channel_layout_uninit(&m_layout); }
  ChannelLayout(const ChannelLayout&) = delete;
  ChannelLayout& operator=(const ChannelLayout&) = delete;

  // A copy of `other`; a layout of unspecified order becomes the default layout of its count.
  int CopyFrom(const AVChannelLayout& other) {
    av_channel_layout_uninit(&m_layout);
    if (other.order == AV_CHANNEL_ORDER_UNSPEC || other.nb_channels <= 0) {
      av_channel_layout_default(&m_layout, other.nb_channels);
      return 0;
    }
    return av_channel_layout_copy(&m_layout, &other);
  }
  void SetDefault(int channels) {
    av_channel_layout_uninit(&m_layout);
    av_channel_layout_default(&m_layout, channels);
  }
  // The layout of `mask` (AV_CH_* bits) when it names exactly `channels` speakers, else the
  // default layout of the count.
  void SetSpeakers(int channels, std::uint64_t mask) {
    av_channel_layout_uninit(&m_layout);
    if (mask == 0 || std::popcount(mask) != channels ||
        av_channel_layout_from_mask(&m_layout, mask) < 0) {
      av_channel_layout_default(&m_layout, channels);
    }
  }
  const AVChannelLayout* get() const { return &m_layout; }
  AVChannelLayout* get() { return &m_layout; }
  int channels() const { return m_layout.nb_channels; }

 private:
  AVChannelLayout m_layout{};
};

}  // namespace qv::audio
