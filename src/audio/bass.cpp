// Library-wide calls: version, plug-ins, the last error code.

#include "audio/bass.h"

#include <cstring>
#include <string_view>

#include "audio/handles.h"

DWORD BASS_GetVersion() { return (BASSVERSION << 16) | 0x0000; }

int BASS_ErrorGetCode() { return qv::audio::LastError(); }

// The formats of the add-ons (AAC, AC-3, WMA, FLAC, CD) are all served by FFmpeg, so loading one
// of their names succeeds with a token handle; any other name is refused.
HPLUGIN BASS_PluginLoad(const char* file, DWORD) {
  using qv::audio::Fail;
  using qv::audio::Succeed;
  if (!file) return Fail(BASS_ERROR_FILEOPEN, 0u);
  static constexpr std::string_view kBuiltIn[] = {"bass_aac.dll", "bass_ac3.dll", "basswma.dll",
                                                  "bassflac.dll", "basscd.dll"};
  std::string_view name(file);
  const size_t slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  for (size_t i = 0; i < std::size(kBuiltIn); ++i) {
    if (name.size() == kBuiltIn[i].size() &&
        strncasecmp(name.data(), kBuiltIn[i].data(), name.size()) == 0) {
      return Succeed(static_cast<HPLUGIN>(i + 1));
    }
  }
  return Fail(BASS_ERROR_FILEOPEN, 0u);
}
