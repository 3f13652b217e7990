// The main window's commands that fill the source file list (Add Files, Add Folder, files and
// folders dropped on the list) and the options dialog.
#include <QCoreApplication>
#include <QComboBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QStringList>

#include "app/host.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "convert/conversionbatch.h"
#include "convert/formats.h"
#include "convert/outputplanner.h"
#include "model/batchstate.h"
#include "import/sourceimporter.h"
#include "ui/autoplayfiledialog.h"
#include "ui/cqvdefaultfilelocationsdlg.h"
#include "ui/cquorvindlg.h"
#include "ui/qvlistctrl.h"

namespace qv {

namespace {

// The name the Cancel question gives an add: "Cancel the File Import?".
constexpr const char* kBatchFileImport = "File Import";

// An importer for one command: messages owned by the window, video extraction under the
// window's tool progress dialog, a status line that shows how far a long add is, and the
// window's batch state, whose Cancel stops the add before its next file. The add runs in the
// batch layout (RunAdding), so no command can start inside it while events are handled.
SourceImporter MakeImporter(CQuorvinDlg& window) {
  SourceImporter importer(
      window.Host(), window.Model().List(),
      [&window](const ToolRunRequest& request) { return window.RunTool(request); },
      [&window](int done, int total) {
        window.Host().SetStatusText(AddingProgressText(done, total));
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
      });
  importer.SetProbeThreads(window.Model().Jobs());  // files are probed on every core
  importer.SetCancelState(window.Model().Batch());
  return importer;
}

std::vector<std::string> ToPaths(const QStringList& list) {
  std::vector<std::string> paths;
  paths.reserve(static_cast<std::size_t>(list.size()));
  for (const QString& path : list) paths.push_back(path.toStdString());
  return paths;
}

QStringList NameFilters() {
  QStringList filters;
  for (const OpenFilter& filter : BuildOpenFilter()) {
    QString patterns = QString::fromStdString(filter.patterns);
    patterns.replace(QLatin1Char(';'), QLatin1Char(' '));
    filters.append(QString::fromStdString(filter.description) + QStringLiteral(" (") + patterns +
                   QStringLiteral(")"));
  }
  return filters;
}

}  // namespace

std::string AddFilesSummaryText(const AddCounters& counters, int refused) {
  AddCounters counted = counters;
  counted.refused = refused;
  return AddSummaryText(counted);
}

void CQuorvinDlg::InstallImportHooks() {
  m_list->SetDropFilter([this] { return CanStartAdding(); });
  // Queued: the drag source is told the drop is done before the add (and its messages) runs.
  connect(m_list, &QVListCtrl::PathsDropped, this, &CQuorvinDlg::OnPathsDropped,
          Qt::QueuedConnection);
}

bool CQuorvinDlg::CanStartAdding() const {
  const BatchState& batch = m_model.Batch();
  return !m_adding && batch.BatchInProgress == 0 && !batch.BatchLayoutActive;
}

bool CQuorvinDlg::RunAdding(const std::function<void(SourceImporter&)>& add) {
  m_adding = true;
  BeginBatch(m_model.Batch(), m_host, kBatchFileImport);
  // The summary of the add is shown in the idle layout, with "Ready." under it.
  bool inBatch = true;
  m_list->ListModel()->SetBatchedInserts(true);
  const auto endBatch = [&] {
    m_list->ListModel()->SetBatchedInserts(false);
    if (inBatch) EndBatch(m_model.Batch(), m_host);
    inBatch = false;
  };
  SourceImporter importer = MakeImporter(*this);
  importer.SetAddEnded(endBatch);
  add(importer);
  endBatch();
  m_adding = false;
  // A cancelled add is not followed by the loudness batch it would start.
  return m_model.Batch().CancelRequested.load() != 1;
}

void CQuorvinDlg::OnAddFiles() {
  if (!CanStartAdding()) return;
  QFileDialog dialog(this, QStringLiteral("Select Source File..."));
  dialog.setOption(QFileDialog::DontUseNativeDialog, true);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setNameFilters(NameFilters());
  // The first dialog opens in the configured source folder; later ones where the last one was
  // accepted.
  const std::string start =
      m_firstTimeAddFiles ? ReadFolderSetting("SourceFile") : m_lastAddFilesFolder;
  if (!start.empty()) dialog.setDirectory(QString::fromStdString(start));
  if (m_model.Player()) InstallAutoPlay(&dialog, *m_model.Player(), Settings().AutoPlayOnOpen);

  m_model.StopPreview();
  const bool accepted = m_services.runFileDialog ? m_services.runFileDialog(dialog)
                                                 : dialog.exec() == QDialog::Accepted;
  m_model.StopPreview();
  if (!accepted) return;
  m_firstTimeAddFiles = false;
  m_lastAddFilesFolder = dialog.directory().absolutePath().toStdString();

  const std::vector<std::string> paths = ToPaths(dialog.selectedFiles());
  AddCounters counters;
  const bool ended =
      RunAdding([&](SourceImporter& importer) { importer.AddFiles(paths, counters); });
  if (ended && CalculateLoudness()) RunLoudnessBatch();
  // Every chosen file was added, skipped as listed already, or refused with its own message
  // (a cancelled add never looked at the files after it stopped).
  const int refused = counters.stopped ? counters.refused
                                       : static_cast<int>(paths.size()) - counters.added -
                                             counters.skipped;
  if (counters.Any() || (refused > 0 && paths.size() > 1)) {
    ShowMessage(&m_host, 0, {}, MB_OK, "%s", AddFilesSummaryText(counters, refused).c_str());
  }
}

void CQuorvinDlg::OnAddFolder() {
  if (!CanStartAdding()) return;
  m_model.StopPreview();
  if (m_lastSourceFolder.empty()) m_lastSourceFolder = ReadFolderSetting("SourceFolder");
  if (!m_services.browseForFolder) return;
  const std::string folder = m_services.browseForFolder(
      this, &m_host, "Please select the Folder you would like to add:", m_lastSourceFolder);
  if (folder.empty()) return;
  AddCounters counters;
  const bool ended =
      RunAdding([&](SourceImporter& importer) { counters = importer.ScanFolder(folder); });
  if (counters.Any()) m_lastSourceFolder = folder;
  if (ended && CalculateLoudness()) RunLoudnessBatch();
}

void CQuorvinDlg::OnPathsDropped(const QStringList& dropped) {
  if (!CanStartAdding() || dropped.isEmpty()) return;
  m_model.StopPreview();
  const std::vector<std::string> paths = ToPaths(dropped);
  const bool ended = RunAdding([&](SourceImporter& importer) { importer.AddPaths(paths); });
  if (ended && CalculateLoudness()) RunLoudnessBatch();
}

void CQuorvinDlg::OnOptions() {
  m_model.StopPreview();
  CQVDefaultFileLocationsDlg dialog(this, m_host, m_services.browseForFolder,
                                    m_services.openUrl);
  // The first row's name below the destination, in the chosen format.
  dialog.SetNamePreview([this](const std::string& pattern) -> std::string {
    const QVListItem* item = m_model.List().Item(0);
    if (!item) return {};
    ConversionOptions options;
    options.namePattern = pattern;
    const std::string key = LowerAscii(m_formatList->currentText().toStdString());
    const OutputFormat* format = FindOutputFormat(key);
    const NameFields fields = NameFieldsOf(*item);
    return PlanOutput(*item, options, "", "", format ? format->extension : key, false, &fields)
        .relativePath;
  });
  dialog.exec();
}

}  // namespace qv
