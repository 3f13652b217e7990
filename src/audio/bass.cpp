// Temporary stand-in: every call fails until the real layer lands.
#include "audio/bass.h"

namespace {
thread_local int g_error = BASS_OK;
template <typename T>
T Fail(T value) {
  g_error = BASS_ERROR_NOTAVAIL;
  return value;
}
}  // namespace

DWORD BASS_GetVersion() { return 0x02040000; }
BOOL BASS_Init(int, DWORD, DWORD, void*, const void*) { return Fail(0); }
BOOL BASS_Free() { return 1; }
HPLUGIN BASS_PluginLoad(const char*, DWORD) { return Fail(0u); }
int BASS_ErrorGetCode() { return g_error; }
HSTREAM BASS_StreamCreateFile(BOOL, const void*, QWORD, QWORD, DWORD) { return Fail(0u); }
HSTREAM BASS_FLAC_StreamCreateFile(BOOL, const void*, QWORD, QWORD, DWORD) { return Fail(0u); }
HSTREAM BASS_WMA_StreamCreateFile(BOOL, const void*, QWORD, QWORD, DWORD) { return Fail(0u); }
HSTREAM BASS_CD_StreamCreateFile(const char*, DWORD) { return Fail(0u); }
BOOL BASS_StreamFree(HSTREAM) { return Fail(0); }
QWORD BASS_StreamGetFilePosition(HSTREAM, DWORD) { return Fail(~QWORD{0}); }
BOOL BASS_ChannelGetInfo(DWORD, BASS_CHANNELINFO*) { return Fail(0); }
QWORD BASS_ChannelGetLength(DWORD, DWORD) { return Fail(~QWORD{0}); }
double BASS_ChannelBytes2Seconds(DWORD, QWORD) { return Fail(-1.0); }
DWORD BASS_ChannelGetData(DWORD, void*, DWORD) { return Fail(0xFFFFFFFFu); }
BOOL BASS_ChannelPlay(DWORD, BOOL) { return Fail(0); }
BOOL BASS_ChannelStop(DWORD) { return Fail(0); }
BOOL BASS_ChannelSetPosition(DWORD, QWORD, DWORD) { return Fail(0); }
DWORD BASS_ChannelIsActive(DWORD) { return BASS_ACTIVE_STOPPED; }
BOOL BASS_ChannelSetAttribute(DWORD, DWORD, float) { return Fail(0); }
HENCODE BASS_Encode_StartACMFile(DWORD, const void*, DWORD, const char*) { return Fail(0u); }
HENCODE BASS_Encode_Start(DWORD, const char*, DWORD, ENCODEPROC*, void*) { return Fail(0u); }
BOOL BASS_Encode_Write(DWORD, const void*, DWORD) { return Fail(0); }
BOOL BASS_Encode_Stop(DWORD) { return Fail(0); }
const DWORD* BASS_WMA_EncodeGetRates(DWORD, DWORD, DWORD) { return Fail(nullptr); }
HWMENCODE BASS_WMA_EncodeOpenFile(DWORD, DWORD, DWORD, DWORD, const char*) { return Fail(0u); }
BOOL BASS_WMA_EncodeWrite(HWMENCODE, const void*, DWORD) { return Fail(0); }
BOOL BASS_WMA_EncodeClose(HWMENCODE) { return Fail(0); }
