// The main window's conversion commands: the format and bitrate lists and Convert.
#include <QComboBox>

#include "app/host.h"
#include "app/showmessage.h"
#include "ui/cquorvindlg.h"

namespace qv {

void CQuorvinDlg::OnConvert() {
  m_model.StopPreview();
  m_model.NotAvailableYet();  // the conversion batch
}

void CQuorvinDlg::OnFormatChanged() { UpdateBitrateCombo(false); }

void CQuorvinDlg::UpdateBitrateCombo(bool keepContents) {
  // The bitrate tables of the output formats fill the list; until they are there, only the
  // WAV rule applies: no bitrate to choose.
  (void)keepContents;
  if (m_formatList->currentText() == QLatin1String("WAV")) {
    m_bitrateList->clear();
    m_bitrateList->setEnabled(false);
  } else {
    m_bitrateList->setEnabled(true);
  }
}

}  // namespace qv
