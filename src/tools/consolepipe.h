#pragma once
// The console pipe: runs one command line through /bin/sh (on a ChildProcess) and hands its
// output, chunk by chunk, from a reader thread to a virtual callback.
//
// CConsolePipe owns the child and the reader thread. It is created, executed and closed on one
// thread (the owner's thread: the window's, or the command-line front end's main thread);
// only OnReceivedOutput runs on the reader thread. `Finished` is the hand-over point: the
// reader sets it (release) after its last call, the owner's thread reads it (acquire).
// Destroying a pipe that still runs ends the child's process group and the reader first.
//
// CMyConsolePipe keeps everything the tool prints in the process-wide tool output text and
// hands every chunk to its owner on the thread that constructed the pipe, with a blocking
// queued call: the reader waits until the owner's thread has handled the chunk, so the chunk
// (the reader's buffer) never outlives its handling. The owner's thread must keep handling
// Qt events while it waits for the pipe (see WaitForEvents); a pipe closed or destroyed
// without that releases a waiting reader without handing its chunk over.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class QAbstractEventDispatcher;
class QObject;

namespace qv {

class ChildProcess;

class CConsolePipe {
 public:
  // Option bits. The persistent shell is not offered: every Execute is one-shot. Output is
  // UTF-8 as it stands, so there is no code-page translation to switch off.
  enum : unsigned { kPersistentShell = 0x04, kNoTranslation = 0x10 };
  // Bytes read from the child's output at a time.
  static constexpr std::size_t kChunkSize = 2048;

  // `ntShell` only says which interpreter a Windows build would use; /bin/sh runs every
  // command here.
  explicit CConsolePipe(bool ntShell = true, unsigned options = 0);
  virtual ~CConsolePipe();
  CConsolePipe(const CConsolePipe&) = delete;
  CConsolePipe& operator=(const CConsolePipe&) = delete;

  // Starts `command` with /bin/sh -c and the reader thread. 0: started; 1: empty command or
  // no process could be created; 2: a run of this pipe is still going on, or no pipe or
  // reader thread could be made. After 1 or 2 the pipe is closed (finished).
  int Execute(const std::string& command);
  // Writes `text` to the child's standard input (nothing for an empty text). False when the
  // child does not take it.
  bool SendInput(const std::string& text);
  // Stops the reader (a reader still running is released and stopped), ends and reaps the
  // child, and marks the pipe finished. Owner's thread only.
  void Close();

  bool Finished() const { return m_finished.load(std::memory_order_acquire); }
  // True while the child (the shell) has been started and has not exited.
  bool ProcessRunning();
  pid_t ProcessId() const;
  // The shell's exit code (its status, or 128 + the signal that ended it) once the run has
  // ended and been reaped (Terminate or Close); -1 before, or when no process was started.
  int ExitCode() const;
  // Readable once the shell exits (-1 when there is no child, or no pidfd).
  int ProcessExitFd() const;
  // Ends the child's process group (see ChildProcess::Terminate); the reader then sees the
  // end of the output.
  void Terminate(int graceMs, const std::function<void(int maxWaitMs)>& waitSome = {});
  // Makes the reader stop as if the output had ended (output kept open by a process that left
  // the child's group must not keep the pipe from finishing).
  void StopReading();

 protected:
  // Reader thread: one chunk of `size` bytes (terminated after them), or null once at the end.
  virtual void OnReceivedOutput(const char* chunk, std::size_t size);
  // Owner's thread, before a run's reader starts.
  virtual void BeforeReading() {}
  // Owner's thread, before a running reader is stopped: release a reader that waits for this
  // thread, and hand nothing more over in this run.
  virtual void ReleaseReader() {}

 private:
  void ReaderMain();

  unsigned m_options;
  bool m_ntShell;
  std::atomic<bool> m_finished{false};
  std::unique_ptr<ChildProcess> m_child;
  int m_exitCode = -1;  // of the last run, kept once its child is gone
  std::thread m_thread;
  int m_stopFd = -1;  // an eventfd that tells the reader to stop
  QAbstractEventDispatcher* m_dispatcher = nullptr;  // woken when the reader has finished
};

// Receives a CMyConsolePipe's output on the thread that constructed the pipe.
class ConsolePipeOwner {
 public:
  virtual ~ConsolePipeOwner() = default;
  // One chunk of output, terminated; valid only during the call.
  virtual void OnToolOutputChunk(const char* chunk) = 0;
  // Once, after the last chunk.
  virtual void OnToolOutputEnd(CConsolePipe* pipe) { (void)pipe; }
};

class CMyConsolePipe : public CConsolePipe {
 public:
  // Empties the tool output text. `owner` may be null (the output is then only kept).
  CMyConsolePipe(bool ntShell, ConsolePipeOwner* owner, unsigned options);
  ~CMyConsolePipe() override;

 protected:
  void OnReceivedOutput(const char* chunk, std::size_t size) override;
  void BeforeReading() override;
  void ReleaseReader() override;

 private:
  void HandOver(const char* chunk);

  ConsolePipeOwner* m_owner;
  std::mutex m_relayMutex;     // guards the relay and m_accepting against the reader
  QObject* m_relay = nullptr;  // lives on the constructing thread, receives the hand-overs
  bool m_accepting = false;
};

// Everything the current tool run has printed: emptied by each new CMyConsolePipe, appended to
// by its reader, read on the owner's thread once the pipe is finished. One tool runs at a time.
std::string& ToolOutputText();

}  // namespace qv
