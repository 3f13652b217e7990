#pragma once
// The command line of quorvin-cli, read into values. Reading only: whether a bitrate or a
// target is valid is decided by the same core functions the window uses.

#include <optional>
#include <string>
#include <vector>

namespace qv::cli {

struct CliArguments {
  std::string format = "wav";        // a key of the format table (convert/formats.h)
  std::optional<int> bitrate;        // kbps; the format's default entry when absent
  std::optional<std::string> dest;   // the configured destination folder when absent
  std::optional<std::string> log;    // the run's log file; the working folder's QV_Log.txt when absent
  bool sameFolder = false;
  bool recursive = false;
  bool flat = false;          // --recursive --dest: every output straight into the destination
  bool skipExisting = false;  // files whose output is already there and not older are skipped
  std::string existing = "number";  // what happens to an existing output: number, skip,
                                    // replace or update (--skip-existing is skip)
  std::optional<std::string> name;  // --name: the output names' template (checked)
  bool portableNames = false;       // names also avoid what FAT and exFAT refuse
  bool dryRun = false;              // plan and print, convert and create nothing
  std::optional<std::string> filesFrom;  // a file of paths ("-": standard input)
  bool null = false;                // --files-from's paths end with NUL, not a line end
  bool loudness = false;
  std::optional<std::string> target;  // as typed; validated like the normalization edit
  bool normalize = false;             // implies loudness
  std::string standard = "replaygain1";  // replaygain1 or r128
  bool album = false;                 // album gain instead of track gain (implies loudness)
  std::optional<std::string> peakLimit;  // dB as typed; the standard's default when absent
  bool replayGainTags = false;        // write ReplayGain tags measured on each output
  bool skipProblemFiles = false;
  bool list = false;
  bool noTags = false;
  std::optional<int> jobs;            // files worked on at once; the core count when absent
  bool quiet = false;    // -q: errors only
  bool verbose = false;  // -v: a line per file and what was done
  bool json = false;     // one JSON object per line on standard output (rows, then a summary)
  std::vector<std::string> paths;
};

enum class ParseResult { Run, Help, Version, UsageError };

// Reads argv[1..] as GNU tools do (getopt_long): options and paths in any order, "--" ends the
// options (later words are paths even when they start with "-"), short options bundle ("-qj2"),
// long ones take their value as the next word or after "=" (--format=mp3) and may be shortened
// while unambiguous. On UsageError `error` says what is wrong in one line.
ParseResult ParseArguments(int argc, const char* const* argv, CliArguments& arguments,
                           std::string& error);

// The text of --help.
std::string UsageText();

}  // namespace qv::cli
