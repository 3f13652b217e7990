#pragma once
// Process-wide settings read once at start-up (AutoPlayOnOpen also changes when the options
// dialog is confirmed). Lives for the whole process; user-interface thread only.

#include <string>
#include <string_view>

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
  // How many files a batch works on at once (jobs= in the configuration): 0, the default, for
  // one per core.
  int Jobs = 0;
  // The output names' template (namepattern=; empty: the source's own name) and what happens
  // to an output name that is taken (existing=: number, skip, replace or update).
  std::string NamePattern;
  std::string Existing = "number";
};

AppSettings& Settings();

inline constexpr int kMaxJobs = 64;
// The text of a jobs value, read whole: "" gives 0 (one per core), "1" to "64" the number, and
// anything else (blanks, signs, other characters, a number out of range) -1.
int ParseJobsText(std::string_view text);

}  // namespace qv
