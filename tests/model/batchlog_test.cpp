// The batch log: one writer per file, a numbered log beside one that is held, and a held log
// is never emptied.
#include "model/batchlog.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/tempdir.h"

namespace qv {
namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(BatchLogTest, NumberedNames) {
  EXPECT_EQ(BatchLog::NumberedPath("/w/QV_Log.txt", 1), "/w/QV_Log.txt");
  EXPECT_EQ(BatchLog::NumberedPath("/w/QV_Log.txt", 2), "/w/QV_Log-2.txt");
  EXPECT_EQ(BatchLog::NumberedPath("/w.d/log", 12), "/w.d/log-12");
  EXPECT_EQ(BatchLog::NumberedPath("/w/.log", 3), "/w/.log-3");
}

TEST(BatchLogTest, AHeldLogIsNeverEmptiedAndTheNextBatchTakesTheFirstFreeNumber) {
  test::TempDir dir;
  const std::string usual = dir.file("QV_Log.txt");
  BatchLog first, second, third;
  ASSERT_TRUE(first.Open(usual));
  ASSERT_TRUE(first.Write("first batch\n"));
  ASSERT_TRUE(second.Open(usual));
  EXPECT_EQ(second.Path(), dir.file("QV_Log-2.txt"));
  EXPECT_EQ(LastBatchLogPath(), second.Path());
  ASSERT_TRUE(second.Write("second batch\n"));
  EXPECT_EQ(ReadFile(usual), "first batch\n");
  ASSERT_TRUE(third.Open(usual));
  EXPECT_EQ(third.Path(), dir.file("QV_Log-3.txt"));

  // Once the usual log is free again, it is the one emptied and used.
  first.Close();
  third.Close();
  ASSERT_TRUE(third.Open(usual));
  EXPECT_EQ(third.Path(), usual);
  EXPECT_EQ(ReadFile(usual), "");
  EXPECT_EQ(ReadFile(second.Path()), "second batch\n");
}

TEST(BatchLogTest, ALogOpenedAgainKeepsItsFileAndLockBetweenBatches) {
  test::TempDir dir;
  const std::string usual = dir.file("QV_Log.txt");
  BatchLog window, other;
  ASSERT_TRUE(window.Open(usual));
  ASSERT_TRUE(window.Write("batch 1\n"));
  // Between the window's batches another run takes a numbered log, never the window's.
  ASSERT_TRUE(other.Open(usual));
  EXPECT_EQ(other.Path(), dir.file("QV_Log-2.txt"));
  other.Close();
  EXPECT_EQ(ReadFile(usual), "batch 1\n");
  ASSERT_TRUE(window.Open(usual));
  EXPECT_EQ(window.Path(), usual);
  EXPECT_EQ(ReadFile(usual), "");
  ASSERT_TRUE(window.Write("batch 2\n"));
  EXPECT_EQ(ReadFile(usual), "batch 2\n");
  // A log removed meanwhile is created again, not written into the removed file.
  ASSERT_EQ(::unlink(usual.c_str()), 0);
  ASSERT_TRUE(window.Open(usual));
  ASSERT_TRUE(window.Write("batch 3\n"));
  EXPECT_EQ(ReadFile(usual), "batch 3\n");
  ASSERT_TRUE(other.Open(usual));
  EXPECT_EQ(other.Path(), dir.file("QV_Log-2.txt"));
}

}  // namespace
}  // namespace qv
