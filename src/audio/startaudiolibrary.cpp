#include "audio/startaudiolibrary.h"

#include "app/showmessage.h"
#include "audio/bass.h"

namespace qv {

const char* DeviceErrorEntry(int code) {
  switch (code) {
    case BASS_ERROR_UNKNOWN: return "%d - General audio initialization problem.";
    case BASS_ERROR_MEM: return "%d - There is insufficient memory.";
    case BASS_ERROR_DRIVER:
      return "%d - There is no available device driver - the device may already be in use.";
    case BASS_ERROR_FORMAT: return "%d - The specified format is not supported by the device.";
    case BASS_ERROR_ALREADY: return "%d - The device has already been initialized.";
    case BASS_ERROR_NO3D: return "%d - The device has no 3D support.";
    case BASS_ERROR_DEVICE:
      return "%d - The device number specified is invalid (is there a sound card on this system, "
             "and are its drivers installed?)";
    default: return "";
  }
}

bool StartAudioLibrary(BatchHost* mainWindow) {
  if ((BASS_GetVersion() >> 16) != BASSVERSION) {
    ShowMessage(mainWindow, 0, {}, MB_OK, "An incorrect version of BASS was loaded");
    return false;
  }
  if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) {
    const int code = BASS_ErrorGetCode();
    const char* entry = DeviceErrorEntry(code);
    const std::string errorText = *entry ? FormatText(entry, code) : std::string();
    ShowMessage(mainWindow, 0, {}, MB_OK,
                "Sorry, but the audio device could not be initialized.  Error was: %s",
                errorText.c_str());
    return false;
  }
  for (const char* plugin : {"bass_aac.dll", "bass_ac3.dll", "basswma.dll", "bassflac.dll",
                             "basscd.dll"}) {
    BASS_PluginLoad(plugin, 0);  // formats are served by the decoder itself; results unused
  }
  return true;
}

}  // namespace qv
