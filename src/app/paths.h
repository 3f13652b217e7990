#pragma once
// Path helpers shared by every part of the program: the working folder and its temporary WAV
// names, file and folder tests, the pieces of a path, the media extension table, the folder
// settings and a one-line text-file writer. "/" is the separator and the root "/" plays the part
// of a drive root. Paths are never cut: a path the system cannot hold is refused.

#include <string>
#include <string_view>

namespace qv {

class BatchHost;

enum class MediaKind { None = 0, Audio = 1, Video = 2 };
struct MediaExtension {
  const char* extension;  // lower case, without the dot
  MediaKind kind;
};
// The openable media types in the order the open-file filter lists them; ends with {nullptr, None}.
extern const MediaExtension kMediaExtensions[];

inline constexpr const char* kTempWavPrefix = "qvAudioTemp";

// The program's private working folder: "quorvin-<uid>" inside $TMPDIR (else /tmp), created with
// mode 0700. Refused (with a message through the ownerless host) when the temporary folder does
// not exist, or when the working folder cannot be created, is not a folder or belongs to another
// user. On failure `folder` is left empty.
bool GetWorkingFolder(std::string& folder);

// A new temporary WAV in the working folder, "qvAudioTemp-<instance id>-XXXXXX.wav": the empty
// file is created exclusively when the name is chosen, so no other call, thread or instance
// can be given the same name, and it is registered as a live temporary (see
// app/liveregistry.h; whoever ends up owning it removes it with RemoveTemporary). Empty when
// there is no working folder or the file cannot be created.
std::string MakeTempWavName();

// True when `path` names a regular file (not a folder) of non-zero size.
bool FileExistsNonEmpty(std::string_view path);
// True when `path` names an existing folder. Unless the text is the root, one trailing "/" is
// first removed from the caller's text.
bool FolderExists(std::string* path);
// The same test on a copy: the caller's text is left alone.
bool FolderExists(std::string_view path);
// True when the text is exactly the root "/".
bool IsDriveRoot(std::string_view text);
// Turns an empty text (a root whose separator was trimmed) into "/"; leaves others unchanged.
void AddRootBackslash(std::string& text);
// The part after the last "/"; without `keepExtension` the text from its last "." on is removed.
std::string GetFileTitle(std::string_view path, bool keepExtension);
// Everything before the last "/" ("/" itself for a file in the root); a path without "/" whole.
std::string GetFolderPart(std::string_view path);
// Removes every trailing "/" but never the first character.
void TrimTrailingBackslashes(std::string& text);
// The text after the last "." of the path, lower-cased; empty when there is no ".".
std::string GetLowerExtension(std::string_view path);
bool IsAudioFile(std::string_view path);
bool IsVideoFile(std::string_view path);

// The folder stored under base + "Path" in the configuration file (the user's home folder when
// absent), with one trailing "/" removed unless it is the root. Existence is not checked.
std::string ReadFolderSetting(const std::string& base);
// Checks a folder chosen in a folder picker: returns it (trailing "/" removed) when it is an
// existing folder, else warns through `owner` and returns the empty string.
std::string ValidateChosenFolder(BatchHost* owner, const std::string& chosen);

// Creates or truncates `path` and writes `text` and one line end. False when it cannot be written.
bool WriteTextFile(const std::string& path, const std::string& text);

// Quotes one word for /bin/sh: the result stands for exactly `word`, whatever characters it holds.
std::string ShellQuote(std::string_view word);

// The user's home folder ($HOME, else the password database, else "/").
std::string HomeFolder();

}  // namespace qv
