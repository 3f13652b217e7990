// The conversion batch against a scripted host: the log's records in order, the question after a
// failed file (asked, or only logged with the skip option), the selection after the batch,
// numbered copies instead of written-over files, the Save To checks, Cancel, normalization.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "app/showmessage.h"
#include "convert/conversionbatch.h"
#include "convert/convertfile.h"
#include "convert/formats.h"
#include "converttestutil.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

const char* const kNotAudio = "Can't open source file - it is not audio in a format Quorvin reads";

namespace fs = std::filesystem;

std::string StartRecord(int n) { return "\n--- Conversion # " + std::to_string(n) + " ---\n\n"; }
std::string SavingRecord(const std::string& source, const std::string& destination) {
  return "Saving:\n\n   " + source + "\n\nas:\n\n   " + destination + "\n\n";
}
std::string ErrorMessage(const std::string& source, const std::string& destination,
                         const std::string& error) {
  return "Got an error, converting:\n\n   " + source + "\n\nto\n\n   " + destination +
         "\n\nError was:\n\n   " + error +
         "\n\nSkipping this file...\n\nAbort the batch job?  (Default: NO)";
}
std::string Logged(const std::string& message) { return "\n" + message + "\n\n---\n"; }

constexpr unsigned kAskType = MB_YESNO | MB_DEFBUTTON2;

class ConversionBatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(m_dir.file("out"));
    m_options.formatKey = "WAV";
    m_options.destinationFolder = m_dir.file("out");
    m_options.faacPath = Qvfaac();
    m_options.logPath = m_dir.file("QV_Log.txt");
    m_options.openLog = [this](const std::string& path) { m_openedLogs.push_back(path); };
  }

  // A one-second WAV source in the test folder.
  std::string GoodSource(const std::string& name, double seconds = 1.0) {
    const std::string path = m_dir.file(name);
    WriteTestWav16(path, 44100, 2, static_cast<long>(44100 * seconds));
    return path;
  }
  std::string BadSource(const std::string& name) {
    const std::string path = m_dir.file(name);
    WriteTextFile(path, "this is no audio at all, only text that pretends to be a WAV file");
    return path;
  }
  void AddRow(const std::string& path) {
    m_list.AddRow(GetFileTitle(path, true), "wav", "1.000", "1411", "44,100", "16 Bit", "2", path,
                  "", false);
  }
  ConversionBatchResult Run() {
    return RunConversionBatch(m_options, m_list, m_state, m_host);
  }
  std::string Out(const std::string& name) { return m_dir.file("out/" + name); }
  std::string Log() { return ReadBytes(m_options.logPath); }

  TempDir m_dir;
  ScriptedHost m_host;
  BatchState m_state;
  SourceList m_list;
  ConversionOptions m_options;
  std::vector<std::string> m_openedLogs;
};

TEST_F(ConversionBatchTest, ThreeRowsWithAFailingSecondFileAskedAndAnsweredNo) {
  const std::string a = GoodSource("a.wav"), bad = BadSource("bad.wav"), c = GoodSource("c.wav");
  for (const auto& path : {a, bad, c}) AddRow(path);
  const ConversionBatchResult result = Run();

  EXPECT_TRUE(result.started);
  EXPECT_EQ(result.converted, 2);
  EXPECT_EQ(result.failed, 1);
  const std::string error = ErrorMessage(bad, Out("bad.wav"), kNotAudio);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text, error);
  EXPECT_EQ(m_host.messages[0].type, kAskType);
  // The records in the order they happened, with LF line ends only.
  EXPECT_EQ(Log(), StartRecord(1) + SavingRecord(a, Out("a.wav")) + StartRecord(2) +
                       SavingRecord(bad, Out("bad.wav")) + Logged(error) + StartRecord(3) +
                       SavingRecord(c, Out("c.wav")));
  // Selected afterwards: exactly the rows converted without error.
  EXPECT_TRUE(m_list.IsSelected(0));
  EXPECT_FALSE(m_list.IsSelected(1));
  EXPECT_TRUE(m_list.IsSelected(2));
  EXPECT_TRUE(fs::file_size(Out("a.wav")) > 44);
  EXPECT_TRUE(fs::file_size(Out("c.wav")) > 44);
  EXPECT_EQ(m_host.controlCalls, (std::vector<bool>{false, true}));
  EXPECT_EQ(m_host.statusTexts.back(), "Ready.");
  EXPECT_EQ(m_state.BatchInProgress, 0);
  EXPECT_EQ(m_state.CurrentBatchName, "File Conversion");
  EXPECT_TRUE(m_openedLogs.empty());
}

TEST_F(ConversionBatchTest, SkippingProblemFilesOnlyLogsThemAndOffersTheLog) {
  const std::string a = GoodSource("a.wav"), bad = BadSource("bad.wav"), c = GoodSource("c.wav");
  for (const auto& path : {a, bad, c}) AddRow(path);
  m_options.skipProblemFiles = true;
  m_host.answers = {IDYES};
  Run();
  // No box during the batch; one question at its end.
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text,
            "Messages were logged during the Batch Job.  Please see this file for details:\n\n   " +
                m_options.logPath + "\n\nDo you want to open it now?");
  EXPECT_EQ(m_host.messages[0].type, static_cast<unsigned>(MB_YESNO));
  EXPECT_EQ(m_openedLogs, std::vector<std::string>{m_options.logPath});
  EXPECT_NE(Log().find(Logged(ErrorMessage(bad, Out("bad.wav"), kNotAudio)) +
                       StartRecord(3)),
            std::string::npos);
  EXPECT_TRUE(m_list.IsSelected(0));
  EXPECT_FALSE(m_list.IsSelected(1));
  EXPECT_TRUE(m_list.IsSelected(2));
}

TEST_F(ConversionBatchTest, SkippingWithoutAFailureAsksNothing) {
  AddRow(GoodSource("a.wav"));
  m_options.skipProblemFiles = true;
  MessagesLogged = 1;  // left over from an earlier batch
  Run();
  EXPECT_TRUE(m_host.messages.empty());
  EXPECT_EQ(MessagesLogged, 0);
}

// Skip-existing takes an earlier output as done only when its length is the source's within a
// second (when both are known; otherwise when it is not older than the source), and never takes
// the source for its own output. Anything else is converted again under a new name, and the
// log names an output that holds less.
TEST_F(ConversionBatchTest, SkipExistingTakesOnlyAWholeEarlierOutputAsDone) {
  m_options.skipExisting = true;
  const struct {
    const char* name;
    double outputSeconds;
    double rowSeconds;  // the row's probed length; 0 unknown
    int outputAge;      // seconds the output was written after the source (negative: before)
    bool skipped;
  } cases[] = {
      {"whole", 6.0, 6.0, 10, true},
      {"cut", 2.0, 6.0, 10, false},
      {"a header's rounding", 5.3, 6.0, 10, true},
      {"unknown length, newer", 2.0, 0.0, 10, true},
      {"unknown length, older", 6.0, 0.0, -10, false},
      {"whole, older than the source", 6.0, 6.0, -10, false},
  };
  const auto past = fs::file_time_type::clock::now() - std::chrono::hours(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = GoodSource(std::string(c.name) + ".wav", 6.0);
    const std::string earlier = Out(std::string(c.name) + ".wav");
    WriteTestWav16(earlier, 44100, 2, static_cast<long>(44100 * c.outputSeconds));
    fs::last_write_time(source, past);
    fs::last_write_time(earlier, past + std::chrono::seconds(c.outputAge));
    SourceFacts facts;
    facts.rate = 44100;
    facts.channels = 2;
    facts.bits = 16;
    facts.seconds = c.rowSeconds;
    SourceList list;
    list.AddRow(c.name, "wav", facts, source, "", false);
    BatchState state;
    fs::remove(m_options.logPath);
    const ConversionBatchResult result = RunConversionBatch(m_options, list, state, m_host);
    EXPECT_EQ(result.skipped, c.skipped ? 1 : 0);
    EXPECT_EQ(result.converted, c.skipped ? 0 : 1);
    const std::string again = Out(std::string(c.name) + "-COPY000001.wav");
    EXPECT_EQ(Exists(again), !c.skipped);
    EXPECT_NEAR(static_cast<double>(fs::file_size(earlier) - 44) / 176400, c.outputSeconds, 1e-3);
    const bool named = Log().find("An earlier output of this file is incomplete, so it is "
                                  "converted again:\n\n   " + earlier + " holds 0:02 of 0:06") !=
                       std::string::npos;
    EXPECT_EQ(named, std::string(c.name) == "cut") << Log();
  }

  // Converted into its own folder and format: the source is not its own output, the copy is.
  m_options.sameFolder = true;
  const std::string own = GoodSource("own.wav", 2.0);
  fs::last_write_time(own, past);
  for (const bool firstRun : {true, false}) {
    SourceList list;
    list.AddRow("own", "wav", SourceFacts{}, own, "", false);
    BatchState state;
    const ConversionBatchResult result = RunConversionBatch(m_options, list, state, m_host);
    EXPECT_EQ(result.converted, firstRun ? 1 : 0);
    EXPECT_EQ(result.skipped, firstRun ? 0 : 1);
  }
  EXPECT_TRUE(Exists(m_dir.file("own-COPY000001.wav")));
  EXPECT_FALSE(Exists(m_dir.file("own-COPY000002.wav")));
}

TEST_F(ConversionBatchTest, AnsweringYesAbortsTheBatch) {
  const std::string bad = BadSource("bad.wav");
  AddRow(bad);
  AddRow(GoodSource("b.wav"));
  m_host.answers = {IDYES};
  const ConversionBatchResult result = Run();
  EXPECT_TRUE(result.abortedByUser);
  EXPECT_FALSE(Exists(Out("b.wav")));
  EXPECT_FALSE(m_list.IsSelected(1));
  EXPECT_EQ(Log().find(StartRecord(2)), std::string::npos);
  EXPECT_EQ(m_host.statusTexts.back(), "Ready.");
}

// Several rows at once are named, logged, selected and asked about exactly as one row after
// the other, also when a row that fails before writing anything wants the name of a later row,
// and nothing of the hidden names they are written under is left behind.
TEST_F(ConversionBatchTest, ParallelRowsAreNamedAndLoggedAsInASerialRun) {
  for (const char* folder : {"d1", "d2", "d3"}) fs::create_directory(m_dir.file(folder));
  const std::vector<std::string> sources = {BadSource("d1/x.wav"), GoodSource("d2/x.wav", 2.0),
                                            GoodSource("y.wav", 3.0), GoodSource("d3/x.wav"),
                                            BadSource("z.wav")};
  struct Outcome {
    std::string log;
    std::vector<std::string> files;
    std::vector<bool> selected;
    std::vector<ScriptedHost::Message> messages;
    ConversionBatchResult result;
  };
  auto run = [&](int jobs, bool skip) {
    fs::remove_all(Out(""));
    fs::create_directory(Out(""));
    WriteTestWav16(Out("y.wav"), 44100, 2, 100);  // taken: y becomes y-COPY000001.wav
    SourceList list;
    for (const std::string& path : sources) {
      list.AddRow(GetFileTitle(path, true), "wav", "1.000", "1411", "44,100", "16 Bit", "2", path,
                  "", false);
    }
    BatchState state;
    ScriptedHost host;
    ConversionOptions options = m_options;
    options.jobs = jobs;
    options.skipProblemFiles = skip;
    Outcome outcome;
    outcome.result = RunConversionBatch(options, list, state, host);
    outcome.log = Log();
    for (const auto& entry : fs::directory_iterator(Out(""))) {
      outcome.files.push_back(entry.path().filename().string());
    }
    std::sort(outcome.files.begin(), outcome.files.end());
    for (int row = 0; row < list.RowCount(); ++row) {
      outcome.selected.push_back(list.IsSelected(row));
    }
    outcome.messages = host.messages;
    return outcome;
  };
  for (const bool skip : {false, true}) {
    SCOPED_TRACE(skip ? "skipping problem files" : "asking");
    const Outcome serial = run(1, skip);
    const std::vector<std::string> expected = {"x-COPY000001.wav", "x.wav", "y-COPY000001.wav",
                                               "y.wav"};
    EXPECT_EQ(serial.files, expected);
    EXPECT_EQ(serial.result.converted, 3);
    EXPECT_EQ(serial.result.failed, 2);
    for (const int jobs : {2, 4}) {
      SCOPED_TRACE(jobs);
      const Outcome parallel = run(jobs, skip);
      EXPECT_EQ(parallel.log, serial.log);
      EXPECT_EQ(parallel.files, serial.files);
      EXPECT_EQ(parallel.selected, serial.selected);
      ASSERT_EQ(parallel.messages.size(), serial.messages.size());
      for (size_t i = 0; i < serial.messages.size(); ++i) {
        EXPECT_EQ(parallel.messages[i].text, serial.messages[i].text);
      }
      EXPECT_EQ(parallel.result.converted, serial.result.converted);
      EXPECT_EQ(parallel.result.failed, serial.result.failed);
    }
  }
  // Yes to "Abort the batch job?": the rows after the failed one leave no file, as in a serial
  // run that never started them.
  m_host.answers = {};
  for (const int jobs : {1, 3}) {
    SCOPED_TRACE(jobs);
    fs::remove_all(Out(""));
    fs::create_directory(Out(""));
    SourceList list;
    for (const std::string& path : {sources[0], sources[2], sources[1], sources[3]}) {
      list.AddRow(GetFileTitle(path, true), "wav", "1.000", "1411", "44,100", "16 Bit", "2", path,
                  "", false);
    }
    BatchState state;
    ScriptedHost host;
    host.answers = {IDYES};
    ConversionOptions options = m_options;
    options.jobs = jobs;
    const ConversionBatchResult result = RunConversionBatch(options, list, state, host);
    EXPECT_TRUE(result.abortedByUser);
    EXPECT_TRUE(fs::is_empty(Out("")));
    EXPECT_EQ(Log().find(StartRecord(2)), std::string::npos);
    EXPECT_EQ(state.CancelRequested.load(), 0);
  }
}

TEST_F(ConversionBatchTest, NumberedCopiesInsteadOfWritingOver) {
  // Beside the source: a.wav itself is taken, so the copy gets the first number.
  const std::string a = GoodSource("a.wav");
  const std::string before = ReadBytes(a);
  AddRow(a);
  m_options.sameFolder = true;
  m_options.destinationFolder = "/no/such/folder";  // not read with the same-folder option
  Run();
  const std::string copy = m_dir.file("a-COPY000001.wav");
  EXPECT_EQ(ReadBytes(a), before);
  EXPECT_TRUE(fs::file_size(copy) > 44);
  EXPECT_EQ(Log(), StartRecord(1) + SavingRecord(a, a) +
                       "Destination file exists, saving as this instead:\n\n   " + copy +
                       "\n\n");
  EXPECT_TRUE(m_host.messages.empty());

  // The naming rule alone.
  const std::string song = Out("song.mp3");
  WriteTextFile(song, "x");
  WriteTextFile(Out("song-COPY000001.mp3"), "x");
  WriteTextFile(Out("song-COPY000002.mp3"), "");  // empty: free
  std::string path = song;
  EXPECT_EQ(MakeUniqueDestination(path), kDestinationRenamed);
  EXPECT_EQ(path, Out("song-COPY000002.mp3"));
  path = Out("free.mp3");
  EXPECT_EQ(MakeUniqueDestination(path), kDestinationFree);
  EXPECT_EQ(path, Out("free.mp3"));
  WriteTextFile(Out("empty.wav"), "");
  path = Out("empty.wav");
  EXPECT_EQ(MakeUniqueDestination(path), kDestinationFree);
  // A dangling link or a folder has the name too: the output takes a number instead of failing.
  fs::create_symlink(m_dir.file("nowhere"), Out("link.wav"));
  fs::create_directory(Out("folder.wav"));
  for (const char* name : {"link", "folder"}) {
    path = Out(std::string(name) + ".wav");
    EXPECT_EQ(MakeUniqueDestination(path), kDestinationRenamed) << name;
    EXPECT_EQ(path, Out(std::string(name) + "-COPY000001.wav"));
  }
}

TEST_F(ConversionBatchTest, WhenEveryNumberedNameIsTakenTheFileFails) {
  const std::string a = GoodSource("a.wav");
  AddRow(a);
  for (const char* name : {"a.wav", "a-COPY000001.wav", "a-COPY000002.wav"}) {
    WriteTextFile(Out(name), "taken");
  }
  std::string path = Out("a.wav");
  EXPECT_EQ(MakeUniqueDestination(path, 2), kDestinationAllTaken);
  EXPECT_EQ(path, Out("a.wav"));

  m_options.maxNumberedCopies = 2;
  const ConversionBatchResult result = Run();
  EXPECT_EQ(result.failed, 1);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text,
            ErrorMessage(a, Out("a.wav"), ConversionErrorText({ConvertCode::NamesTaken})));
  for (const char* name : {"a.wav", "a-COPY000001.wav", "a-COPY000002.wav"}) {
    EXPECT_EQ(ReadBytes(Out(name)), "taken") << name;
  }
  EXPECT_FALSE(Exists(Out("a-COPY000003.wav")));
  EXPECT_FALSE(m_list.IsSelected(0));
}

TEST_F(ConversionBatchTest, SaveToFolderChecks) {
  const std::string a = GoodSource("a.wav");
  AddRow(a);
  // Blanks around the text and one trailing slash: one separator in the destination.
  m_options.destinationFolder = "  " + m_dir.file("out") + "/ \t";
  Run();
  EXPECT_TRUE(Exists(Out("a.wav")));
  EXPECT_NE(Log().find("as:\n\n   " + Out("a.wav") + "\n"), std::string::npos);

  // Problems before the batch: a message, nothing else (no log, no batch layout).
  fs::remove(m_options.logPath);
  m_host.messages.clear();
  m_host.controlCalls.clear();
  m_options.destinationFolder = m_dir.file("missing");
  EXPECT_FALSE(Run().started);
  m_options.destinationFolder = m_dir.file("out");
  m_options.logPath = m_dir.file("no/folder/QV_Log.txt");
  EXPECT_FALSE(Run().started);
  m_list.RemoveAllRows();
  EXPECT_FALSE(Run().started);
  ASSERT_EQ(m_host.messages.size(), 3u);
  EXPECT_EQ(m_host.messages[0].text,
            "The Save To directory was not found.  Please choose an existing directory, thanks.");
  EXPECT_EQ(m_host.messages[1].text, "Unable to create the Log File:\n\n   " +
                                         m_options.logPath + "\n\nSorry, can't continue.");
  EXPECT_EQ(m_host.messages[2].text,
            "No Audio Files have been added to the Convert List.  Please add some Audio Files "
            "first, thanks.");
  EXPECT_TRUE(m_host.controlCalls.empty());
  EXPECT_FALSE(Exists(m_dir.file("QV_Log.txt")));
}

BatchState* g_cancelState = nullptr;
void CancelDuringSecondFile() {
  // The Cancel command, confirmed while the second file shows its progress.
  if (g_cancelState->BatchFileIndex == 1) {
    g_cancelState->CancelRequested = 1;
    g_cancelState->BatchInProgress = 0;
  }
}

TEST_F(ConversionBatchTest, CancelDuringTheSecondOfFiveFiles) {
  // MP3 takes long enough per file that the cancel reaches the second file while it runs.
  m_options.formatKey = "mp3";
  m_options.kbps = 128;
  for (int i = 0; i < 5; ++i) AddRow(GoodSource("s" + std::to_string(i) + ".wav", 10.0));
  g_cancelState = &m_state;
  m_host.onPump = &CancelDuringSecondFile;
  const ConversionBatchResult result = Run();
  m_host.onPump = nullptr;
  EXPECT_TRUE(result.cancelled);
  EXPECT_TRUE(m_list.IsSelected(0));
  EXPECT_EQ(result.rows[0].outcome, RowOutcome::Done);
  // The second file keeps what it wrote, under its name, with a record of what it holds; it is
  // neither selected nor counted.
  ASSERT_EQ(result.rows[1].outcome, RowOutcome::Cancelled);
  EXPECT_FALSE(m_list.IsSelected(1));
  EXPECT_EQ(result.converted, 1);
  EXPECT_EQ(result.cancelledKept, 1);
  EXPECT_EQ(result.rows[1].destination, Out("s1.mp3"));
  EXPECT_NE(Log().find("Cancelled: the file holds only 0:"), std::string::npos);
  const Decoded partial = DecodeFile(Out("s1.mp3"));
  EXPECT_LT(partial.samples.size(), 2u * 44100 * 10);
  for (int i = 2; i < 5; ++i) {
    EXPECT_FALSE(m_list.IsSelected(i));
    EXPECT_EQ(result.rows[static_cast<size_t>(i)].outcome, RowOutcome::NotRun);
    EXPECT_FALSE(Exists(Out("s" + std::to_string(i) + ".mp3")));
  }
  EXPECT_EQ(Log().find(StartRecord(3)), std::string::npos);
  EXPECT_TRUE(m_host.messages.empty());
  EXPECT_EQ(m_host.statusTexts.back(), "Ready.");
  // No hidden file is left in the folder.
  for (const auto& entry : fs::directory_iterator(m_dir.file("out"))) {
    EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
  }
}

TEST_F(ConversionBatchTest, NormalizationAppliesEachRowsGain) {
  // A quarter of full scale in every sample; the row's gain doubles it.
  const std::string source = m_dir.file("quarter.wav");
  std::string data;
  for (int i = 0; i < 4410 * 2; ++i) PutLe(data, 8192, 2);
  std::string header = "RIFF";
  PutLe(header, static_cast<std::uint32_t>(36 + data.size()), 4);
  header += "WAVEfmt ";
  for (std::uint32_t v : {16u, 1u | 2u << 16, 44100u, 176400u, 4u | 16u << 16}) PutLe(header, v, 4);
  header += "data";
  PutLe(header, static_cast<std::uint32_t>(data.size()), 4);
  WriteTextFile(source, header + data);
  AddRow(source);
  m_list.Item(0)->hasLoudness = 1;
  m_list.Item(0)->gainFactor = 2.0;
  // A row without a measurement cannot be normalized: it fails with a message, and is counted.
  AddRow(GoodSource("unmeasured.wav"));

  m_options.normalize = true;
  const ConversionBatchResult normalized = Run();
  // Half of full scale, give or take the dither's step.
  EXPECT_NEAR(static_cast<std::int16_t>(Le(ReadBytes(Out("quarter.wav")), 44, 2)), 16384, 1);
  EXPECT_EQ(normalized.notMeasured, 1);
  EXPECT_EQ(normalized.failed, 1);
  EXPECT_EQ(normalized.rows[1].cause, FailureCause::NotMeasured);
  EXPECT_FALSE(Exists(Out("unmeasured.wav")));
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_NE(m_host.messages[0].text.find("no loudness measurement"), std::string::npos);
  m_list.DeselectAll();
  m_list.SelectRow(1, true);
  m_list.RemoveSelectedRows();
  m_options.normalize = false;
  fs::remove(Out("quarter.wav"));
  Run();
  EXPECT_EQ(static_cast<std::int16_t>(Le(ReadBytes(Out("quarter.wav")), 44, 2)), 8192);
}

// The tag copy reads FFmpeg's view of the source from the decoder that converted it: a container
// the tag library does not read (Matroska) still gives its tags, and text that is not UTF-8 is
// left out and named for it as for a FLAC, whose tags the tag library reads.
TEST_F(ConversionBatchTest, TagsOfEveryContainerReachTheOutput) {
  const std::string bad = "Bad \xFF\xFE name";
  const std::string flac = m_dir.file("a.flac"), mka = m_dir.file("b.mka");
  for (const std::string& path : {flac, mka}) {
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i sine=frequency=440:duration=1 -metadata title=Good "
                          "-metadata " + ShellQuote("artist=" + bad) + " " + ShellQuote(path)));
    AddRow(path);
  }
  m_options.formatKey = "mp3";
  m_options.kbps = 192;
  const ConversionBatchResult result = Run();
  ASSERT_EQ(result.converted, 2);
  for (const char* name : {"a.mp3", "b.mp3"}) {
    const std::string probe = m_dir.file(std::string(name) + ".txt");
    ASSERT_EQ(std::system(("ffprobe -v error -show_entries format_tags -of flat " +
                           ShellQuote(Out(name)) + " > " + ShellQuote(probe)).c_str()), 0);
    EXPECT_EQ(ReadBytes(probe), "format.tags.title=\"Good\"\n") << name;
  }
  const std::string log = Log();
  size_t named = 0;
  for (size_t at = 0; (at = log.find("ARTIST holds text that is not valid UTF-8", at)) !=
                      std::string::npos;
       ++at) {
    ++named;
  }
  EXPECT_EQ(named, 2u) << log;
}

TEST_F(ConversionBatchTest, CompressedFormatsAndTheirBitrates) {
  AddRow(GoodSource("a.wav"));
  for (const char* key : {"MP3", "M4A", "WMA"}) {
    m_options.formatKey = key;
    m_options.kbps = std::string(key) == "M4A" ? 194 : 192;
    m_host.messages.clear();
    Run();
    EXPECT_TRUE(m_host.messages.empty()) << key << ": " << m_host.messages[0].text;
    const std::string out = Out("a." + LowerAscii(key));
    const Decoded d = DecodeFile(out);
    EXPECT_NE(d.handle, 0u) << key;
    EXPECT_TRUE(m_list.IsSelected(0)) << key;
  }
  // A bitrate the MP3 table does not have fails the file with its message.
  m_options.formatKey = "mp3";
  m_options.kbps = 191;
  fs::remove(Out("a.mp3"));
  Run();
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_NE(m_host.messages[0].text.find("An unsupported bitrate is being used (191)"),
            std::string::npos);
}

}  // namespace
}  // namespace qv::test
