#pragma once
// PlaybackFeed: the decoding side of one playable stream. A thread of its own decodes the file
// (reads, decoding and resampling to the device format) into a FrameRing; the output device's
// callback only copies from that ring, so it never waits for the disk or the decoder. Every
// call of the user-interface thread (start, rewind, seek, end) takes the feed's mutex only for
// a few field updates; a seek is a request that the decoding thread carries out by opening the
// file again.
//
// The thread starts with the first Start() (a stream that is only probed never gets one) and
// is ended and joined by the destructor.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "audio/decoder.h"
#include "audio/ringbuffer.h"

namespace qv::audio {

class PlaybackFeed {
 public:
  // Frames decoded per step, and the frames the ring holds (about 0.37 s at 44100 Hz).
  static constexpr long kBlockFrames = 4096;
  static constexpr std::size_t kRingFrames = 4 * kBlockFrames;

  // Takes over `decoder`, opened on `path` with output in the device format `output`.
  // `source` is what the file held when it was opened: a file that holds another rate or
  // channel count when it is opened again has been replaced and ends the playback.
  // `range` is the part of the file the feed plays; positions count from its start.
  PlaybackFeed(std::string path, std::unique_ptr<FileDecoder> decoder,
               FileDecoder::Output output, const SourceFormat& source, FrameRange range = {});
  ~PlaybackFeed();
  PlaybackFeed(const PlaybackFeed&) = delete;
  PlaybackFeed& operator=(const PlaybackFeed&) = delete;

  // Starts the decoding thread unless it runs. False when no thread could be started.
  bool Start();
  // Drops the buffered audio and has the decoding thread go on from source frame `frame`.
  // Returns at once; until the thread has opened the file again the feed gives silence. A
  // rewind of a feed that has given nothing since its start or its last rewind changes nothing.
  void SeekTo(std::int64_t frame);
  // Whether the output took every frame up to the end of the data (or to a failure). Cleared
  // by SeekTo.
  bool Ended() const;
  // Why the data ended early: an error code of the decoder (BASS_ERROR_READ for an I/O error,
  // BASS_ERROR_FILEFORM for a file replaced by another format, ...), or 0.
  int error() const;

  // Output callback: adds up to `frames` buffered frames times `gain` to `out`. `more` is false
  // once the data have ended and every frame has been handed out; the feed then counts as
  // Ended. Fewer frames than asked while `more` holds: the decoder has not caught up (just
  // after a start or a seek), and the rest is silence.
  struct Mixed {
    long frames = 0;
    bool more = true;
  };
  Mixed MixInto(float* out, long frames, float gain);

 private:
  void Run(std::stop_token stop);
  // Opens the file again and decodes (and drops) the output frames before source frame
  // `frame`. Gives up (false, `result` untouched) when a newer request or the end of the
  // feed comes in meanwhile.
  bool Reopen(std::int64_t frame, std::uint64_t generation, const std::stop_token& stop,
              std::unique_ptr<FileDecoder>& decoder, int& result);

  const std::string m_path;
  const FileDecoder::Output m_output;
  const FrameRange m_range;
  const int m_sourceRate;
  const int m_sourceChannels;

  mutable std::mutex m_mutex;
  std::condition_variable_any m_wake;  // the decoding thread waits here for room or a request
  // Guarded by m_mutex.
  FrameRing m_ring;
  std::uint64_t m_generation = 0;  // counts the seeks; a block of an older one is dropped
  bool m_seekPending = false;
  std::int64_t m_seekFrame = 0;
  bool m_inputEnded = false;  // the decoder has nothing more for the ring
  bool m_ended = false;       // ... and the output has taken the rest
  bool m_atStart = true;      // nothing handed out since the start or the last rewind
  int m_error = 0;
  // A copy of m_generation that the decoding thread polls while it skips toward a seek target.
  std::atomic<std::uint64_t> m_latestGeneration{0};

  // Only the decoding thread uses the decoder once it runs.
  std::unique_ptr<FileDecoder> m_decoder;
  std::vector<float> m_block;
  // Last: it is joined before the members it uses go away.
  std::jthread m_thread;
};

}  // namespace qv::audio
