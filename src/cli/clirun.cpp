#include "cli/clirun.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/paths.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "app/startup.h"
#include "cli/consolehost.h"
#include "cli/jsonline.h"
#include "convert/conversionbatch.h"
#include "convert/formats.h"
#include "import/cuesheet.h"
#include "import/sourceimporter.h"
#include "loudness/loudness.h"
#include "loudness/loudnessengine.h"
#include "loudness/targettext.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"
#include "model/batchstate.h"
#include "model/listcolumns.h"
#include "model/sourcelist.h"
#include "tools/toolprogress.h"

namespace qv::cli {

namespace fs = std::filesystem;
namespace {

void UsageError(const std::string& text) {
  std::fprintf(stderr, "quorvin-cli: %s\n", text.c_str());
}

std::string TrimBlanks(const std::string& text) {
  const char* blanks = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

bool IsFolder(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A cell of the --list table: tabs, line ends and backslashes are written as \t, \n, \r and \\,
// so a file name holding them cannot break a line or a column.
std::string TsvField(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\\': out += "\\\\"; break;
      default: out += c;
    }
  }
  return out;
}

void PrintList(const SourceList& list) {
  std::string line;
  for (int column = 0; column < kColumnCount; ++column) {
    line += kColumns[column].heading;
    line += '\t';
  }
  line += "Path\n";
  std::fputs(line.c_str(), stdout);
  for (int row = 0; row < list.RowCount(); ++row) {
    line.clear();
    for (int column = 0; column < kColumnCount; ++column) {
      line += TsvField(list.CellText(row, column));
      line += '\t';
    }
    line += TsvField(list.GetSourcePath(row));
    line += '\n';
    std::fputs(line.c_str(), stdout);
  }
  std::fflush(stdout);
}

void PrintJson(const JsonLine& line) {
  std::fputs((line.str() + "\n").c_str(), stdout);
  std::fflush(stdout);
}

// The measurement a row shows (its standard's), when it has one: loudness with its unit, the
// track and album gains in dB, the peak as a share of full scale.
void AddLoudness(const QVListItem& item, JsonLine& line) {
  const RowMeasurement& m = item.measurements[item.Shown()];
  if (!m.measured) return;
  if (m.silent) {
    line.Null("loudness");
  } else {
    line.Number("loudness", m.volume);
  }
  line.Text("unit", InfoOf(item.standard).unit);
  if (m.silent) {
    line.Null("track_gain");
  } else {
    line.Number("track_gain", item.trackGain);
  }
  if (item.hasAlbum) line.Number("album_gain", item.albumGain);
  line.Number("peak", m.peak / kFullScale);
}

const char* StatusKey(RowOutcome outcome) {
  switch (outcome) {
    case RowOutcome::Done: return "converted";
    case RowOutcome::Skipped: return "skipped";
    case RowOutcome::Failed: return "failed";
    case RowOutcome::Cancelled: return "cancelled";
    case RowOutcome::NotRun: break;
  }
  return "not started";
}

// --list --json: one object per row, every column a plain value.
void PrintListJson(const SourceList& list) {
  for (int row = 0; row < list.RowCount(); ++row) {
    const QVListItem& item = *list.Item(row);
    const SourceFacts& f = item.facts;
    JsonLine line;
    line.Text("source", item.sourcePath)
        .Text("title", list.CellText(row, kColTitle))
        .Text("type", list.CellText(row, kColType))
        .Integer("size_bytes", static_cast<std::int64_t>(f.size))
        .Integer("kbps", f.kbps)
        .Integer("sample_rate", f.rate)
        .Integer("bits", f.bits)
        .Bool("float", f.floating)
        .Integer("channels", f.channels)
        .Number("seconds", f.seconds);
    if (f.samples >= 0) line.Integer("samples", f.samples);
    AddLoudness(item, line);
    if (item.measurements[item.Shown()].measured) {
      line.Bool("clipping", item.clipping != 0).Bool("clip_track", item.clipTrack != 0);
    }
    PrintJson(line);
  }
}

// The extraction of a video's sound track, shown as the progress line.
class ConsoleToolView final : public ToolProgressView {
 public:
  explicit ConsoleToolView(ConsoleHost& host) : m_host(host) {}
  void SetTitle(const std::string& title) override { m_title = title; }
  void SetCaption(const std::string&) override {}
  void SetSubject(const std::string& subject) override { m_subject = subject; }
  void SetProgress(int) override {}
  void SetProgressText(const std::string& text) override {
    m_host.SetStatusText(m_title + ": " + m_subject + " - " + text);
  }
  void ShowView() override { m_host.SetStatusText(m_title + ": " + m_subject); }
  void PumpMessages() override { m_host.PumpMessages(); }

 private:
  ConsoleHost& m_host;
  std::string m_title;
  std::string m_subject;
};

// The bitrate to convert at: the format's default entry, or the requested one when the format
// offers it. 0 for WAV. -1 after a usage error.
int ChooseBitrate(const CliArguments& arguments) {
  const OutputFormat* format = FindOutputFormat(arguments.format);
  if (format && !format->usesBitrate()) {
    if (arguments.bitrate) {
      UsageError(std::string(format->listName) + " takes no bitrate");
      return -1;
    }
    return 0;
  }
  const BitrateList bitrates = BitratesForFormat(arguments.format);
  if (bitrates.Empty()) {
    UsageError("the WMA encoder offers no bitrates on this machine, so WMA cannot be written");
    return -1;
  }
  if (!arguments.bitrate) return bitrates.kbps[static_cast<size_t>(bitrates.defaultIndex)];
  if (bitrates.Contains(*arguments.bitrate)) return *arguments.bitrate;
  std::string valid;
  for (int kbps : bitrates.kbps) valid += (valid.empty() ? "" : ", ") + std::to_string(kbps);
  UsageError(FormatText("%s offers no bitrate of %d kbps (valid: %s)",
                        LowerAscii(arguments.format).c_str(), *arguments.bitrate, valid.c_str()));
  return -1;
}

std::string& RunLogPathStorage() {
  static std::string path;
  return path;
}

// The log this run writes: --log's file, else the configured one.
const std::string& RunLogPath() {
  return RunLogPathStorage().empty() ? Settings().LogFilePath : RunLogPathStorage();
}

// Takes --log's file when its folder can be written; a usage error otherwise.
bool ChooseLogPath(const CliArguments& arguments) {
  if (!arguments.log) return true;
  const fs::path path = fs::absolute(*arguments.log);
  const std::string folder = path.parent_path().string();
  if (!IsFolder(folder) || ::access(folder.c_str(), W_OK | X_OK) != 0) {
    const int error = IsFolder(folder) ? errno : ENOENT;
    UsageError(FormatText("--log: cannot write %s: %s", path.c_str(), std::strerror(error)));
    return false;
  }
  RunLogPathStorage() = path.string();
  return true;
}

// The paths of --files-from: one a line (or ending with NUL), empty ones passed by. False with
// a message when the file cannot be read.
bool ReadPathList(const std::string& from, bool null, std::vector<std::string>& paths) {
  FILE* file = from == "-" ? stdin : std::fopen(from.c_str(), "rb");
  if (!file) {
    UsageError(FormatText("--files-from: cannot read %s: %s", from.c_str(), std::strerror(errno)));
    return false;
  }
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  const int error = std::ferror(file) ? errno : 0;
  if (file != stdin) std::fclose(file);
  if (error != 0) {
    UsageError(FormatText("--files-from: cannot read %s: %s", from.c_str(), std::strerror(error)));
    return false;
  }
  const char end = null ? '\0' : '\n';
  for (size_t start = 0; start < text.size();) {
    size_t stop = text.find(end, start);
    if (stop == std::string::npos) stop = text.size();
    if (stop > start) paths.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  return true;
}

// The destination folder, made with its parents when missing (with a line that names it).
// False, with a message that names the path and the reason, when it cannot be used.
bool PrepareDestination(const std::string& destination, bool quiet) {
  const std::string path = TrimBlanks(destination);
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) {
    if (!S_ISDIR(info.st_mode)) {
      UsageError("cannot use " + path + " as the destination folder: it is not a folder");
      return false;
    }
    if (::access(path.c_str(), W_OK | X_OK) != 0) {
      UsageError(FormatText("cannot write into the destination folder %s: %s", path.c_str(),
                            std::strerror(errno)));
      return false;
    }
    return true;
  }
  std::error_code error;
  if (errno != ENOENT) {
    error.assign(errno, std::generic_category());
  } else {
    fs::create_directories(path, error);
  }
  if (error) {
    UsageError("cannot create the destination folder " + path + ": " + error.message());
    return false;
  }
  if (!quiet) std::fprintf(stderr, "Created the destination folder %s\n", path.c_str());
  return true;
}

// --dry-run: one line per row on standard output (source, output, action), or one JSON object.
// False when a row would fail.
bool PrintPlan(const std::vector<PlannedRow>& planned, bool json) {
  bool fails = false;
  for (const PlannedRow& row : planned) {
    fails = fails || row.action == "fail";
    if (json) {
      JsonLine line;
      line.Text("source", row.source).Text("output", row.output).Text("action", row.action);
      if (!row.cause.empty()) line.Text("cause", row.cause);
      PrintJson(line);
      continue;
    }
    std::fputs((TsvField(row.source) + "\t" + TsvField(row.output) + "\t" + row.action + "\n")
                   .c_str(), stdout);
  }
  std::fflush(stdout);
  return !fails;
}

// The log the last batch wrote: the usual one, or the numbered one it took because another
// instance held the usual one.
std::string UsedLogPath() {
  return LastBatchLogPath().empty() ? RunLogPath() : LastBatchLogPath();
}

// What the steps of one run share: the arguments, the host, the list and the values read from
// the arguments and the configuration.
struct Run {
  const CliArguments& arguments;
  BatchState& batch;
  ConsoleHost& host;
  SourceList list;
  int kbps = 0;
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  double target = 0;
  double peakLimit = 0;
  int jobs = 1;                          // files at once, for probing and batches
  std::vector<std::string> sourcePaths;  // the paths named, --files-from's included
  std::string destination;
  int addFailures = 0;  // paths refused, and files that could not be added
};

// The bitrate, the log, the loudness standard, target and peak limit. False after a usage error.
bool ReadRunValues(Run& run) {
  const CliArguments& arguments = run.arguments;
  run.kbps = ChooseBitrate(arguments);
  if (run.kbps < 0 || !ChooseLogPath(arguments)) return false;
  StandardFromKey(arguments.standard, run.standard);
  const StandardInfo& info = InfoOf(run.standard);
  run.target = info.defaultTarget;
  if (arguments.target) {
    if (!IsCompleteTargetText(*arguments.target, info.minimumTarget, info.maximumTarget)) {
      UsageError(FormatText("--target takes a number from %s to %s %s for %s, not '%s'",
                            FormatTargetText(info.minimumTarget).c_str(),
                            FormatTargetText(info.maximumTarget).c_str(), info.unit, info.key,
                            arguments.target->c_str()));
      return false;
    }
    run.target = ParseTargetText(*arguments.target);
  }
  run.peakLimit = info.defaultPeakLimit;
  if (arguments.peakLimit) {
    if (!IsCompleteTargetText(*arguments.peakLimit, kMinimumPeakLimit, kMaximumPeakLimit)) {
      UsageError("--peak-limit takes a number of dB from -30.0 to 0.0, not '" +
                 *arguments.peakLimit + "'");
      return false;
    }
    run.peakLimit = ParseTargetText(*arguments.peakLimit);
  }
  return true;
}

// A destination inside a folder added with its sub-folders is not walked: the next run over
// the same library would otherwise convert this run's outputs again, one level deeper. A
// listing converts nothing, so it shows every file. Returns the folder left out (or nothing).
std::string LeaveOutDestination(const Run& run, SourceImporter& importer) {
  const CliArguments& arguments = run.arguments;
  if (!arguments.recursive || arguments.sameFolder || arguments.list) return {};
  importer.SetFolderLeftOut(run.destination);
  std::error_code ec;
  const fs::path inside = fs::weakly_canonical(run.destination, ec);
  for (const std::string& path : run.sourcePaths) {
    if (ec || !IsFolder(path)) continue;
    std::error_code treeError;
    const fs::path tree = fs::weakly_canonical(path, treeError);
    const fs::path relative = inside.lexically_relative(tree);
    if (treeError || relative.empty() || relative == "." || *relative.begin() == "..") continue;
    std::fprintf(stderr, "The destination folder %s lies inside %s: its files are not added.\n",
                 run.destination.c_str(), path.c_str());
  }
  return run.destination;
}

// How many files the paths to add stand for, and how many paths were refused before adding.
struct PathCount {
  int attempted = 0;
  int refused = 0;
};

// The paths the importer is given: folders (each counted by its supported files, an empty one
// as a failure) and files of a type the program opens. A named file of another type is a
// failure here (the window's chooser cannot offer one).
std::vector<std::string> PathsToAdd(Run& run, const std::string& leftOut, PathCount& count) {
  std::vector<std::string> paths;
  for (const std::string& path : run.sourcePaths) {
    if (IsFolder(path)) {
      std::vector<std::string> files;
      if (SourceImporter::ListFolder(path, run.arguments.recursive, files, leftOut)) {
        count.attempted += static_cast<int>(files.size());
      }
      if (files.empty()) ++count.attempted;  // an empty folder adds nothing: a failure
    } else if (!IsAudioFile(path) && !IsVideoFile(path) && !IsCueSheetName(path)) {
      run.host.EndProgressLine();
      std::fprintf(stderr, "quorvin-cli: %s: not a supported file type\n", path.c_str());
      if (run.arguments.json) {
        PrintJson(JsonLine()
                      .Text("source", path)
                      .Text("status", "refused")
                      .Text("cause", "not a supported file type"));
      }
      ++count.refused;
      continue;
    } else {
      ++count.attempted;
    }
    paths.push_back(path);
  }
  return paths;
}

// Adding: files one by one, folders with their supported files, one summary at the end. An
// exit status when the run ends here (a usage error, a Ctrl-C).
std::optional<int> AddSources(Run& run) {
  const CliArguments& arguments = run.arguments;
  ConsoleHost& host = run.host;
  host.SetQuiet(arguments.quiet);
  ToolRunner runTool = [&host](const ToolRunRequest& request) {
    ConsoleToolView view(host);
    return RunToolWithProgress(request, view);
  };
  SourceImporter importer(host, run.list, runTool, [&host](int done, int total) {
    host.SetStatusText(AddingProgressText(done, total));
  });
  // A Ctrl-C reaches the add through the batch state, which the host sets when it pumps events.
  importer.SetCancelState(run.batch);
  // --jobs, else the configuration's jobs=, else one file per core: for probing and batches.
  run.jobs = arguments.jobs      ? *arguments.jobs
             : Settings().Jobs > 0 ? Settings().Jobs
                                   : AvailableCores();
  importer.SetProbeThreads(run.jobs);
  run.sourcePaths = arguments.paths;
  if (arguments.filesFrom && !ReadPathList(*arguments.filesFrom, arguments.null, run.sourcePaths)) {
    return kExitUsage;
  }
  run.destination = arguments.dest ? *arguments.dest : ReadFolderSetting("DestinationFolder");
  const std::string leftOut = LeaveOutDestination(run, importer);
  PathCount count;
  const std::vector<std::string> paths = PathsToAdd(run, leftOut, count);
  AddCounters counters;
  host.SetJsonRefusals(arguments.json);
  if (!paths.empty()) counters = importer.AddPaths(paths, arguments.recursive);
  host.SetJsonRefusals(false);
  host.SetStatusText("Ready.");
  if (CancelSignals() > 0) return kExitCancelled;  // no batch and no list after a Ctrl-C
  // A sheet adds several rows for its files, so the refusals the importer counted count too.
  const int notAdded = count.attempted - counters.added - counters.skipped;
  run.addFailures = count.refused + std::max(counters.refused, notAdded);
  return std::nullopt;
}

// The rows show the chosen standard, album or track gain and the peak limit; with --loudness
// they are measured. An exit status when a Ctrl-C ended the measuring.
std::optional<int> MeasureLoudness(Run& run) {
  const CliArguments& arguments = run.arguments;
  SetNormalizationView(run.list, run.standard, arguments.album, run.peakLimit, run.target);
  if (!arguments.loudness || arguments.dryRun || run.list.RowCount() == 0) return std::nullopt;
  LoudnessEngine engine;
  LoudnessBatchOptions loudness;
  loudness.target = run.target;
  loudness.standard = run.standard;
  loudness.logPath = RunLogPath();
  loudness.jobs = run.jobs;
  const LoudnessBatchResult measured =
      RunLoudnessBatch(run.host, run.list, run.batch, engine, loudness);
  run.host.EndProgressLine();
  for (const LoudnessBatchResult::Failure& failure : measured.notMeasured) {
    std::fprintf(stderr, "quorvin-cli: %s: not measured%s%s\n",
                 run.list.GetSourcePath(failure.row).c_str(), failure.reason.empty() ? "" : ": ",
                 failure.reason.c_str());
  }
  if (run.host.CancelSeen()) {
    std::fprintf(stderr, "Log: %s\n", UsedLogPath().c_str());
    return kExitCancelled;
  }
  if (UsedLogPath() != RunLogPath()) std::fprintf(stderr, "Log: %s\n", UsedLogPath().c_str());
  return std::nullopt;
}

// --list: the rows as a table or as JSON lines.
int PrintListing(const Run& run) {
  if (run.arguments.json) {
    PrintListJson(run.list);
  } else {
    PrintList(run.list);
  }
  return run.addFailures > 0 || run.list.RowCount() == 0 ? kExitFailed : kExitOk;
}

// A folder added with its sub-folders keeps its tree below the destination: each output goes
// to its source's folder relative to the folder named on the command line. With --name that
// folder is {folder}. Empty when the outputs keep no tree.
std::function<std::string(int row)> RowSubfolders(const Run& run) {
  const CliArguments& arguments = run.arguments;
  std::vector<fs::path> trees;
  if (arguments.recursive && (arguments.name || (!arguments.flat && !arguments.sameFolder))) {
    for (const std::string& path : run.sourcePaths) {
      if (IsFolder(path)) trees.push_back(fs::absolute(path).lexically_normal());
    }
  }
  if (trees.empty()) return {};
  return [&list = run.list, trees](int row) {
    const fs::path folder = fs::absolute(list.GetSourcePath(row)).lexically_normal().parent_path();
    for (const fs::path& tree : trees) {
      const fs::path relative = folder.lexically_relative(tree);
      if (relative.empty() || *relative.begin() == "..") continue;
      return relative == "." ? std::string() : relative.string();
    }
    return std::string();
  };
}

ConversionOptions ConversionOptionsOf(const Run& run) {
  const CliArguments& arguments = run.arguments;
  ConversionOptions options;
  options.formatKey = arguments.format;
  options.kbps = run.kbps;
  options.sameFolder = arguments.sameFolder;
  options.skipProblemFiles = arguments.skipProblemFiles;
  options.destinationFolder = run.destination;
  options.normalize = arguments.normalize;
  options.faacPath = Settings().FaacPath;
  options.logPath = RunLogPath();
  options.copyTags = !arguments.noTags;
  options.standard = run.standard;
  options.byAlbum = arguments.album;
  options.replayGainTags = arguments.replayGainTags;
  ExistingChoiceFromKey(arguments.existing, options.existing);
  options.namePattern = arguments.name.value_or(std::string());
  options.portableNames = arguments.portableNames;
  options.rowSubfolder = RowSubfolders(run);
  options.jobs = run.jobs;
  return options;
}

// --dry-run: the plan of every row, converting and creating nothing.
int PrintDryRun(const Run& run, ConversionOptions options) {
  options.normalize = false;  // nothing was measured: the plan is about names
  const bool planned = PrintPlan(PlanConversionBatch(options, run.list), run.arguments.json);
  return !planned || run.addFailures > 0 ? kExitFailed : kExitOk;
}

// --verbose: "<status>: <source> -> <output> (<cause>)" on standard error.
void PrintVerboseRow(const Run& run, const QVListItem& item, const ConversionRowReport& report) {
  run.host.EndProgressLine();
  const std::string cause = FirstLine(report.text);
  std::fprintf(stderr, "%s: %s%s%s\n", StatusKey(report.outcome), item.sourcePath.c_str(),
               report.destination.empty() ? "" : (" -> " + report.destination).c_str(),
               cause.empty() ? "" : (" (" + cause + ")").c_str());
}

// --json: one object per row as it is committed.
void PrintJsonRow(const QVListItem& item, const ConversionRowReport& report) {
  JsonLine line;
  line.Text("source", item.sourcePath);
  if (report.destination.empty()) {
    line.Null("output");
  } else {
    line.Text("output", report.destination);
  }
  line.Text("status", StatusKey(report.outcome));
  if (report.outcome == RowOutcome::Failed || report.outcome == RowOutcome::Cancelled) {
    line.Text("cause", FirstLine(report.text));
  } else {
    line.Null("cause");
  }
  line.Number("audio_seconds", item.facts.seconds).Number("elapsed_seconds", report.workSeconds);
  AddLoudness(item, line);
  PrintJson(line);
}

// The numbers the closing summary reports.
struct Tally {
  const ConversionBatchResult& result;
  int files = 0;
  int notStarted = 0;
  int addFailures = 0;
};

// " (3 failed; 1 cancelled midway, the part written kept; 6 not started)", or nothing.
std::string SummaryDetails(const Tally& tally) {
  const ConversionBatchResult& result = tally.result;
  std::string details;
  const auto add = [&details](const std::string& part) {
    details += (details.empty() ? " (" : "; ") + part;
  };
  if (result.failed > 0) {
    add(std::to_string(result.failed) + " failed" +
        (result.notMeasured > 0
             ? ", " + std::to_string(result.notMeasured) + " of them not normalized for want of "
                                                          "a loudness measurement"
             : std::string()));
  }
  if (result.cancelledKept > 0) {
    add(std::to_string(result.cancelledKept) + " cancelled midway, the part written kept");
  }
  if (result.skipped > 0) add(std::to_string(result.skipped) + " skipped, converted already");
  if (tally.notStarted > 0) add(std::to_string(tally.notStarted) + " not started");
  if (!details.empty()) details += ")";
  return details;
}

// The closing summary: every file is accounted for (converted, failed, cancelled with its part
// kept, not started), on standard error and with --json as a last object. -q keeps it only
// when something went wrong.
void PrintSummary(const Run& run, const Tally& tally) {
  const ConversionBatchResult& result = tally.result;
  if (!run.arguments.quiet || result.failed > 0 || result.cancelledKept > 0 ||
      tally.notStarted > 0 || tally.addFailures > 0) {
    std::fprintf(stderr, "Converted %d of %d file%s%s. Log: %s\n", result.converted, tally.files,
                 tally.files == 1 ? "" : "s", SummaryDetails(tally).c_str(),
                 UsedLogPath().c_str());
  }
  if (!run.arguments.json) return;
  PrintJson(JsonLine()
                .Bool("summary", true)
                .Integer("files", tally.files)
                .Integer("converted", result.converted)
                .Integer("skipped", result.skipped)
                .Integer("failed", result.failed)
                .Integer("cancelled", result.cancelledKept)
                .Integer("not_started", tally.notStarted)
                .Integer("refused", tally.addFailures)
                .Text("log", UsedLogPath()));
}

// The conversion batch into the destination (made when missing), a line per row with
// --verbose or --json, then the closing summary.
int ConvertRows(Run& run, ConversionOptions options) {
  const CliArguments& arguments = run.arguments;
  if (!arguments.sameFolder && !PrepareDestination(run.destination, arguments.quiet)) {
    return kExitUsage;
  }
  if (arguments.json || arguments.verbose) {
    options.rowCommitted = [&run](int row, const ConversionRowReport& report) {
      const QVListItem& item = *run.list.Item(row);
      if (run.arguments.verbose) PrintVerboseRow(run, item, report);
      if (run.arguments.json) PrintJsonRow(item, report);
    };
  }
  const ConversionBatchResult result = RunConversionBatch(options, run.list, run.batch, run.host);
  run.host.EndProgressLine();
  if (!result.started) return kExitUsage;
  Tally tally{result, run.list.RowCount(), 0, run.addFailures};
  for (const ConversionRowReport& row : result.rows) {
    if (row.outcome == RowOutcome::NotRun) ++tally.notStarted;
  }
  PrintSummary(run, tally);
  if (result.cancelled || run.host.CancelSeen()) return kExitCancelled;
  return result.failed > 0 || run.addFailures > 0 ? kExitFailed : kExitOk;
}

}  // namespace

int RunCommandLine(const CliArguments& arguments, bool terminal) {
  BatchState batch;
  ConsoleHost host(batch, terminal);
  SetOwnerlessHost(&host);
  if (!RunStartupChecks()) return kExitUsage;
  Run run{arguments, batch, host};
  if (!ReadRunValues(run)) return kExitUsage;
  if (const std::optional<int> exit = AddSources(run)) return *exit;
  if (const std::optional<int> exit = MeasureLoudness(run)) return *exit;
  if (arguments.list) return PrintListing(run);
  if (run.list.RowCount() == 0) {
    // The batch says that nothing is listed.
    ConversionOptions none;
    RunConversionBatch(none, run.list, batch, host);
    return kExitFailed;
  }
  const ConversionOptions options = ConversionOptionsOf(run);
  if (arguments.dryRun) return PrintDryRun(run, options);
  return ConvertRows(run, options);
}

}  // namespace qv::cli
