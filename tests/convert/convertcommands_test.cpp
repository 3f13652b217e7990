// The main window's conversion commands, driven headless: the bitrate list follows the format
// list, keeps its choice across a batch, and Convert runs the batch from the controls' values.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QUrl>
#include <algorithm>
#include <filesystem>

#include "app/settings.h"
#include "audio/bass.h"
#include "converttestutil.h"
#include "model/controlids.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"
#include "ui/cquorvindlg.h"

namespace qv::test {
namespace {

std::vector<std::string> Texts(QComboBox* combo) {
  std::vector<std::string> texts;
  for (int i = 0; i < combo->count(); ++i) texts.push_back(combo->itemText(i).toStdString());
  return texts;
}

class ConvertCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MainWindowServices services;
    services.startAudio = [](BatchHost*) { return true; };
    services.messageHost = &m_host;
    services.openUrl = [this](const QUrl& url) {
      m_opened.push_back(url.toLocalFile().toStdString());
      return true;
    };
    m_window = std::make_unique<CQuorvinDlg>(services);
    ASSERT_EQ(m_window->OnInitDialog(), 1);
    m_format = static_cast<QComboBox*>(m_window->Control(kIdFormatList));
    m_bitrate = static_cast<QComboBox*>(m_window->Control(kIdBitrateList));
  }
  void TearDown() override { m_window.reset(); }
  void ChooseFormat(const char* text) { m_format->setCurrentText(QString::fromLatin1(text)); }
  std::string Bitrate() const { return m_bitrate->currentText().toStdString(); }

  ScriptedHost m_host;
  std::unique_ptr<CQuorvinDlg> m_window;
  QComboBox* m_format = nullptr;
  QComboBox* m_bitrate = nullptr;
  std::vector<std::string> m_opened;
};

TEST_F(ConvertCommandsTest, TheBitrateListFollowsTheFormat) {
  EXPECT_EQ(m_format->currentText(), QStringLiteral("WAV"));
  EXPECT_EQ(m_bitrate->count(), 0);
  EXPECT_FALSE(m_bitrate->isEnabled());
  EXPECT_FALSE(m_window->Control(kIdBitrateLabel)->isHidden());

  ChooseFormat("MP3");
  EXPECT_TRUE(m_bitrate->isEnabled());
  EXPECT_EQ(Texts(m_bitrate), (std::vector<std::string>{"320 kbps", "256 kbps", "224 kbps",
                                                        "192 kbps", "160 kbps", "128 kbps",
                                                        "112 kbps", "96 kbps"}));
  EXPECT_EQ(Bitrate(), "192 kbps");
  m_bitrate->setCurrentIndex(0);
  ChooseFormat("AAC");
  EXPECT_EQ(m_bitrate->count(), 7);
  EXPECT_EQ(Bitrate(), "194 kbps");  // each format starts at its own default
  ChooseFormat("MP3");
  EXPECT_EQ(Bitrate(), "192 kbps");
  ChooseFormat("WMA");
  EXPECT_EQ(Bitrate(), "192 kbps");
  EXPECT_EQ(m_bitrate->currentData().toUInt(), 192000u);
  ChooseFormat("FLAC");  // compression levels in the bitrates' place
  EXPECT_TRUE(m_bitrate->isEnabled());
  EXPECT_EQ(m_bitrate->count(), 9);
  EXPECT_EQ(Bitrate(), "Level 5");
  ChooseFormat("OPUS");
  EXPECT_EQ(m_bitrate->count(), 7);
  EXPECT_EQ(Bitrate(), "128 kbps");
  ChooseFormat("OGG");
  EXPECT_EQ(m_bitrate->count(), 7);
  EXPECT_EQ(Bitrate(), "192 kbps");
  ChooseFormat("WAV");
  EXPECT_EQ(m_bitrate->count(), 0);
  EXPECT_FALSE(m_bitrate->isEnabled());
  EXPECT_FALSE(m_window->Control(kIdBitrateLabel)->isHidden());
  // The format list: the six of old, then the three the converter writes in-process.
  std::vector<std::string> formats;
  for (int i = 0; i < m_format->count(); ++i) {
    formats.push_back(m_format->itemText(i).toStdString());
  }
  EXPECT_EQ(formats, (std::vector<std::string>{"WAV", "MP3", "AAC", "MP4", "M4A", "WMA", "FLAC",
                                               "OPUS", "OGG"}));
}

TEST_F(ConvertCommandsTest, AfterABatchTheChosenBitrateStays) {
  ChooseFormat("M4A");
  m_bitrate->setCurrentIndex(5);
  m_window->Host().SetBatchControls(false);
  EXPECT_FALSE(m_bitrate->isEnabled());
  m_window->Host().SetBatchControls(true);
  EXPECT_TRUE(m_bitrate->isEnabled());
  EXPECT_EQ(Bitrate(), "79 kbps");
}

TEST_F(ConvertCommandsTest, ConvertReadsTheControlsAndClearsNormalization) {
  TempDir dir;
  const std::string source = dir.file("tone.wav");
  WriteTestWav16(source, 44100, 2, 44100);
  std::filesystem::create_directory(dir.file("out"));
  auto* destinations = static_cast<QComboBox*>(m_window->Control(kIdDestinationList));
  destinations->insertItem(0, QString::fromStdString(dir.file("out")));
  destinations->setCurrentIndex(0);
  Settings().LogFilePath = dir.file("QV_Log.txt");
  Settings().FaacPath = Qvfaac();
  m_window->Model().List().AddRow("tone.wav", "wav", "0.168", "1411", "44,100", "16 Bit", "2",
                                  source, "", false);
  m_window->Model().List().Item(0)->SetLoudness(89.0, 0.0, 1000.0, 0);  // measured: gain 1
  m_window->Model().SetNormalizationEnabled(true);
  ChooseFormat("MP3");
  m_bitrate->setCurrentText(QStringLiteral("128 kbps"));

  m_window->OnConvert();
  EXPECT_TRUE(m_host.messages.empty()) << m_host.messages[0].text;
  const Decoded d = DecodeFile(dir.file("out/tone.mp3"));
  ASSERT_NE(d.handle, 0u);
  // 128 kbit/s: about 16 000 bytes for the second of audio.
  EXPECT_NEAR(static_cast<double>(std::filesystem::file_size(dir.file("out/tone.mp3"))), 16000,
              3000);
  EXPECT_FALSE(m_window->Model().NormalizationEnabled());
  EXPECT_EQ(m_window->Host().StatusText(), "Converted 1 of 1 file in 0:00.");
  EXPECT_TRUE(m_window->Model().List().IsSelected(0));
  EXPECT_TRUE(m_window->Control(kIdConvert1)->isEnabled());

  // An empty list stops before the batch: normalization stays on.
  m_window->Model().List().RemoveAllRows();
  m_window->Model().SetNormalizationEnabled(true);
  m_window->OnConvert();
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_TRUE(m_window->Model().NormalizationEnabled());
}

TEST_F(ConvertCommandsTest, OneOrTwoFilesAtOnceGiveTheSameOutputsLogAndSelection) {
  TempDir dir;
  WriteTestWav16(dir.file("a.wav"), 44100, 2, 44100 * 3);
  WriteTestWav16(dir.file("b.wav"), 44100, 1, 44100 * 2);
  WriteTextFile(dir.file("bad.wav"), "not audio at all, only text that pretends to be a WAV");
  std::filesystem::create_directory(dir.file("other"));
  WriteTestWav16(dir.file("other/a.wav"), 22050, 2, 22050 * 2);  // wants a's name
  Settings().FaacPath = Qvfaac();
  ChooseFormat("M4A");
  struct Run {
    std::string log;
    std::vector<std::pair<std::string, std::uintmax_t>> files;
    std::vector<bool> selected;
  };
  const auto run = [&](int jobs) {
    const std::string out = dir.file("out" + std::to_string(jobs));
    std::filesystem::create_directory(out);
    auto* destinations = static_cast<QComboBox*>(m_window->Control(kIdDestinationList));
    destinations->insertItem(0, QString::fromStdString(out));
    destinations->setCurrentIndex(0);
    Settings().LogFilePath = dir.file("QV_Log" + std::to_string(jobs) + ".txt");
    Settings().Jobs = jobs;
    SourceList& list = m_window->Model().List();
    list.RemoveAllRows();
    for (const char* name : {"a.wav", "bad.wav", "b.wav", "other/a.wav"}) {
      list.AddRow(name, "wav", "1.000", "1411", "44,100", "16 Bit", "2", dir.file(name), "",
                  false);
    }
    m_window->OnConvert();
    Run result;
    std::string log = ReadBytes(Settings().LogFilePath);
    for (size_t at = log.find(out); at != std::string::npos; at = log.find(out, at)) {
      log.replace(at, out.size(), "OUT");
    }
    result.log = log;
    for (const auto& entry : std::filesystem::directory_iterator(out)) {
      result.files.emplace_back(entry.path().filename().string(), entry.file_size());
    }
    std::sort(result.files.begin(), result.files.end());
    for (int row = 0; row < list.RowCount(); ++row) result.selected.push_back(list.IsSelected(row));
    return result;
  };
  const Run one = run(1);
  const Run two = run(2);
  Settings().Jobs = 0;
  EXPECT_EQ(one.log, two.log);
  EXPECT_EQ(one.files, two.files);
  EXPECT_EQ(one.selected, two.selected);
  EXPECT_EQ(one.selected, (std::vector<bool>{true, false, true, true}));
  ASSERT_EQ(one.files.size(), 3u);
  EXPECT_EQ(one.files[0].first, "a-COPY000001.m4a");
  EXPECT_EQ(m_window->Host().StatusText().rfind("Converted 3 of 4 files (1 failed) in ", 0), 0u);
}

}  // namespace
}  // namespace qv::test
