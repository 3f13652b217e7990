// The child-process owner: its own process group, no descriptors of ours in the child, writes
// that cannot hang, waiting for the exit, ending the whole group and nothing else, reaping.

#include "tools/childprocess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "app/paths.h"
#include "support/tempdir.h"
#include "tooltestutil.h"

namespace qv::test {
namespace {

// Reads the child's whole output.
std::string ReadAllOutput(ChildProcess& child) {
  std::string text;
  char buffer[512];
  long got;
  while ((got = child.ReadOutput(buffer, sizeof buffer, -1)) > 0) text.append(buffer, got);
  return text;
}

TEST(ChildProcessTest, RunsInItsOwnGroupWithOnlyTheStandardDescriptors) {
  // A descriptor opened without close-on-exec elsewhere in the process must not reach it.
  const int stray = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(stray, 3);
  ChildProcess child;
  // "; true" keeps the shell from handing its pid to ls, so $$ stays the shell.
  ASSERT_EQ(child.Start("ls /proc/$$/fd; echo group $(cut -d\" \" -f5 /proc/$$/stat); true", true),
            ChildProcess::StartResult::Started);
  const std::string output = ReadAllOutput(child);
  ::close(stray);
  EXPECT_EQ(output.substr(0, 6), "0\n1\n2\n") << output;
  EXPECT_EQ(output.find("\n3\n"), std::string::npos) << output;
  EXPECT_NE(output.find("group " + std::to_string(child.Pid())), std::string::npos) << output;
  EXPECT_TRUE(child.WaitForExit(10000));
  EXPECT_EQ(child.ExitCode(), 0);
}

TEST(ChildProcessTest, ExitCodesAndTheWaitForThem) {
  {
    ChildProcess child;
    ASSERT_EQ(child.Start("exit 3", false), ChildProcess::StartResult::Started);
    EXPECT_TRUE(child.WaitForExit(-1));
    EXPECT_TRUE(child.HasExited());
    EXPECT_EQ(child.ExitCode(), 3);
  }
  {
    ChildProcess child;
    ASSERT_EQ(child.Start("exec sleep 30", false), ChildProcess::StartResult::Started);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(child.WaitForExit(100));
    EXPECT_GE(ElapsedMs(start), 90);
    EXPECT_FALSE(child.HasExited());
    EXPECT_GE(child.ExitFd(), 0);  // a pidfd on every kernel this runs on
    child.Terminate();
    EXPECT_EQ(child.ExitCode(), 128 + SIGTERM);
  }
  // A second start of the same owner is refused.
  ChildProcess child;
  ASSERT_EQ(child.Start("true", false), ChildProcess::StartResult::Started);
  EXPECT_EQ(child.Start("true", false), ChildProcess::StartResult::NoProcess);
}

TEST(ChildProcessTest, TerminateEndsTheWholeGroupAndKillsWhatIgnoresSigterm) {
  TempDir dir;
  const std::string pids = dir.file("pids");
  ChildProcess child;
  // Both the shell and its background child ignore SIGTERM (ignored signals are inherited).
  ASSERT_EQ(child.Start("trap '' TERM; sleep 30 & echo $! > " + ShellQuote(pids) +
                            "; echo started; wait",
                        true),
            ChildProcess::StartResult::Started);
  char buffer[16];
  ASSERT_GT(child.ReadOutput(buffer, sizeof buffer, -1), 0);  // "started": the pid is written
  const long grandchild = ReadPid(pids);
  ASSERT_TRUE(ProcessAlive(grandchild));
  const pid_t shell = child.Pid();

  const auto start = std::chrono::steady_clock::now();
  child.Terminate(300);
  const long elapsed = ElapsedMs(start);
  EXPECT_GE(elapsed, 290);   // SIGTERM was given its time
  EXPECT_LT(elapsed, 5000);  // then SIGKILL
  EXPECT_EQ(child.ExitCode(), 128 + SIGKILL);
  EXPECT_TRUE(WaitUntil([&] { return !ProcessAlive(grandchild); }, 5000));
  // The shell is reaped: it is no child of ours any more.
  int status = 0;
  EXPECT_EQ(::waitpid(shell, &status, WNOHANG), -1);
}

TEST(ChildProcessTest, TerminateWaitsForTheGroupNotOnlyTheShell) {
  TempDir dir;
  const std::string marker = dir.file("done");
  ChildProcess child;
  // The background member needs a moment after SIGTERM to finish; the shell dies at once.
  ASSERT_EQ(child.Start("(trap 'sleep 0.2; echo x > " + ShellQuote(marker) +
                            "; exit 0' TERM; echo started; while :; do sleep 0.05; done) & wait",
                        true),
            ChildProcess::StartResult::Started);
  char buffer[16];
  ASSERT_GT(child.ReadOutput(buffer, sizeof buffer, -1), 0);
  child.Terminate(5000);
  // When Terminate returns, the member has done its cleanup: nothing of the group still writes.
  EXPECT_EQ(ReadFile(marker), "x\n");
}

TEST(ChildProcessTest, DestroyingARunningOwnerEndsAndReapsTheChild) {
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  {
    ChildProcess child;
    ASSERT_EQ(child.Start("exec sleep 30", true), ChildProcess::StartResult::Started);
    pid = child.Pid();
    ASSERT_TRUE(ProcessAlive(pid));
  }
  EXPECT_LT(ElapsedMs(start), 5000);
  EXPECT_FALSE(ProcessAlive(pid));
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);  // reaped, not a zombie
}

TEST(ChildProcessTest, WritesStallOrCloseButNeverHang) {
  std::vector<char> block(1 << 20, 'x');
  {
    ChildProcess child;  // takes nothing
    ASSERT_EQ(child.Start("exec sleep 30", false), ChildProcess::StartResult::Started);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(child.WriteInput(block.data(), block.size(), 200),
              ChildProcess::WriteResult::Stalled);
    EXPECT_GE(ElapsedMs(start), 190);
    EXPECT_LT(ElapsedMs(start), 5000);
  }
  {
    ChildProcess child;  // gone before it reads: no SIGPIPE reaches this process
    ASSERT_EQ(child.Start("exit 0", false), ChildProcess::StartResult::Started);
    ASSERT_TRUE(child.WaitForExit(10000));
    EXPECT_EQ(child.WriteInput(block.data(), block.size(), 5000),
              ChildProcess::WriteResult::Closed);
  }
  {
    ChildProcess child;  // reads everything
    ASSERT_EQ(child.Start("wc -c", true), ChildProcess::StartResult::Started);
    EXPECT_EQ(child.WriteInput(block.data(), block.size(), 5000),
              ChildProcess::WriteResult::Written);
    child.CloseInput();
    EXPECT_EQ(std::atol(ReadAllOutput(child).c_str()), static_cast<long>(block.size()));
  }
}

TEST(ChildProcessTest, ReadOutputStopsWhenAskedEvenIfTheOutputStaysOpen) {
  ChildProcess child;
  ASSERT_EQ(child.Start("exec sleep 30", true), ChildProcess::StartResult::Started);
  int stop[2];
  ASSERT_EQ(::pipe(stop), 0);
  ASSERT_EQ(::write(stop[1], "s", 1), 1);
  char buffer[16];
  EXPECT_EQ(child.ReadOutput(buffer, sizeof buffer, stop[0]), 0);
  ::close(stop[0]);
  ::close(stop[1]);
}

}  // namespace
}  // namespace qv::test
