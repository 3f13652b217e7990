// Preview playback through SDL2: BASS_Init opens the default output device, the device's
// callback thread decodes and mixes the playing streams, and the channel calls start, stop and
// query them from the user-interface thread.

#include "audio/output.h"

#include <SDL.h>

#include <algorithm>
#include <vector>

#include "audio/encoder.h"
#include "audio/handles.h"
#include "audio/stream.h"

namespace qv::audio {
namespace {

// OutputDevice: the open SDL audio device and the list of streams it plays. The callback runs
// on SDL's audio thread under g_outputMutex; every change of the list happens under the same mutex,
// so a stream leaves the list before anyone can free it.
class OutputDevice {
 public:
  static void Callback(void* user, Uint8* data, int bytes) {
    static_cast<OutputDevice*>(user)->Mix(reinterpret_cast<float*>(data),
                                          bytes / static_cast<int>(sizeof(float)));
  }

  void Mix(float* out, int samples);

  std::vector<std::shared_ptr<Stream>> m_playing;
  std::vector<float> m_scratch;
  SDL_AudioDeviceID m_device = 0;
};

// One mutex guards the device pointer, what the device plays and the callback's mixing, so a
// stream leaves the list before anyone can free it. Stream mutexes are taken after it. No SDL
// call is made under it: SDL's device lock is held around the callback, which takes it too.
std::mutex g_outputMutex;
// Serialises opening and closing the device (BASS_Init, BASS_Free); the callback never takes it.
std::mutex g_lifeMutex;
std::unique_ptr<OutputDevice> g_device;

void OutputDevice::Mix(float* out, int samples) {
  std::lock_guard lock(g_outputMutex);
  std::fill(out, out + samples, 0.0f);
  const long frames = samples / kPlaybackChannels;
  if (m_scratch.size() < static_cast<size_t>(samples)) m_scratch.resize(samples);
  for (auto it = m_playing.begin(); it != m_playing.end();) {
    Stream& stream = **it;
    std::lock_guard streamLock(stream.mutex);
    const long got = stream.Read(m_scratch.data(), frames);
    const float volume = stream.volume;
    for (long i = 0; i < std::max(got, 0L) * kPlaybackChannels; ++i) {
      out[i] += m_scratch[i] * volume;
    }
    if (got < frames) {
      stream.ended = true;
      stream.playing = false;
      it = m_playing.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace

std::unique_lock<std::mutex> LockOutput() { return std::unique_lock(g_outputMutex); }

void DetachFromOutputLocked(const std::shared_ptr<Stream>& stream) {
  stream->playing = false;
  if (!g_device) return;
  auto& playing = g_device->m_playing;
  playing.erase(std::remove(playing.begin(), playing.end(), stream), playing.end());
}

}  // namespace qv::audio

using namespace qv::audio;

BOOL BASS_Init(int device, DWORD freq, DWORD, void*, const void*) {
  std::lock_guard life(g_lifeMutex);
  {
    std::lock_guard lock(g_outputMutex);
    if (g_device) return Fail(BASS_ERROR_ALREADY, 0);
  }
  if (device != -1 && device != 1) return Fail(BASS_ERROR_DEVICE, 0);
  if (freq == 0) freq = kPlaybackRate;
  // SDL would otherwise catch SIGINT and SIGTERM and queue a quit event that nobody reads,
  // so the program could not be stopped by a signal.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return Fail(BASS_ERROR_DRIVER, 0);
  auto output = std::make_unique<OutputDevice>();
  SDL_AudioSpec wanted{};
  wanted.freq = kPlaybackRate;
  wanted.format = AUDIO_F32SYS;
  wanted.channels = kPlaybackChannels;
  wanted.samples = 2048;
  wanted.callback = &OutputDevice::Callback;
  wanted.userdata = output.get();
  SDL_AudioSpec obtained{};
  // No changes allowed: SDL converts to whatever the hardware wants. The device opens paused,
  // so the callback does not run before the device is published below.
  output->m_device = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
  if (output->m_device == 0) {
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return Fail(BASS_ERROR_DEVICE, 0);
  }
  const SDL_AudioDeviceID id = output->m_device;
  {
    std::lock_guard lock(g_outputMutex);
    g_device = std::move(output);
  }
  // Outside g_outputMutex: SDL takes its device lock here, and the callback holds that lock
  // while it waits for g_outputMutex.
  SDL_PauseAudioDevice(id, 0);
  return Succeed(1);
}

BOOL BASS_Free() {
  std::lock_guard life(g_lifeMutex);
  std::unique_ptr<OutputDevice> device;
  {
    std::lock_guard lock(g_outputMutex);
    device = std::move(g_device);
    if (device) {
      for (const auto& stream : device->m_playing) stream->playing = false;
      device->m_playing.clear();
    }
  }
  if (device) {
    // Closing waits for a running callback, which finds nothing left to play.
    SDL_CloseAudioDevice(device->m_device);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  for (const auto& [handle, stream] : TakeAllStreams()) {
    for (const auto& encoder : TakeEncodersOf(handle, true)) encoder->Finish();
  }
  if (!device) return Fail(BASS_ERROR_INIT, 0);
  return Succeed(1);
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (stream->decodeOnly()) return Fail(BASS_ERROR_DECODE, 0);
  std::lock_guard outputLock(g_outputMutex);
  if (!g_device) return Fail(BASS_ERROR_INIT, 0);
  std::lock_guard lock(stream->mutex);
  // A stream that played to its end starts again from the beginning.
  if (restart || stream->ended) {
    const int result = stream->Seek(0);
    if (result != BASS_OK) return Fail(result, 0);
  }
  if (!stream->playing) {
    stream->playing = true;
    g_device->m_playing.push_back(stream);
  }
  return Succeed(1);
}

BOOL BASS_ChannelStop(DWORD handle) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (stream->decodeOnly()) return Fail(BASS_ERROR_DECODE, 0);
  auto lock = LockOutput();
  DetachFromOutputLocked(stream);
  return Succeed(1);
}

DWORD BASS_ChannelIsActive(DWORD handle) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, BASS_ACTIVE_STOPPED);
  if (stream->decodeOnly()) {
    std::lock_guard lock(stream->mutex);
    return Succeed(stream->decoderError() ? BASS_ACTIVE_STOPPED : BASS_ACTIVE_PLAYING);
  }
  return Succeed(stream->playing ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_STOPPED);
}

BOOL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  if (attrib != BASS_ATTRIB_VOL) return Fail(BASS_ERROR_ILLPARAM, 0);
  if (!(value >= 0.0f)) return Fail(BASS_ERROR_ILLPARAM, 0);
  auto outputLock = LockOutput();
  std::lock_guard lock(stream->mutex);
  stream->volume = value;
  return Succeed(1);
}
