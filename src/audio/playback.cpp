#include "audio/playback.h"

#include <algorithm>
#include <system_error>

#include "audio/bass.h"

namespace qv::audio {

PlaybackFeed::PlaybackFeed(std::string path, std::unique_ptr<FileDecoder> decoder,
                           FileDecoder::Output output, const SourceFormat& source,
                           FrameRange range)
    : m_path(std::move(path)),
      m_output(output),
      m_range(range),
      m_sourceRate(source.rate),
      m_sourceChannels(source.channels),
      m_ring(kRingFrames, output.channels),
      m_decoder(std::move(decoder)),
      m_block(static_cast<std::size_t>(kBlockFrames) * static_cast<std::size_t>(
                                                           std::max(output.channels, 1))) {}

PlaybackFeed::~PlaybackFeed() {
  // The thread is told to end and joined here, before the members it uses go away; the
  // condition variable wakes it through the stop token.
  if (m_thread.joinable()) {
    m_thread.request_stop();
    m_thread.join();
  }
}

bool PlaybackFeed::Start() {
  std::lock_guard lock(m_mutex);
  if (m_thread.joinable()) return true;
  try {
    m_thread = std::jthread([this](std::stop_token stop) { Run(std::move(stop)); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void PlaybackFeed::SeekTo(std::int64_t frame) {
  {
    std::lock_guard lock(m_mutex);
    m_ended = false;
    // Nothing handed out yet: the ring and the decoder already stand at the start. After a
    // failure the file is opened again, in case it can be read now.
    if (frame == 0 && m_atStart && m_error == BASS_OK) return;
    m_ring.Clear();
    ++m_generation;
    m_latestGeneration.store(m_generation, std::memory_order_relaxed);
    m_seekPending = true;
    m_seekFrame = std::max<std::int64_t>(frame, 0);
    m_inputEnded = false;
    m_error = 0;
    m_atStart = frame == 0;
  }
  m_wake.notify_one();
}

bool PlaybackFeed::Ended() const {
  std::lock_guard lock(m_mutex);
  return m_ended;
}

int PlaybackFeed::error() const {
  std::lock_guard lock(m_mutex);
  return m_error;
}

PlaybackFeed::Mixed PlaybackFeed::MixInto(float* out, long frames, float gain) {
  Mixed mixed;
  bool wake = false;
  {
    std::lock_guard lock(m_mutex);
    if (m_ended) return {0, false};
    mixed.frames = static_cast<long>(
        m_ring.MixInto(out, static_cast<std::size_t>(std::max(frames, 0L)), gain));
    if (mixed.frames > 0) m_atStart = false;
    if (m_inputEnded && m_ring.size() == 0) {
      m_ended = true;
      mixed.more = false;
    }
    wake = !m_inputEnded && m_ring.space() >= static_cast<std::size_t>(kBlockFrames);
  }
  if (wake) m_wake.notify_one();
  return mixed;
}

bool PlaybackFeed::Reopen(std::int64_t frame, std::uint64_t generation,
                          const std::stop_token& stop, std::unique_ptr<FileDecoder>& decoder,
                          int& result) {
  auto reopened = std::make_unique<FileDecoder>();
  result = reopened->Open(m_path, m_output, m_range);
  if (result != BASS_OK) return true;
  if (reopened->format().rate != m_sourceRate ||
      reopened->format().channels != m_sourceChannels) {
    result = BASS_ERROR_FILEFORM;  // the file was replaced by another one
    return true;
  }
  // The decoder hands out converted data, so the frames before the target are counted in
  // output frames (and the resampler goes through them, as in a play from the start).
  std::int64_t skip = av_rescale(frame, reopened->outputRate(), std::max(m_sourceRate, 1));
  while (skip > 0) {
    if (stop.stop_requested() ||
        m_latestGeneration.load(std::memory_order_relaxed) != generation) {
      return false;
    }
    const long got = reopened->Read(m_block.data(), static_cast<long>(std::min<std::int64_t>(
                                                        skip, kBlockFrames)));
    if (got <= 0) break;  // the end, or an error that the next read reports again
    skip -= got;
  }
  decoder = std::move(reopened);
  return true;
}

void PlaybackFeed::Run(std::stop_token stop) {
  std::unique_lock lock(m_mutex);
  while (!stop.stop_requested()) {
    if (m_seekPending) {
      m_seekPending = false;
      const std::uint64_t generation = m_generation;
      const std::int64_t frame = m_seekFrame;
      lock.unlock();
      std::unique_ptr<FileDecoder> reopened;
      int result = BASS_OK;
      const bool done = Reopen(frame, generation, stop, reopened, result);
      lock.lock();
      // A newer request replaces this one (the loop takes it up next); otherwise the new
      // decoder, or nothing after a failure, takes the old one's place.
      if (done && generation == m_generation) {
        if (result != BASS_OK) {
          m_inputEnded = true;
          m_error = result;
        }
        std::swap(m_decoder, reopened);
      }
      // Whichever decoder is left over is closed with the lock released, so the output
      // callback never waits for it.
      lock.unlock();
      reopened.reset();
      lock.lock();
      continue;
    }
    if (m_inputEnded || !m_decoder || m_ring.space() < static_cast<std::size_t>(kBlockFrames)) {
      m_wake.wait(lock, stop, [this] {
        return m_seekPending ||
               (!m_inputEnded && m_decoder &&
                m_ring.space() >= static_cast<std::size_t>(kBlockFrames));
      });
      continue;
    }
    const std::uint64_t generation = m_generation;
    lock.unlock();
    // The slow part, with no lock held: file reads, decoding, resampling.
    const long got = m_decoder->Read(m_block.data(), kBlockFrames);
    const int error = got < 0 ? (m_decoder->error() ? m_decoder->error() : BASS_ERROR_UNKNOWN)
                              : BASS_OK;
    lock.lock();
    if (generation != m_generation) continue;  // a seek came in: these frames are stale
    if (got > 0) m_ring.Write(m_block.data(), static_cast<std::size_t>(got));
    if (got < kBlockFrames) {
      m_inputEnded = true;
      m_error = error;
    }
  }
}

}  // namespace qv::audio
