#pragma once

#include <memory>
#include <string>
#include <vector>

#include "model/batchlog.h"
#include "model/batchstate.h"
#include "model/previewplayer.h"
#include "model/qvlistitem.h"
#include "model/sourcelist.h"

namespace qv {

// What the Normalization dialog chooses: the loudness standard with a target for each, whether
// the next conversion normalizes, by album gain or track gain, and whether the outputs get
// ReplayGain tags.
struct NormalizationChoice {
  LoudnessStandard standard = LoudnessStandard::ReplayGain1;
  double targets[kLoudnessStandards] = {89.0, -18.0};
  // dB (dBFS of the sample peak for ReplayGain 1.0, dBTP for R128) the gains keep the peak to.
  double peakLimits[kLoudnessStandards] = {0.0, -1.0};
  bool apply = false;
  bool byAlbum = false;
  bool replayGainTags = false;
  double Target() const { return targets[static_cast<int>(standard)]; }
  double PeakLimit() const { return peakLimits[static_cast<int>(standard)]; }
};

class BatchHost;

inline constexpr const char* kNotAvailableYet = "This command is not available yet.";

// The main window's logic without widgets: the source file list, the preview player, the batch
// state and the normalization target, and the commands that need no widget to decide what they
// do (play, remove, cancel, the exit confirmation, the destination list choice). Messages go to
// `host` (the window, or a scripted host in tests). Owns the list and the player. User-interface
// thread only.
class MainWindowModel {
 public:
  explicit MainWindowModel(BatchHost& host) : m_host(host) {}
  ~MainWindowModel();
  MainWindowModel(const MainWindowModel&) = delete;
  MainWindowModel& operator=(const MainWindowModel&) = delete;

  SourceList& List() { return m_list; }
  const SourceList& List() const { return m_list; }
  // The window's batch log: opened by its first batch and held (with its lock) to the end, so
  // the log a summary names stays this window's until the next batch.
  BatchLog& Log() { return m_log; }
  BatchState& Batch() { return m_batch; }
  const BatchState& Batch() const { return m_batch; }
  // Nullptr until CreatePlayer and after ConfirmExit.
  PreviewPlayer* Player() { return m_player.get(); }
  void CreatePlayer() { m_player = std::make_unique<PreviewPlayer>(1.0f); }

  // The loudness target (89.0 dB or -18.0 LUFS at start) and whether the next conversion
  // applies each row's gain. The conversion batch clears the flag at its end.
  // The target of the standard in force.
  double NormalizationTarget() const { return m_normalization.Target(); }
  void SetNormalizationTarget(double target) {
    m_normalization.targets[static_cast<int>(m_normalization.standard)] = target;
  }
  bool NormalizationEnabled() const { return m_normalization.apply; }
  void SetNormalizationEnabled(bool enabled) { m_normalization.apply = enabled; }
  // The standard, both targets, album gain and ReplayGain tags (the window keeps the standard
  // and the targets in the configuration).
  NormalizationChoice& Normalization() { return m_normalization; }
  const NormalizationChoice& Normalization() const { return m_normalization; }

  // The window's option toggles, as values the batches are given (the toggle buttons only show
  // them). All off at start; none is stored between runs.
  struct Options {
    bool sameFolder = false;
    bool skipProblemFiles = false;
    bool calculateLoudness = false;
  };
  Options& WindowOptions() { return m_options; }
  const Options& WindowOptions() const { return m_options; }
  // How many files a batch works on at once: the configuration's jobs= when it is set (1 to
  // 64), else the number of cores.
  int Jobs() const;

  // Stops the preview and rewinds it (every command that starts other work does this first).
  void StopPreview();
  // Play: plays the selected row, or stops it when it plays; asks for one selected file when
  // not exactly one row is selected.
  void Play();
  // Remove: stops the preview, removes the selected rows; returns how many.
  int Remove();
  // Remove All: stops the preview, removes every row.
  void RemoveAll();
  // Normalization: false (after telling the user) when the list is empty.
  bool CheckListForNormalization();
  // Cancel: asks to cancel the running batch; on yes every running row stops after its
  // current block.
  // The batch's workers wait at their next block while the question is open.
  void Cancel();
  // Whether the program may close. Refused while a batch runs (also in the moment after Cancel
  // before the batch has returned to idle); else asks, and on yes stops the audio library and
  // destroys every row's record (deleting temporary WAVs). Once confirmed it stays confirmed.
  bool ConfirmExit();
  bool ExitConfirmed() const { return m_exitConfirmed; }
  // The text of the About box.
  static std::string AboutText(const std::string& version);
  // Tells the user that a command arrives in a later version.
  void NotAvailableYet();

 private:
  BatchHost& m_host;
  SourceList m_list;
  BatchState m_batch;
  BatchLog m_log;
  std::unique_ptr<PreviewPlayer> m_player;
  bool m_exitConfirmed = false;
  NormalizationChoice m_normalization;
  Options m_options;
};

// The Browse command's choice: the index of the entry equal to `chosen` (exactly, with case),
// or, when there is none, the index of `chosen` appended at the end.
int FindOrAppendDestination(std::vector<std::string>& entries, const std::string& chosen);

}  // namespace qv
