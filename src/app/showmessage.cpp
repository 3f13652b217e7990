#include "app/showmessage.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace qv {

int MessagesLogged = 0;

namespace {
BatchHost* g_ownerlessHost = nullptr;

std::string FormatTextV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed <= 0) return {};
  std::vector<char> buffer(static_cast<size_t>(needed) + 1);
  std::vsnprintf(buffer.data(), buffer.size(), format, args);
  return std::string(buffer.data(), static_cast<size_t>(needed));
}

void AppendToLog(const std::string& logFile, const std::string& text) {
  std::FILE* file = std::fopen(logFile.c_str(), "ab");
  if (!file) return;  // the message is still shown or counted; a missing log is not fatal
  std::fprintf(file, "\n%s\n\n---\n", text.c_str());
  std::fclose(file);
}
}  // namespace

std::string StatusTextOf(const BatchProgress& p) {
  if (!p.oneFile) {
    return FormatText("%s...  %d of %d files done - %d%%", p.operation, p.filesDone, p.rowCount,
                      p.percent);
  }
  return FormatText("%s...  File %d of %d - %d:%02d of %d:%02d", p.operation, p.fileIndex + 1,
                    p.rowCount, p.processedSeconds / 60, p.processedSeconds % 60,
                    p.fileSeconds / 60, p.fileSeconds % 60);
}

int DefaultAnswer(unsigned type) {
  switch (type & 0xF) {
    case MB_YESNO:
      return (type & MB_DEFBUTTON2) ? IDNO : IDYES;
    case MB_YESNOCANCEL:
      return (type & MB_DEFBUTTON2) ? IDNO : IDYES;
    default:
      return IDOK;
  }
}

void SetOwnerlessHost(BatchHost* host) { g_ownerlessHost = host; }
BatchHost* OwnerlessHost() { return g_ownerlessHost; }

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatTextV(format, args);
  va_end(args);
  return text;
}

namespace {

// The text to the log when there is one; then quiet: nothing shown, the quiet answer; else the
// box (or for a file's problem, the host's report of it).
int Show(BatchHost* owner, int quiet, const std::string& logFile, unsigned type,
         const std::string& text, const FileProblem* problem) {
  if (!logFile.empty()) AppendToLog(logFile, text);
  BatchHost* host = owner ? owner : g_ownerlessHost;
  const int quietAnswer = (type & 0xF) == MB_YESNOCANCEL ? IDNO : IDCANCEL;
  if (quiet == 1) MessagesLogged = 1;
  if (problem && host) return host->ShowFileProblem(*problem, text, type, quiet == 1, quietAnswer);
  if (quiet == 1) return quietAnswer;
  if (!host) {
    std::fprintf(stderr, "%s: %s\n", kAppTitle, text.c_str());
    return DefaultAnswer(type);
  }
  return host->ShowMessageBox(text, type);
}

}  // namespace

int ShowMessage(BatchHost* owner, int quiet, const std::string& logFile, unsigned type,
                const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatTextV(format, args);
  va_end(args);

  return Show(owner, quiet, logFile, type, text, nullptr);
}

int ShowFileProblem(BatchHost* owner, int quiet, const std::string& logFile, unsigned type,
                    const FileProblem& problem, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = FormatTextV(format, args);
  va_end(args);
  return Show(owner, quiet, logFile, type, text, &problem);
}

}  // namespace qv
