// The options dialog: validation order, focus on the failing edit, what is written and what is
// not (after a failure or Cancel).
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <fstream>

#include "app/inifile.h"
#include "app/settings.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"
#include "ui/cqvdefaultfilelocationsdlg.h"
#include "ui/cquorvindlg.h"
#include "ui/qvlistctrl.h"
#include "audio/audiotestutil.h"

namespace qv {
namespace {

class OptionsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Settings() = AppSettings();
    Settings().ConfigFilePath = m_dir.file("Quorvin1.ini");
    std::ofstream(Settings().ConfigFilePath) << "[Quorvin 1]\nFFMpegExe=/usr/bin/ffmpeg\n";
    std::filesystem::create_directory(m_dir.file("music"));
  }
  void TearDown() override { Settings() = AppSettings(); }
  std::string Key(const char* key) {
    return ReadProfileString(Settings().ConfigFilePath, kConfigSection, key, "<absent>");
  }
  test::TempDir m_dir;
  test::ScriptedHost m_host;
};

TEST_F(OptionsDialogTest, FirstInvalidFolderIsReportedAndNothingIsWritten) {
  CQVDefaultFileLocationsDlg dialog(nullptr, m_host, nullptr, nullptr);
  dialog.Edit(LocationField::SourceFile)->setText(QString::fromStdString(m_dir.file("gone")));
  dialog.Edit(LocationField::SourceFolder)->setText(QString::fromStdString(m_dir.file("music")));
  dialog.Edit(LocationField::Destination)->setText(QStringLiteral("   "));
  dialog.accept();
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text.rfind("The chosen Source File path was not found", 0), 0u);
  dialog.Edit(LocationField::SourceFile)->setText(QString::fromStdString(m_dir.file("music")));
  dialog.accept();
  ASSERT_EQ(m_host.messages.size(), 2u);
  EXPECT_EQ(m_host.messages[1].text.rfind("The chosen Destination File path was not found", 0),
            0u);
  EXPECT_EQ(Key("SourceFilePath"), "<absent>");
  EXPECT_EQ(Key("autoplayonopen"), "<absent>");
}

TEST_F(OptionsDialogTest, OkWritesTrimmedTextsAndAutoPlay) {
  CQVDefaultFileLocationsDlg dialog(nullptr, m_host, nullptr, nullptr);
  const QString music = QString::fromStdString(m_dir.file("music"));
  dialog.Edit(LocationField::SourceFile)->setText(QStringLiteral("  ") + music + QStringLiteral("/ "));
  dialog.Edit(LocationField::SourceFolder)->setText(music);
  dialog.Edit(LocationField::Destination)->setText(QStringLiteral("/"));
  dialog.AutoPlayBox()->setChecked(false);
  dialog.accept();
  EXPECT_TRUE(m_host.messages.empty());
  EXPECT_EQ(Key("SourceFilePath"), m_dir.file("music") + "/");
  EXPECT_EQ(Key("SourceFolderPath"), m_dir.file("music"));
  EXPECT_EQ(Key("DestinationFolderPath"), "/");
  EXPECT_EQ(Key("autoplayonopen"), "0");
  EXPECT_EQ(Settings().AutoPlayOnOpen, 0);
  EXPECT_EQ(Key("FFMpegExe"), "/usr/bin/ffmpeg");
}

TEST_F(OptionsDialogTest, FilesAtOnceIsAWholeNumberOrEmpty) {
  CQVDefaultFileLocationsDlg dialog(nullptr, m_host, nullptr, nullptr);
  const QString music = QString::fromStdString(m_dir.file("music"));
  for (LocationField field :
       {LocationField::SourceFile, LocationField::SourceFolder, LocationField::Destination}) {
    dialog.Edit(field)->setText(music);
  }
  // Refused whole, with the focus back in the field and nothing written.
  for (const char* text : {"0", "65", "-1", "2.5", "two", "1 2"}) {
    dialog.JobsEdit()->setText(QString::fromUtf8(text));
    dialog.accept();
    ASSERT_FALSE(m_host.messages.empty()) << text;
    EXPECT_EQ(m_host.messages.back().text.rfind("Files at once must be a whole number", 0), 0u);
    EXPECT_EQ(Key("jobs"), "<absent>") << text;
  }
  const size_t refusals = m_host.messages.size();
  dialog.JobsEdit()->setText(QStringLiteral(" 3 "));
  dialog.accept();
  EXPECT_EQ(m_host.messages.size(), refusals);
  EXPECT_EQ(Key("jobs"), "3");
  EXPECT_EQ(Settings().Jobs, 3);
  dialog.JobsEdit()->clear();  // empty: one file per core
  dialog.accept();
  EXPECT_EQ(Key("jobs"), "");
  EXPECT_EQ(Settings().Jobs, 0);
  EXPECT_EQ(ParseJobsText("64"), 64);
  EXPECT_EQ(ParseJobsText("007"), -1);
}

TEST_F(OptionsDialogTest, CancelWritesNothing) {
  CQVDefaultFileLocationsDlg dialog(nullptr, m_host, nullptr, nullptr);
  dialog.Edit(LocationField::SourceFile)->setText(QString::fromStdString(m_dir.file("music")));
  dialog.AutoPlayBox()->setChecked(false);
  dialog.CancelButton()->click();
  EXPECT_EQ(Key("SourceFilePath"), "<absent>");
  EXPECT_EQ(Settings().AutoPlayOnOpen, 1);
}

TEST(ListDrop, FilesAndAFolderDroppedOnTheListAreAddedWithOneSummary) {
  test::TempDir dir;
  test::ScriptedHost host;
  std::filesystem::create_directory(dir.file("album"));
  test::WriteTestWav16(dir.file("single.wav"), 44100, 2, 441);
  test::WriteTestWav16(dir.file("album/a.wav"), 44100, 1, 441);
  test::WriteTestWav16(dir.file("album/b.wav"), 44100, 1, 441);
  MainWindowServices services;
  services.startAudio = [](BatchHost*) { return true; };
  services.messageHost = &host;
  CQuorvinDlg window(services);
  ASSERT_EQ(window.OnInitDialog(), 1);
  window.show();
  QVListCtrl* list = window.ListControl();
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.file("single.wav"))),
                QUrl::fromLocalFile(QString::fromStdString(dir.file("album")))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &drop);
  EXPECT_TRUE(drop.isAccepted());
  QCoreApplication::processEvents();
  EXPECT_EQ(window.Model().List().RowCount(), 3);
  ASSERT_FALSE(host.messages.empty());
  EXPECT_EQ(host.messages.back().text, "Added 3 new files, and skipped 0 existing files.");
  EXPECT_EQ(window.Host().StatusText(), "Ready.");

  // During a batch the list takes no drop.
  window.Model().Batch().BatchInProgress = 1;
  QDropEvent refused(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(list->viewport(), &refused);
  QCoreApplication::processEvents();
  EXPECT_FALSE(refused.isAccepted());
  EXPECT_EQ(window.Model().List().RowCount(), 3);
  window.Model().Batch().BatchInProgress = 0;
}

}  // namespace
}  // namespace qv
