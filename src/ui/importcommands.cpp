// The main window's commands that fill the source file list (Add Files, Add Folder) and the
// options dialog.
#include <QComboBox>

#include "app/host.h"
#include "app/showmessage.h"
#include "ui/cquorvindlg.h"

namespace qv {

void CQuorvinDlg::OnAddFiles() { m_model.NotAvailableYet(); }
void CQuorvinDlg::OnAddFolder() { m_model.NotAvailableYet(); }

void CQuorvinDlg::OnOptions() {
  m_model.StopPreview();
  m_model.NotAvailableYet();  // the default file locations dialog
}

}  // namespace qv
