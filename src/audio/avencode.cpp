#include "audio/avencode.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>

extern "C" {
#include <libavutil/error.h>
#include <libavutil/samplefmt.h>
}

#include "app/filedescriptor.h"

namespace qv::audio {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

std::string AvErrorText(int averror) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(averror, text, sizeof text);
  return text;
}

// The layout of the floats given to Write.
void SetInputLayout(const AvEncodeSettings& settings, ChannelLayout& layout) {
  layout.SetSpeakers(settings.channels, settings.speakers);
}

// The layout the codec gets: the input's unless the settings name another.
void SetCodecLayout(const AvEncodeSettings& settings, ChannelLayout& layout) {
  if (settings.codecSpeakers == 0) {
    SetInputLayout(settings, layout);
  } else {
    layout.SetSpeakers(std::popcount(settings.codecSpeakers), settings.codecSpeakers);
  }
}

CodecCtxPtr OpenCodec(const AvEncodeSettings& settings, const AVCodec* codec,
                      bool globalHeader, int& averror) {
  averror = AVERROR(ENOMEM);
  CodecCtxPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return nullptr;
  ctx->sample_fmt = settings.sampleFormat;
  ctx->sample_rate = settings.rate;
  ChannelLayout layout;
  SetCodecLayout(settings, layout);
  averror = av_channel_layout_copy(&ctx->ch_layout, layout.get());
  if (averror < 0) return nullptr;
  ctx->bit_rate = settings.bitRate;
  if (settings.cutoff > 0) ctx->cutoff = settings.cutoff;
  if (settings.bitsPerRawSample > 0) ctx->bits_per_raw_sample = settings.bitsPerRawSample;
  ctx->compression_level = settings.compressionLevel;
  ctx->time_base = AVRational{1, settings.rate};
  if (globalHeader) ctx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  averror = avcodec_open2(ctx.get(), codec, nullptr);
  if (averror < 0) return nullptr;
  return ctx;
}

}  // namespace

bool AvFileEncoder::Accepts(const AvEncodeSettings& settings) {
  if (settings.rate <= 0 || settings.channels < 1) return false;
  const AVCodec* codec = avcodec_find_encoder(settings.codec);
  if (!codec) return false;
  int averror = 0;
  return OpenCodec(settings, codec, false, averror) != nullptr;
}

AvFileEncoder::~AvFileEncoder() { Abandon(); }

AvFileEncoder::Result AvFileEncoder::Failed(Result result, const std::string& what, int averror) {
  if (m_failed == kOk) {
    m_failed = result;
    m_errorText = what;
    if (averror < 0) m_errorText += ": " + AvErrorText(averror);
  }
  return m_failed;
}

AvFileEncoder::Result AvFileEncoder::Open(const AvEncodeSettings& settings, int fd) {
  m_fd = fd;
  m_settings = settings;
  if (fd < 0) return Failed(kWriteFailed, "no output file", AVERROR(EBADF));
  if (settings.rate <= 0 || settings.channels < 1) {
    return Failed(kRefused, "unusable sample rate or channel count", AVERROR(EINVAL));
  }
  const AVCodec* codec = avcodec_find_encoder(settings.codec);
  if (!codec) return Failed(kSetupFailed, "FFmpeg has no such encoder", AVERROR_ENCODER_NOT_FOUND);
  AVFormatContext* raw = nullptr;
  int averror = avformat_alloc_output_context2(&raw, nullptr, settings.muxer, nullptr);
  if (averror < 0 || !raw) return Failed(kSetupFailed, "cannot set up the output format", averror);
  m_mux.reset(raw);
  m_codec = OpenCodec(settings, codec, (m_mux->oformat->flags & AVFMT_GLOBALHEADER) != 0, averror);
  if (!m_codec) {
    return Failed(averror == AVERROR(ENOMEM) ? kNoMemory : kRefused,
                  "the encoder refuses these settings", averror);
  }
  m_channels = m_codec->ch_layout.nb_channels;
  m_stream = avformat_new_stream(m_mux.get(), nullptr);
  if (!m_stream) return Failed(kNoMemory, "out of memory", AVERROR(ENOMEM));
  m_stream->time_base = m_codec->time_base;
  averror = avcodec_parameters_from_context(m_stream->codecpar, m_codec.get());
  if (averror < 0) return Failed(kNoMemory, "out of memory", averror);
  if (settings.configureMuxer) settings.configureMuxer(m_mux.get(), m_codec.get());

  auto* buffer = static_cast<unsigned char*>(av_malloc(kIoBufferSize));
  if (!buffer) return Failed(kNoMemory, "out of memory", AVERROR(ENOMEM));
  m_io = avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &WritePacket, &Seek);
  if (!m_io) {
    av_free(buffer);
    return Failed(kNoMemory, "out of memory", AVERROR(ENOMEM));
  }
  m_mux->pb = m_io;
  averror = avformat_write_header(m_mux.get(), nullptr);
  if (averror < 0) {
    return Failed(kWriteFailed, "cannot write the file's header",
                  m_writeErrno ? AVERROR(m_writeErrno) : averror);
  }
  m_headerWritten = true;

  const int inputRate = settings.inputRate > 0 ? settings.inputRate : settings.rate;
  ChannelLayout inputLayout;
  SetInputLayout(settings, inputLayout);
  SwrContext* swr = nullptr;
  averror = swr_alloc_set_opts2(&swr, &m_codec->ch_layout, settings.sampleFormat, settings.rate,
                                inputLayout.get(), AV_SAMPLE_FMT_FLT, inputRate, 0, nullptr);
  m_swr.reset(swr);
  if (averror >= 0) averror = swr_init(m_swr.get());
  if (averror < 0) return Failed(kSetupFailed, "cannot set up the sample conversion", averror);

  m_fifo.reset(av_audio_fifo_alloc(settings.sampleFormat, m_channels,
                                   std::max(m_codec->frame_size, 1) * 2));
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_fifo || !m_frame || !m_packet) return Failed(kNoMemory, "out of memory", AVERROR(ENOMEM));
  m_frame->nb_samples = m_codec->frame_size;
  m_frame->format = settings.sampleFormat;
  m_frame->sample_rate = settings.rate;
  averror = av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout);
  if (averror >= 0) averror = av_frame_get_buffer(m_frame.get(), 0);
  if (averror < 0) return Failed(kNoMemory, "out of memory", averror);
  return kOk;
}

int AvFileEncoder::WritePacket(void* opaque, std::uint8_t* data, int size) {
  auto* self = static_cast<AvFileEncoder*>(opaque);
  if (!WriteAll(self->m_fd, data, static_cast<size_t>(size))) {
    if (!self->m_writeErrno) self->m_writeErrno = errno;
    return AVERROR(errno);
  }
  return size;
}

std::int64_t AvFileEncoder::Seek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<AvFileEncoder*>(opaque);
  if (whence & AVSEEK_SIZE) {
    struct stat st {};
    if (::fstat(self->m_fd, &st) != 0) return AVERROR(errno);
    return st.st_size;
  }
  const off_t at = ::lseek(self->m_fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
  if (at < 0) return AVERROR(errno);
  return at;
}

AvFileEncoder::Result AvFileEncoder::Drain() {
  while (true) {
    int ret = avcodec_receive_packet(m_codec.get(), m_packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return kOk;
    if (ret < 0) return Failed(kWriteFailed, "the encoder failed", ret);
    m_packet->stream_index = m_stream->index;
    ++m_packets;
    av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_stream->time_base);
    ret = av_interleaved_write_frame(m_mux.get(), m_packet.get());
    av_packet_unref(m_packet.get());
    if (ret < 0) {
      return Failed(kWriteFailed, "cannot write the file",
                    m_writeErrno ? AVERROR(m_writeErrno) : ret);
    }
  }
}

AvFileEncoder::Result AvFileEncoder::EncodeFrames(bool flush) {
  const int frameSize = m_codec->frame_size;
  while (av_audio_fifo_size(m_fifo.get()) >= frameSize ||
         (flush && av_audio_fifo_size(m_fifo.get()) > 0)) {
    int ret = av_frame_make_writable(m_frame.get());
    if (ret < 0) return Failed(kNoMemory, "out of memory", ret);
    const int got = std::min(frameSize, av_audio_fifo_size(m_fifo.get()));
    if (av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_frame->data), got) < got) {
      return Failed(kNoMemory, "out of memory", AVERROR(ENOMEM));
    }
    if (m_settings.padLastFrame) {
      av_samples_set_silence(m_frame->data, got, frameSize - got, m_channels,
                             m_settings.sampleFormat);
    } else {
      m_frame->nb_samples = got;
    }
    m_frame->pts = m_nextPts;
    m_nextPts += m_settings.padLastFrame ? frameSize : got;
    m_samplesSent += got;
    ret = avcodec_send_frame(m_codec.get(), m_frame.get());
    m_frame->nb_samples = frameSize;
    if (ret < 0) return Failed(kWriteFailed, "the encoder failed", ret);
    if (const Result drained = Drain(); drained != kOk) return drained;
  }
  return kOk;
}

// Converts `frames` interleaved floats (none: the resampler's last samples) into the FIFO.
AvFileEncoder::Result AvFileEncoder::Convert(const float* interleaved, size_t frames) {
  if (m_channels > AV_NUM_DATA_POINTERS) return Failed(kRefused, "too many channels", 0);
  const int capacity = swr_get_out_samples(m_swr.get(), static_cast<int>(frames));
  if (capacity < 0) return Failed(kNoMemory, "out of memory", capacity);
  if (capacity == 0) return kOk;
  std::uint8_t* planes[AV_NUM_DATA_POINTERS] = {};
  int lineSize = 0;
  const int bytes = av_samples_get_buffer_size(&lineSize, m_channels, capacity,
                                               m_settings.sampleFormat, 1);
  if (bytes < 0) return Failed(kNoMemory, "out of memory", bytes);
  if (m_converted.size() < static_cast<size_t>(bytes)) {
    m_converted.resize(static_cast<size_t>(bytes));
  }
  av_samples_fill_arrays(planes, &lineSize, m_converted.data(), m_channels, capacity,
                         m_settings.sampleFormat, 1);
  const auto* in = reinterpret_cast<const std::uint8_t*>(interleaved);
  const int got = swr_convert(m_swr.get(), planes, capacity, interleaved ? &in : nullptr,
                              static_cast<int>(frames));
  if (got < 0) return Failed(kNoMemory, "the sample conversion failed", got);
  if (av_audio_fifo_write(m_fifo.get(), reinterpret_cast<void**>(planes), got) < got) {
    return Failed(kNoMemory, "out of memory", AVERROR(ENOMEM));
  }
  return kOk;
}

AvFileEncoder::Result AvFileEncoder::Write(const float* interleaved, size_t frames) {
  if (m_failed != kOk) return m_failed;
  if (m_finished || !m_headerWritten) return Failed(kWriteFailed, "the file is closed", 0);
  if (frames == 0) return kOk;
  if (const Result converted = Convert(interleaved, frames); converted != kOk) return converted;
  return EncodeFrames(false);
}

AvFileEncoder::Result AvFileEncoder::Finish() {
  if (m_finished) return m_failed;
  m_finished = true;
  if (m_headerWritten && m_failed == kOk) {
    Convert(nullptr, 0);  // what the resampler still holds
    if (m_failed == kOk) EncodeFrames(true);
    if (m_failed == kOk) {
      const int ret = avcodec_send_frame(m_codec.get(), nullptr);
      if (ret < 0) Failed(kWriteFailed, "the encoder failed", ret);
    }
    if (m_failed == kOk) Drain();
    if (m_failed == kOk) {
      const int ret = av_write_trailer(m_mux.get());
      if (ret < 0) {
        Failed(kWriteFailed, "cannot finish the file", m_writeErrno ? AVERROR(m_writeErrno) : ret);
      }
    }
    if (m_failed == kOk) {
      avio_flush(m_io);
      if (m_io->error < 0 || m_writeErrno) {
        Failed(kWriteFailed, "cannot write the file",
               m_writeErrno ? AVERROR(m_writeErrno) : m_io->error);
      }
    }
  }
  if (m_fd >= 0 && ::close(m_fd) != 0 && m_failed == kOk) {
    Failed(kWriteFailed, "cannot close the file", AVERROR(errno));
  }
  m_fd = -1;
  CloseFile();
  return m_failed;
}

AvFileEncoder::Gapless AvFileEncoder::GaplessFigures() const {
  Gapless figures;
  if (!m_codec) return figures;
  figures.priming = m_codec->initial_padding;
  figures.samples = m_samplesSent;
  figures.encoded = m_packets * std::max(m_codec->frame_size, 1);
  return figures;
}

void AvFileEncoder::Abandon() {
  m_finished = true;
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  CloseFile();
}

void AvFileEncoder::CloseFile() {
  // The I/O context is ours, not avio_open's: the muxer's owner must not close it.
  if (m_mux) m_mux->pb = nullptr;
  if (m_io) {
    av_freep(&m_io->buffer);
    avio_context_free(&m_io);
  }
}

}  // namespace qv::audio
