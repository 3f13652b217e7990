#pragma once

namespace qv {

// Constructs the main window, runs it modally and returns its result when it has closed.
int RunMainWindow();

}  // namespace qv
