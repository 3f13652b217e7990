#pragma once
// How the core asks a front end to run one external tool under its progress window (the
// window's dialog, or the console's progress line). The front end owns the window; the run
// itself (duration query, script, console pipe, cancel) is core code in this module.

#include <functional>
#include <string>

namespace qv {

struct ToolRunRequest {
  std::string title;        // window title, e.g. "Extracting Audio From Video"
  std::string caption;      // e.g. "Importing:"
  std::string subject;      // e.g. "\"/videos/a.mp4\" to Temp File"
  std::string scriptPath;   // the script to write and run
  std::string inputPath;    // the tool's input file
  std::string outputPath;   // the tool's output file
  std::string toolOptions;  // options between input and output, inserted as the user wrote them
};

// Runs the tool modally: 1 when the tool process ended on its own, 0 when the user cancelled.
using ToolRunner = std::function<int(const ToolRunRequest&)>;

}  // namespace qv
