#include "cli/cliarguments.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "convert/formats.h"
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

// The options that take no value, and the setting each turns on.
struct FlagOption {
  const char* name;
  bool CliArguments::*setting;
};
constexpr FlagOption kFlagOptions[] = {
    {"--album", &CliArguments::album},
    {"--replaygain-tags", &CliArguments::replayGainTags},
    {"--same-folder", &CliArguments::sameFolder},
    {"--recursive", &CliArguments::recursive},
    {"--flat", &CliArguments::flat},
    {"--skip-existing", &CliArguments::skipExisting},
    {"--loudness", &CliArguments::loudness},
    {"--normalize", &CliArguments::normalize},
    {"--skip-problem-files", &CliArguments::skipProblemFiles},
    {"--list", &CliArguments::list},
    {"--no-tags", &CliArguments::noTags},
};

const FlagOption* FindFlagOption(const std::string& name) {
  for (const FlagOption& option : kFlagOptions) {
    if (name == option.name) return &option;
  }
  return nullptr;
}

}  // namespace

ParseResult ParseArguments(int argc, const char* const* argv, CliArguments& arguments,
                           std::string& error) {
  bool optionsEnded = false;
  std::string bitrateText;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (optionsEnded || word.size() < 2 || word[0] != '-' || word == "-") {
      arguments.paths.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = word;
    std::optional<std::string> inlineValue;
    if (const size_t equals = word.find('='); word.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = word.substr(0, equals);
      inlineValue = word.substr(equals + 1);
    }
    auto value = [&](std::string& out) {
      if (inlineValue) {
        out = *inlineValue;
        return true;
      }
      if (i + 1 >= argc) {
        error = name + " needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto flag = [&](bool& out) {
      if (inlineValue) {
        error = name + " takes no value";
        return false;
      }
      out = true;
      return true;
    };
    std::string text;
    if (name == "--help" || name == "-h") return ParseResult::Help;
    if (name == "--version") return ParseResult::Version;
    if (name == "--format") {
      if (!value(text)) return ParseResult::UsageError;
      arguments.format = Lower(text);
      if (!FindOutputFormat(arguments.format)) {
        error = "unknown format '" + text + "' (valid: " + FormatKeysText() + ")";
        return ParseResult::UsageError;
      }
    } else if (name == "--bitrate") {
      if (!value(text)) return ParseResult::UsageError;
      int kbps = 0;
      if (!ParseCount(text, kbps)) {
        error = "--bitrate takes a whole number of kbps, not '" + text + "'";
        return ParseResult::UsageError;
      }
      arguments.bitrate = kbps;
      bitrateText = text;
    } else if (name == "--jobs") {
      if (!value(text)) return ParseResult::UsageError;
      int jobs = 0;
      if (!ParseCount(text, jobs) || jobs < 1 || jobs > 64) {
        error = "--jobs takes a number of files from 1 to 64, not '" + text + "'";
        return ParseResult::UsageError;
      }
      arguments.jobs = jobs;
    } else if (name == "--dest") {
      if (!value(text)) return ParseResult::UsageError;
      arguments.dest = text;
    } else if (name == "--target") {
      if (!value(text)) return ParseResult::UsageError;
      arguments.target = text;
    } else if (name == "--standard") {
      if (!value(text)) return ParseResult::UsageError;
      arguments.standard = Lower(text);
      LoudnessStandard standard;
      if (!StandardFromKey(arguments.standard, standard)) {
        error = "unknown loudness standard '" + text + "' (valid: replaygain1, r128)";
        return ParseResult::UsageError;
      }
    } else if (name == "--peak-limit") {
      if (!value(text)) return ParseResult::UsageError;
      arguments.peakLimit = text;
    } else if (const FlagOption* option = FindFlagOption(name)) {
      if (!flag(arguments.*(option->setting))) return ParseResult::UsageError;
    } else {
      error = "unknown option '" + word + "'";
      return ParseResult::UsageError;
    }
  }
  // For FLAC the bitrate is the compression level; every other format's bitrates are positive.
  const OutputFormat* format = FindOutputFormat(arguments.format);
  const bool flacLevel = format && format->isFlacLevel();
  if (arguments.bitrate && flacLevel && *arguments.bitrate > kLastFlacLevel) {
    error = "--bitrate takes a FLAC compression level from 0 to 8 for flac, not '" +
            bitrateText + "'";
    return ParseResult::UsageError;
  }
  if (arguments.bitrate && !flacLevel && *arguments.bitrate == 0) {
    error = "--bitrate takes a whole number of kbps, not '" + bitrateText + "'";
    return ParseResult::UsageError;
  }
  if (arguments.normalize || arguments.album) arguments.loudness = true;
  if (arguments.dest && arguments.sameFolder) {
    error = "--dest and --same-folder exclude each other";
    return ParseResult::UsageError;
  }
  if (arguments.paths.empty()) {
    error = "no file or folder given";
    return ParseResult::UsageError;
  }
  return ParseResult::Run;
}

std::string UsageText() {
  return "Usage: quorvin-cli [OPTIONS] PATH...\n"
         "Converts audio files (and the sound track of video files) with the same code as the\n"
         "Quorvin window. Each PATH is a file, or a folder whose supported files are added.\n"
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
         "  --skip-existing       skip a file whose output (its plain or a numbered name) is\n"
         "                        already there, not older than the file and as long as it\n"
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
         "  --no-tags             do not copy tags and cover art into the outputs\n"
         "  --list                convert nothing; print the list as tab-separated values\n"
         "  --jobs N              work on N files at once (default: jobs= in the configuration,\n"
         "                        else the number of cores)\n"
         "  --help                this text\n"
         "  --version             the version\n"
         "\n"
         "Exit status: 0 all files done, 1 a file failed, 2 usage or configuration error,\n"
         "130 cancelled (the first Ctrl-C cancels after the current second of audio; a\n"
         "second one ends the program at once).\n";
}

}  // namespace qv::cli
