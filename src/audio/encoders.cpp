// The encoder calls: MP3 (LAME), FLAC, Opus and Vorbis (FFmpeg) and the pipe encoder attached
// to decoding channels, and the WMA file encoder.

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "audio/bass.h"
#include "audio/handles.h"
#include "audio/mp3encoder.h"
#include "audio/pipeencoder.h"
#include "audio/stream.h"
#include "audio/wmaencoder.h"
#include "audio/xiphencoder.h"

using namespace qv::audio;

namespace {

// The channel an encoder attaches to: an open decoding stream.
int CheckChannel(DWORD handle, std::shared_ptr<Stream>& stream) {
  stream = FindStream(handle);
  if (!stream) return BASS_ERROR_HANDLE;
  if (!stream->decodeOnly()) return BASS_ERROR_DECODE;
  return BASS_OK;
}

thread_local std::string t_encoderErrorText;

// The frames a decoding channel has still to give: its length less what has been read of it;
// -1 when its length cannot be known. Settling the length may count the file's packets once
// (the conversion asks for it for its progress anyway; it is kept with the stream).
std::int64_t FramesToCome(Stream& stream) {
  std::lock_guard lock(stream.mutex);
  const std::int64_t length = stream.LengthFrames();
  if (length < 0) return -1;
  return std::max<std::int64_t>(0, length - stream.Position());
}

// Bytes of interleaved floats to whole frames of `channels` channels.
size_t FramesOf(DWORD bytes, int channels) {
  return bytes / (sizeof(float) * static_cast<size_t>(channels));
}

// Passes `code` through, keeping the text of `encoder` (an Encoder or the WmaEncoder) for
// LastEncoderErrorText() when it is a failure.
template <typename AnyEncoder>
int KeepErrorText(int code, AnyEncoder& encoder) {
  if (code != BASS_OK) t_encoderErrorText = encoder.ErrorText();
  return code;
}

// Gives `length` bytes of interleaved floats to `encoder`; BASS_OK or the failure code.
template <typename AnyEncoder>
int WriteFloats(AnyEncoder& encoder, const void* buffer, DWORD length) {
  return KeepErrorText(encoder.Write(static_cast<const float*>(buffer),
                                     FramesOf(length, encoder.channels())),
                       encoder);
}

}  // namespace

const std::string& qv::audio::LastEncoderErrorText() { return t_encoderErrorText; }

HENCODE BASS_Encode_StartACMFile(DWORD handle, const void* form, DWORD flags, const char* file) {
  t_encoderErrorText.clear();
  std::shared_ptr<Stream> stream;
  if (const int code = CheckChannel(handle, stream); code != BASS_OK) return Fail(code, 0u);
  if (!form || !file || !*file) return Fail(BASS_ERROR_ILLPARAM, 0u);
  const auto& record = *static_cast<const MPEGLAYER3WAVEFORMAT*>(form);
  std::shared_ptr<Encoder> encoder;
  const int code = Mp3Encoder::Create(handle, flags, stream->format(), record, file, encoder,
                                      t_encoderErrorText);
  if (code != BASS_OK) return Fail(code, 0u);
  return Succeed(AddEncoder(std::move(encoder)));
}

HENCODE QV_Encode_StartFile(DWORD handle, const QV_ENCODEFORMAT* format, DWORD flags,
                            const char* file) {
  t_encoderErrorText.clear();
  std::shared_ptr<Stream> stream;
  if (const int code = CheckChannel(handle, stream); code != BASS_OK) return Fail(code, 0u);
  if (!format || !file || !*file) return Fail(BASS_ERROR_ILLPARAM, 0u);
  const SourceFormat& source = stream->format();
  std::shared_ptr<Encoder> encoder;
  const int code = XiphEncoder::Create(handle, flags, source, *format, file, encoder,
                                       t_encoderErrorText);
  if (code != BASS_OK) return Fail(code, 0u);
  return Succeed(AddEncoder(std::move(encoder)));
}

BOOL QV_Encode_FileAccepts(DWORD freq, DWORD chans, DWORD origres,
                           const QV_ENCODEFORMAT* format) {
  if (!format) return Fail(BASS_ERROR_ILLPARAM, 0);
  return Succeed(XiphEncoder::Accepts(*format, static_cast<int>(freq), static_cast<int>(chans),
                                      static_cast<int>(origres))
                     ? 1
                     : 0);
}

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC*, void*) {
  t_encoderErrorText.clear();
  std::shared_ptr<Stream> stream;
  if (const int code = CheckChannel(handle, stream); code != BASS_OK) return Fail(code, 0u);
  if (!cmdline || !*cmdline) return Fail(BASS_ERROR_ILLPARAM, 0u);
  std::shared_ptr<Encoder> encoder;
  const int code = PipeEncoder::Create(handle, flags, stream->format().rate,
                                       stream->format().channels, stream->format().channelMask,
                                       FramesToCome(*stream), cmdline, encoder);
  if (code != BASS_OK) return Fail(code, 0u);
  return Succeed(AddEncoder(std::move(encoder)));
}

// `handle` is an encoder, or a channel whose encoders all get the data.
BOOL BASS_Encode_Write(DWORD handle, const void* buffer, DWORD length) {
  t_encoderErrorText.clear();
  std::vector<std::shared_ptr<Encoder>> targets;
  if (auto encoder = FindEncoder(handle)) {
    targets.push_back(std::move(encoder));
  } else {
    targets = EncodersOf(handle);
    if (targets.empty()) return Fail(BASS_ERROR_HANDLE, 0);
  }
  if (!buffer && length) return Fail(BASS_ERROR_ILLPARAM, 0);
  for (const auto& encoder : targets) {
    if (const int code = WriteFloats(*encoder, buffer, length); code != BASS_OK) {
      return Fail(code, 0);
    }
  }
  return Succeed(1);
}

namespace {

BOOL StopEncoders(DWORD handle, bool early) {
  t_encoderErrorText.clear();
  std::vector<std::shared_ptr<Encoder>> targets;
  if (auto encoder = TakeEncoder(handle)) {
    targets.push_back(std::move(encoder));
  } else {
    targets = TakeEncodersOf(handle, false);
    if (targets.empty()) return Fail(BASS_ERROR_HANDLE, 0);
  }
  int failure = BASS_OK;
  for (const auto& encoder : targets) {
    const int code = encoder->Finish(early);
    if (code != BASS_OK && failure == BASS_OK) {
      failure = code;
      t_encoderErrorText = encoder->ErrorText();
    }
  }
  if (failure != BASS_OK) return Fail(failure, 0);
  return Succeed(1);
}

}  // namespace

// `handle` is an encoder, or a channel whose encoders are all stopped.
BOOL BASS_Encode_Stop(DWORD handle) { return StopEncoders(handle, false); }

BOOL QV_Encode_StopEarly(DWORD handle) { return StopEncoders(handle, true); }

BOOL BASS_Encode_Abort(DWORD handle) {
  t_encoderErrorText.clear();
  std::shared_ptr<Encoder> encoder = TakeEncoder(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE, 0);
  const int code = encoder->Abort();
  if (code != BASS_OK) return Fail(code, 0);
  return Succeed(1);
}

// The bitrates wmav2 accepts for the rate and channel count, asked of the encoder once per
// combination; the lists live as long as the process.
const DWORD* BASS_WMA_EncodeGetRates(DWORD freq, DWORD chans, DWORD) {
  static constexpr DWORD kCandidates[] = {32000,  48000,  64000,  80000,  96000,
                                          128000, 160000, 192000, 256000, 320000};
  static std::mutex mutex;
  static std::map<std::pair<DWORD, DWORD>, std::vector<DWORD>> lists;
  std::lock_guard lock(mutex);
  auto [it, added] = lists.try_emplace({freq, chans});
  if (added) {
    for (DWORD rate : kCandidates) {
      if (WmaEncoder::Accepts(static_cast<int>(freq), static_cast<int>(chans),
                              static_cast<int>(rate))) {
        it->second.push_back(rate);
      }
    }
    it->second.push_back(0);
  }
  if (it->second.size() == 1) return Fail(BASS_ERROR_FORMAT, static_cast<const DWORD*>(nullptr));
  return Succeed(static_cast<const DWORD*>(it->second.data()));
}

// A bitrate the encoder refuses fails with error code 0, for which the program suggests
// another bitrate; other failures carry their own code.
HWMENCODE BASS_WMA_EncodeOpenFile(DWORD freq, DWORD chans, DWORD flags, DWORD bitrate,
                                  const char* file) {
  return QV_WMA_EncodeOpenFileSpeakers(freq, chans, 0, flags, bitrate, file);
}

HWMENCODE QV_WMA_EncodeOpenFileSpeakers(DWORD freq, DWORD chans, QWORD speakers, DWORD,
                                        DWORD bitrate, const char* file) {
  t_encoderErrorText.clear();
  if (!file || !*file) return Fail(BASS_ERROR_ILLPARAM, 0u);
  auto encoder = std::make_shared<WmaEncoder>();
  const int code = encoder->Open(static_cast<int>(freq), static_cast<int>(chans), speakers,
                                 static_cast<int>(bitrate), file);
  if (code == WmaEncoder::kRefusedBitrate) return Fail(BASS_OK, 0u);
  if (KeepErrorText(code, *encoder) != BASS_OK) return Fail(code, 0u);
  return Succeed(AddWmaEncoder(std::move(encoder)));
}

BOOL BASS_WMA_EncodeWrite(HWMENCODE handle, const void* buffer, DWORD length) {
  t_encoderErrorText.clear();
  const auto encoder = FindWmaEncoder(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE, 0);
  if (!buffer && length) return Fail(BASS_ERROR_ILLPARAM, 0);
  if (const int code = WriteFloats(*encoder, buffer, length); code != BASS_OK) {
    return Fail(code, 0);
  }
  return Succeed(1);
}

BOOL BASS_WMA_EncodeClose(HWMENCODE handle) {
  t_encoderErrorText.clear();
  const auto encoder = TakeWmaEncoder(handle);
  if (!encoder) return Fail(BASS_ERROR_HANDLE, 0);
  if (const int code = KeepErrorText(encoder->Close(), *encoder); code != BASS_OK) {
    return Fail(code, 0);
  }
  return Succeed(1);
}
