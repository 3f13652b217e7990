#pragma once
// How the core asks a front end to run one external tool under its progress window (the
// window's dialog, or the console's progress line). The front end owns the window; the run
// itself (duration query, script, console pipe, cancel) is core code in this module.

#include <atomic>
#include <functional>
#include <string>

namespace qv {

struct ToolRunRequest {
  std::string title;        // window title, e.g. "Extracting Audio From Video"
  std::string caption;      // e.g. "Importing:"
  std::string subject;      // e.g. "\"/videos/a.mp4\" to Temp File"
  // The script's base name, one of kWorkingFileBases (app/instance.h), e.g.
  // "qvExtractAudioFromVideo": the run writes the command to a new file of the working folder
  // named after it ("qvExtractAudioFromVideo-<instance id>-XXXXXX.sh") and removes it after.
  std::string scriptName;
  std::string inputPath;    // the tool's input file
  std::string outputPath;   // the tool's output file
  std::string toolOptions;  // options between input and output, inserted as the user wrote them
  // The cancel flag of the operation the run belongs to (an add's batch state): the view's
  // Cancel sets it, and the run and the operation both stop at it. Null: the run's own flag.
  std::atomic<int>* cancel = nullptr;
};

// How a tool run ended. Plain values, so a modal window can hand them on as its int result.
enum ToolRunResult : int {
  kToolCancelled = 0,  // the user cancelled; the output file was removed
  kToolEnded = 1,      // the tool ended on its own with status 0
  kToolFailed = 2,     // the tool ended with another status, or could not be run at all
};

// Runs the tool modally and returns a ToolRunResult.
using ToolRunner = std::function<int(const ToolRunRequest&)>;

}  // namespace qv
