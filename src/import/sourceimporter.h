#pragma once
// Adding source files to the list: the probe that measures one file, the open-error messages,
// the open-file filter, the folder scan and the summary of an add. No widgets: the main window
// and the command-line front end drive the same SourceImporter.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "audio/metadata.h"
#include "model/qvlistitem.h"
#include "tools/toolrun.h"

namespace qv {

class BatchHost;
class SourceList;
struct CueSheet;
struct BatchState;

// What ProbeAudioFile measures: a row's facts, and why a probe failed. Sizes and the bitrate
// arithmetic are 64-bit.
struct ProbeResult : SourceFacts {
  int errorCode = 0;  // the audio library's code on failure; 0 for the file-system test
  std::string errorText;  // why it failed, as a clause ("it is a folder"); may be empty
};

// ProbeSource for SourceList::RefreshChangedRows: the facts of `path`, false on failure.
bool ProbeSourceFacts(const std::string& path, SourceFacts& facts);

// Opens `path` as a decoding stream (no conversion to the playback format, no decoding beyond
// the first frame and what the length check reads), measures it and frees it. False on
// failure, with `result.errorCode` set: 0 when the path is no regular non-empty file or is too
// short to be a media name, else the library's code (41 for data that are not audio it decodes).
// `container`, when given, receives FFmpeg's reading of the file's tags and cover (nothing
// for a plain WAV, which is read without FFmpeg).
bool ProbeAudioFile(const std::string& path, ProbeResult& result,
                    audio::ContainerMetadata* container = nullptr);
// ProbeAudioFile, and the file's tags read into `result.fileTags` (with the probe's reading of
// the container, so FFmpeg opens the file once); `embeddedSheet`, when given, receives the
// CUESHEET tag of a file of the kinds album images are kept in.
bool ProbeSource(const std::string& path, ProbeResult& result, std::string* embeddedSheet);

// Shows the message for a failed open of `path`: the unsupported-format text for 41, the DRM
// text for 1000, "Unable to get the Audio File Stats from:" for every other code; each with
// `reason` (ProbeResult::errorText) when there is one.
void ReportOpenError(BatchHost& owner, const std::string& path, int code,
                     const std::string& reason = {});

// One entry of the open-file dialog's filter list.
struct OpenFilter {
  std::string description;  // "Audio Files (aac, aif, ...)"
  std::string patterns;     // "*.aac;*.aif;..."
};
// The three filters of the Add Files dialog, from the media extension table: all openable
// files, the audio files, the video files.
std::vector<OpenFilter> BuildOpenFilter();

// The counters of one adding command.
struct AddCounters {
  int added = 0;
  int skipped = 0;
  int refused = 0;       // files refused with their own message (not audio, damaged, ...)
  bool stopped = false;  // the stop request ended the add before its last file
  bool Any() const { return added > 0 || skipped > 0; }
};

// "Added %d new file%s, and skipped %d existing file%s." ("file" for exactly 1, else "files");
// with refused files "Added %d new file%s, skipped %d existing file%s, and %d could not be
// added."
std::string AddSummaryText(const AddCounters& counters);

// Calls `report` at most once per `interval` (and never for the first call), so a long add can
// show how far it is without spending its time on the status line.
class ProgressThrottle {
 public:
  using Clock = std::chrono::steady_clock;
  explicit ProgressThrottle(std::chrono::milliseconds interval = std::chrono::milliseconds(100))
      : m_interval(interval) {}
  // True when a report is due at `now` (and remembers it as the last report).
  bool Due(Clock::time_point now);
  void Restart(Clock::time_point now) { m_last = now; }

 private:
  std::chrono::milliseconds m_interval;
  Clock::time_point m_last{};
  bool m_started = false;
};

// The status line text of a long add: "Adding...  1234 of 10000".
std::string AddingProgressText(int done, int total);

// Adds files and folders to one SourceList, showing its messages through one host. Video files
// (and .mp4 files the library cannot decode) go through the ffmpeg extraction, run by `runTool`.
// `progress` (optional) is told how far a multi-file add is, at most every 100 ms. Lives for one
// command or for the whole window; user-interface thread only.
class SourceImporter {
 public:
  using Progress = std::function<void(int done, int total)>;

  SourceImporter(BatchHost& host, SourceList& list, ToolRunner runTool,
                 Progress progress = nullptr);

  // Adds one file: a CUE sheet, or an album image whose sheet lies beside it (the same base
  // name) or is its CUESHEET tag, adds a row per track (see AddTracks); refuses one of our
  // temporary names (IsOurTemporaryName) with a message and unlisted extensions silently,
  // counts a file already listed as skipped, extracts a video's sound track into a temporary
  // WAV, probes, refuses channel counts outside 1 to 8, and appends the row. A failure shows
  // its own message and is counted neither as added nor as skipped.
  void AddSourceFile(const std::string& path, AddCounters& counters);
  // How many files a multi-file add probes at once (1, the default: one after the other). The
  // probes run on worker threads of the row runner (RunRowJobs); the rows, messages and
  // counters still come on the calling thread in the order of the names, exactly as one file
  // after the other, and the host's events are pumped meanwhile.
  void SetProbeThreads(int threads) { m_probeThreads = threads < 1 ? 1 : threads; }

  // Adds several files in their order, telling the progress callback how far it is.
  void AddFiles(const std::vector<std::string>& paths, AddCounters& counters);

  // The cancel flag of multi-file adds: once `state.CancelRequested` is 1 (the window's Cancel,
  // a Ctrl-C that the command line's host sees when it pumps events) an add stops before its
  // next file and its counters say `stopped`. The add never clears the flag; its owner does.
  // Without this call the importer has a state of its own that nothing cancels. A running
  // video extraction stops at the same flag (its dialog's Cancel sets it).
  void SetCancelState(BatchState& state) { m_state = &state; }
  // Called once the files of ScanFolder or AddPaths are all added (or the add stopped), before
  // the summary is shown: the window leaves its batch layout there. May be empty.
  void SetAddEnded(std::function<void()> ended) { m_addEnded = std::move(ended); }

  // The supported files of `folder` (with `recursive`, of its sub-folders too), sorted by name;
  // our temporary names (hidden outputs being written, debris of stopped runs) are left out.
  // False when the folder cannot be listed. Without `recursive` an entry is taken by its name
  // alone: a sub-folder named like a media file is listed and fails when it is added. A
  // recursive walk does not enter `leftOut` (the same folder on disk, by any name): a
  // destination inside the tree would otherwise give the outputs of one run to the next as
  // sources.
  static bool ListFolder(const std::string& folder, bool recursive,
                         std::vector<std::string>& paths, const std::string& leftOut = {});
  // The folder recursive adds leave out (ListFolder's `leftOut`); empty for none.
  void SetFolderLeftOut(std::string folder) { m_leftOut = std::move(folder); }

  // Add Folder's scan: lists the folder ("The chosen Folder is empty." when it cannot be
  // listed), adds every supported file, then shows the summary, or "The selected Folder does
  // not contain any supported file types:" when nothing was added or skipped. Returns the
  // counters; Any() tells the caller to remember the folder as the last source folder. A
  // stopped add that added nothing shows nothing.
  AddCounters ScanFolder(const std::string& folder, bool recursive = false);

  // Files and folders dropped on the list, or named on a command line: files through
  // AddSourceFile, folders through the scan, all counted together with one summary at the end.
  // When nothing was added or skipped and a folder was given, the "does not contain any
  // supported file types" message names the first such folder.
  AddCounters AddPaths(const std::vector<std::string>& paths, bool recursive = false);

  // Shows the summary when something was added or skipped.
  void ShowSummary(const AddCounters& counters);

 private:
  void AddWithProgress(const std::vector<std::string>& paths, AddCounters& counters);
  // A probe made by a worker of AddWithProgress.
  struct Probed {
    bool done = false;  // the worker looked at the file
    bool ok = false;    // ProbeAudioFile's answer
    ProbeResult result;
    std::string embeddedSheet;  // the file's CUESHEET tag
  };
  void AddSourceFile(const std::string& path, AddCounters& counters, const Probed* probed);
  // A CUE sheet: the tracks of every file it names.
  void AddSheet(const std::string& path, AddCounters& counters);
  // An album image with its sheet beside it or in its CUESHEET tag: its tracks (true), or
  // nothing (false: the file is a plain source).
  bool AddImageTracks(const std::string& path, const ProbeResult& probe,
                      const std::string& embeddedSheet, AddCounters& counters);
  // The rows of the tracks of file `file` of `sheet` (at `path`, probed as `probe`): each from
  // its INDEX 01 to the next track's of the same file (or the file's end), tagged from the
  // sheet over the image's own tags, titled with the track's title.
  void AddTracks(const CueSheet& sheet, int file, const std::string& path,
                 const ProbeResult& probe, AddCounters& counters);
  // Extracts and probes a video's sound track; false (after its message) on failure, with no
  // temporary WAV left behind.
  bool AddVideo(const std::string& source, ProbeResult& probe, std::string& tempWav);

  BatchHost& m_host;
  SourceList& m_list;
  ToolRunner m_runTool;
  Progress m_progress;
  std::shared_ptr<BatchState> m_ownState;
  BatchState* m_state;
  int m_probeThreads = 1;
  std::function<void()> m_addEnded;
  std::string m_leftOut;
};

}  // namespace qv
