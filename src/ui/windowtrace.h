#pragma once

#include <string>

namespace qv {

// A switch for tests that drive the real program from outside (scripts/quorvin.sh
// test-desktop): when the environment variable QUORVIN_TRACE_WINDOWS is set, every top-level
// window that shows, moves or hides (the main window, dialogs, message boxes, menus, drop-down
// lists) is written to stderr with the geometry Qt holds for it, and so is every status line text.
// One line each, "qv-trace: ...". Off otherwise; costs nothing then. GUI thread only.
bool WindowTraceEnabled();
// Installs the window part on the application (once; does nothing when the switch is off).
void InstallWindowTrace();
// Writes the status line text (when the switch is on).
void TraceStatusText(const std::string& text);
// Writes any other line of the window's own view, "qv-trace: <text>" (when the switch is on).
void TraceLine(const std::string& text);

}  // namespace qv
