#pragma once
// Giving a finished file its name without ever replacing a file that has the name.

#include <string>

namespace qv {

// Renames `from` to `to`, failing (errno EEXIST) when a file has the name `to`. File systems
// without RENAME_NOREPLACE get a hard link and an unlink, which also refuse an existing name.
// False with errno set on failure; `from` is then left as it was.
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

}  // namespace qv
