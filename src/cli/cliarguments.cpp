#include "cli/cliarguments.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "convert/conversionoptions.h"
#include "convert/formats.h"
#include "convert/nametemplate.h"
#include "loudness/loudness.h"

namespace qv::cli {
namespace {


// The format keys in the format list's order: "wav, mp3, ...".
std::string FormatKeysText() {
  std::string text;
  for (const OutputFormat& format : OutputFormats()) {
    text += (text.empty() ? "" : ", ") + std::string(format.key);
  }
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A whole number from 0 to 100000 (0 is a FLAC level; ParseArguments refuses it elsewhere).
bool ParseCount(const std::string& text, int& kbps) {
  if (text.empty() || !std::all_of(text.begin(), text.end(),
                                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return false;
  }
  errno = 0;
  const long value = std::strtol(text.c_str(), nullptr, 10);
  if (errno != 0 || value < 0 || value > 100000) return false;
  kbps = static_cast<int>(value);
  return true;
}

// Option codes of the long options without a short form (above every character).
enum OptionCode : int {
  kFormat = 256,
  kBitrate,
  kDest,
  kTarget,
  kStandard,
  kPeakLimit,
  kLog,
  kName,
  kExisting,
  kFilesFrom,
  kFirstFlag,  // the flags below, in kFlagOptions' order
};

// The options that take no value and have no short form, and the setting each turns on.
struct FlagOption {
  const char* name;
  bool CliArguments::*setting;
};
constexpr FlagOption kFlagOptions[] = {
    {"album", &CliArguments::album},
    {"replaygain-tags", &CliArguments::replayGainTags},
    {"same-folder", &CliArguments::sameFolder},
    {"recursive", &CliArguments::recursive},
    {"flat", &CliArguments::flat},
    {"skip-existing", &CliArguments::skipExisting},
    {"loudness", &CliArguments::loudness},
    {"normalize", &CliArguments::normalize},
    {"skip-problem-files", &CliArguments::skipProblemFiles},
    {"list", &CliArguments::list},
    {"no-tags", &CliArguments::noTags},
    {"json", &CliArguments::json},
    {"portable-names", &CliArguments::portableNames},
    {"dry-run", &CliArguments::dryRun},
    {"null", &CliArguments::null},
};

// The short options: -j N, -q, -v, -V, -h; a leading ':' makes a missing value ':'.
constexpr const char kShortOptions[] = ":j:qvVh";

std::vector<option> LongOptions() {
  std::vector<option> options = {
      {"format", required_argument, nullptr, kFormat},
      {"bitrate", required_argument, nullptr, kBitrate},
      {"dest", required_argument, nullptr, kDest},
      {"target", required_argument, nullptr, kTarget},
      {"standard", required_argument, nullptr, kStandard},
      {"peak-limit", required_argument, nullptr, kPeakLimit},
      {"log", required_argument, nullptr, kLog},
      {"name", required_argument, nullptr, kName},
      {"existing", required_argument, nullptr, kExisting},
      {"files-from", required_argument, nullptr, kFilesFrom},
      {"jobs", required_argument, nullptr, 'j'},
      {"quiet", no_argument, nullptr, 'q'},
      {"verbose", no_argument, nullptr, 'v'},
      {"version", no_argument, nullptr, 'V'},
      {"help", no_argument, nullptr, 'h'},
  };
  int code = kFirstFlag;
  for (const FlagOption& flag : kFlagOptions) {
    options.push_back({flag.name, no_argument, nullptr, code++});
  }
  options.push_back({nullptr, 0, nullptr, 0});
  return options;
}

// What is wrong with the word getopt refused: an option it does not know, a value given to a
// flag, or a value missing.
std::string RefusalText(int result, int code, const std::string& word) {
  const bool isLong = word.rfind("--", 0) == 0;
  // As written: "--dest" (without a value given after "="), or "-j" inside a bundle.
  const std::string name =
      isLong ? word.substr(0, word.find('=')) : "-" + std::string(1, static_cast<char>(code));
  if (result == ':') return name + " needs a value";
  if (code != 0 && isLong) return name + " takes no value";
  return "unknown option '" + name + "'";
}

// Takes the value of an option that names a file; false with `error` set to `missing` when the
// value is empty.
bool TakeFileName(const std::string& text, std::optional<std::string>& setting,
                  const char* missing, std::string& error) {
  if (text.empty()) {
    error = missing;
    return false;
  }
  setting = text;
  return true;
}

// Takes the value of an option that has one; false with `error` set when it is not valid.
bool TakeValue(int code, const std::string& text, CliArguments& arguments, std::string& error) {
  switch (code) {
    case kFormat:
      arguments.format = Lower(text);
      if (FindOutputFormat(arguments.format)) return true;
      error = "unknown format '" + text + "' (valid: " + FormatKeysText() + ")";
      return false;
    case kBitrate: {
      int kbps = 0;
      if (!ParseCount(text, kbps)) {
        error = "--bitrate takes a whole number of kbps, not '" + text + "'";
        return false;
      }
      arguments.bitrate = kbps;
      return true;
    }
    case 'j': {
      int jobs = 0;
      if (ParseCount(text, jobs) && jobs >= 1 && jobs <= 64) {
        arguments.jobs = jobs;
        return true;
      }
      error = "--jobs takes a number of files from 1 to 64, not '" + text + "'";
      return false;
    }
    case kDest: arguments.dest = text; return true;
    case kTarget: arguments.target = text; return true;
    case kPeakLimit: arguments.peakLimit = text; return true;
    case kLog: return TakeFileName(text, arguments.log, "--log needs a file name", error);
    case kName: {
      const std::string problem = CheckNameTemplate(text);
      if (problem.empty()) {
        arguments.name = text;
        return true;
      }
      error = "--name: " + problem;
      return false;
    }
    case kExisting: {
      ExistingChoice choice;
      if (ExistingChoiceFromKey(text, choice)) {
        arguments.existing = KeyOfExistingChoice(choice);
        return true;
      }
      error = "--existing takes number, skip, replace or update, not '" + text + "'";
      return false;
    }
    case kFilesFrom:
      return TakeFileName(text, arguments.filesFrom,
                          "--files-from needs a file name (or - for standard input)", error);
    case kStandard: {
      arguments.standard = Lower(text);
      LoudnessStandard standard;
      if (StandardFromKey(arguments.standard, standard)) return true;
      error = "unknown loudness standard '" + text + "' (valid: replaygain1, r128)";
      return false;
    }
    default: return false;
  }
}

// What one option implies for another, and the checks of values against each other once every
// word is read. False with `error` set at the first conflict.
bool SettleArguments(CliArguments& arguments, const std::string& bitrateText,
                     std::string& error) {
  // For FLAC the bitrate is the compression level; every other format's bitrates are positive.
  const OutputFormat* format = FindOutputFormat(arguments.format);
  const bool flacLevel = format && format->isFlacLevel();
  if (arguments.bitrate && flacLevel && *arguments.bitrate > kLastFlacLevel) {
    error = "--bitrate takes a FLAC compression level from 0 to 8 for flac, not '" +
            bitrateText + "'";
    return false;
  }
  if (arguments.bitrate && !flacLevel && *arguments.bitrate == 0) {
    error = "--bitrate takes a whole number of kbps, not '" + bitrateText + "'";
    return false;
  }
  if (arguments.normalize || arguments.album) arguments.loudness = true;
  if (arguments.dest && arguments.sameFolder) {
    error = "--dest and --same-folder exclude each other";
    return false;
  }
  if (arguments.skipExisting && arguments.existing != "number" && arguments.existing != "skip") {
    error = "--skip-existing and --existing " + arguments.existing + " exclude each other";
    return false;
  }
  if (arguments.skipExisting) arguments.existing = "skip";
  if (arguments.dryRun && arguments.list) {
    error = "--dry-run and --list exclude each other";
    return false;
  }
  if (arguments.null && !arguments.filesFrom) {
    error = "--null goes with --files-from";
    return false;
  }
  if (arguments.paths.empty() && !arguments.filesFrom) {
    error = "no file or folder given";
    return false;
  }
  return true;
}

}  // namespace

ParseResult ParseArguments(int argc, const char* const* argv, CliArguments& arguments,
                           std::string& error) {
  // getopt_long reorders the words (options first, then the paths, as GNU tools do), so it
  // works on a copy; "--" ends the options.
  std::vector<std::string> words(argv, argv + argc);
  std::vector<char*> pointers;
  for (std::string& word : words) pointers.push_back(word.data());
  pointers.push_back(nullptr);
  const std::vector<option> options = LongOptions();
  std::string bitrateText;
  bool quiet = false;
  opterr = 0;
  optind = 0;  // a fresh scan: GNU getopt starts over at 0
  while (true) {
    const int code =
        getopt_long(argc, pointers.data(), kShortOptions, options.data(), nullptr);
    if (code == -1) break;
    if (code == '?' || code == ':') {
      // The refused word: the one before optind, or for a short option inside a bundle the
      // word at optind.
      const int at = optind > 0 && optind <= argc ? optind - 1 : 0;
      error = RefusalText(code, optopt, pointers[at] ? pointers[at] : "");
      return ParseResult::UsageError;
    }
    if (code == 'h') return ParseResult::Help;
    if (code == 'V') return ParseResult::Version;
    if (code == 'q') quiet = true;
    if (code == 'v') arguments.verbose = true;
    if (code >= kFirstFlag) arguments.*(kFlagOptions[code - kFirstFlag].setting) = true;
    if (code == 'q' || code == 'v' || code >= kFirstFlag) continue;
    if (!TakeValue(code, optarg ? optarg : "", arguments, error)) return ParseResult::UsageError;
    if (code == kBitrate) bitrateText = optarg;
  }
  for (int i = optind; i < argc; ++i) arguments.paths.push_back(pointers[i]);
  if (quiet && arguments.verbose) {
    error = "--quiet and --verbose exclude each other";
    return ParseResult::UsageError;
  }
  arguments.quiet = quiet;
  if (!SettleArguments(arguments, bitrateText, error)) return ParseResult::UsageError;
  return ParseResult::Run;
}

std::string UsageText() {
  return "Usage: quorvin-cli [OPTIONS] PATH...\n"
         "Converts audio files (and the sound track of video files) with the same code as the\n"
         "Quorvin window. Each PATH is a file, or a folder whose supported files are added.\n"
         "A missing destination folder is created.\n"
         "\n"
         "  --format FORMAT       wav (default), mp3, aac, mp4, m4a, wma, flac, opus or ogg\n"
         "                        (ogg: Ogg Vorbis)\n"
         "  --bitrate KBPS        one of the format's bitrates (default: its default entry);\n"
         "                        for flac the compression level, 0 to 8 (default 5)\n"
         "  --dest DIR            the destination folder (default: the configured one)\n"
         "  --same-folder         write each output beside its source\n"
         "  --recursive           add folders with their sub-folders; with --dest each output\n"
         "                        goes to the same sub-folder below the destination\n"
         "                        (a destination inside the folder is not searched)\n"
         "  --flat                with --recursive, every output straight into the destination\n"
         "  --name TEMPLATE       name outputs from tags, e.g. '{albumartist}/{album}/{track:02}\n"
         "                        {title}': {artist} {albumartist} {album} {title} {track}\n"
         "                        {disc} {year} {genre} {filename} {folder}; / makes folders\n"
         "  --portable-names      names also avoid \\ : * ? \" < > | (FAT and exFAT players)\n"
         "  --existing CHOICE     an output name that is taken: number (default: a -COPY name),\n"
         "                        skip (a complete earlier output), replace (once the new file\n"
         "                        is complete) or update (replace what is incomplete or older\n"
         "                        than its source, skip the rest)\n"
         "  --skip-existing       the same as --existing skip: skip a file whose output (its\n"
         "                        plain or a numbered name) is already there, not older than\n"
         "                        the file and as long as it\n"
         "  --loudness            measure the loudness of every file\n"
         "  --standard STANDARD   replaygain1 (default: the ReplayGain 1.0 analysis, in dB) or\n"
         "                        r128 (EBU R128 integrated loudness, in LUFS, true peak)\n"
         "  --target LEVEL        the normalization target: 0.0 to 200.0 dB (default 89.0),\n"
         "                        with r128 -70.0 to 0.0 LUFS (default -18.0)\n"
         "  --normalize           scale every file towards the target (implies --loudness)\n"
         "  --album               album gain: the files that share album and album artist (or\n"
         "                        without an album tag, a folder) keep their differences\n"
         "  --peak-limit DB       lower a file's gain so that its peak stays at or below DB\n"
         "                        (-30.0 to 0.0; default 0.0 dBFS, with r128 -1.0 dBTP)\n"
         "  --replaygain-tags     write ReplayGain track (and with --album, album) gain and peak\n"
         "                        tags into each output, measured on the output itself\n"
         "  --skip-problem-files  only log failures\n"
         "  --log FILE            write the run's log to FILE (default: QV_Log.txt in the\n"
         "                        working folder, $TMPDIR/quorvin-<uid>/)\n"
         "  --no-tags             do not copy tags and cover art into the outputs\n"
         "  --list                convert nothing; print the list as tab-separated values\n"
         "  --dry-run             convert and create nothing; print each file's source, output\n"
         "                        and action (convert, skip, replace, number), tab-separated\n"
         "  --files-from FILE     also add the paths in FILE, one a line (- for standard input)\n"
         "  --null                --files-from's paths end with NUL (find -print0)\n"
         "  --json                print one JSON object per line on standard output: one per\n"
         "                        file as it is done (or refused), then a summary; with --list\n"
         "                        one per listed file (see the manual page for the keys)\n"
         "  -j, --jobs N          work on N files at once (default: jobs= in the configuration,\n"
         "                        else the number of cores)\n"
         "  -q, --quiet           write errors only (no progress, no summary)\n"
         "  -v, --verbose         also a line per file: what was done with it\n"
         "  -h, --help            this text\n"
         "  -V, --version         the version\n"
         "\n"
         "Exit status: 0 all files done, 1 a file failed, 2 usage or configuration error,\n"
         "130 cancelled (the first Ctrl-C cancels after the current second of audio; a\n"
         "second one ends the program at once).\n";
}

}  // namespace qv::cli
