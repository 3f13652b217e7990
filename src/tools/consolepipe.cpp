#include "tools/consolepipe.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <cstdint>
#include <future>
#include <system_error>

#include "tools/childprocess.h"

namespace qv {
namespace {

// How long SendInput waits for a child that takes nothing.
constexpr int kSendInputStallMs = 5000;

const QEvent::Type kHandOverEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

// One chunk (or the end of the output) on its way to the owner's thread. Destroying the
// event, after its handling or unhandled when the relay is deleted, releases the reader.
class HandOverEvent : public QEvent {
 public:
  HandOverEvent(ConsolePipeOwner* owner, CConsolePipe* pipe, const char* chunk)
      : QEvent(kHandOverEvent), m_owner(owner), m_pipe(pipe), m_chunk(chunk) {
    // Everything the reader wrote before (the chunk) is seen by the thread that loads this.
    m_posted.store(true, std::memory_order_release);
  }
  ~HandOverEvent() override { m_handled.set_value(); }
  HandOverEvent(const HandOverEvent&) = delete;
  HandOverEvent& operator=(const HandOverEvent&) = delete;

  std::future<void> Handled() { return m_handled.get_future(); }
  void Deliver() {
    if (!m_posted.load(std::memory_order_acquire)) return;
    if (m_chunk) m_owner->OnToolOutputChunk(m_chunk);
    else m_owner->OnToolOutputEnd(m_pipe);
  }

 private:
  ConsolePipeOwner* m_owner;
  CConsolePipe* m_pipe;
  const char* m_chunk;
  std::atomic<bool> m_posted{false};
  std::promise<void> m_handled;
};

class Relay : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() != kHandOverEvent) return QObject::event(event);
    static_cast<HandOverEvent*>(event)->Deliver();
    return true;
  }
};

}  // namespace

std::string& ToolOutputText() {
  static std::string text;
  return text;
}

CConsolePipe::CConsolePipe(bool ntShell, unsigned options)
    : m_options(options), m_ntShell(ntShell) {}

CConsolePipe::~CConsolePipe() { Close(); }

int CConsolePipe::Execute(const std::string& command) {
  if (m_thread.joinable()) {
    if (!Finished()) return 2;
    m_thread.join();
  }
  if (command.empty()) {
    Close();
    return 1;
  }
  m_child.reset();
  m_exitCode = -1;
  if (m_stopFd >= 0) ::close(m_stopFd);
  m_finished.store(false, std::memory_order_relaxed);
  m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_stopFd < 0) {
    Close();
    return 2;
  }
  m_child = std::make_unique<ChildProcess>();
  switch (m_child->Start(command, true)) {
    case ChildProcess::StartResult::Started:
      break;
    case ChildProcess::StartResult::NoPipe:
      Close();
      return 2;
    case ChildProcess::StartResult::NoProcess:
      Close();
      return 1;
  }
  m_dispatcher = QAbstractEventDispatcher::instance();
  BeforeReading();
  try {
    m_thread = std::thread(&CConsolePipe::ReaderMain, this);
  } catch (const std::system_error&) {
    Close();
    return 2;
  }
  return 0;
}

bool CConsolePipe::SendInput(const std::string& text) {
  if (text.empty()) return true;
  if (!m_child) return false;
  return m_child->WriteInput(text.data(), text.size(), kSendInputStallMs) ==
         ChildProcess::WriteResult::Written;
}

void CConsolePipe::Close() {
  if (m_thread.joinable()) {
    if (!Finished()) {
      ReleaseReader();
      StopReading();
    }
    m_thread.join();
  }
  if (m_child) {
    m_child->Terminate();  // ends a group that still runs, and reaps the shell
    m_exitCode = m_child->ExitCode();
  }
  m_child.reset();
  if (m_stopFd >= 0) ::close(m_stopFd);
  m_stopFd = -1;
  m_finished.store(true, std::memory_order_release);
}

bool CConsolePipe::ProcessRunning() {
  return m_child && m_child->Started() && !m_child->HasExited();
}

pid_t CConsolePipe::ProcessId() const { return m_child ? m_child->Pid() : -1; }

int CConsolePipe::ExitCode() const {
  return m_child ? m_child->ExitCode() : m_exitCode;
}

int CConsolePipe::ProcessExitFd() const { return m_child ? m_child->ExitFd() : -1; }

void CConsolePipe::Terminate(int graceMs, const std::function<void(int)>& waitSome) {
  if (m_child) m_child->Terminate(graceMs, waitSome);
}

void CConsolePipe::StopReading() {
  if (m_stopFd < 0) return;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
}

void CConsolePipe::OnReceivedOutput(const char*, std::size_t) {}

void CConsolePipe::ReaderMain() {
  char chunk[kChunkSize + 1];
  while (true) {
    const long got = m_child->ReadOutput(chunk, kChunkSize, m_stopFd);
    if (got <= 0) break;  // the end of the output, a stop request, or a read error
    chunk[got] = '\0';
    OnReceivedOutput(chunk, static_cast<std::size_t>(got));
  }
  OnReceivedOutput(nullptr, 0);
  // The owner's thread may release the pipe as soon as it sees finished: nothing of the pipe
  // is touched after the store.
  QAbstractEventDispatcher* dispatcher = m_dispatcher;
  m_finished.store(true, std::memory_order_release);
  if (dispatcher) dispatcher->wakeUp();
}

CMyConsolePipe::CMyConsolePipe(bool ntShell, ConsolePipeOwner* owner, unsigned options)
    : CConsolePipe(ntShell, options), m_owner(owner) {
  ToolOutputText().clear();
  // Hand-overs need an event loop on this thread; without one the output is only kept.
  if (m_owner && QAbstractEventDispatcher::instance()) m_relay = new Relay;
}

CMyConsolePipe::~CMyConsolePipe() {
  Close();  // while this object's OnReceivedOutput is still the one the reader calls
  std::lock_guard lock(m_relayMutex);
  delete m_relay;
  m_relay = nullptr;
}

void CMyConsolePipe::OnReceivedOutput(const char* chunk, std::size_t size) {
  if (chunk) ToolOutputText().append(chunk, size);
  HandOver(chunk);
}

void CMyConsolePipe::HandOver(const char* chunk) {
  std::future<void> handled;
  {
    std::lock_guard lock(m_relayMutex);
    if (!m_relay || !m_accepting) return;
    auto* event = new HandOverEvent(m_owner, this, chunk);
    handled = event->Handled();
    QCoreApplication::postEvent(m_relay, event);
  }
  handled.wait();
}

void CMyConsolePipe::BeforeReading() {
  std::lock_guard lock(m_relayMutex);
  m_accepting = true;
}

void CMyConsolePipe::ReleaseReader() {
  std::lock_guard lock(m_relayMutex);
  m_accepting = false;
  // Dropping the pending hand-over destroys its event, which releases a waiting reader.
  if (m_relay) QCoreApplication::removePostedEvents(m_relay, kHandOverEvent);
}

}  // namespace qv
