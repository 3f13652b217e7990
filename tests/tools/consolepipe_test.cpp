// The console pipe: its result codes, the reader thread's hand-over of every chunk to the
// owner's thread, exactly one end-of-output call, the tool output text, input, and pipes that
// are closed or destroyed while their reader waits for the owner.

#include "tools/consolepipe.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <chrono>
#include <cstring>
#include <future>
#include <string>

#include "app/paths.h"
#include "support/tempdir.h"
#include "tools/toolprogress.h"
#include "tooltestutil.h"

namespace qv::test {
namespace {

class CountingOwner : public ConsolePipeOwner {
 public:
  void OnToolOutputChunk(const char* chunk) override {
    ++chunks;
    const size_t size = std::strlen(chunk);
    largestChunk = std::max(largestChunk, size);
    received += chunk;
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offThread;
  }
  void OnToolOutputEnd(CConsolePipe* pipe) override {
    ++ends;
    endPipe = pipe;
    if (QThread::currentThread() != QCoreApplication::instance()->thread()) ++offThread;
  }

  int chunks = 0;
  int ends = 0;
  int offThread = 0;
  size_t largestChunk = 0;
  std::string received;
  CConsolePipe* endPipe = nullptr;
};

// Runs `command` to its end on a CMyConsolePipe, handling events meanwhile.
void RunToEnd(CMyConsolePipe& pipe, const std::string& command) {
  ASSERT_EQ(pipe.Execute(command), 0);
  ASSERT_TRUE(WaitUntil([&] { return pipe.Finished(); }));
}

TEST(ConsolePipeTest, EmptyCommandStartsNothing) {
  CountingOwner owner;
  CMyConsolePipe pipe(true, &owner, 0);
  EXPECT_EQ(pipe.Execute(""), 1);
  EXPECT_TRUE(pipe.Finished());
  EXPECT_FALSE(pipe.ProcessRunning());
  EXPECT_EQ(pipe.ProcessId(), -1);
  QCoreApplication::processEvents();
  EXPECT_EQ(owner.ends, 0);
}

TEST(ConsolePipeTest, SecondExecuteWhileOneRunsIsRefusedAndDestroyingEndsTheChild) {
  CountingOwner owner;
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  {
    CMyConsolePipe pipe(true, &owner, 0);
    ASSERT_EQ(pipe.Execute("exec sleep 30"), 0);
    pid = pipe.ProcessId();
    EXPECT_TRUE(pipe.ProcessRunning());
    EXPECT_EQ(pipe.Execute("echo second"), 2);
    EXPECT_TRUE(pipe.ProcessRunning());  // the first run goes on
    EXPECT_FALSE(pipe.Finished());
  }
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_FALSE(ProcessAlive(pid));
  EXPECT_EQ(owner.received, "");
}

TEST(ConsolePipeTest, ACommandThatPrintsNothingGivesExactlyOneEndCall) {
  CountingOwner owner;
  CMyConsolePipe pipe(true, &owner, 0);
  RunToEnd(pipe, "true");
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
  EXPECT_EQ(owner.chunks, 0);
  EXPECT_EQ(owner.ends, 1);
  EXPECT_EQ(owner.endPipe, &pipe);
  EXPECT_EQ(ToolOutputText(), "");
  // The output closes when the shell ends, a moment before its exit can be waited for.
  EXPECT_TRUE(WaitUntil([&] { return !pipe.ProcessRunning(); }));
}

TEST(ConsolePipeTest, EveryChunkReachesTheOwnerThreadInOrderAndWhole) {
  CountingOwner owner;
  CMyConsolePipe pipe(true, &owner, 0);
  // Standard error arrives in the same stream.
  RunToEnd(pipe, "seq 1 40000; echo to-stderr >&2");
  std::string expected;
  for (int i = 1; i <= 40000; ++i) expected += std::to_string(i) + "\n";
  expected += "to-stderr\n";
  EXPECT_EQ(owner.received, expected);
  EXPECT_EQ(ToolOutputText(), expected);
  EXPECT_LE(owner.largestChunk, CConsolePipe::kChunkSize);
  EXPECT_GT(owner.chunks, 1);
  EXPECT_EQ(owner.ends, 1);
  EXPECT_EQ(owner.offThread, 0);
}

TEST(ConsolePipeTest, TheOutputTextIsEmptiedByTheNextPipeAndAPipeCanRunAgain) {
  CountingOwner owner;
  CMyConsolePipe pipe(true, &owner, 0);
  RunToEnd(pipe, "echo first");
  EXPECT_EQ(ToolOutputText(), "first\n");
  RunToEnd(pipe, "echo again");  // a finished pipe starts a new run
  EXPECT_EQ(owner.received, "first\nagain\n");
  EXPECT_EQ(owner.ends, 2);
  CMyConsolePipe next(true, nullptr, 0);
  EXPECT_EQ(ToolOutputText(), "");
  RunToEnd(next, "echo without owner");
  EXPECT_EQ(ToolOutputText(), "without owner\n");
}

TEST(ConsolePipeTest, SendInputReachesTheChild) {
  CountingOwner owner;
  CMyConsolePipe pipe(true, &owner, 0);
  ASSERT_EQ(pipe.Execute("read line; echo \"got $line\""), 0);
  EXPECT_TRUE(pipe.SendInput(""));
  EXPECT_TRUE(pipe.SendInput("it's $HOME\n"));
  ASSERT_TRUE(WaitUntil([&] { return pipe.Finished(); }));
  EXPECT_EQ(owner.received, "got it's $HOME\n");
}

// A pipe whose reader has read a chunk and waits for the owner's thread to take it.
class BlockedPipe : public CMyConsolePipe {
 public:
  using CMyConsolePipe::CMyConsolePipe;
  std::promise<void> firstChunk;

 protected:
  void OnReceivedOutput(const char* chunk, std::size_t size) override {
    if (chunk && !m_signalled) {
      m_signalled = true;
      firstChunk.set_value();
    }
    CMyConsolePipe::OnReceivedOutput(chunk, size);
  }

 private:
  bool m_signalled = false;
};

TEST(ConsolePipeTest, ClosingOrDestroyingWhileTheReaderWaitsForTheOwnerDoesNotDeadlock) {
  for (const bool destroy : {false, true}) {
    SCOPED_TRACE(destroy ? "destroyed" : "closed");
    CountingOwner owner;
    pid_t pid = -1;
    const auto start = std::chrono::steady_clock::now();
    {
      BlockedPipe pipe(true, &owner, 0);
      std::future<void> firstChunk = pipe.firstChunk.get_future();
      ASSERT_EQ(pipe.Execute("exec yes"), 0);
      pid = pipe.ProcessId();
      // No events are handled here: the reader now waits for this thread.
      ASSERT_EQ(firstChunk.wait_for(std::chrono::seconds(20)), std::future_status::ready);
      if (!destroy) {
        pipe.Close();
        EXPECT_TRUE(pipe.Finished());
        EXPECT_FALSE(pipe.ProcessRunning());
      }
    }
    EXPECT_LT(ElapsedMs(start), 10000);
    EXPECT_FALSE(ProcessAlive(pid));
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents();
    EXPECT_EQ(owner.chunks, 0);  // nothing was handed over after the release
  }
}

TEST(ConsolePipeTest, OutputHeldOpenOutsideTheGroupCanBeStopped) {
  TempDir dir;
  const std::string pidFile = dir.file("pid");
  CountingOwner owner;
  CMyConsolePipe pipe(true, &owner, 0);
  // setsid takes the sleeper out of the child's group; it keeps the output open.
  ASSERT_EQ(pipe.Execute("setsid sh -c 'echo $$ > \"$0\"; exec sleep 30' " + ShellQuote(pidFile) +
                         " & while [ ! -s " + ShellQuote(pidFile) + " ]; do sleep 0.01; done;" +
                         " echo left"),
            0);
  ASSERT_TRUE(WaitUntil([&] { return !pipe.ProcessRunning() && owner.received == "left\n"; }));
  EXPECT_FALSE(pipe.Finished());
  pipe.StopReading();
  ASSERT_TRUE(WaitUntil([&] { return pipe.Finished(); }));
  EXPECT_EQ(owner.ends, 1);
  const long escaped = ReadPid(pidFile);
  ASSERT_GT(escaped, 0);
  ::kill(static_cast<pid_t>(escaped), SIGKILL);
}

}  // namespace
}  // namespace qv::test
