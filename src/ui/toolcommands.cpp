// The main window's tool runs: the modal tool progress window over one external tool.
#include "ui/cquorvindlg.h"

namespace qv {

// Until the tool progress window lands, no tool is run: the tool counts as ended at once.
int CQuorvinDlg::RunTool(const ToolRunRequest&) { return 1; }

}  // namespace qv
