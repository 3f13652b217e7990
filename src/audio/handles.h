#pragma once
// The process-wide handle tables of the audio layer and the per-thread last error code.
// Handles of every kind (streams, encoders, WMA encoders) come from one counter, so a number
// never names two objects. The tables are safe to use from any thread.

#include <memory>
#include <utility>
#include <vector>

#include "audio/bass.h"

namespace qv::audio {

class Stream;
class Encoder;
class WmaEncoder;

// Sets the calling thread's last error code and returns `value`, so a failure reads
// `return Fail(BASS_ERROR_HANDLE, 0)`.
void SetError(int code);
int LastError();
template <typename T>
T Fail(int code, T value) {
  SetError(code);
  return value;
}
// Sets BASS_OK and returns `value`.
template <typename T>
T Succeed(T value) {
  SetError(BASS_OK);
  return value;
}

DWORD AddStream(std::shared_ptr<Stream> stream);
std::shared_ptr<Stream> FindStream(DWORD handle);
// Removes the stream from the table and returns it (null for an unknown handle).
std::shared_ptr<Stream> TakeStream(DWORD handle);
// Removes and returns every stream (BASS_Free).
std::vector<std::pair<DWORD, std::shared_ptr<Stream>>> TakeAllStreams();

DWORD AddEncoder(std::shared_ptr<Encoder> encoder);
std::shared_ptr<Encoder> FindEncoder(DWORD handle);
std::shared_ptr<Encoder> TakeEncoder(DWORD handle);
// Every encoder attached to `channel`, in creation order.
std::vector<std::shared_ptr<Encoder>> EncodersOf(DWORD channel);
// Removes and returns the encoders of `channel` (all of them when `onlyAutoFree` is false).
std::vector<std::shared_ptr<Encoder>> TakeEncodersOf(DWORD channel, bool onlyAutoFree);

DWORD AddWmaEncoder(std::shared_ptr<WmaEncoder> encoder);
std::shared_ptr<WmaEncoder> FindWmaEncoder(DWORD handle);
std::shared_ptr<WmaEncoder> TakeWmaEncoder(DWORD handle);

}  // namespace qv::audio
