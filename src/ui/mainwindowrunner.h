#pragma once

#include <QStringList>

namespace qv {

// Constructs the main window, runs it modally and returns its result when it has closed. The
// `files` (files and folders given on the command line, as a file manager's "Open with" passes
// them) are added once the window shows, as if dropped on the list.
int RunMainWindow(const QStringList& files = {});

}  // namespace qv
