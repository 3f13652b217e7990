// The tool progress window over a run of the stand-in tool: its five controls and texts, the
// bar and seconds line while the tool runs, and Cancel by the button and by Escape.

#include "ui/qvimportprogressdlg.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>

#include "app/paths.h"
#include "app/settings.h"
#include "support/tempdir.h"
#include "tools/extract.h"
#include "tools/tooltestutil.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;

// Records what the window shows at the first progress line, then does `atFirstProgress`.
class WatchedDialog : public QVImportProgressDlg {
 public:
  using QVImportProgressDlg::QVImportProgressDlg;

  void SetProgress(int position) override {
    QVImportProgressDlg::SetProgress(position);
    if (position == 0 || m_seen) return;
    m_seen = true;
    visibleWhileRunning = isVisible();
    modal = windowModality() == Qt::ApplicationModal;
    firstValue = static_cast<QProgressBar*>(Control(kIdProgress))->value();
    if (atFirstProgress) atFirstProgress(*this);
  }
  // The seconds line is set just after the bar: note it then.
  void SetProgressText(const std::string& text) override {
    QVImportProgressDlg::SetProgressText(text);
    if (firstText.empty()) firstText = text;
  }

  std::function<void(WatchedDialog&)> atFirstProgress;
  bool visibleWhileRunning = false;
  bool modal = false;
  int firstValue = -1;
  std::string firstText;

 private:
  bool m_seen = false;
};

class ProgressDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_saved = Settings();
    fs::copy_file(QV_FAKE_FFMPEG, m_dir.file("ffmpeg"));
    fs::permissions(m_dir.file("ffmpeg"), fs::perms::owner_all);
    Settings().FfmpegPath = m_dir.file("ffmpeg");
    m_request.cancel = &m_cancel;
    ASSERT_TRUE(GetWorkingFolder(m_work));
    m_request.title = "Extracting Audio From Video";
    m_request.caption = "Importing:";
    m_request.inputPath = m_dir.file("in.mp4");
    m_request.subject = "\"" + m_request.inputPath + "\" to Temp File";
    m_request.outputPath = m_dir.file("out.wav");
    m_request.scriptName = kExtractScriptName;
    std::ofstream(m_request.inputPath) << "video";
  }
  void TearDown() override {
    Settings() = m_saved;
  }

  QString Text(WatchedDialog& dialog, int id) {
    return static_cast<QLabel*>(dialog.Control(id))->text();
  }

  TempDir m_dir;
  ScopedEnv m_tmpdir{"TMPDIR", m_dir.str()};
  std::string m_work;
  AppSettings m_saved;
  ToolRunRequest m_request;
  std::atomic<int> m_cancel{0};  // the add's cancel flag
};

TEST_F(ProgressDialogTest, ShowsTheRunAndEndsWithOneWhenTheToolEnds) {
  ScopedEnv times("FAKE_TIMES", "00:01:30.50 00:03:05.00");
  WatchedDialog dialog(m_request, nullptr);
  EXPECT_EQ(Text(dialog, QVImportProgressDlg::kIdCaption), QStringLiteral("Downloading:"));
  EXPECT_EQ(static_cast<QPushButton*>(dialog.Control(QVImportProgressDlg::kIdCancel))->text(),
            QStringLiteral("Cancel"));
  EXPECT_EQ(dialog.size(), QSize(588, 141));  // 392 by 87 dialog units

  EXPECT_EQ(dialog.RunModal(), kToolEnded);
  EXPECT_TRUE(dialog.visibleWhileRunning);
  EXPECT_TRUE(dialog.modal);
  EXPECT_FALSE(dialog.isVisible());
  EXPECT_EQ(dialog.firstValue, 5027);
  EXPECT_EQ(dialog.firstText, "90.5 of 180.0 Seconds");
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Extracting Audio From Video"));
  EXPECT_EQ(Text(dialog, QVImportProgressDlg::kIdCaption), QStringLiteral("Importing:"));
  EXPECT_EQ(dialog.Control(QVImportProgressDlg::kIdSubject)->toolTip().toStdString(),
            m_request.subject);
  // A time beyond the duration: a full bar and the larger time.
  EXPECT_EQ(static_cast<QProgressBar*>(dialog.Control(QVImportProgressDlg::kIdProgress))->value(),
            10000);
  EXPECT_EQ(Text(dialog, QVImportProgressDlg::kIdSeconds),
            QStringLiteral("185.0 of 180.0 Seconds"));
  EXPECT_TRUE(FileExistsNonEmpty(m_request.outputPath));
}

TEST_F(ProgressDialogTest, CancelByTheButtonOrByEscapeEndsWithZeroAndNoOutput) {
  ScopedEnv mode("FAKE_MODE", "hang");
  for (const bool escape : {false, true}) {
    SCOPED_TRACE(escape ? "Escape" : "button");
    WatchedDialog dialog(m_request, nullptr);
    dialog.atFirstProgress = [escape](WatchedDialog& d) {
      if (escape) QTest::keyClick(&d, Qt::Key_Escape);
      else static_cast<QPushButton*>(d.Control(QVImportProgressDlg::kIdCancel))->click();
    };
    EXPECT_EQ(dialog.RunModal(), kToolCancelled);
    EXPECT_EQ(dialog.firstValue, 5027);
    EXPECT_FALSE(fs::exists(m_request.outputPath));
    EXPECT_EQ(m_cancel.exchange(0), 1);  // raised for the add, which stops too
  }
}

}  // namespace
}  // namespace qv::test
