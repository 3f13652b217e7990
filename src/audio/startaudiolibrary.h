#pragma once

namespace qv {

class BatchHost;

// Checks the audio library's version, opens the default output device and loads the plug-ins.
// On failure it has shown its message through `mainWindow` and returns false; the caller then
// ends the main window.
bool StartAudioLibrary(BatchHost* mainWindow);

// The device start error text for a BASS_Init failure code ("" for a code without an entry).
const char* DeviceErrorEntry(int code);

}  // namespace qv
