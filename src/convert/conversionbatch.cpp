#include "convert/conversionbatch.h"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

#include "app/instance.h"
#include "app/paths.h"
#include "app/renamefile.h"
#include "app/showmessage.h"
#include "model/listcolumns.h"
#include "convert/albumgate.h"
#include "convert/formats.h"
#include "convert/outputplanner.h"
#include "convert/rowconverter.h"
#include "loudness/loudness.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"
#include "tags/storedtags.h"
#include "tags/tags.h"

namespace qv {
namespace {

std::string TrimWhiteSpace(const std::string& text) {
  const char* blanks = " \t\r\n\f\v";
  const size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

// One row on its way through the stages.
struct Row {
  PublishedRow out;
  RowJob job;
  RowWork work;
  ConvertCode earlyCode = ConvertCode::Ok;  // a failure (or a skip) known before the work starts
  std::string gainNote;
  std::string earlierNote;  // the log's record of incomplete earlier outputs (skip-existing)
  std::string folder;  // where the hidden output is made
  std::chrono::steady_clock::time_point started;  // when its work began
  double workSeconds = 0;  // the time from there to its output on the disk
};

// A failure known before the work starts, with its text.
void FailEarly(Row& r, const ConvertResult& failure) {
  r.earlyCode = failure.code;
  r.out.errorText = ConversionErrorText(failure);
}

// The seconds a row's source holds: the probed length, else the declared one.
double SourceSeconds(const QVListItem& item) {
  const SourceFacts& facts = item.facts;
  if (!(facts.seconds > 0.0) && facts.declaredSamples > 0 && facts.rate > 0) {
    return static_cast<double>(facts.declaredSamples) / facts.rate;
  }
  return facts.seconds;
}

// What the planner decided for a row, and what was found at its name.
struct RowDecision {
  OutputPlan plan;
  ExistingAction action = ExistingAction::Convert;
  EarlierOutputs earlier;
  std::string note;  // the log's record of a source that is not replaced
  // The source's tags when the name needed them: the tag copy takes them instead of reading the
  // file again (null when not read, or when the cover is too large to hold while rows wait).
  std::shared_ptr<const tags::ReadResult> sourceTags;
};

// The largest cover a prepared row holds on to until its tag copy; a larger one is read again
// then. At most RowsAheadOfCommit rows wait, so this bounds what they hold.
constexpr std::size_t kHeldCoverBytes = 1024 * 1024;

// The fields a name template uses, from a tag reading of the row's source.
NameFields NameFieldsFrom(tags::FieldMap fields, const QVListItem& item) {
  // A track of an album image: its sheet's fields over the image's.
  tags::Overlay(fields, item.tags);
  NameFields names;
  for (const char* key : {"ARTIST", "ALBUMARTIST", "ALBUM", "TITLE", "TRACKNUMBER", "DISCNUMBER",
                          "DATE", "GENRE"}) {
    const auto found = fields.find(key);
    if (found != fields.end() && !found->second.empty()) names[key] = found->second.front();
  }
  return names;
}

// Plans a row (its name, from tags with a template) and decides what happens to an existing
// output at that name, against the files as they are. Shared by the batch and the dry run, so
// both decide alike.
class RowPlanner {
 public:
  RowPlanner(const ConversionOptions& options, const SourceList& list, const std::string& folder)
      : m_options(options),
        m_folder(folder),
        m_key(LowerAscii(options.formatKey)),
        m_format(FindOutputFormat(m_key)),
        m_choice(options.skipExisting ? ExistingChoice::Skip : options.existing) {
    if (m_choice != ExistingChoice::Replace && m_choice != ExistingChoice::Update) return;
    for (int row = 0; row < list.RowCount(); ++row) {
      struct stat info {};
      if (::stat(list.GetSourcePath(row).c_str(), &info) == 0) {
        m_sources.insert({info.st_dev, info.st_ino});
      }
    }
  }

  RowDecision Decide(int row, const QVListItem& item) const {
    RowDecision d;
    const bool templated = !NamePatternOf(item, m_options).empty();
    const std::string subfolder =
        m_options.rowSubfolder && (templated || !m_options.sameFolder)
            ? m_options.rowSubfolder(row) : "";
    NameFields fields;
    tags::FieldMap kept;
    if (templated && tags::RestoreFields(item.facts.fileTags, kept)) {
      fields = NameFieldsFrom(std::move(kept), item);
    } else if (templated) {
      auto read = std::make_shared<tags::ReadResult>(tags::ReadTags(item.sourcePath));
      fields = NameFieldsFrom(read->tags.fields, item);
      if (!read->tags.cover || read->tags.cover->data.size() <= kHeldCoverBytes) {
        d.sourceTags = std::move(read);
      }
    }
    d.plan = PlanOutput(item, m_options, m_folder, subfolder,
                        m_format ? m_format->extension : m_key,
                        m_format && m_format->peakCheckAfterEncode(), &fields);
    if (m_choice == ExistingChoice::Number) return d;
    const std::string& name = d.plan.plainDestination;
    ExistingFacts facts;
    struct stat info {};
    facts.taken = DestinationTaken(name);
    facts.regularFile = ::lstat(name.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    facts.isSource = facts.regularFile && m_sources.count({info.st_dev, info.st_ino}) > 0;
    if (m_choice != ExistingChoice::Replace) {
      d.earlier = AlreadyConverted(name, item.sourcePath, SourceSeconds(item), m_batchStart);
      facts.converted = d.earlier.converted;
    }
    d.action = DecideExisting(m_choice, facts);
    if (facts.isSource && m_choice != ExistingChoice::Skip) {
      d.note = "The destination file is one of this batch's source files, so it is not "
               "replaced; the new file gets a numbered name.\n\n";
    }
    return d;
  }

  const std::string& Key() const { return m_key; }
  const OutputFormat* Format() const { return m_format; }
  // Outputs written from now on are this batch's, never "converted already".
  const std::filesystem::file_time_type m_batchStart =
      std::filesystem::file_time_type::clock::now();

 private:
  const ConversionOptions& m_options;
  const std::string m_folder;
  const std::string m_key;
  const OutputFormat* m_format;  // null for a key no format has (every row then fails)
  const ExistingChoice m_choice;
  std::set<std::pair<dev_t, ino_t>> m_sources;  // the batch's sources, for replace and update
};

// Every row goes through the same three steps: prepared on this thread in row order (its
// plan), worked on by a worker (into a hidden output file of its own, created exclusively in
// the destination folder), and committed on this thread in row order: the row's
// name is decided then, by the same rule and against the same files as one file after the
// other would see, the log records and the selection are written, and the hidden file is given
// its name without replacing anything. So a file under a final name is always complete, and a
// kill at any moment leaves at most a hidden file behind.
class ConversionRun {
 public:
  ConversionRun(const ConversionOptions& options, SourceList& list, BatchState& state,
                BatchHost& host, BatchLog& log, const std::string& folder,
                ConversionBatchResult& result)
      : m_options(options),
        m_list(list),
        m_state(state),
        m_host(host),
        m_log(log),
        m_folder(folder),
        m_result(result),
        m_planner(options, list, folder),
        m_key(m_planner.Key()),
        m_format(m_planner.Format()),
        m_rows(static_cast<size_t>(state.BatchFileCount)),
        m_publisher(log, options.maxNumberedCopies),
        m_albums(list, state.BatchFileCount,
                 options.replayGainTags && options.byAlbum && m_format && m_format->holdsTags()) {}

  void Run();

 private:
  Row& At(int row) { return m_rows[static_cast<size_t>(row)]; }
  ConversionRowReport& Report(int row) { return m_result.rows[static_cast<size_t>(row)]; }
  bool Prepare(int row);
  bool PrepareFolder(Row& r, const OutputPlan& plan);
  bool TakeDecision(Row& r, const RowDecision& decision);
  void NameRow(int row);
  bool Commit(int row, ConvertCode code);
  void TellCommitted(int row);
  void Settle(int row, ConvertCode code);
  void KeepCancelled(int row);
  void Failed(int row, ConvertCode code);
  void FinishAlbum(const std::vector<int>& rows);
  void ShowProgress(const RowJobProgress& progress);

  const ConversionOptions& m_options;
  SourceList& m_list;
  BatchState& m_state;
  BatchHost& m_host;
  BatchLog& m_log;
  const std::string m_folder;
  ConversionBatchResult& m_result;
  const RowPlanner m_planner;
  const std::string m_key;
  const OutputFormat* m_format;  // null for a key no format has (every row then fails)
  std::vector<Row> m_rows;
  Publisher m_publisher;
  AlbumGate m_albums;
  std::set<std::string> m_cleanedFolders;
};

// A failure known before the work starts, for the row's folder.
bool ConversionRun::PrepareFolder(Row& r, const OutputPlan& plan) {
  if (plan.makeFolder) {
    // The source's sub-folder below the destination, made as needed; a file in the way is
    // never replaced (the row fails instead).
    std::error_code error;
    std::filesystem::create_directories(plan.folder, error);
    std::string folder = plan.folder;
    if (error || !FolderExists(&folder)) {
      FailEarly(r, {ConvertCode::CannotCreate, error.value(),
                    "the folder " + plan.folder + " could not be made: " +
                        (error ? error.message() : std::string("a file has its name"))});
      return false;
    }
  }
  return true;
}

// What happens at an existing output: a complete earlier output skips the row (incomplete
// ones are named in the log, and the row is converted again), or the row replaces the file.
bool ConversionRun::TakeDecision(Row& r, const RowDecision& decision) {
  if (decision.action == ExistingAction::Skip) {
    r.earlyCode = ConvertCode::Skipped;
    r.out.destination = decision.earlier.complete;
    return true;
  }
  r.out.replace = decision.action == ExistingAction::Replace;
  r.earlierNote = decision.note;
  for (const std::string& note : decision.plan.nameNotes) r.earlierNote += note + "\n\n";
  if (!decision.earlier.incomplete.empty()) {
    r.earlierNote += "An earlier output of this file is incomplete, so it is converted again:\n";
    for (const std::string& line : decision.earlier.incomplete) r.earlierNote += "\n   " + line;
    r.earlierNote += "\n\n";
  }
  return false;
}

bool ConversionRun::Prepare(int row) {
  Row& r = At(row);
  const QVListItem* item = m_list.Item(row);
  if (!item) {
    FailEarly(r, {ConvertCode::CannotOpenSource});
    return true;
  }
  const RowDecision decision = m_planner.Decide(row, *item);
  const OutputPlan& plan = decision.plan;
  r.out.sourcePath = item->sourcePath;
  r.out.decodePath = item->GetDecodePath();
  r.out.destination = plan.plainDestination;
  if (decision.action != ExistingAction::Skip && !PrepareFolder(r, plan)) return true;
  if (TakeDecision(r, decision)) return true;
  if (plan.action == PlanAction::NotMeasured) {
    r.earlyCode = ConvertCode::NotMeasured;
    r.out.errorText = plan.failureText;
    return true;
  }
  r.gainNote = plan.gainNote;
  r.folder = plan.folder;
  // What killed runs left in the folder goes first (never a file a live run still writes).
  if (m_cleanedFolders.insert(plan.folder).second) RemoveStaleTemporaries(plan.folder);
  r.job = {r.out.decodePath, r.out.sourcePath, std::string(), m_key,
           m_format && !m_format->usesBitrate() ? 0 : m_options.kbps, m_options.faacPath,
           plan.gain,
           plan.outputPeakLimit, m_options.standard, m_options.replayGainTags,
           m_options.copyTags, m_albums.InAlbum(row)};
  r.job.range = FramesOf(item->range, item->facts.rate);
  r.job.rowTags = item->tags;
  r.job.sourceTags = decision.sourceTags;
  r.job.fileTags = item->facts.fileTags;
  r.job.known = KnownLengthOf(*item);
  return true;
}

// The row's opening records and its name.
void ConversionRun::NameRow(int row) {
  Row& r = At(row);
  m_publisher.NameRow(row, r.out);
  if (!r.earlierNote.empty()) m_log.Write(r.earlierNote);
}

// A cancelled row keeps what it wrote (a WAV with valid sizes), under its name and with a
// record that says so; it is not selected and not counted as converted.
void ConversionRun::KeepCancelled(int row) {
  Row& r = At(row);
  ConversionRowReport& report = Report(row);
  report.outcome = RowOutcome::Cancelled;
  m_list.SelectRow(row, false);
  if (r.out.workPath.empty() || !FileExistsNonEmpty(r.out.workPath)) {
    m_publisher.Discard(r.out);
    m_publisher.Release(r.out);
    m_log.Write("Cancelled: nothing of this file was written.\n\n");
    report.text = "cancelled, nothing written";
    return;
  }
  if (m_publisher.Publish(r.out, ConvertCode::Cancelled) != ConvertCode::Cancelled) {
    m_log.Write(FormatText("Cancelled, and the part written could not be kept:\n\n   %s\n\n",
                           r.out.errorText.c_str()));
    report.text = r.out.errorText;
    return;
  }
  report.destination = r.out.destination;
  const int held = r.work.heldSeconds, length = r.work.sourceSeconds;
  report.text = FormatText("Cancelled: the file holds only %d:%02d of %d:%02d of the source.",
                           held / 60, held % 60, length / 60, length % 60);
  m_log.Write(report.text + "\n\n");
  ++m_result.cancelledKept;
}

// A row that failed: nothing of it stays, and it is neither selected nor converted.
void ConversionRun::Failed(int row, ConvertCode code) {
  Row& r = At(row);
  m_publisher.Discard(r.out);
  m_publisher.Release(r.out);
  m_list.SelectRow(row, false);
  ConversionRowReport& report = Report(row);
  report.outcome = RowOutcome::Failed;
  report.code = code;
  report.cause = CauseOfCode(code);
  report.text = r.out.errorText;
  ++m_result.failed;
  if (code == ConvertCode::NotMeasured) ++m_result.notMeasured;
}

// Hands the row's report to whoever asked to follow the batch row by row.
void ConversionRun::TellCommitted(int row) {
  ConversionRowReport& report = Report(row);
  if (report.outcome == RowOutcome::NotRun || !m_options.rowCommitted) return;
  report.workSeconds = At(row).workSeconds;
  m_options.rowCommitted(row, report);
}

bool ConversionRun::Commit(int row, ConvertCode code) {
  Row& r = At(row);
  ConversionRowReport& report = Report(row);
  if (code == ConvertCode::Skipped) {
    m_state.BatchFileIndex = row;
    m_log.Write(FormatText("\n--- Conversion # %d ---\n\n", row + 1) +
                FormatText("Skipped:\n\n   %s\n\nis converted already, as:\n\n   %s\n\n",
                           r.out.sourcePath.c_str(), r.out.destination.c_str()));
    report.outcome = RowOutcome::Skipped;
    report.code = code;
    report.destination = r.out.destination;
    ++m_result.skipped;
    FinishAlbum(m_albums.Committed(row));
    return true;
  }
  m_state.BatchFileIndex = row;
  NameRow(row);
  m_list.SelectRow(row, true);
  const std::string hidden = r.out.workPath;
  const bool waitForAlbum =
      code == ConvertCode::Ok && m_albums.InAlbum(row) && r.work.outputMeasured;
  if (code == ConvertCode::Ok && !waitForAlbum) code = m_publisher.Publish(r.out, code);
  Publisher::NameTexts(r.out.errorText, hidden, r.out.destination);
  Publisher::NameTexts(r.work.tagLog, hidden, r.out.destination);
  if (!r.gainNote.empty()) m_log.Write(r.gainNote + "\n\n");
  if (!r.work.logNote.empty()) m_log.Write(r.work.logNote + "\n\n");
  if (!r.work.tagLog.empty()) m_log.Write(FormatText("\n%s\n\n---\n", r.work.tagLog.c_str()));
  report.code = code;
  report.cause = CauseOfCode(code);
  if (code == ConvertCode::Ok) {
    report.outcome = RowOutcome::Done;
    report.destination = r.out.destination;
    report.note = r.work.logNote;
    ++m_result.converted;
    if (waitForAlbum) m_albums.Hold(row);
    FinishAlbum(m_albums.Committed(row));
    return true;
  }
  FinishAlbum(m_albums.Committed(row));
  if (code == ConvertCode::Cancelled) {
    m_result.cancelled = true;
    KeepCancelled(row);
    return false;
  }
  Failed(row, code);
  const int answer =
      ShowFileProblem(&m_host, m_options.skipProblemFiles ? 1 : 0, m_log.Path(),
                  MB_YESNO | MB_DEFBUTTON2, {r.out.sourcePath, FirstLine(r.out.errorText)},
                  "Got an error, converting:\n\n   %s\n\nto\n\n   %s\n\nError was:\n\n   "
                  "%s\n\nSkipping this file...\n\nAbort the batch job?  (Default: NO)",
                  r.out.decodePath.c_str(), r.out.destination.c_str(), r.out.errorText.c_str());
  if (answer == IDYES) {
    m_result.abortedByUser = true;
    return false;
  }
  return true;
}

// Rows that were still running when the batch ended. After a cancel they are committed as
// far as they got (a row that finished is converted; one stopped midway keeps its part, as
// the cancelled row does). After an abort or a failed start they are removed: the batch would
// not have started them one file after the other.
void ConversionRun::Settle(int row, ConvertCode code) {
  Row& r = At(row);
  if (m_result.abortedByUser || !m_result.startError.empty()) {
    m_publisher.Discard(r.out);
    return;
  }
  if (code == ConvertCode::Ok || code == ConvertCode::Cancelled ||
      code == ConvertCode::Skipped) {
    Commit(row, code);
    return;
  }
  // A row that failed while the cancel took effect: logged and counted, nothing asked.
  NameRow(row);
  Failed(row, code);
  m_publisher.LogFailure(row, r.out, false);
}

// The album pair for every output of an album waiting for it, measured over those outputs
// together, then their names. A row whose tags cannot be written then fails after all.
void ConversionRun::FinishAlbum(const std::vector<int>& rows) {
  if (rows.empty()) return;
  std::vector<const RowMeasurement*> outputs;
  double peak = 0.0;
  for (const int row : rows) {
    outputs.push_back(&At(row).work.output);
    peak = std::max(peak, At(row).work.output.peak);
  }
  const double volume = AlbumVolume(m_options.standard, outputs);
  const double reference = InfoOf(m_options.standard).reference;
  for (const int row : rows) {
    Row& r = At(row);
    std::string error;
    if (std::isfinite(volume)) {
      tags::TagSet tagged = std::move(r.work.writtenTags);
      tagged.fields["REPLAYGAIN_ALBUM_GAIN"] = {FormatFixed(reference - volume, 2) + " dB"};
      tagged.fields["REPLAYGAIN_ALBUM_PEAK"] = {FormatFixed(peak / kFullScale, 6)};
      const tags::WriteResult written = tags::WriteTagsInPlace(r.out.workPath, m_key, tagged);
      if (!written.ok) {
        error = "Could not write the album's ReplayGain tags (" + written.error + ")";
      } else if (!SyncFileToDisk(r.out.workPath)) {
        error = "Could not write the album's ReplayGain tags (" +
                std::string(std::strerror(errno)) + ")";
      }
    }
    const std::string hidden = r.out.workPath;
    const ConvertCode code = error.empty() ? m_publisher.Publish(r.out, ConvertCode::Ok)
                                           : ConvertCode::TagsFailed;
    if (code == ConvertCode::Ok) {
      Report(row).destination = r.out.destination;
      continue;
    }
    if (!error.empty()) r.out.errorText = error;
    Publisher::NameTexts(r.out.errorText, hidden, r.out.destination);
    --m_result.converted;
    Failed(row, code);
    m_publisher.LogFailure(row, r.out, true);
  }
}

void ConversionRun::ShowProgress(const RowJobProgress& progress) {
  if (progress.lowestRow < 0) return;
  m_state.BatchFileIndex = progress.lowestRow;
  // One file at a time (one job, or one row): the progress of that file.
  const bool oneAtATime = m_options.jobs <= 1 || m_state.BatchFileCount == 1;
  BatchProgress shown = ProgressOf("Converting", oneAtATime, m_state, progress);
  for (int row : progress.runningRows) {
    shown.runningFiles.push_back(
        std::filesystem::path(m_list.GetSourcePath(row)).filename().string());
  }
  m_host.ShowProgress(shown);
}

void ConversionRun::Run() {
  RowJobSteps steps;
  steps.prepare = [this](int row) { return Prepare(row); };
  // The row runner carries a row's code as an int.
  steps.work = [this](int row, JobContext& job) {
    Row& r = At(row);
    if (r.earlyCode != ConvertCode::Ok) return static_cast<int>(r.earlyCode);
    // The row's hidden output, made on the worker: creating a file is most of what a short
    // row would otherwise cost the calling thread, which every row passes through.
    r.out.workPath = r.job.workPath = MakeHiddenOutput(r.folder, m_key);
    if (r.out.workPath.empty()) {
      FailEarly(r, {ConvertCode::CannotCreate, errno});
      return static_cast<int>(r.earlyCode);
    }
    r.started = std::chrono::steady_clock::now();
    r.work = ConvertRow(r.job, job);
    return static_cast<int>(r.work.result.code);
  };
  // The flush runs beside the worker, which meanwhile takes its next row.
  steps.finish = [this](int row, int code) {
    Row& r = At(row);
    if (r.earlyCode != ConvertCode::Ok) return code;
    FinishRow(r.job, r.work);
    r.workSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - r.started).count();
    r.out.errorText = r.work.errorText;
    return static_cast<int>(r.work.result.code);
  };
  steps.commit = [this](int row, int code) {
    const bool goOn = Commit(row, static_cast<ConvertCode>(code));
    TellCommitted(row);
    return goOn;
  };
  steps.settle = [this](int row, int code) {
    Settle(row, static_cast<ConvertCode>(code));
    TellCommitted(row);
  };
  steps.abandon = [this](int row) { m_publisher.Discard(At(row).out); };
  steps.rowSeconds = [this](int row) { return m_list.GetSeconds(row); };
  steps.progress = [this](const RowJobProgress& progress) { ShowProgress(progress); };
  const RowJobsOutcome outcome =
      RunRowJobs(m_state.BatchFileCount, std::max(1, m_options.jobs), m_host, m_state, steps);
  if (!outcome.startError.empty()) {
    m_result.startError = outcome.startError;
    ShowMessage(&m_host, 0, m_log.Path(), MB_OK | MB_ICONERROR,
                "Could not start converting another file at once (%s).  The batch was stopped; "
                "the files not converted yet were left alone.  Try fewer Files at once.",
                outcome.startError.c_str());
  }
  // Albums whose last row never came (a cancel, an abort): what was done gets its tags and names.
  for (const std::vector<int>& album : m_albums.Unfinished()) FinishAlbum(album);
  // Hidden files of rows that never ran (a failed start) are gone too.
  for (Row& r : m_rows) m_publisher.Discard(r.out);
  if (m_state.CancelRequested.load() == 1 && !m_result.abortedByUser) m_result.cancelled = true;
}

// The checks before the first row; an empty string names the destination folder when all pass
// (or with sameFolder), a failed check shows its message and gives false.
bool CheckBatch(const ConversionOptions& options, const SourceList& list, BatchHost& host,
                std::string& folder) {
  if (list.RowCount() < 1) {
    ShowMessage(&host, 0, {}, MB_OK,
                "No Audio Files have been added to the Convert List.  Please add some Audio "
                "Files first, thanks.");
    return false;
  }
  const OutputFormat* format = FindOutputFormat(options.formatKey);
  if (format && format->needsEncoderBitrates && format->Bitrates().Empty()) {
    ShowMessage(&host, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "WMA files cannot be written on this computer: the WMA encoder offers no "
                "bitrates.  Please choose another Output Format, thanks.");
    return false;
  }
  if (!options.sameFolder) {
    folder = TrimWhiteSpace(options.destinationFolder);
    if (folder.empty() || !FolderExists(&folder)) {
      ShowMessage(&host, 0, {}, MB_OK,
                  "The Save To directory was not found.  Please choose an existing directory, "
                  "thanks.");
      return false;
    }
  }
  return true;
}

}  // namespace

std::string FirstLine(const std::string& text) {
  const size_t start = text.find_first_not_of(" \n");
  if (start == std::string::npos) return {};
  const size_t end = text.find('\n', start);
  std::string line = text.substr(start, end == std::string::npos ? end : end - start);
  while (!line.empty() && (line.back() == ' ' || line.back() == '.')) line.pop_back();
  return line;
}

NameFields NameFieldsOf(const QVListItem& item) {
  tags::FieldMap kept;
  if (tags::RestoreFields(item.facts.fileTags, kept)) return NameFieldsFrom(std::move(kept), item);
  return NameFieldsFrom(tags::ReadTags(item.sourcePath).tags.fields, item);
}

std::vector<PlannedRow> PlanConversionBatch(const ConversionOptions& options,
                                            const SourceList& list) {
  std::vector<PlannedRow> planned;
  const RowPlanner planner(options, list,
                           options.sameFolder ? std::string()
                                              : TrimWhiteSpace(options.destinationFolder));
  BatchLog closed;  // never opened: the dry run writes no log
  Publisher namer(closed, options.maxNumberedCopies);
  for (int row = 0; row < list.RowCount(); ++row) {
    const QVListItem& item = *list.Item(row);
    const RowDecision decision = planner.Decide(row, item);
    PlannedRow& p = planned.emplace_back();
    p.source = item.sourcePath;
    if (decision.action == ExistingAction::Skip) {
      p.output = decision.earlier.complete;
      p.action = "skip";
      continue;
    }
    PublishedRow out;
    out.destination = decision.plan.plainDestination;
    out.replace = decision.action == ExistingAction::Replace;
    namer.NameRow(row, out);
    p.output = out.destination;
    p.action = out.replace ? "replace" : out.naming == kDestinationRenamed ? "number" : "convert";
    if (out.naming == kDestinationAllTaken) {
      p.action = "fail";
      p.cause = ConversionErrorText({ConvertCode::NamesTaken});
    } else if (decision.plan.action == PlanAction::NotMeasured) {
      p.action = "fail";
      p.cause = decision.plan.failureText;
    }
  }
  return planned;
}

ConversionBatchResult RunConversionBatch(const ConversionOptions& options, SourceList& list,
                                         BatchState& state, BatchHost& host) {
  ConversionBatchResult result;
  MessagesLogged = 0;
  state.BatchFileCount = list.RowCount();
  std::string folder;
  if (!CheckBatch(options, list, host, folder)) return result;
  BatchLog ownLog;
  BatchLog& log = options.heldLog ? *options.heldLog : ownLog;
  if (!log.Open(options.logPath)) {
    ShowMessage(&host, 0, {}, MB_OK | MB_ICONERROR,
                "Unable to create the Log File:\n\n   %s\n\nSorry, can't continue.",
                options.logPath.c_str());
    return result;
  }
  result.logPath = log.Path();
  result.started = true;
  result.rows.resize(static_cast<size_t>(state.BatchFileCount));
  BeginBatch(state, host, kBatchFileConversion);
  list.DeselectAll();
  ConversionRun(options, list, state, host, log, folder, result).Run();
  ownLog.Close();
  if (options.ended) options.ended(result);
  if (options.skipProblemFiles && MessagesLogged) {
    const int answer = ShowMessage(
        &host, 0, {}, MB_YESNO,
        "Messages were logged during the Batch Job.  Please see this file for details:\n\n   "
        "%s\n\nDo you want to open it now?",
        result.logPath.c_str());
    if (answer == IDYES && options.openLog) options.openLog(result.logPath);
  }
  EndBatch(state, host);
  return result;
}

}  // namespace qv
