// The batch runner: rows prepared and committed in row order on the calling thread, whatever
// order the workers finish in; cancel and an aborting commit stop it cleanly.

#include "model/batchrunner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "model/mainwindowmodel.h"
#include "support/scriptedhost.h"

namespace qv {
namespace {

// Rows that take different times, so later rows often finish first.
int Work(int row, JobContext& job, std::atomic<int>& concurrent, std::atomic<int>& peak) {
  const int now = ++concurrent;
  int seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  job.SourceDuration = 3;
  for (int block = 0; block < 3; ++block) {
    std::this_thread::sleep_for(std::chrono::milliseconds(((row * 7) % 5) + 1));
    ++job.ProcessedSeconds;
    if (job.ProgressCallback) job.ProgressCallback("Working");
    if (job.Cancelled()) {
      --concurrent;
      return 100;
    }
  }
  --concurrent;
  return row % 4 == 2 ? 5 : 0;  // every fourth row fails
}

TEST(BatchRunner, PreparesAndCommitsInRowOrderWithAnyNumberOfWorkers) {
  for (int workers : {1, 2, 4}) {
    test::ScriptedHost host;
    BatchState state;
    std::vector<std::string> events;  // only the calling thread writes it
    std::atomic<int> concurrent{0}, peak{0};
    RowJobSteps steps;
    steps.prepare = [&](int row) {
      events.push_back("prepare " + std::to_string(row));
      return true;
    };
    steps.work = [&](int row, JobContext& job) { return Work(row, job, concurrent, peak); };
    steps.commit = [&](int row, int result) {
      events.push_back("commit " + std::to_string(row) + " " + std::to_string(result));
      return true;
    };
    EXPECT_EQ(RunRowJobs(12, workers, host, state, steps).committed, 12);
    std::vector<std::string> commits;
    int prepared = 0;
    for (const std::string& e : events) {
      if (e.rfind("commit", 0) == 0) {
        commits.push_back(e);
      } else {
        EXPECT_EQ(e, "prepare " + std::to_string(prepared++));
      }
    }
    ASSERT_EQ(commits.size(), 12u);
    for (int row = 0; row < 12; ++row) {
      EXPECT_EQ(commits[row], "commit " + std::to_string(row) + (row % 4 == 2 ? " 5" : " 0"));
    }
    EXPECT_LE(peak.load(), workers);
    if (workers > 1) {
      EXPECT_GT(peak.load(), 1);
    }
    EXPECT_GT(host.pumps, 0);
  }
}

// A row's finishing step runs beside the workers: the worker takes its next row while the
// finish waits, and a row is committed only with its finish's result.
TEST(BatchRunner, AFinishingStepRunsBesideTheWorkerAndComesBeforeTheCommit) {
  for (int workers : {1, 2}) {
    test::ScriptedHost host;
    BatchState state;
    std::mutex mutex;
    std::vector<int> finished;  // rows whose finish returned
    std::atomic<int> startedDuringAFinish{0};
    std::atomic<int> worksStarted{0};
    RowJobSteps steps;
    steps.prepare = [](int) { return true; };
    steps.work = [&](int row, JobContext&) {
      ++worksStarted;
      return row;
    };
    steps.finish = [&](int row, int result) {
      // Waits for the next row's work to start: it cannot while a finish holds its worker.
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
      while (row + 1 < 6 && worksStarted.load() <= row + 1 &&
             std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      if (worksStarted.load() > row + 1) ++startedDuringAFinish;
      std::lock_guard lock(mutex);
      finished.push_back(row);
      return result + 100;
    };
    std::vector<int> committed;
    steps.commit = [&](int row, int result) {
      std::lock_guard lock(mutex);
      EXPECT_NE(std::find(finished.begin(), finished.end(), row), finished.end()) << row;
      EXPECT_EQ(result, row + 100);
      committed.push_back(row);
      return true;
    };
    EXPECT_EQ(RunRowJobs(6, workers, host, state, steps).committed, 6);
    EXPECT_EQ(committed, (std::vector<int>{0, 1, 2, 3, 4, 5}));
    if (workers == 1) {
      EXPECT_GT(startedDuringAFinish.load(), 0);
    }
  }
}

TEST(BatchRunner, CancelStopsEveryWorkerAndAnAbortingCommitEndsTheBatch) {
  test::ScriptedHost host;
  BatchState state;
  std::atomic<int> concurrent{0}, peak{0};
  std::vector<std::pair<int, int>> commits;
  std::vector<int> prepared, settled, abandoned;
  RowJobSteps steps;
  steps.prepare = [&](int row) {
    prepared.push_back(row);
    return true;
  };
  steps.settle = [&](int row, int) { settled.push_back(row); };
  steps.abandon = [&](int row) { abandoned.push_back(row); };
  // Every prepared row is committed, settled or abandoned, each once and in row order.
  const auto everyRowAccountedFor = [&] {
    std::vector<int> ended;
    for (const auto& commit : commits) ended.push_back(commit.first);
    ended.insert(ended.end(), settled.begin(), settled.end());
    ended.insert(ended.end(), abandoned.begin(), abandoned.end());
    std::sort(ended.begin(), ended.end());
    EXPECT_EQ(ended, prepared);
    EXPECT_TRUE(std::is_sorted(settled.begin(), settled.end()));
  };
  steps.work = [&](int row, JobContext& job) {
    if (row == 3) state.CancelRequested = 1;  // as Cancel would, while rows run
    return Work(row, job, concurrent, peak);
  };
  steps.commit = [&](int row, int result) {
    commits.emplace_back(row, result);
    return result != 100;
  };
  RunRowJobs(20, 4, host, state, steps);
  ASSERT_FALSE(commits.empty());
  EXPECT_EQ(commits.back().second, 100);  // the first cancelled row ends the batch
  EXPECT_LT(commits.size(), 8u);
  EXPECT_EQ(concurrent.load(), 0);  // every worker was joined
  everyRowAccountedFor();

  // The user answering Yes to "Abort the batch job?" after row 1.
  BatchState second;
  commits.clear();
  prepared.clear();
  settled.clear();
  abandoned.clear();
  steps.work = [&](int row, JobContext& job) { return Work(row, job, concurrent, peak); };
  steps.commit = [&](int row, int result) {
    commits.emplace_back(row, result);
    return row < 1;
  };
  EXPECT_EQ(RunRowJobs(10, 3, host, second, steps).committed, 2);
  EXPECT_EQ(commits.size(), 2u);
  EXPECT_EQ(second.CancelRequested, 0);
  everyRowAccountedFor();

  // No worker thread can be started (a process limit): the batch ends with the reason, the row
  // prepared for it is abandoned and nothing is left running.
  for (int workers : {1, 3}) {
    BatchState third;
    commits.clear();
    prepared.clear();
    settled.clear();
    abandoned.clear();
    SetThreadStartFailureForTesting(true);
    const RowJobsOutcome outcome = RunRowJobs(10, workers, host, third, steps);
    SetThreadStartFailureForTesting(false);
    EXPECT_FALSE(outcome.startError.empty());
    EXPECT_EQ(abandoned, std::vector<int>{0});
    EXPECT_EQ(third.CancelRequested, 0);
    everyRowAccountedFor();
  }
}

TEST(BatchRunner, ASlowFirstRowHoldsNoWorkerAndProgressOnlyMovesForward) {
  // Row 0 is long; it ends only once every later row has ended, which it can only do when
  // the other worker goes on past it while row 0 waits for nothing.
  test::ScriptedHost host;
  BatchState state;
  constexpr int kRows = 13;
  std::atomic<int> laterDone{0};
  std::vector<RowJobProgress> seen;
  std::vector<int> committed;
  RowJobSteps steps;
  steps.prepare = [](int) { return true; };
  steps.rowSeconds = [](int row) { return row == 0 ? 60.0 : (row == 5 ? 0.0 : 5.0); };
  steps.work = [&](int row, JobContext& job) {
    job.SourceDuration = row == 0 ? 60 : 5;
    if (row == 0) {
      const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      while (laterDone.load() < kRows - 1 && std::chrono::steady_clock::now() < give_up) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        job.ProcessedSeconds = std::min(59, job.ProcessedSeconds + 1);
        job.ProgressCallback("Working");
      }
      return laterDone.load() == kRows - 1 ? 0 : 1;
    }
    for (int i = 0; i < job.SourceDuration; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      ++job.ProcessedSeconds;
      job.ProgressCallback("Working");
    }
    ++laterDone;
    return 0;
  };
  steps.commit = [&](int row, int result) {
    EXPECT_EQ(result, 0) << "row " << row;
    committed.push_back(row);
    return true;
  };
  steps.progress = [&](const RowJobProgress& progress) { seen.push_back(progress); };
  EXPECT_EQ(RunRowJobs(kRows, 2, host, state, steps, 1).committed, kRows);
  EXPECT_TRUE(std::is_sorted(committed.begin(), committed.end()));
  ASSERT_FALSE(seen.empty());
  for (size_t i = 0; i < seen.size(); ++i) {
    const RowJobProgress& p = seen[i];
    EXPECT_EQ(p.rowCount, kRows);
    EXPECT_DOUBLE_EQ(p.totalWeight, 115.0 + 115.0 / 12);  // row 5 weighs the others' mean
    EXPECT_LE(p.filesDone, p.rowsStarted);
    if (i > 0) {
      EXPECT_LE(OverallPercent(seen[i - 1]), OverallPercent(p));
    }
  }
  EXPECT_GE(AvailableCores(), 1);
  EXPECT_GE(RowsAheadOfCommit(1), 64);
  EXPECT_EQ(RowsAheadOfCommit(8), 128);
}

// While "Cancel the File Conversion?" is open no worker processes a block and no row starts;
// the time it stood open is counted apart. No lets the batch finish; Yes stops it without
// another block.
TEST(BatchRunner, WorkersWaitWhileTheCancelQuestionIsOpen) {
  using std::chrono::milliseconds;
  struct QuestionHost : test::ScriptedHost {
    std::atomic<int> blocks{0};
    MainWindowModel* model = nullptr;
    bool asked = false;
    int atOpen = -1, atAnswer = -1;
    int ShowMessageBox(const std::string& text, unsigned type) override {
      std::this_thread::sleep_for(milliseconds(50));  // the blocks under way end
      atOpen = blocks.load();
      std::this_thread::sleep_for(milliseconds(300));
      atAnswer = blocks.load();
      return ScriptedHost::ShowMessageBox(text, type);
    }
    void PumpMessages() override {
      ScriptedHost::PumpMessages();
      if (!asked && blocks.load() >= 6) {
        asked = true;
        model->Cancel();
      }
    }
  };
  for (const int answer : {IDNO, IDYES}) {
    QuestionHost host;
    MainWindowModel model(host);
    host.model = &model;
    host.answers = {answer};
    BeginBatch(model.Batch(), host, kBatchFileConversion);
    RowJobSteps steps;
    steps.prepare = [](int) { return true; };
    steps.work = [&](int, JobContext& job) {
      job.SourceDuration = 20;
      for (int block = 0; block < 20; ++block) {
        std::this_thread::sleep_for(milliseconds(2));
        ++host.blocks;
        ++job.ProcessedSeconds;
        job.ProgressCallback("Working");
        if (job.Cancelled()) return 100;
      }
      return 0;
    };
    int committed = 0;
    steps.commit = [&](int, int result) {
      ++committed;
      return result != 100;
    };
    RunRowJobs(8, 3, host, model.Batch(), steps);
    ASSERT_TRUE(host.asked);
    EXPECT_EQ(host.atOpen, host.atAnswer) << "blocks were processed while the question was open";
    EXPECT_GE(model.Batch().Pause.PausedTime(), milliseconds(340));
    EXPECT_FALSE(model.Batch().Pause.Paused());
    if (answer == IDNO) {
      EXPECT_EQ(host.blocks.load(), 8 * 20);
      EXPECT_EQ(committed, 8);
    } else {
      EXPECT_EQ(host.blocks.load(), host.atAnswer) << "a block was processed after the Yes";
      EXPECT_LT(committed, 8);
    }
  }
}

TEST(BatchRunner, OverallPercentWeighsRowsBySeconds) {
  RowJobProgress p;
  p.rowCount = 4;
  EXPECT_EQ(OverallPercent(p), 0);  // nothing started
  p.totalWeight = 80;
  p.doneWeight = 25;
  p.filesDone = 1;
  EXPECT_EQ(OverallPercent(p), 31);
  EXPECT_EQ(ParallelProgressText("Converting", p), "Converting...  1 of 4 files done - 31%");
  // No weight known: files done against the count.
  RowJobProgress unknown;
  unknown.rowCount = 3;
  unknown.rowsStarted = 3;
  unknown.filesDone = 2;
  EXPECT_EQ(OverallPercent(unknown), 66);
  unknown.filesDone = 3;
  EXPECT_EQ(OverallPercent(unknown), 100);
  RowJobProgress empty;
  EXPECT_EQ(OverallPercent(empty), 100);
}

}  // namespace
}  // namespace qv
