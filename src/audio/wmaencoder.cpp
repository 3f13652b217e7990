#include "audio/wmaencoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/opt.h>
}

#include "audio/bass.h"

namespace qv::audio {
namespace {

// The ASF writer pads every packet it cannot fill: a packet of its default 3200 bytes holds
// only whole audio payloads, so a 192 kbit/s stream would cost 276 kbit/s. The packet size is
// chosen to hold a whole number of payloads: 14 bytes of packet header plus 17 bytes of
// payload header per payload.
constexpr int kAsfPacketHeader = 14;
constexpr int kAsfPayloadHeader = 17;
constexpr int kAsfTargetPacket = 3200;

int AsfPacketSize(int blockAlign) {
  const int payload = blockAlign + kAsfPayloadHeader;
  const int count = std::max(1, (kAsfTargetPacket - kAsfPacketHeader) / payload);
  return std::clamp(count * payload + kAsfPacketHeader, 100, 65536);
}

CodecCtxPtr OpenCodec(int rate, int channels, int bitrate) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_WMAV2);
  if (!codec) return nullptr;
  CodecCtxPtr ctx(avcodec_alloc_context3(codec));
  if (!ctx) return nullptr;
  ctx->sample_fmt = AV_SAMPLE_FMT_FLTP;
  ctx->sample_rate = rate;
  av_channel_layout_default(&ctx->ch_layout, channels);
  ctx->bit_rate = bitrate;
  ctx->time_base = AVRational{1, rate};
  if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return nullptr;
  return ctx;
}

}  // namespace

bool WmaEncoder::Accepts(int rate, int channels, int bitrate) {
  QuietFfmpegLog();
  if (rate <= 0 || rate > 48000 || channels < 1 || channels > 2 || bitrate <= 0) return false;
  return OpenCodec(rate, channels, bitrate) != nullptr;
}

WmaEncoder::~WmaEncoder() { Close(); }

int WmaEncoder::Open(int rate, int channels, int bitrate, const std::string& path) {
  std::lock_guard lock(m_mutex);
  QuietFfmpegLog();
  if (rate <= 0 || rate > 48000 || channels < 1 || channels > 2) return BASS_ERROR_FORMAT;
  m_codec = OpenCodec(rate, channels, bitrate);
  if (!m_codec) return kRefusedBitrate;
  m_channels = channels;

  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, nullptr, "asf", path.c_str()) < 0 || !raw) {
    return BASS_ERROR_MEM;
  }
  m_mux.reset(raw);
  m_stream = avformat_new_stream(m_mux.get(), nullptr);
  if (!m_stream) return BASS_ERROR_MEM;
  m_stream->time_base = m_codec->time_base;
  if (avcodec_parameters_from_context(m_stream->codecpar, m_codec.get()) < 0) {
    return BASS_ERROR_MEM;
  }
  av_opt_set_int(m_mux->priv_data, "packet_size", AsfPacketSize(m_codec->block_align), 0);
  if (avio_open(&m_mux->pb, path.c_str(), AVIO_FLAG_WRITE) < 0) return BASS_ERROR_CREATE;
  m_path = path;
  if (avformat_write_header(m_mux.get(), nullptr) < 0) return BASS_ERROR_CREATE;
  m_headerWritten = true;

  m_fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, channels, m_codec->frame_size * 2));
  m_frame.reset(av_frame_alloc());
  m_packet.reset(av_packet_alloc());
  if (!m_fifo || !m_frame || !m_packet) return BASS_ERROR_MEM;
  m_frame->nb_samples = m_codec->frame_size;
  m_frame->format = AV_SAMPLE_FMT_FLTP;
  m_frame->sample_rate = rate;
  if (av_channel_layout_copy(&m_frame->ch_layout, &m_codec->ch_layout) < 0 ||
      av_frame_get_buffer(m_frame.get(), 0) < 0) {
    return BASS_ERROR_MEM;
  }
  return BASS_OK;
}

int WmaEncoder::Drain() {
  while (true) {
    const int ret = avcodec_receive_packet(m_codec.get(), m_packet.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return BASS_OK;
    if (ret < 0) return BASS_ERROR_UNKNOWN;
    m_packet->stream_index = m_stream->index;
    av_packet_rescale_ts(m_packet.get(), m_codec->time_base, m_stream->time_base);
    const int written = av_interleaved_write_frame(m_mux.get(), m_packet.get());
    av_packet_unref(m_packet.get());
    if (written < 0) return BASS_ERROR_ENDED;  // the disk is full or the file went away
  }
}

int WmaEncoder::EncodeFrames(bool flush) {
  const int frameSize = m_codec->frame_size;
  while (av_audio_fifo_size(m_fifo.get()) >= frameSize ||
         (flush && av_audio_fifo_size(m_fifo.get()) > 0)) {
    if (av_frame_make_writable(m_frame.get()) < 0) return BASS_ERROR_MEM;
    const int got = av_audio_fifo_read(m_fifo.get(), reinterpret_cast<void**>(m_frame->data),
                                       frameSize);
    if (got < 0) return BASS_ERROR_MEM;
    // The encoder takes whole frames only: the last one is completed with silence.
    for (int c = 0; c < m_codec->ch_layout.nb_channels; ++c) {
      auto* plane = reinterpret_cast<float*>(m_frame->data[c]);
      std::fill(plane + got, plane + frameSize, 0.0f);
    }
    m_frame->pts = m_nextPts;
    m_nextPts += frameSize;
    if (avcodec_send_frame(m_codec.get(), m_frame.get()) < 0) return BASS_ERROR_UNKNOWN;
    const int drained = Drain();
    if (drained != BASS_OK) return drained;
  }
  return BASS_OK;
}

int WmaEncoder::Write(const float* samples, size_t frames) {
  std::lock_guard lock(m_mutex);
  if (m_closed || !m_headerWritten) return BASS_ERROR_ENDED;
  if (m_failed) return m_failed;
  const int channels = m_codec->ch_layout.nb_channels;
  m_planes.resize(static_cast<size_t>(channels));
  void* planes[2] = {nullptr, nullptr};
  for (int c = 0; c < channels; ++c) {
    m_planes[c].resize(frames);
    for (size_t i = 0; i < frames; ++i) m_planes[c][i] = samples[i * channels + c];
    planes[c] = m_planes[c].data();
  }
  if (av_audio_fifo_write(m_fifo.get(), planes, static_cast<int>(frames)) <
      static_cast<int>(frames)) {
    m_failed = BASS_ERROR_MEM;
    return m_failed;
  }
  m_failed = EncodeFrames(false);
  return m_failed;
}

int WmaEncoder::Close() {
  std::lock_guard lock(m_mutex);
  if (m_closed) return m_failed;
  m_closed = true;
  if (!m_headerWritten) return m_failed;
  if (!m_failed) m_failed = EncodeFrames(true);
  if (!m_failed && avcodec_send_frame(m_codec.get(), nullptr) >= 0) m_failed = Drain();
  if (av_write_trailer(m_mux.get()) < 0 && !m_failed) m_failed = BASS_ERROR_ENDED;
  if (m_mux->pb) {
    avio_flush(m_mux->pb);
    if (m_mux->pb->error < 0 && !m_failed) m_failed = BASS_ERROR_ENDED;
    if (avio_closep(&m_mux->pb) < 0 && !m_failed) m_failed = BASS_ERROR_ENDED;
  }
  return m_failed;
}

}  // namespace qv::audio
