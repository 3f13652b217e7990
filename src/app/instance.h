#pragma once
// This process's identity among the instances of the program that a user runs at the same
// time (windows and quorvin-cli runs alike), and the temporary names that carry it.
//
// Each process holds an flock on its lock file "instance-<id>.lock" in the working folder for
// as long as it lives. Every temporary file it makes is named with its id: the hidden outputs
// ".quorvin-<id>-XXXXXX.<ext>" and tag scratch files ".qvtags-<id>-XXXXXX" in destination
// folders (and qvfaac's partials of those hidden outputs, which begin with the same prefix),
// and "<base>-<id>-XXXXXX<suffix>" in the working folder (temporary WAVs, scripts, tool error
// reports). A later instance can then tell the debris of a crashed or killed one from the
// files of one that still runs: it removes the former and never touches the latter.
//
// The id is 12 lower-case hexadecimal digits: 4 derived from the working folder's path, 8
// random. An instance whose lock file is missing counts as ended only for a cleaner that uses
// the same working folder, so two runs with different $TMPDIR never take each other's files.
//
// Any thread; but the calls that need the working folder (InstanceId before start-up,
// MakeWorkingFile, RemoveStaleTemporaries) report a missing one through the ownerless host,
// so they belong on the thread that owns it.

#include <string>

namespace qv {

inline constexpr const char* kHiddenOutputStem = ".quorvin-";
inline constexpr const char* kTagScratchStem = ".qvtags-";
inline constexpr const char* kQvfaacPartialMark = ".qvfaac-";
inline constexpr int kInstanceIdLength = 12;
// The base names of this instance's files in the working folder: the temporary WAVs, the two
// scripts and the tool error reports. MakeWorkingFile takes only these, so that
// RemoveStaleTemporaries knows every name it may meet.
inline constexpr const char* kWorkingFileBases[] = {"qvAudioTemp", "qvExtractAudioFromVideo",
                                                    "qvVideoCmdTmp", "qvFFMpegErrorOut"};

// Takes this process's lock file in `workingFolder` (created exclusively under a fresh id) and
// keeps its lock until the process ends, when the file is removed. Only the first call does
// anything; later calls return its result. False, with errno kept, when no lock file could
// be made.
bool StartInstance(const std::string& workingFolder);

// The four digits that begin the ids of the instances whose lock files are in
// `workingFolder` (derived from its path).
std::string InstanceIdTag(const std::string& workingFolder);

// This process's id. Starts the instance in the working folder first when StartInstance has
// not run (an id is given even when that fails, but its files are then unprotected).
const std::string& InstanceId();

// ".quorvin-<id>-": the beginning of this instance's hidden output names.
std::string HiddenOutputPrefix();
// ".qvtags-<id>-": the beginning of this instance's tag scratch file names.
std::string TagScratchPrefix();

// Creates an empty file "<folder>/.quorvin-<id>-XXXXXX.<extension>" exclusively (mode 0666
// less the umask, close-on-exec while it was open, never through a link) and registers it as
// a live temporary (see app/liveregistry.h: unregister it once it has its final name, or
// remove it with RemoveTemporary). Returns its path; empty on failure, with errno kept.
std::string MakeHiddenOutput(const std::string& folder, const std::string& extension);

// Creates "<working folder>/<base>-<id>-XXXXXX<suffix>" exclusively, private to the user
// (0600), and registers it as a live temporary. `base` must be one of kWorkingFileBases. With `fd`, the descriptor is left open for
// writing (close-on-exec) and the caller closes it; otherwise it is closed. Returns the path;
// empty (and *fd -1) when the working folder or the file cannot be made.
std::string MakeWorkingFile(const std::string& base, const std::string& suffix,
                            int* fd = nullptr);

// True for a file name that only this program's temporary files have: hidden outputs
// (".quorvin-*"), tag scratch files (".qvtags-*"), qvfaac partials ("*.qvfaac-*") and the
// temporary WAVs of the working folder ("qvAudioTemp-<id>-*.wav"). A name, not a path.
bool IsOurTemporaryName(const std::string& fileName);

// Removes the temporary files of ended instances from `folder`: only regular files of our
// user (links are never followed), only names that carry an instance id, and only when that
// instance's lock is free (it ended) or its lock file is missing. In the working folder this
// also covers the temporary WAVs, scripts and error reports, and the lock files of ended
// instances. This instance's own files are never touched. Errors are ignored: what cannot be
// removed now is tried again next time.
void RemoveStaleTemporaries(const std::string& folder);

}  // namespace qv
