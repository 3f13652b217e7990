// Adding files and folders through the core: the probe's cells, the open-error messages, the
// refusals, duplicates, odd file names, the folder scan and its messages, and what happens to
// temporary WAVs that no row takes.
#include "import/sourceimporter.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/instance.h"
#include "app/showmessage.h"
#include "audio/audiotestutil.h"
#include "audio/bass.h"
#include "model/batchstate.h"
#include "model/sourcelist.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"
#include "tags/storedtags.h"

namespace qv {
namespace {

namespace fs = std::filesystem;

const char* const kUnsupported =
    "Can't open the file:\n\n   %s\n\nMore Details:\n\nUnsupported File Format\n\n"
    "This file was not added.";
const char* const kNoStats =
    "Unable to get the Audio File Stats from:\n\n   %s\n\nMore Details:\n\n%s.\n\n"
    "This file was not added.";
const char* const kEmpty = "The file is empty";
const char* const kFolder = "It is a folder";
const char* const kCouldNotImport = "Sorry, could not Import:\n\n   %s\n\nSkipping...";

// Fixtures made once for the whole suite: a 60 s CD-quality WAV, short FLAC and MP3 files, a
// float WAV, a 9-channel WAV (one more than a source may have) and a video file without sound.
class Fixtures {
 public:
  Fixtures() {
    test::WriteTestWav16(Path("long.wav"), 44100, 2, 44100L * 60);
    test::WriteTestWav16(Path("short.wav"), 44100, 2, 4410);
    test::WriteTestWav16(Path("mono8k.wav"), 8000, 1, 800);
    test::WriteTestWav16(Path("nine.wav"), 48000, 9, 4800);
    const std::string sine = "-f lavfi -i sine=frequency=440:duration=1:sample_rate=44100 -ac 2 ";
    ok = test::RunFfmpeg(sine + test::Quote(Path("tone.flac"))) &&
         test::RunFfmpeg(sine + "-b:a 128k " + test::Quote(Path("tone.mp3"))) &&
         test::RunFfmpeg(sine + "-c:a pcm_f32le " + test::Quote(Path("float.wav"))) &&
         test::RunFfmpeg("-f lavfi -i testsrc=size=32x32:rate=5 -t 1 -an -c:v mpeg4 " +
                         test::Quote(Path("silent.mp4")));
  }
  std::string Path(const std::string& name) const { return m_dir.file(name); }
  bool ok = false;

 private:
  test::TempDir m_dir;
};

Fixtures& Shared() {
  static Fixtures fixtures;
  return fixtures;
}

class ImporterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Shared().ok) << "the ffmpeg program could not make the fixtures";
    ::setenv("TMPDIR", m_temp.str().c_str(), 1);
    SetOwnerlessHost(&m_host);
  }
  void TearDown() override {
    SetOwnerlessHost(nullptr);
    ::unsetenv("TMPDIR");
  }

  std::string Copy(const std::string& fixture, const std::string& name) {
    const std::string target = m_dir.file(name);
    fs::create_directories(fs::path(target).parent_path());
    fs::copy_file(Shared().Path(fixture), target);
    return target;
  }
  std::vector<std::string> Texts() const {
    std::vector<std::string> out;
    for (const auto& m : m_host.messages) out.push_back(m.text);
    return out;
  }
  // The files left in the program's working folder.
  std::vector<std::string> WorkingFolderFiles() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(m_temp.path(), ec)) {
      if (entry.is_regular_file()) out.push_back(entry.path().filename().string());
    }
    return out;
  }

  test::TempDir m_dir;
  test::TempDir m_temp;
  test::ScriptedHost m_host;
  SourceList m_list;
  int m_toolRuns = 0;
  SourceImporter m_importer{m_host, m_list, [this](const ToolRunRequest&) {
                              ++m_toolRuns;
                              return 1;
                            }};
};

TEST_F(ImporterTest, RowCellsOfProbedFiles) {
  struct Case {
    const char* fixture;
    const char* name;
    std::vector<std::string> cells;  // columns 0 to 6
  };
  const Case cases[] = {
      // 44 header bytes + 60 s of 16-bit stereo = 10,584,044 bytes: 1411.2 kbit/s.
      {"long.wav", "Sixty Seconds.wav",
       {"Sixty Seconds", "wav", "10.094", "1411", "44,100", "16 Bit", "2"}},
      // 1644 bytes in 0.1 s: 131.52 kbit/s, rounded half up.
      {"mono8k.wav", "m.WAV", {"m", "wav", "0.002", "132", "8,000", "16 Bit", "1"}},
      {"float.wav", "f.wav", {"f", "wav", "", "", "44,100", "float", "2"}},
      {"tone.flac", "a.b.c.flac", {"a.b.c", "flac", "", "", "44,100", "16 Bit", "2"}},
      {"tone.mp3", "t.mp3", {"t", "mp3", "", "", "44,100", "float", "2"}},
  };
  AddCounters counters;
  for (const Case& c : cases) m_importer.AddSourceFile(Copy(c.fixture, c.name), counters);
  EXPECT_TRUE(m_host.messages.empty()) << m_host.messages.front().text;
  ASSERT_EQ(counters.added, 5);
  EXPECT_EQ(counters.skipped, 0);
  ASSERT_EQ(m_list.RowCount(), 5);
  for (int row = 0; row < 5; ++row) {
    for (int column = 0; column <= kColChans; ++column) {
      if (cases[row].cells[column].empty()) continue;  // sizes that depend on the encoder
      EXPECT_EQ(m_list.CellText(row, column), cases[row].cells[column])
          << cases[row].name << " column " << column;
    }
    for (int column = kColVolume; column < kColumnCount; ++column) {
      EXPECT_EQ(m_list.CellText(row, column), "");
    }
    const QVListItem* item = m_list.Item(row);
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->serial, row);
    EXPECT_EQ(item->position, row);
    EXPECT_EQ(item->extracted, 0);
    EXPECT_EQ(item->sourcePath, m_dir.file(cases[row].name));
    EXPECT_EQ(item->GetDecodePath(), item->sourcePath);
  }
  // A float WAV of 1 s reads 2822.4 kbit/s plus its header; a 128 kbit/s MP3 of 1 s about 128
  // (its tag frames add a few).
  EXPECT_NEAR(std::atoi(m_list.CellText(2, kColKbps).c_str()), 2823, 2);
  EXPECT_NEAR(std::atoi(m_list.CellText(4, kColKbps).c_str()), 128, 10);
  EXPECT_EQ(m_toolRuns, 0);
}

// A plain WAV is probed from its header; what it reports must be what the decoder itself says
// of the file (rate, channels, resolution, length, declared length, speakers, float samples),
// also for a data chunk cut short and one after other chunks.
TEST_F(ImporterTest, AWavProbedFromItsHeaderReportsWhatTheDecoderSays) {
  const std::string sine = "-f lavfi -i sine=frequency=440:duration=0.7 -ac 2 ";
  const char* codecs[] = {"pcm_s16le", "pcm_s24le", "pcm_s32le", "pcm_u8", "pcm_f32le",
                          "pcm_f64le"};
  std::vector<std::string> files;
  for (const char* codec : codecs) {
    files.push_back(m_dir.file(std::string(codec) + ".wav"));
    ASSERT_TRUE(test::RunFfmpeg(sine + "-c:a " + codec + " -metadata title=t " +
                                test::Quote(files.back())));
  }
  files.push_back(m_dir.file("cut.wav"));
  fs::copy_file(files[0], files.back());
  fs::resize_file(files.back(), fs::file_size(files.back()) - 10001);
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    ProbeResult probe;
    ASSERT_TRUE(ProbeAudioFile(path, probe));
    const HSTREAM h = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                            BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
    ASSERT_NE(h, 0u);
    BASS_CHANNELINFO info{};
    BASS_ChannelGetInfo(h, &info);
    const QWORD bytes = BASS_ChannelGetLength(h, BASS_POS_BYTE);
    const double seconds = BASS_ChannelBytes2Seconds(h, bytes);
    QV_SOURCEINFO source;
    ASSERT_TRUE(QV_ChannelGetSourceInfo(h, &source));
    BASS_StreamFree(h);
    EXPECT_EQ(probe.declaredSamples, source.declaredFrames);
    EXPECT_EQ(probe.channelMask, source.channelMask);
    EXPECT_EQ(probe.floating, source.floating != 0);
    EXPECT_EQ(probe.samples, static_cast<std::int64_t>(bytes / (4 * info.chans)));
    EXPECT_EQ(probe.rate, info.freq);
    EXPECT_EQ(probe.channels, info.chans);
    EXPECT_EQ(probe.bits, info.origres);
    EXPECT_DOUBLE_EQ(probe.seconds, seconds);
  }
}

TEST_F(ImporterTest, ProbeReportsSixtyFourBitSizeAndKnownLength) {
  ProbeResult result;
  ASSERT_TRUE(ProbeAudioFile(Shared().Path("long.wav"), result));
  EXPECT_EQ(result.size, 10584044u);
  EXPECT_EQ(result.kbps, 1411);
  EXPECT_EQ(result.rate, 44100u);
  EXPECT_EQ(result.bits, 16u);
  EXPECT_EQ(result.channels, 2u);
  EXPECT_DOUBLE_EQ(result.seconds, 60.0);
  EXPECT_EQ(result.samples, 44100 * 60);
  EXPECT_EQ(result.errorCode, 0);
  ASSERT_TRUE(ProbeAudioFile(Shared().Path("tone.flac"), result));  // decoded, not read
  EXPECT_EQ(result.samples, 44100);
  EXPECT_GT(result.modifiedNs, 0);
}

// What a file's header declares, beside what it holds: the length (a WAV cut short still
// declares its whole data chunk; a data size of 0 and an MP3 without a Xing frame declare
// none), the speakers of its channels and whether its samples are floating point.
TEST_F(ImporterTest, FactsTellTheDeclaredLengthLayoutAndSampleFormat) {
  constexpr std::uint64_t kStereo = 0x3;     // FFmpeg's AV_CH_LAYOUT_STEREO
  constexpr std::uint64_t kFivePointOne = 0x3F;  // AV_CH_LAYOUT_5POINT1_BACK, "5.1"
  const std::string sine = "-f lavfi -i sine=frequency=440:duration=1:sample_rate=44100 ";
  const std::string cut = Copy("short.wav", "cut.wav");
  fs::resize_file(cut, fs::file_size(cut) - 1000);
  const std::string unsized = Copy("short.wav", "unsized.wav");
  {
    std::fstream file(unsized, std::ios::in | std::ios::out | std::ios::binary);
    std::string head(64, '\0');
    file.read(head.data(), 64);
    const auto data = head.find("data");
    ASSERT_NE(data, std::string::npos);
    file.seekp(static_cast<std::streamoff>(data + 4));
    file.write("\0\0\0\0", 4);
  }
  const std::string m4a = m_dir.file("tone.m4a");
  const std::string six = m_dir.file("six.flac");
  const std::string noXing = m_dir.file("noxing.mp3");
  ASSERT_TRUE(test::RunFfmpeg(sine + "-ac 2 " + test::Quote(m4a)));
  ASSERT_TRUE(test::RunFfmpeg(sine + "-ac 6 " + test::Quote(six)));
  ASSERT_TRUE(test::RunFfmpeg(sine + "-ac 2 -write_xing 0 " + test::Quote(noXing)));
  struct Case {
    std::string path;
    std::int64_t samples;  // -1: not checked here
    std::int64_t declared;
    std::uint64_t mask;
    bool floating;
  };
  const Case cases[] = {
      {Shared().Path("short.wav"), 4410, 4410, 0, false},  // a plain WAV names no speakers
      {cut, (4410 * 4 - 1000) / 4, 4410, 0, false},
      {unsized, 4410, -1, 0, false},
      {Shared().Path("float.wav"), 44100, 44100, kStereo, true},  // WAVE_FORMAT_EXTENSIBLE
      {Shared().Path("tone.flac"), 44100, 44100, kStereo, false},
      {six, 44100, 44100, kFivePointOne, false},
      {m4a, 44100, 44100, kStereo, false},
      {noXing, -1, -1, kStereo, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    SourceFacts facts;
    ASSERT_TRUE(ProbeSourceFacts(c.path, facts));
    if (c.samples >= 0) {
      EXPECT_EQ(facts.samples, c.samples);
    }
    EXPECT_EQ(facts.declaredSamples, c.declared);
    EXPECT_EQ(facts.channelMask, c.mask);
    EXPECT_EQ(facts.floating, c.floating);
  }
}

TEST_F(ImporterTest, FilesThatCannotBeOpenedShowTheirMessageAndAreNotCounted) {
  const std::string empty = m_dir.file("empty.mp3");
  std::ofstream(empty).flush();
  const std::string text = m_dir.file("notes.mp3");
  std::ofstream(text) << "These are my notes, not music.\n";
  const std::string folder = m_dir.file("Album.wav");
  fs::create_directory(folder);
  const std::string emptyMp4 = m_dir.file("empty.mp4");
  std::ofstream(emptyMp4).flush();
  const std::string missing = m_dir.file("gone.flac");
  const std::string nine = Copy("nine.wav", "surround.wav");

  AddCounters counters;
  for (const std::string& path : {empty, text, folder, emptyMp4, missing, nine}) {
    m_importer.AddSourceFile(path, counters);
  }
  EXPECT_EQ(counters.added, 0);
  EXPECT_EQ(counters.skipped, 0);
  EXPECT_EQ(m_list.RowCount(), 0);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         FormatText(kNoStats, empty.c_str(), kEmpty),
                         FormatText(kUnsupported, text.c_str()),
                         FormatText(kNoStats, folder.c_str(), kFolder),
                         // Any open failure of an .mp4 other than 41 is reported at once.
                         FormatText(kNoStats, emptyMp4.c_str(), kEmpty),
                         FormatText(kNoStats, missing.c_str(), "No such file or directory"),
                         FormatText("Sorry, but the file you are trying to open:\n\n   %s\nhas an "
                                    "unsupported Channel Count (9).\n\nThe Channel Count needs "
                                    "to be 1 to 8.",
                                    nine.c_str()),
                     }));
  for (const auto& m : m_host.messages) EXPECT_EQ(m.type, MB_OK);
  EXPECT_EQ(m_toolRuns, 0);
}

// Every channel count from 1 to 8 is taken (the refusal of 9 is above).
// A row keeps its file's tags from the add, so naming and tagging its output read nothing
// again; a file changed since (another size or time) is read again before a batch.
TEST_F(ImporterTest, TagsAreKeptFromTheAddAndReadAgainAfterTheFileChanged) {
  const std::string path = m_dir.file("tagged.flac");
  const auto write = [&](const std::string& title) {
    return test::RunFfmpeg("-f lavfi -i sine=duration=0.2 -metadata " +
                           test::Quote("title=" + title) + " -y " + test::Quote(path));
  };
  const auto title = [&] {
    tags::FieldMap fields;
    const QVListItem* item = m_list.Item(0);
    if (!item || !tags::RestoreFields(item->facts.fileTags, fields)) return std::string("(none)");
    return fields["TITLE"].empty() ? std::string() : fields["TITLE"][0];
  };
  ASSERT_TRUE(write("Before"));
  AddCounters counters;
  m_importer.AddSourceFile(path, counters);
  EXPECT_EQ(title(), "Before");
  EXPECT_EQ(m_list.RefreshChangedRows(&ProbeSourceFacts), 0);
  ASSERT_TRUE(write("After!"));
  fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(1));
  EXPECT_EQ(m_list.RefreshChangedRows(&ProbeSourceFacts), 1);
  EXPECT_EQ(title(), "After!");
}

TEST_F(ImporterTest, OneToEightChannelsAreAdded) {
  AddCounters counters;
  for (const int channels : {1, 3, 6, 8}) {
    const std::string path = m_dir.file(std::to_string(channels) + "ch.wav");
    test::WriteTestWav16(path, 44100, channels, 441);
    m_importer.AddSourceFile(path, counters);
    EXPECT_EQ(m_list.CellText(m_list.RowCount() - 1, kColChans), std::to_string(channels));
  }
  EXPECT_EQ(counters.added, 4);
  EXPECT_TRUE(m_host.messages.empty());
}

TEST_F(ImporterTest, UnlistedExtensionsAreIgnoredSilently) {
  AddCounters counters;
  m_importer.AddSourceFile(Copy("short.wav", "readme.txt"), counters);
  m_importer.AddSourceFile(Copy("short.wav", "noextension"), counters);
  EXPECT_FALSE(counters.Any());
  EXPECT_TRUE(m_host.messages.empty());
  EXPECT_EQ(m_list.RowCount(), 0);
}

TEST_F(ImporterTest, DuplicatesAreSkippedUnderEverySpelling) {
  const std::string song = Copy("short.wav", "Song.wav");
  const std::string link = m_dir.file("link to song.wav");
  fs::create_symlink(song, link);
  AddCounters counters;
  m_importer.AddSourceFile(song, counters);
  m_importer.AddSourceFile(song, counters);
  m_importer.AddSourceFile(link, counters);
  m_importer.AddSourceFile(m_dir.str() + "/./Song.wav", counters);
  EXPECT_EQ(counters.added, 1);
  EXPECT_EQ(counters.skipped, 3);
  EXPECT_TRUE(m_host.messages.empty());
  // After a removal the same file is new again.
  m_list.SelectRow(0, true);
  m_list.RemoveSelectedRows();
  m_importer.AddSourceFile(link, counters);
  EXPECT_EQ(counters.added, 2);
  EXPECT_EQ(m_list.GetSourcePath(0), link);
}

TEST_F(ImporterTest, NamesWithShellAndNonAsciiCharactersKeepTheirText) {
  const std::vector<std::string> names = {
      "with blanks.wav", "it's \"quoted\".wav", "$HOME and `date`.wav",
      "Grüße — 音楽.wav", "line\nfeed.wav", "-dash first.wav"};
  AddCounters counters;
  for (const std::string& name : names) m_importer.AddSourceFile(Copy("short.wav", name), counters);
  EXPECT_TRUE(m_host.messages.empty()) << m_host.messages.front().text;
  ASSERT_EQ(counters.added, static_cast<int>(names.size()));
  for (std::size_t i = 0; i < names.size(); ++i) {
    const int row = static_cast<int>(i);
    EXPECT_EQ(m_list.GetSourcePath(row), m_dir.file(names[i]));
    EXPECT_EQ(m_list.CellText(row, kColTitle), names[i].substr(0, names[i].size() - 4));
  }
}

TEST_F(ImporterTest, VideoWithoutExtractionShowsCouldNotImportAndLeavesNoWav) {
  const std::string avi = Copy("short.wav", "clip.avi");
  // An .mp4 whose only stream is video: the audio open fails with 41, so it is taken as video.
  const std::string mp4 = Copy("silent.mp4", "movie.mp4");
  ProbeResult probe;
  EXPECT_FALSE(ProbeAudioFile(mp4, probe));
  EXPECT_EQ(probe.errorCode, BASS_ERROR_FILEFORM);

  // The extraction's tool run writes a 9-channel sound track over the temporary WAV, so the
  // channel refusal must remove it.
  SourceImporter importer(m_host, m_list, [this](const ToolRunRequest& request) {
    ++m_toolRuns;
    fs::copy_file(Shared().Path("nine.wav"), request.outputPath,
                  fs::copy_options::overwrite_existing);
    return kToolEnded;
  });
  AddCounters counters;
  importer.AddSourceFile(avi, counters);
  importer.AddSourceFile(mp4, counters);
  EXPECT_FALSE(counters.Any());
  EXPECT_EQ(m_list.RowCount(), 0);
  ASSERT_GE(m_host.messages.size(), 2u);
  for (const std::string& path : {avi, mp4}) {
    const std::string refused =
        FormatText("Sorry, but the file you are trying to open:\n\n   %s\nhas an "
                   "unsupported Channel Count (9).\n\nThe Channel Count needs to be 1 to 8.",
                   path.c_str());
    const auto texts = Texts();
    const bool reported =
        std::find(texts.begin(), texts.end(), FormatText(kCouldNotImport, path.c_str())) !=
            texts.end() ||
        std::find(texts.begin(), texts.end(), refused) != texts.end();
    EXPECT_TRUE(reported) << path;
  }
  for (const std::string& name : WorkingFolderFiles()) {
    EXPECT_EQ(name.find("qvAudioTemp"), std::string::npos) << name << " was left behind";
  }
}

// A tool that fails (even after writing a whole WAV, as a full disk may leave one), one that
// writes nothing, and a cancel: no row, and no temporary WAV left.
TEST_F(ImporterTest, AFailedExtractionAddsNoRowAndLeavesNoWav) {
  const std::string avi = Copy("short.wav", "clip.avi");
  const struct {
    int result;
    bool writes;
    const char* firstMessage;
  } cases[] = {
      {kToolFailed, true, "The conversion command failed."},
      {kToolEnded, false, "The conversion command failed."},
      {kToolCancelled, true, "Import cancelled."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.result);
    m_host.messages.clear();
    SourceImporter importer(m_host, m_list, [&c](const ToolRunRequest& request) {
      if (c.writes) {
        fs::copy_file(Shared().Path("short.wav"), request.outputPath,
                      fs::copy_options::overwrite_existing);
      }
      return c.result;
    });
    AddCounters counters;
    importer.AddSourceFile(avi, counters);
    EXPECT_FALSE(counters.Any());
    EXPECT_EQ(m_list.RowCount(), 0);
    ASSERT_EQ(m_host.messages.size(), 2u);
    EXPECT_EQ(m_host.messages[0].text.rfind(c.firstMessage, 0), 0u) << m_host.messages[0].text;
    EXPECT_EQ(m_host.messages[1].text, FormatText(kCouldNotImport, avi.c_str()));
    for (const std::string& name : WorkingFolderFiles()) {
      EXPECT_EQ(name.find("qvAudioTemp"), std::string::npos) << name << " was left behind";
    }
  }
}

// Every container the decoder reads is a source, made here by the ffmpeg program: the audio
// ones are probed as rows, the videos go to the extraction. A cover and a log beside them are
// passed by.
TEST_F(ImporterTest, EveryReadableContainerIsAddedByAFolderScan) {
  const std::string tone = "-f lavfi -i sine=frequency=440:duration=1:sample_rate=48000 -ac 2 ";
  const std::string video = "-f lavfi -i testsrc=size=32x32:rate=5 -t 1 " + tone + "-shortest ";
  const struct {
    const char* name;
    std::string args;
    bool isVideo;
  } cases[] = {
      {"a.opus", tone, false},
      {"b.mka", tone + "-c:a flac", false},
      {"c.wv", tone, false},
      {"d.oga", tone + "-c:a flac", false},
      {"e.aif", tone, false},
      {"f.caf", tone, false},
      {"g.m4b", tone + "-c:a aac", false},
      {"h.tta", tone, false},
      {"i.webm", video + "-c:v libvpx -c:a libopus", true},
      {"j.mkv", video + "-c:v mpeg4 -c:a mp2", true},
  };
  const std::string folder = m_dir.file("formats");
  fs::create_directories(folder);
  for (const auto& c : cases) {
    ASSERT_TRUE(test::RunFfmpeg(c.args + " " + test::Quote(folder + "/" + c.name))) << c.name;
  }
  Copy("short.wav", "formats/cover.jpg");
  std::ofstream(folder + "/rip.log") << "log";
  std::ofstream(folder + "/notes.txt") << "notes";
  SourceImporter importer(m_host, m_list, [this](const ToolRunRequest& request) {
    ++m_toolRuns;
    fs::copy_file(Shared().Path("short.wav"), request.outputPath,
                  fs::copy_options::overwrite_existing);
    return kToolEnded;
  });
  const AddCounters counters = importer.ScanFolder(folder);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Added 10 new files, and skipped 0 existing files."}));
  ASSERT_EQ(m_list.RowCount(), static_cast<int>(std::size(cases)));
  EXPECT_EQ(counters.added, m_list.RowCount());
  EXPECT_EQ(m_toolRuns, 2);
  for (int row = 0; row < m_list.RowCount(); ++row) {
    const auto& c = cases[row];
    EXPECT_EQ(m_list.GetSourcePath(row), folder + "/" + c.name);
    EXPECT_EQ(m_list.CellText(row, kColChans), "2") << c.name;
    // The audio rows tell the source's own rate; a video's row the extracted track's.
    EXPECT_EQ(m_list.CellText(row, 4), c.isVideo ? "44,100" : "48,000") << c.name;
  }
}

// A file that lists other files (a concat list, an HLS playlist) is refused whatever its
// name, also a video's, and the file it names is never opened.
TEST_F(ImporterTest, APlaylistUnderAnAudioNameIsRefusedAndWhatItNamesIsNeverOpened) {
  const std::string target = Copy("tone.flac", "target.flac");
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"concat.wav", "ffconcat version 1.0\nfile 'target.flac'\n"},
      {"concat.mp3", "ffconcat version 1.0\nfile target.flac\nfile target.flac\n"},
      {"playlist.flac",
       "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\ntarget.flac\n#EXT-X-ENDLIST\n"},
      // Video names, which would otherwise go to the ffmpeg program's extraction.
      {"concat.mkv", "ffconcat version 1.0\nfile 'target.flac'\n"},
      {"playlist.mp4",
       "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\ntarget.flac\n#EXT-X-ENDLIST\n"},
  };
  const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(watch, 0);
  ASSERT_GE(::inotify_add_watch(watch, target.c_str(), IN_OPEN | IN_ACCESS), 0);
  for (const auto& c : cases) {
    const std::string list = m_dir.file(c.name);
    std::ofstream(list) << c.text;
    m_host.messages.clear();
    AddCounters counters;
    m_importer.AddSourceFile(list, counters);
    EXPECT_EQ(counters.refused, 1) << c.name;
    ASSERT_EQ(m_host.messages.size(), 1u) << c.name;
    const std::string& text = m_host.messages[0].text;
    EXPECT_EQ(text.rfind(FormatText("Can't open the file:\n\n   %s\n\n", list.c_str()), 0), 0u);
    EXPECT_NE(text.find("a playlist or a list of other files"), std::string::npos) << text;
  }
  char events[4096];
  EXPECT_EQ(::read(watch, events, sizeof events), -1) << "the named file was opened";
  ::close(watch);
  EXPECT_EQ(m_list.RowCount(), 0);
}

TEST(OpenFilter, ThreeFiltersFromTheExtensionTable) {
  const std::vector<OpenFilter> filters = BuildOpenFilter();
  ASSERT_EQ(filters.size(), 3u);
  EXPECT_EQ(filters[0].description, "All Openable Files (Audio & Video Files)");
  const std::string audio =
      "*.aac;*.ac3;*.aif;*.aifc;*.aiff;*.amr;*.ape;*.au;*.caf;*.cda;*.dts;*.flac;*.m4a;*.m4b;"
      "*.mka;*.mp1;*.mp2;*.mp3;*.mp4;*.mpc;*.oga;*.ogg;*.opus;*.ra;*.tta;*.w64;*.wav;*.wma;*.wv";
  const std::string video = "*.avi;*.flv;*.m4v;*.mkv;*.mov;*.mp4;*.mpg;*.rm;*.webm;*.wmv";
  EXPECT_EQ(filters[0].patterns, audio + ";" + video + ";*.cue");
  EXPECT_EQ(filters[1].description,
            "Audio Files (aac, ac3, aif, aifc, aiff, amr, ape, au, caf, cda, dts, flac, m4a, m4b, "
            "mka, mp1, mp2, mp3, mp4, mpc, oga, ogg, opus, ra, tta, w64, wav, wma, wv)");
  EXPECT_EQ(filters[1].patterns, audio);
  EXPECT_EQ(filters[2].description,
            "Video Files (avi, flv, m4v, mkv, mov, mp4, mpg, rm, webm, wmv)");
  EXPECT_EQ(filters[2].patterns, video);
}

TEST(AddSummary, SingularOnlyForExactlyOne) {
  EXPECT_EQ(AddSummaryText({1, 1}), "Added 1 new file, and skipped 1 existing file.");
  EXPECT_EQ(AddSummaryText({0, 5}), "Added 0 new files, and skipped 5 existing files.");
  EXPECT_EQ(AddSummaryText({2, 0}), "Added 2 new files, and skipped 0 existing files.");
  EXPECT_EQ(AddingProgressText(1234, 10000), "Adding...  1234 of 10000");
}

TEST(ProgressThrottle, ReportsAtMostOncePerInterval) {
  using namespace std::chrono_literals;
  ProgressThrottle throttle(100ms);
  const auto t0 = ProgressThrottle::Clock::time_point{} + 1h;
  EXPECT_FALSE(throttle.Due(t0));  // the start is no report
  EXPECT_FALSE(throttle.Due(t0 + 99ms));
  EXPECT_TRUE(throttle.Due(t0 + 100ms));
  EXPECT_FALSE(throttle.Due(t0 + 150ms));
  EXPECT_FALSE(throttle.Due(t0 + 199ms));
  EXPECT_TRUE(throttle.Due(t0 + 260ms));
  EXPECT_TRUE(throttle.Due(t0 + 5s));
}

// Cancels from the host's event pump once `list` holds `rows` rows, as a Cancel clicked while
// an add runs would: the add pumps events after every file.
struct CancelAtRows {
  static inline const SourceList* list = nullptr;
  static inline BatchState* state = nullptr;
  static inline int rows = 0;
  static void Pump() {
    if (list && state && list->RowCount() >= rows) state->CancelRequested = 1;
  }
  static void Arm(test::ScriptedHost& host, SourceImporter& importer, const SourceList& watched,
                  BatchState& batch, int at) {
    list = &watched;
    state = &batch;
    rows = at;
    host.onPump = &Pump;
    importer.SetCancelState(batch);
  }
};

class ScanTest : public ImporterTest {
 protected:
  // A folder as a user has it: music, notes, a sub-folder named like a file, a damaged file.
  std::string MakeAlbum() {
    Copy("short.wav", "album/01 intro.wav");
    Copy("tone.flac", "album/02 song.flac");
    Copy("tone.mp3", "album/03 outro.MP3");
    Copy("short.wav", "album/cover.jpg");
    std::ofstream(m_dir.file("album/notes.txt")) << "notes";
    fs::create_directory(m_dir.file("album/bonus.wav"));
    Copy("short.wav", "album/bonus.wav/hidden track.wav");
    std::ofstream(m_dir.file("album/broken.mp3")).flush();
    return m_dir.file("album");
  }
};

TEST_F(ScanTest, AddsSupportedNamesInNameOrderWithOneSummary) {
  const std::string album = MakeAlbum();
  const AddCounters first = m_importer.ScanFolder(album);
  EXPECT_EQ(first.added, 3);
  EXPECT_EQ(first.skipped, 0);
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{
                FormatText(kNoStats, (album + "/bonus.wav").c_str(), kFolder),
                FormatText(kNoStats, (album + "/broken.mp3").c_str(), kEmpty),
                "Added 3 new files, skipped 0 existing files, and 2 could not be added.",
            }));
  ASSERT_EQ(m_list.RowCount(), 3);
  EXPECT_EQ(m_list.GetSourcePath(0), album + "/01 intro.wav");
  EXPECT_EQ(m_list.GetSourcePath(2), album + "/03 outro.MP3");

  m_host.messages.clear();
  const AddCounters again = m_importer.ScanFolder(album + "/");  // a trailing "/" is harmless
  EXPECT_EQ(again.added, 0);
  EXPECT_EQ(again.skipped, 3);
  EXPECT_TRUE(again.Any());
  EXPECT_EQ(m_host.messages.back().text,
            "Added 0 new files, skipped 3 existing files, and 2 could not be added.");
  EXPECT_EQ(m_list.RowCount(), 3);
}

TEST_F(ScanTest, RecursiveScanDescendsIntoSubFolders) {
  const std::string album = MakeAlbum();
  const AddCounters counters = m_importer.ScanFolder(album, true);
  EXPECT_EQ(counters.added, 4);
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         FormatText(kNoStats, (album + "/broken.mp3").c_str(), kEmpty),
                         "Added 4 new files, skipped 0 existing files, and 1 could not be added.",
                     }));
  EXPECT_EQ(m_list.GetSourcePath(3), album + "/bonus.wav/hidden track.wav");
}

TEST_F(ScanTest, FoldersWithNothingToAddSayWhy) {
  fs::create_directory(m_dir.file("texts"));
  std::ofstream(m_dir.file("texts/a.txt")) << "a";
  std::ofstream(m_dir.file("texts/b.doc")) << "b";
  fs::create_directory(m_dir.file("bad"));
  std::ofstream(m_dir.file("bad/x.mp3")) << "not audio";

  EXPECT_FALSE(m_importer.ScanFolder(m_dir.file("texts")).Any());
  EXPECT_FALSE(m_importer.ScanFolder(m_dir.file("bad")).Any());
  EXPECT_FALSE(m_importer.ScanFolder(m_dir.file("no such folder")).Any());
  const std::string bad = m_dir.file("bad");
  EXPECT_EQ(Texts(),
            (std::vector<std::string>{
                "The selected Folder does not contain any supported file types:\n\n   " +
                    m_dir.file("texts"),
                FormatText(kUnsupported, (bad + "/x.mp3").c_str()),
                "The selected Folder does not contain any supported file types:\n\n   " + bad,
                "The chosen Folder is empty.",
            }));
}

TEST_F(ScanTest, DroppedFilesAndFoldersShareOneSummary) {
  const std::string album = MakeAlbum();
  const std::string single = Copy("short.wav", "single.wav");
  const AddCounters counters =
      m_importer.AddPaths({single, album, m_dir.file("album/01 intro.wav"), m_dir.file("x.txt")});
  EXPECT_EQ(counters.added, 4);
  EXPECT_EQ(counters.skipped, 1);
  EXPECT_EQ(m_host.messages.back().text, "Added 4 new files, skipped 1 existing file, and 2 could not be added.");
  EXPECT_EQ(m_list.GetSourcePath(0), single);

  m_host.messages.clear();
  fs::create_directory(m_dir.file("nothing"));
  EXPECT_FALSE(m_importer.AddPaths({m_dir.file("nothing")}).Any());
  EXPECT_EQ(Texts(), (std::vector<std::string>{
                         "The selected Folder does not contain any supported file types:\n\n   " +
                         m_dir.file("nothing")}));
}

// Hidden outputs being written (ours or another instance's) and debris of stopped runs are
// never sources: a scan passes them by, a file named on its own is refused.
TEST_F(ScanTest, OurTemporaryFilesAreNeverSources) {
  Copy("short.wav", "out/song.wav");
  const std::string hidden = Copy("short.wav", "out/" + HiddenOutputPrefix() + "Ab3dE1.wav");
  Copy("tone.mp3", "out/.quorvin-Zz09aB.mp3");
  Copy("short.wav", "out/deeper/.qvtags-Ab3dE1.wav");
  Copy("short.wav", "out/deeper/qvAudioTemp-0123456789ab-Ab3dE1.wav");
  EXPECT_EQ(m_importer.ScanFolder(m_dir.file("out")).added, 1);
  const AddCounters deep = m_importer.ScanFolder(m_dir.file("out"), true);
  EXPECT_EQ(deep.added, 0);
  EXPECT_EQ(deep.skipped, 1);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Added 1 new file, and skipped 0 existing files.",
                                               "Added 0 new files, and skipped 1 existing file."}));
  m_host.messages.clear();
  EXPECT_FALSE(m_importer.AddPaths({hidden}).Any());
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text.rfind(FormatText("Sorry, could not Import:\n\n   %s\n\nThis is "
                                                     "one of Quorvin's temporary files",
                                                     hidden.c_str()),
                                          0),
            0u)
      << m_host.messages[0].text;
  EXPECT_EQ(m_list.RowCount(), 1);
}

TEST_F(ScanTest, ProbingOnSeveralThreadsGivesTheSameRowsMessagesAndCounts) {
  const std::string album = MakeAlbum();
  for (int i = 0; i < 20; ++i) Copy(i % 2 ? "tone.flac" : "tone.mp3", "album/more/" + std::to_string(i) + ".mp3");
  struct Seen {
    std::vector<std::string> rows, messages;
    int added = 0, skipped = 0;
    bool operator==(const Seen&) const = default;
  };
  const auto add = [&](int threads, int stopAfter) {
    test::ScriptedHost host;
    SourceList list;
    SourceImporter importer(host, list, nullptr);
    importer.SetProbeThreads(threads);
    BatchState batch;
    if (stopAfter > 0) CancelAtRows::Arm(host, importer, list, batch, stopAfter);
    AddCounters counters = importer.ScanFolder(album, true);
    const AddCounters again = importer.AddPaths({album + "/02 song.flac", album}, true);
    Seen seen;
    for (int row = 0; row < list.RowCount(); ++row) {
      std::string line = list.GetSourcePath(row);
      for (int column = 0; column < 7; ++column) line += "|" + list.CellText(row, column);
      seen.rows.push_back(line);
    }
    for (const auto& message : host.messages) seen.messages.push_back(message.text);
    seen.added = counters.added + again.added;
    seen.skipped = counters.skipped + again.skipped;
    return seen;
  };
  for (const int stopAfter : {0, 6}) {  // the sixth row is the seventh file
    const Seen one = add(1, stopAfter);
    EXPECT_EQ(add(3, stopAfter), one) << stopAfter;
    EXPECT_EQ(one.added, stopAfter ? 6 : 24);  // one of the first seven is broken
  }
}

TEST_F(ScanTest, AStopRequestEndsTheAddBeforeItsNextFile) {
  const std::string album = MakeAlbum();
  BatchState batch;
  CancelAtRows::Arm(m_host, m_importer, m_list, batch, 1);  // after the first file
  const AddCounters counters = m_importer.ScanFolder(album);
  EXPECT_TRUE(counters.stopped);
  EXPECT_EQ(counters.added, 1);
  EXPECT_EQ(m_list.RowCount(), 1);
  EXPECT_EQ(Texts(), (std::vector<std::string>{"Added 1 new file, and skipped 0 existing files."}));
  // Stopped before anything was added: nothing to say, not even that nothing was found.
  m_host.onPump = nullptr;
  batch.CancelRequested = 1;  // the add never clears it
  EXPECT_TRUE(m_importer.AddPaths({album}).stopped);
  EXPECT_EQ(m_host.messages.size(), 1u);
}

TEST_F(ScanTest, ProgressIsReportedAtMostOncePerInterval) {
  // Each message box takes 30 ms here (a person would take longer), so the add lasts past two
  // intervals.
  struct SlowHost : test::ScriptedHost {
    int ShowMessageBox(const std::string& text, unsigned type) override {
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
      while (std::chrono::steady_clock::now() < until) {
      }
      return ScriptedHost::ShowMessageBox(text, type);
    }
  } slow;
  std::vector<std::string> paths;
  for (int i = 0; i < 8; ++i) {
    const std::string path = m_dir.file("empty" + std::to_string(i) + ".wav");
    std::ofstream(path).flush();
    paths.push_back(path);
  }
  std::vector<std::pair<int, int>> reports;
  SourceImporter importer(slow, m_list, nullptr,
                          [&](int done, int total) { reports.emplace_back(done, total); });
  AddCounters counters;
  const auto start = std::chrono::steady_clock::now();
  importer.AddFiles(paths, counters);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(slow.messages.size(), 8u);
  ASSERT_GE(reports.size(), 1u);
  EXPECT_LE(static_cast<long>(reports.size()),
            std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count() / 100);
  int previous = 0;
  for (const auto& [done, total] : reports) {
    EXPECT_GT(done, previous);
    EXPECT_LT(done, 8);  // the end is no progress report: the caller shows "Ready."
    EXPECT_EQ(total, 8);
    previous = done;
  }
}

}  // namespace
}  // namespace qv
