// The main window's loudness commands: the Calculate Loudness option, the loudness batch,
// Normalization and the retargeting that follows the normalization dialog's edit.
#include <QElapsedTimer>
#include <QString>

#include "app/host.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "loudness/loudness.h"
#include "loudness/targettext.h"
#include "model/qvlistitem.h"
#include "ui/batchsummary.h"
#include "ui/cqvnormalizationdlg.h"
#include "ui/cquorvindlg.h"

namespace qv {

void CQuorvinDlg::OnNormalization() {
  if (!m_model.CheckListForNormalization()) return;
  CQVNormalizationDlg dialog(m_model.NormalizationTarget(), m_model.NormalizationEnabled(), this,
                             *this);
  connect(&dialog, &CQVNormalizationDlg::TargetChanged, this, &CQuorvinDlg::OnTargetChanged);
  if (dialog.DoModal() == QDialog::Accepted) {
    m_model.SetNormalizationTarget(dialog.Target());
    m_model.SetNormalizationEnabled(dialog.ApplyFlag());
  } else {
    // Cancel switches normalization off, even when it was on; the target stays.
    m_model.SetNormalizationEnabled(false);
  }
}

void CQuorvinDlg::OnTargetChanged(const QString& text) {
  RetargetRows(m_model.List(), ParseTargetText(text.toStdString()));
}

void CQuorvinDlg::OnLoudnessOn() {
  const int answer = ShowMessage(
      this, 0, {}, MB_YESNO,
      "The calculation of loudness data takes a few seconds per file, so if you are loading a "
      "large number of files into Quorvin, this process may take considerable time.  Do you "
      "want to continue?");
  if (answer == IDNO) return;
  SetToggle(kIdLoudnessOff, kIdLoudnessOn, true);
  m_model.StopPreview();
  RunLoudnessBatch();
}

void CQuorvinDlg::RunLoudnessBatch() {
  LoudnessBatchOptions options;
  options.target = m_model.NormalizationTarget();
  options.logPath = Settings().LogFilePath;
  options.jobs = m_model.Jobs();
  SourceList& list = m_model.List();
  auto countMeasured = [&list] {
    int measured = 0;
    for (int row = 0; row < list.RowCount(); ++row) {
      if (const QVListItem* item = list.Item(row); item && item->hasLoudness) ++measured;
    }
    return measured;
  };
  const int before = countMeasured();
  const int rows = list.RowCount();
  m_batchStartText = "Analyzing...";
  const int entered = m_batchesEntered;
  QElapsedTimer clock;
  clock.start();
  qv::RunLoudnessBatch(*this, list, m_model.Batch(), m_loudnessEngine, options);
  m_batchStartText.clear();
  if (m_batchesEntered == entered) return;  // refused before its layout
  LoudnessSummary summary;
  summary.measured = countMeasured() - before;
  summary.toMeasure = rows - before;
  summary.cancelled = m_model.Batch().CancelRequested == 1;
  summary.seconds = clock.elapsed() / 1000;
  SetStatusText(LoudnessSummaryText(summary));
}

}  // namespace qv
