#pragma once

#include <string>

class QWidget;

namespace qv {

class BatchHost;

// Lets the user pick a folder, starting at `startFolder`. Returns the chosen folder, or the
// empty string when the user cancelled or chose something that is not an existing folder (then
// a warning has been shown through `owner`).
std::string BrowseForFolder(QWidget* parent, BatchHost* owner, const std::string& title,
                            const std::string& startFolder);

}  // namespace qv
