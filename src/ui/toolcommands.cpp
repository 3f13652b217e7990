// The main window's tool runs: the modal tool progress window over one external tool.
#include "ui/cquorvindlg.h"
#include "ui/qvimportprogressdlg.h"

namespace qv {

int CQuorvinDlg::RunTool(const ToolRunRequest& request) {
  QVImportProgressDlg dialog(request, this);
  return dialog.RunModal();
}

}  // namespace qv
