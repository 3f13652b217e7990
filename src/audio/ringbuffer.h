#pragma once
// FrameRing: a fixed-size ring of interleaved float frames between the thread that decodes a
// playing stream and the output device's callback, which only copies out of it. Not
// synchronised itself: its owner (PlaybackFeed) guards it with a mutex that is held only for
// these copies, never while decoding.

#include <cstddef>
#include <vector>

namespace qv::audio {

class FrameRing {
 public:
  FrameRing(std::size_t capacityFrames, int channels);

  std::size_t capacity() const { return m_capacity; }
  // Frames held, and frames that still fit.
  std::size_t size() const { return m_size; }
  std::size_t space() const { return m_capacity - m_size; }

  // Appends up to `frames` frames of `in`; returns how many fitted.
  std::size_t Write(const float* in, std::size_t frames);
  // Adds up to `frames` of the oldest frames, times `gain`, to `out` and drops them from the
  // ring; returns how many it took (fewer than asked only when the ring ran empty).
  std::size_t MixInto(float* out, std::size_t frames, float gain);
  // Drops everything held.
  void Clear();

 private:
  std::vector<float> m_samples;
  std::size_t m_channels;
  std::size_t m_capacity;
  std::size_t m_read = 0;  // frame index of the oldest frame
  std::size_t m_size = 0;
};

}  // namespace qv::audio
