#pragma once
// Process-wide settings read once at start-up (AutoPlayOnOpen also changes when the options
// dialog is confirmed). Lives for the whole process; user-interface thread only.

#include <string>

namespace qv {

inline constexpr const char* kDataFolderName = "Quorvin 1";
inline constexpr const char* kConfigFileName = "Quorvin1.ini";
inline constexpr const char* kConfigSection = "Quorvin 1";
inline constexpr const char* kLogFileName = "QV_Log.txt";

struct AppSettings {
  std::string ConfigFilePath;
  std::string FfmpegPath;
  std::string FfmpegAudioOptions;
  std::string FaacPath;
  int AutoPlayOnOpen = 1;
  std::string LogFilePath;
};

AppSettings& Settings();

}  // namespace qv
