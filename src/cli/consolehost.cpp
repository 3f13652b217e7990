#include "cli/consolehost.h"

#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <algorithm>
#include <cstdio>

#include <QCoreApplication>

#include "app/liveregistry.h"
#include "app/showmessage.h"
#include "cli/jsonline.h"

namespace qv::cli {
namespace {

std::atomic<int> g_cancelSignals{0};
// The cancel flag of the running operation (the console host's batch state), which a signal
// raises at once: an extraction's wait, an add and a batch all stop at it.
std::atomic<std::atomic<int>*> g_cancelTarget{nullptr};

void OnCancelSignal(int) {
  if (g_cancelSignals.fetch_add(1) >= 1) {
    // At once, but without leaving a tool running on its own or a temporary file behind.
    EndChildrenAndRemoveTemporaries();
    ::_exit(130);
  }
  if (std::atomic<int>* target = g_cancelTarget.load()) target->store(1);
}

long long NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Plain progress lines (standard error is no terminal) at most this often within one file.
constexpr long long kPlainLineIntervalMs = 5000;
// The terminal's progress line at most this often.
constexpr long long kTerminalRedrawMs = 100;

// The width of the terminal on standard error; 80 when it does not say.
int TerminalWidth() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return 80;
}

// "1:05", "1:02:03" or "--:--" for a time not known.
std::string ClockText(double seconds) {
  if (!(seconds >= 0) || seconds > 360000) return "--:--";
  const long total = static_cast<long>(seconds + 0.5);
  if (total >= 3600) return FormatText("%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  return FormatText("%ld:%02ld", total / 60, total % 60);
}

// `text` cut to at most `columns` characters (UTF-8 sequences kept whole, each counted as one
// column), with "..." at the end when it was cut.
std::string FitColumns(const std::string& text, int columns) {
  if (columns <= 0) return {};
  int count = 0;
  size_t cut = text.size();
  size_t lastFitting = 0;  // where the text must end to leave room for "..."
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
    if (count == columns - 3) lastFitting = i;
    if (count == columns) {
      cut = i;
      break;
    }
    ++count;
  }
  if (cut == text.size()) return text;
  return columns < 3 ? text.substr(0, cut) : text.substr(0, lastFitting) + "...";
}

// A file name as the progress line shows it: control characters and "%" as "?".
std::string ShownName(const std::string& name) {
  std::string shown = name;
  for (char& c : shown) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '%') c = '?';
  }
  return shown;
}

// The command line asks nobody: No to every question (whatever its default), OK to the rest.
int ConsoleAnswer(unsigned type) {
  const unsigned buttons = type & 0xF;
  return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDNO : IDOK;
}

}  // namespace

void InstallCancelSignals() {
  struct sigaction action {};
  action.sa_handler = &OnCancelSignal;
  // One handler at a time on this thread: a SIGTERM must not interrupt the SIGINT handler.
  sigemptyset(&action.sa_mask);
  sigaddset(&action.sa_mask, SIGINT);
  sigaddset(&action.sa_mask, SIGTERM);
  action.sa_flags = SA_RESTART;
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

int CancelSignals() { return g_cancelSignals.load(); }

ConsoleHost::ConsoleHost(BatchState& batch, bool terminal) : m_batch(batch), m_terminal(terminal) {
  g_cancelTarget.store(&batch.CancelRequested);
}

ConsoleHost::~ConsoleHost() {
  std::atomic<int>* mine = &m_batch.CancelRequested;
  g_cancelTarget.compare_exchange_strong(mine, nullptr);
}

int ConsoleHost::ShowMessageBox(const std::string& text, unsigned type) {
  // Quiet keeps errors, warnings and questions; a plain notice (no icon, only OK) is left out.
  if (m_quiet && type == MB_OK) return IDOK;
  EndProgressLine();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  ++m_messages;
  return ConsoleAnswer(type);
}

int ConsoleHost::ShowFileProblem(const FileProblem& problem, const std::string&, unsigned type,
                                 bool logged, int loggedAnswer) {
  EndProgressLine();
  std::string cause = problem.cause;
  for (char& c : cause) {
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  }
  std::fprintf(stderr, "quorvin-cli: %s: %s\n", problem.path.c_str(), cause.c_str());
  std::fflush(stderr);
  if (m_jsonRefusals) {
    const std::string line =
        JsonLine().Text("source", problem.path).Text("status", "refused").Text("cause", cause).str();
    std::fprintf(stdout, "%s\n", line.c_str());
    std::fflush(stdout);
  }
  ++m_messages;
  return logged ? loggedAnswer : ConsoleAnswer(type);
}

std::string ConsoleHost::TerminalLine(const BatchProgress& p, double elapsed, int width) {
  const int percent = std::clamp(p.percent, 0, 100);
  const int barWidth = width >= 70 ? 20 : 10;
  const int filled = barWidth * percent / 100;
  const double left = percent >= 1 && percent < 100 && elapsed >= 1
                          ? elapsed * (100 - percent) / percent
                          : percent >= 100 ? 0.0 : -1.0;
  // The percentage comes first after the operation, so that a narrow terminal keeps it.
  std::string line = FormatText("%s %d%% [%s%s] %d/%d done, %s left", p.operation, percent,
                                std::string(static_cast<size_t>(filled), '#').c_str(),
                                std::string(static_cast<size_t>(barWidth - filled), '-').c_str(),
                                p.filesDone, p.rowCount, ClockText(left).c_str());
  std::string names;
  for (const std::string& name : p.runningFiles) {
    names += (names.empty() ? "" : ", ") + ShownName(name);
  }
  if (!names.empty()) line += ": " + names;
  // The last column stays free: a line as wide as the terminal would wrap on some.
  return FitColumns(line, width - 1);
}

void ConsoleHost::ShowProgress(const BatchProgress& progress) {
  // Progress is for a person at a terminal; a log or a pipe gets the results only.
  if (m_quiet || !m_terminal) return;
  const long long now = NowMs();
  if (m_operation != progress.operation) {
    m_operation = progress.operation;
    m_operationStartMs = now;
    m_lastDrawMs = -1;
  }
  const bool last = progress.filesDone >= progress.rowCount;
  if (!last && m_lastDrawMs >= 0 && now - m_lastDrawMs < kTerminalRedrawMs) return;
  m_lastDrawMs = now;
  WriteLine(TerminalLine(progress, (now - m_operationStartMs) / 1000.0, TerminalWidth()));
}

void ConsoleHost::SetStatusText(const std::string& text) {
  if (text == "Ready.") {
    EndProgressLine();
    return;
  }
  if (m_quiet || !m_terminal) return;
  WriteLine(text);
}

void ConsoleHost::WriteLine(const std::string& line) {
  std::fprintf(stderr, "\r\033[K%s", line.c_str());
  m_lineOpen = true;
  std::fflush(stderr);
}

void ConsoleHost::EndProgressLine() {
  if (!m_lineOpen) return;
  std::fprintf(stderr, "\n");
  m_lineOpen = false;
}

void ConsoleHost::CheckCancel() {
  if (CancelSignals() == 0) return;
  m_cancelSeen = true;
  // What the window's confirmed Cancel does: the batch stops after its current block. Set
  // again whenever it was cleared, so a batch that began after the signal stops too.
  if (m_batch.CancelRequested.load() == 0 || m_batch.BatchInProgress != 0) {
    m_batch.BatchInProgress = 0;
    m_batch.CancelRequested = 1;
  }
}

void ConsoleHost::PumpMessages() {
  QCoreApplication::processEvents();
  CheckCancel();
}

void ConsoleHost::SetBatchControls(bool) {}

}  // namespace qv::cli
