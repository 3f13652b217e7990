// Encoder calls: not available yet.
#include "audio/bass.h"
#include "audio/handles.h"
#include "audio/wmaencoder.h"

using qv::audio::Fail;

namespace qv::audio {
WmaEncoder::~WmaEncoder() = default;
}

HENCODE BASS_Encode_StartACMFile(DWORD, const void*, DWORD, const char*) {
  return Fail(BASS_ERROR_NOTAVAIL, 0u);
}
HENCODE BASS_Encode_Start(DWORD, const char*, DWORD, ENCODEPROC*, void*) {
  return Fail(BASS_ERROR_NOTAVAIL, 0u);
}
BOOL BASS_Encode_Write(DWORD, const void*, DWORD) { return Fail(BASS_ERROR_NOTAVAIL, 0); }
BOOL BASS_Encode_Stop(DWORD) { return Fail(BASS_ERROR_NOTAVAIL, 0); }
const DWORD* BASS_WMA_EncodeGetRates(DWORD, DWORD, DWORD) {
  return Fail(BASS_ERROR_NOTAVAIL, static_cast<const DWORD*>(nullptr));
}
HWMENCODE BASS_WMA_EncodeOpenFile(DWORD, DWORD, DWORD, DWORD, const char*) {
  return Fail(BASS_ERROR_NOTAVAIL, 0u);
}
BOOL BASS_WMA_EncodeWrite(HWMENCODE, const void*, DWORD) { return Fail(BASS_ERROR_NOTAVAIL, 0); }
BOOL BASS_WMA_EncodeClose(HWMENCODE) { return Fail(BASS_ERROR_NOTAVAIL, 0); }
