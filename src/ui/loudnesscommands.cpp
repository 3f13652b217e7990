// The main window's loudness commands: the Calculate Loudness option, the loudness batch,
// Normalization and the retargeting that follows the normalization dialog's edit.
#include <QString>

#include "app/host.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "loudness/loudness.h"
#include "loudness/targettext.h"
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
  qv::RunLoudnessBatch(*this, m_model.List(), m_model.Batch(), m_loudnessEngine, options);
}

}  // namespace qv
