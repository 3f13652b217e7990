#include "cli/consolehost.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include <QCoreApplication>

#include "app/liveregistry.h"
#include "app/showmessage.h"

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
  EndProgressLine();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  ++m_messages;
  const unsigned buttons = type & 0xF;
  if (buttons == MB_YESNO || buttons == MB_YESNOCANCEL) return IDNO;
  return IDOK;
}

std::string ConsoleHost::ProgressLine(const BatchProgress& p) {
  if (!p.oneFile) {
    return FormatText("%s: %d of %d files done, %d%%", p.operation, p.filesDone, p.rowCount,
                      p.percent);
  }
  return FormatText("%s: file %d of %d, %d:%02d of %d:%02d, %d%%", p.operation, p.fileIndex + 1,
                    p.rowCount, p.processedSeconds / 60, p.processedSeconds % 60,
                    p.fileSeconds / 60, p.fileSeconds % 60, p.percent);
}

void ConsoleHost::ShowProgress(const BatchProgress& progress) {
  WriteLine(ProgressLine(progress));
}

void ConsoleHost::SetStatusText(const std::string& text) {
  if (text == "Ready.") {
    EndProgressLine();
    return;
  }
  WriteLine(text);
}

void ConsoleHost::WriteLine(const std::string& line) {
  if (m_terminal) {
    std::fprintf(stderr, "\r\033[K%s", line.c_str());
    m_lineOpen = true;
  } else {
    // One line when a file starts, then one every few seconds: a log stays readable.
    const std::string file = line.substr(0, line.find(','));
    const long long now = NowMs();
    if (file == m_lastPlainFile && now - m_lastPlainMs < kPlainLineIntervalMs) return;
    m_lastPlainFile = file;
    m_lastPlainMs = now;
    std::fprintf(stderr, "%s\n", line.c_str());
  }
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
