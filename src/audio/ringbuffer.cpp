#include "audio/ringbuffer.h"

#include <algorithm>

namespace qv::audio {

FrameRing::FrameRing(std::size_t capacityFrames, int channels)
    : m_channels(static_cast<std::size_t>(std::max(channels, 1))),
      m_capacity(std::max<std::size_t>(capacityFrames, 1)) {
  m_samples.resize(m_capacity * m_channels);
}

std::size_t FrameRing::Write(const float* in, std::size_t frames) {
  const std::size_t count = std::min(frames, space());
  std::size_t done = 0;
  while (done < count) {
    // At most two pieces: up to the end of the storage, then from its start.
    const std::size_t at = (m_read + m_size) % m_capacity;
    const std::size_t piece = std::min(count - done, m_capacity - at);
    std::copy_n(in + done * m_channels, piece * m_channels, m_samples.begin() + at * m_channels);
    m_size += piece;
    done += piece;
  }
  return count;
}

std::size_t FrameRing::MixInto(float* out, std::size_t frames, float gain) {
  const std::size_t count = std::min(frames, m_size);
  std::size_t done = 0;
  while (done < count) {
    const std::size_t piece = std::min(count - done, m_capacity - m_read);
    const float* from = m_samples.data() + m_read * m_channels;
    float* to = out + done * m_channels;
    for (std::size_t i = 0; i < piece * m_channels; ++i) to[i] += from[i] * gain;
    m_read = (m_read + piece) % m_capacity;
    m_size -= piece;
    done += piece;
  }
  return count;
}

void FrameRing::Clear() {
  m_read = 0;
  m_size = 0;
}

}  // namespace qv::audio
