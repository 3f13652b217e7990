// The main window's loudness commands: the Calculate Loudness option and Normalization.
#include <QComboBox>

#include "app/host.h"
#include "app/showmessage.h"
#include "ui/cquorvindlg.h"

namespace qv {

void CQuorvinDlg::OnNormalization() {
  if (!m_model.CheckListForNormalization()) return;
  m_model.NotAvailableYet();  // the normalization dialog
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
  m_model.NotAvailableYet();  // the loudness batch over the whole list
}

void CQuorvinDlg::RunLoudnessBatch() {}

}  // namespace qv
