// Preview playback through SDL2: BASS_Init opens the default output device; each playing
// stream's PlaybackFeed decodes on a thread of its own, and the device's callback only mixes
// what the feeds have buffered. The channel calls start, stop and query streams from the
// user-interface thread without waiting for any decoding.

#include "audio/output.h"

#include <SDL.h>

#include <algorithm>
#include <utility>
#include <vector>

#include "audio/encoder.h"
#include "audio/handles.h"
#include "audio/playback.h"
#include "audio/stream.h"

namespace qv::audio {
namespace {

// The SDL audio subsystem, started for as long as its owner lives.
class SdlAudioSubsystem {
 public:
  SdlAudioSubsystem() = default;
  SdlAudioSubsystem(SdlAudioSubsystem&& other) noexcept
      : m_started(std::exchange(other.m_started, false)) {}
  SdlAudioSubsystem& operator=(SdlAudioSubsystem&& other) noexcept {
    if (this != &other) {
      Quit();
      m_started = std::exchange(other.m_started, false);
    }
    return *this;
  }
  ~SdlAudioSubsystem() { Quit(); }

  // An owner of the started subsystem, or an empty one when SDL has no audio driver.
  static SdlAudioSubsystem Start() {
    SdlAudioSubsystem subsystem;
    subsystem.m_started = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
    return subsystem;
  }
  explicit operator bool() const { return m_started; }

 private:
  void Quit() {
    if (std::exchange(m_started, false)) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  bool m_started = false;
};

// One open SDL audio device. Closing it waits for a running callback to return, so it must
// never happen under a lock that the callback takes.
class AudioDevice {
 public:
  AudioDevice() = default;
  AudioDevice(AudioDevice&& other) noexcept : m_id(std::exchange(other.m_id, 0)) {}
  AudioDevice& operator=(AudioDevice&& other) noexcept {
    if (this != &other) {
      Close();
      m_id = std::exchange(other.m_id, 0);
    }
    return *this;
  }
  ~AudioDevice() { Close(); }

  // Opens the default output device with exactly the format of `wanted` (SDL converts to
  // whatever the hardware takes). The device starts paused. Empty when it cannot be opened.
  static AudioDevice OpenDefault(const SDL_AudioSpec& wanted) {
    AudioDevice device;
    SDL_AudioSpec obtained{};
    device.m_id = SDL_OpenAudioDevice(nullptr, 0, &wanted, &obtained, 0);
    return device;
  }
  explicit operator bool() const { return m_id != 0; }
  void Resume() {
    if (m_id != 0) SDL_PauseAudioDevice(m_id, 0);
  }

 private:
  void Close() {
    if (m_id != 0) SDL_CloseAudioDevice(std::exchange(m_id, 0));
  }
  SDL_AudioDeviceID m_id = 0;
};

// OutputDevice: the open device and the list of streams it plays. The callback runs on SDL's
// audio thread under g_outputMutex; every change of the list happens under the same mutex,
// so a stream leaves the list before anyone can free it. The device is the last member: it is
// closed (and the callback has returned) before the list goes away, and the subsystem quits
// after both.
class OutputDevice {
 public:
  static void Callback(void* user, Uint8* data, int bytes) {
    static_cast<OutputDevice*>(user)->Mix(reinterpret_cast<float*>(data),
                                          bytes / static_cast<int>(sizeof(float)));
  }

  void Mix(float* out, int samples);

  SdlAudioSubsystem m_subsystem;
  std::vector<std::shared_ptr<Stream>> m_playing;
  AudioDevice m_device;
};

// One mutex guards the device pointer, what the device plays and the callback's mixing, so a
// stream leaves the list before anyone can free it. A feed's mutex is taken after it. It is
// held only for list changes and for copying buffered samples, never while decoding. No SDL
// call is made under it: SDL's device lock is held around the callback, which takes it too.
std::mutex g_outputMutex;
// Serialises opening and closing the device (BASS_Init, BASS_Free); the callback never takes it.
std::mutex g_lifeMutex;
std::unique_ptr<OutputDevice> g_device;

void OutputDevice::Mix(float* out, int samples) {
  std::fill(out, out + samples, 0.0f);
  const long frames = samples / kPlaybackChannels;
  std::lock_guard lock(g_outputMutex);
  for (auto it = m_playing.begin(); it != m_playing.end();) {
    Stream& stream = **it;
    // The feed copies what its thread has decoded; it never decodes here.
    const float volume = stream.volume.load(std::memory_order_relaxed);
    if (stream.feed()->MixInto(out, frames, volume).more) {
      ++it;
    } else {
      stream.playing = false;  // played to its end
      it = m_playing.erase(it);
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
  auto output = std::make_unique<OutputDevice>();
  output->m_subsystem = SdlAudioSubsystem::Start();
  if (!output->m_subsystem) return Fail(BASS_ERROR_DRIVER, 0);
  SDL_AudioSpec wanted{};
  wanted.freq = kPlaybackRate;
  wanted.format = AUDIO_F32SYS;
  wanted.channels = kPlaybackChannels;
  wanted.samples = 2048;
  wanted.callback = &OutputDevice::Callback;
  wanted.userdata = output.get();
  // The device opens paused, so the callback does not run before the device is published.
  output->m_device = AudioDevice::OpenDefault(wanted);
  if (!output->m_device) return Fail(BASS_ERROR_DEVICE, 0);  // the subsystem quits with `output`
  OutputDevice* const published = output.get();
  {
    std::lock_guard lock(g_outputMutex);
    g_device = std::move(output);
  }
  // Outside g_outputMutex: SDL takes its device lock here, and the callback holds that lock
  // while it waits for g_outputMutex. g_lifeMutex keeps BASS_Free from closing it meanwhile.
  published->m_device.Resume();
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
  const bool wasOpen = device != nullptr;
  // Closing waits for a running callback, which finds nothing left to play; then SDL's audio
  // subsystem quits.
  device.reset();
  // Freed streams end and join their decoding threads.
  for (const auto& [handle, stream] : TakeAllStreams()) {
    for (const auto& encoder : TakeEncodersOf(handle, true)) encoder->Finish();
  }
  if (!wasOpen) return Fail(BASS_ERROR_INIT, 0);
  return Succeed(1);
}

BOOL BASS_ChannelPlay(DWORD handle, BOOL restart) {
  const std::shared_ptr<Stream> stream = FindStream(handle);
  if (!stream) return Fail(BASS_ERROR_HANDLE, 0);
  PlaybackFeed* const feed = stream->feed();
  if (!feed) return Fail(BASS_ERROR_DECODE, 0);
  {
    std::lock_guard outputLock(g_outputMutex);
    if (!g_device) return Fail(BASS_ERROR_INIT, 0);
  }
  // Outside the output mutex: starting a thread is the slowest part of a first play.
  if (!feed->Start()) return Fail(BASS_ERROR_MEM, 0);
  std::lock_guard outputLock(g_outputMutex);
  if (!g_device) return Fail(BASS_ERROR_INIT, 0);
  // A stream that played to its end starts again from the beginning: the decoding thread
  // opens the file again while the device plays silence for a moment.
  if (restart || feed->Ended()) feed->SeekTo(0);
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
  stream->volume.store(value, std::memory_order_relaxed);
  return Succeed(1);
}
