#include "audio/handles.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "audio/encoder.h"
#include "audio/stream.h"
#include "audio/wmaencoder.h"

namespace qv::audio {
namespace {

thread_local int t_error = BASS_OK;

// Handle numbers start above the small values that look like error results and never wrap to 0.
std::mutex g_mutex;
DWORD g_nextHandle = 0x10000;
std::map<DWORD, std::shared_ptr<Stream>> g_streams;
std::map<DWORD, std::shared_ptr<Encoder>> g_encoders;
std::map<DWORD, std::shared_ptr<WmaEncoder>> g_wmaEncoders;

DWORD NextHandleLocked() {
  DWORD handle = g_nextHandle++;
  if (g_nextHandle == 0) g_nextHandle = 0x10000;
  return handle;
}

template <typename T>
DWORD Add(std::map<DWORD, std::shared_ptr<T>>& table, std::shared_ptr<T> object) {
  std::lock_guard lock(g_mutex);
  const DWORD handle = NextHandleLocked();
  table.emplace(handle, std::move(object));
  return handle;
}

template <typename T>
std::shared_ptr<T> Find(std::map<DWORD, std::shared_ptr<T>>& table, DWORD handle) {
  std::lock_guard lock(g_mutex);
  const auto it = table.find(handle);
  return it == table.end() ? nullptr : it->second;
}

template <typename T>
std::shared_ptr<T> Take(std::map<DWORD, std::shared_ptr<T>>& table, DWORD handle) {
  std::lock_guard lock(g_mutex);
  const auto it = table.find(handle);
  if (it == table.end()) return nullptr;
  std::shared_ptr<T> object = std::move(it->second);
  table.erase(it);
  return object;
}

}  // namespace

void SetError(int code) { t_error = code; }
int LastError() { return t_error; }

DWORD AddStream(std::shared_ptr<Stream> stream) { return Add(g_streams, std::move(stream)); }
std::shared_ptr<Stream> FindStream(DWORD handle) { return Find(g_streams, handle); }
std::shared_ptr<Stream> TakeStream(DWORD handle) { return Take(g_streams, handle); }

std::vector<std::pair<DWORD, std::shared_ptr<Stream>>> TakeAllStreams() {
  std::lock_guard lock(g_mutex);
  std::vector<std::pair<DWORD, std::shared_ptr<Stream>>> all;
  for (auto& [handle, stream] : g_streams) all.emplace_back(handle, std::move(stream));
  g_streams.clear();
  return all;
}

DWORD AddEncoder(std::shared_ptr<Encoder> encoder) { return Add(g_encoders, std::move(encoder)); }
std::shared_ptr<Encoder> FindEncoder(DWORD handle) { return Find(g_encoders, handle); }
std::shared_ptr<Encoder> TakeEncoder(DWORD handle) { return Take(g_encoders, handle); }

std::vector<std::shared_ptr<Encoder>> EncodersOf(DWORD channel) {
  std::lock_guard lock(g_mutex);
  std::vector<std::shared_ptr<Encoder>> found;
  for (const auto& [handle, encoder] : g_encoders) {
    if (encoder->channel() == channel) found.push_back(encoder);
  }
  return found;
}

std::vector<std::shared_ptr<Encoder>> TakeEncodersOf(DWORD channel, bool onlyAutoFree) {
  std::lock_guard lock(g_mutex);
  std::vector<std::shared_ptr<Encoder>> taken;
  for (auto it = g_encoders.begin(); it != g_encoders.end();) {
    const Encoder& encoder = *it->second;
    if (encoder.channel() == channel &&
        (!onlyAutoFree || (encoder.flags() & BASS_ENCODE_AUTOFREE))) {
      taken.push_back(std::move(it->second));
      it = g_encoders.erase(it);
    } else {
      ++it;
    }
  }
  return taken;
}

DWORD AddWmaEncoder(std::shared_ptr<WmaEncoder> encoder) {
  return Add(g_wmaEncoders, std::move(encoder));
}
std::shared_ptr<WmaEncoder> FindWmaEncoder(DWORD handle) { return Find(g_wmaEncoders, handle); }
std::shared_ptr<WmaEncoder> TakeWmaEncoder(DWORD handle) { return Take(g_wmaEncoders, handle); }

}  // namespace qv::audio
