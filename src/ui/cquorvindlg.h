#pragma once

#include <QPixmap>
#include <QTimer>
#include <functional>
#include <map>
#include <string>

#include "app/host.h"
#include "loudness/loudnessengine.h"
#include "model/batchstate.h"
#include "model/controlids.h"
#include "model/mainwindowmodel.h"
#include "tools/toolrun.h"
#include "ui/controlanchorlist.h"
#include "ui/cpropertiesbitmap.h"
#include "ui/dialogfontlayout.h"
#include "ui/framelessframe.h"
#include "ui/mainwindowhost.h"

class QComboBox;
class QPushButton;
class QUrl;

namespace qv {

class CBitmapButton;
class CCustomStatic;
class QVListCtrl;
class SourceImporter;

// What the main window uses from outside; tests replace the parts that would need a person or
// a desktop.
struct MainWindowServices {
  // Starts the audio library; shows its own message and returns false on failure.
  std::function<bool(BatchHost*)> startAudio;
  // Answers the window's message boxes; null: real message boxes owned by the window.
  BatchHost* messageHost = nullptr;
  // Lets the user pick a folder (empty when cancelled or rejected).
  std::function<std::string(QWidget* parent, BatchHost* owner, const std::string& title,
                            const std::string& start)>
      browseForFolder;
  // Opens a document with the desktop's default program. Null: the desktop's launcher, and a
  // message box naming the file when it fails.
  std::function<bool(const QUrl&)> openUrl;
  // Runs the Add Files chooser (a QFileDialog) modally; true when accepted. Null: exec().
  std::function<bool(QDialog& chooser)> runFileDialog;

  static MainWindowServices Defaults();
};

// The program's one window: a skinned, title-less window (its frame and sizing border are
// FramelessFrame's) laid out at a fixed 857 by 393 pixel client area. Owns the main-window
// model (the source file list, the preview player, the batch state), the controls and the skin
// images, and the host (MainWindowHost) through which batches show messages, write the status
// line, select rows and pump events; maps every control and menu command to its handler. GUI
// thread only; batches run inside its command handlers and pump events, while the batch layout
// keeps every command but Minimize, Exit and Cancel disabled.
class CQuorvinDlg : public FramelessFrame {
  Q_OBJECT

 public:
  explicit CQuorvinDlg(MainWindowServices services = MainWindowServices::Defaults(),
                       QWidget* parent = nullptr);
  ~CQuorvinDlg() override;

  // Sets the window up; 1 on success, -1 when the audio library could not start (the window
  // has then ended with result 0).
  int OnInitDialog();

  // The host that batches and commands run against.
  MainWindowHost& Host() { return m_host; }
  MainWindowModel& Model() { return m_model; }
  QVListCtrl* ListControl() { return m_list; }
  CBitmapButton* Button(int id) const;
  QWidget* Control(int id) const;
  int BottomImageTop() const { return m_bottomImageTop; }
  int SwallowNextClick() const { return m_swallowNextClick; }
  bool OutputToSameFolder() const;
  bool SkipProblemFiles() const;
  bool CalculateLoudness() const;

  // Command handlers, one per command of the window.
  void OnMinimize();
  void OnExit();
  void OnAddFiles();
  void OnAddFolder();
  void OnRemove();
  void OnRemoveAll();
  void OnPlay();
  void OnNormalization();
  void OnConvert();
  void OnOptions();
  void OnMore();
  void OnHelp();
  void OnFormatChanged();
  void OnBrowse();
  void OnSameFolderOn();
  void OnSameFolderOff();
  void OnSkipProblemsOn();
  void OnSkipProblemsOff();
  void OnLoudnessOn();
  void OnLoudnessOff();
  void OnCancel();
  void OnMenuCommand(int id);
  void OnAbout();

  // After a popup menu has closed: the next mouse click that reaches the window is dropped,
  // unless a command was chosen (`command` not 0), which then runs.
  void AfterPopupMenu(int command);
  // The bitrate list for the selected format (the format tables fill it; WAV empties and
  // disables it).
  void UpdateBitrateCombo(bool keepContents);
  // The loudness batch over the whole list (loudnesscommands.cpp); the adding commands run it
  // afterwards while the Calculate Loudness option is on.
  void RunLoudnessBatch();
  // The note in the status band says what the next conversion normalizes to, while it will.
  void UpdateNormalizationBadge();
  // Runs one external tool under the modal tool progress window (toolcommands.cpp); returns
  // the run's ToolRunResult.
  int RunTool(const ToolRunRequest& request);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;
  // The list and the bottom controls follow the window's height.
  void LayoutClient() override;

 private:
  void CreateControls();
  void ConnectCommands();
  // The host's layout switch: false switches to the batch layout, true back to the idle one.
  void SetBatchLayout(bool idle);
  void SetToggle(int offId, int onId, bool on);
  void PaintClient(QPainter& painter);
  void ApplyFocusRule(QWidget* underCursor);
  // The focus rule for whatever is under the cursor now (the hidden button when nothing of
  // the window is).
  void RestoreFocusRule();
  // Play reads "Stop" while the preview plays.
  void UpdatePlayButton();
  // A batch's summary in the status line, which opens the window's log when clicked.
  void ShowBatchSummary(const std::string& text);
  void TrackPopupMenu(int menuId);
  void OpenDocument(const QString& name);
  // Says that the desktop could not open `url`.
  void ReportOpenFailure(const QUrl& url);
  bool IsOwnWidget(QObject* object) const;

  MainWindowServices m_services;
  MainWindowHost m_host;
  MainWindowModel m_model;
  DialogFontLayout m_layout;
  CPropertiesBitmap m_topImage;
  CPropertiesBitmap m_bottomImage;
  int m_bottomImageTop = 295;

  std::map<int, QWidget*> m_controls;
  std::map<int, CBitmapButton*> m_buttons;
  QVListCtrl* m_list = nullptr;
  QComboBox* m_formatList = nullptr;
  QComboBox* m_bitrateList = nullptr;
  QComboBox* m_destinationList = nullptr;
  CCustomStatic* m_statusLine = nullptr;
  CCustomStatic* m_normalizationBadge = nullptr;
  QPushButton* m_hiddenFocus = nullptr;
  ControlAnchorList m_bottomAnchors;

  QSize m_initialWindowSize;
  QSize m_initialListSize;
  int m_swallowNextClick = 0;
  bool m_initialised = false;
  // The status text a starting batch shows.
  bool m_showingStop = false;
  QTimer m_playWatch;  // runs while the preview plays, to put "Play" back at its end
  std::string m_batchStartText;

  // ---- import commands (importcommands.cpp): their members below this line
 public:
  // Files and folders dropped on the source file list: added as Add Files and Add Folder add
  // them (one summary, the loudness run afterwards). Ignored during a batch or another add.
  void OnPathsDropped(const QStringList& paths);
  // True while an adding command runs: the list's drop target refuses drops then.
  bool AddingInProgress() const { return m_adding; }

 private:
  // Connects the list's drop target to OnPathsDropped (called once by the constructor).
  void InstallImportHooks();
  // True when an add may start now (no batch, no other add).
  bool CanStartAdding() const;
  // Runs `add` with the window's importer in the batch layout, marked as an add in progress;
  // the layout ends (with "Ready.") before the add's summary. False when Cancel stopped it.
  bool RunAdding(const std::function<void(SourceImporter&)>& add);

  bool m_firstTimeAddFiles = true;  // Add Files opens in the SourceFilePath folder
  std::string m_lastAddFilesFolder;  // where the file chooser was last accepted
  std::string m_lastSourceFolder;    // where Add Folder's picker starts
  bool m_adding = false;

  // ---- conversion commands (convertcommands.cpp): their members below this line
  // Fills the bitrate list with the entries of one format, its default selected.
  void FillBitrateCombo(const struct BitrateList& bitrates);
  // Marks the rows whose output a conversion left partial, and the converted rows the log notes
  // something of (the marks of the batch before go).
  void MarkRows(const struct ConversionBatchResult& result);

  // ---- loudness commands (loudnesscommands.cpp): their members below this line
 public:
  // A new target from the normalization dialog's edit: the measured rows get its gains.
  void OnTargetChanged(const QString& text);
  // Every row shows `standard` (its measurement in it, or nothing), by album or track gain,
  // with the standard's peak limit.
  void ShowNormalizationView(LoudnessStandard standard, bool byAlbum, double target);

 private:
  // The analysis engine of the window's loudness batches.
  LoudnessEngine m_loudnessEngine;
};

// The summary of Add Files: AddSummaryText, and when `refused` files (each refused with its
// own message) could not be added, "Added 3 new files, skipped 0 existing files, and 2 could
// not be added.".
std::string AddFilesSummaryText(const struct AddCounters& counters, int refused);

}  // namespace qv
