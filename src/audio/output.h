#pragma once
// The playback side of the layer, seen from the stream functions.

#include <memory>
#include <mutex>

namespace qv::audio {

class Stream;

// Holds the output thread off while the caller changes what it plays. Take it before a
// stream's PlaybackFeed mutex (the output thread locks in this order too); never make an SDL
// call while holding it.
std::unique_lock<std::mutex> LockOutput();

// Takes `stream` off the output device (no-op when it is not playing). The caller holds
// LockOutput(); afterwards the output thread no longer uses the stream.
void DetachFromOutputLocked(const std::shared_ptr<Stream>& stream);

}  // namespace qv::audio
