#pragma once
// Giving a finished file its name without ever replacing a file that has the name, and making
// sure its data are on the disk before it has it.

#include <string>

namespace qv {

// Renames `from` to `to`, failing (errno EEXIST) when a file has the name `to`. File systems
// without RENAME_NOREPLACE get a hard link and an unlink, which also refuse an existing name.
// False with errno set on failure; `from` is then left as it was.
bool RenameWithoutReplacing(const std::string& from, const std::string& to);

// Writes the data of the regular file `path` out to the disk (fsync), so that a power cut after
// it is renamed cannot leave the name on a file whose data never reached the disk. Links are
// not followed. False with errno set on failure (an I/O error: the data may be lost).
bool SyncFileToDisk(const std::string& path);

}  // namespace qv
