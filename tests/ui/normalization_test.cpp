// The normalization dialog and its edits, driven headless with real key presses and clicks:
// checking on every change, the beep and the restored text, the first-click selection, Escape
// doing nothing and Return pressing OK, Cancel and the close box; then the main window around it: live retargeting
// of the rows, the settings after OK and Cancel, and the Calculate Loudness option running the
// batch.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "app/paths.h"
#include "app/settings.h"
#include "audio/bass.h"
#include "loudness/loudness.h"
#include "model/controlids.h"
#include "model/listcolumns.h"
#include "ui/cquorvindlg.h"
#include "ui/cqvnormalizationdlg.h"
#include "ui/qvnvedit.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

QStringList Texts(const QSignalSpy& spy) {
  QStringList out;
  for (const QList<QVariant>& call : spy) out << call.at(0).toString();
  return out;
}

class NormalizationDialogTest : public ::testing::Test {
 protected:
  void Open(double target = 89.0, bool apply = false) {
    m_dialog = std::make_unique<CQVNormalizationDlg>(target, apply, nullptr, m_host);
    m_changes = std::make_unique<QSignalSpy>(m_dialog.get(), &CQVNormalizationDlg::TargetChanged);
    m_refusals = std::make_unique<QSignalSpy>(m_dialog->Edit(), &QVNVEdit::Refused);
    m_dialog->OnInitDialog();
    m_dialog->show();
    m_dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_dialog.get()));
  }
  QString Text() const { return m_dialog->Edit()->text(); }
  bool AllSelected() const {
    return !Text().isEmpty() && m_dialog->Edit()->selectedText() == Text();
  }
  void Type(const char* keys) { QTest::keyClicks(m_dialog->Edit(), QString::fromLatin1(keys)); }
  void SelectAllAndType(const char* keys) {
    m_dialog->Edit()->selectAll();
    Type(keys);
  }

  test::ScriptedHost m_host;
  std::unique_ptr<CQVNormalizationDlg> m_dialog;
  std::unique_ptr<QSignalSpy> m_changes;
  std::unique_ptr<QSignalSpy> m_refusals;
};

TEST_F(NormalizationDialogTest, StartsWithTheTargetAndAnnouncesIt) {
  Open();
  EXPECT_EQ(m_dialog->windowTitle(), QStringLiteral("Normalization"));
  EXPECT_EQ(Text(), QStringLiteral("89.0"));
  EXPECT_FALSE(m_dialog->ApplyBox()->isChecked());
  EXPECT_EQ(Texts(*m_changes), QStringList{QStringLiteral("89.0")});
  EXPECT_TRUE(m_dialog->OkButton()->isDefault());
  m_dialog->OnCancel();

  Open(92.25, true);
  EXPECT_EQ(Text(), QStringLiteral("92.2"));  // one decimal, as printf rounds it
  EXPECT_TRUE(m_dialog->ApplyBox()->isChecked());
}

TEST_F(NormalizationDialogTest, TypingOverTheTargetAnnouncesEveryStep) {
  Open();
  SelectAllAndType("92");
  EXPECT_EQ(Texts(*m_changes), (QStringList{QStringLiteral("89.0"), QStringLiteral("9"),
                                            QStringLiteral("92")}));
  EXPECT_EQ(m_refusals->count(), 0);
  QTest::mouseClick(m_dialog->OkButton(), Qt::LeftButton);
  EXPECT_EQ(m_dialog->result(), QDialog::Accepted);
  EXPECT_EQ(m_dialog->Target(), 92.0);
  EXPECT_FALSE(m_dialog->ApplyFlag());
  EXPECT_TRUE(m_host.messages.empty());  // no confirmation without the box
}

TEST_F(NormalizationDialogTest, InvalidKeysBeepAndRestoreTheLastValidText) {
  Open();
  m_dialog->Edit()->setCursorPosition(4);
  for (const char* key : {"a", " ", ".", "-", "e"}) {
    const int before = m_refusals->count();
    Type(key);
    EXPECT_EQ(m_refusals->count(), before + 1) << key;
    EXPECT_EQ(Text(), QStringLiteral("89.0")) << key;
    EXPECT_TRUE(AllSelected()) << key;
    m_dialog->Edit()->setCursorPosition(4);
  }
  EXPECT_EQ(Texts(*m_changes), QStringList{QStringLiteral("89.0")});  // nothing announced
  // A paste is a change like a key press.
  m_dialog->Edit()->selectAll();
  m_dialog->Edit()->insert(QStringLiteral("12abc"));
  EXPECT_EQ(Text(), QStringLiteral("89.0"));
}

TEST_F(NormalizationDialogTest, TheRangeEndsAtZeroAndTwoHundred) {
  Open();
  SelectAllAndType("250");
  EXPECT_EQ(Texts(*m_changes).mid(1), (QStringList{QStringLiteral("2"), QStringLiteral("25")}));
  EXPECT_EQ(m_refusals->count(), 1);
  EXPECT_EQ(Text(), QStringLiteral("25"));
  EXPECT_TRUE(AllSelected());

  SelectAllAndType("200");
  EXPECT_EQ(Text(), QStringLiteral("200"));
  Type(".");
  EXPECT_EQ(Text(), QStringLiteral("200."));  // 200.0 is still in range
  Type("1");
  EXPECT_EQ(Text(), QStringLiteral("200."));  // 200.1 is not

  // "-", "." and the empty text are valid and mean 0.0; "-1" is below the range.
  SelectAllAndType("-");
  EXPECT_EQ(Text(), QStringLiteral("-"));
  Type("1");
  EXPECT_EQ(Text(), QStringLiteral("-"));
  SelectAllAndType(".");
  EXPECT_EQ(Text(), QStringLiteral("."));
  m_dialog->Edit()->selectAll();
  QTest::keyClick(m_dialog->Edit(), Qt::Key_Backspace);
  EXPECT_EQ(Text(), QString());
  EXPECT_EQ(Texts(*m_changes).back(), QString());
  // OK refuses what is only the beginning of a number instead of reading it as 0.0.
  QTest::mouseClick(m_dialog->OkButton(), Qt::LeftButton);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text, "Please enter a Target Volume from 0.0 to 200.0, thanks.");
  EXPECT_EQ(m_dialog->Target(), 89.0);
  EXPECT_TRUE(m_dialog->isVisible());
}

TEST_F(NormalizationDialogTest, FirstClickSelectsAllLaterClicksPlaceTheCaret) {
  Open();
  m_dialog->ApplyBox()->setFocus();
  QApplication::processEvents();
  ASSERT_FALSE(m_dialog->Edit()->hasFocus());
  QTest::mouseClick(m_dialog->Edit(), Qt::LeftButton, {}, QPoint(3, 5));
  EXPECT_TRUE(AllSelected());
  QTest::mouseClick(m_dialog->Edit(), Qt::LeftButton, {}, QPoint(3, 5));
  EXPECT_FALSE(m_dialog->Edit()->hasSelectedText());
  // After the focus has left and come back, the first click selects everything again.
  m_dialog->ApplyBox()->setFocus();
  QApplication::processEvents();
  QTest::mouseClick(m_dialog->Edit(), Qt::LeftButton, {}, QPoint(3, 5));
  EXPECT_TRUE(AllSelected());
}

TEST_F(NormalizationDialogTest, EscapeDoesNothingAndReturnPressesOk) {
  Open();
  for (QWidget* target : {static_cast<QWidget*>(m_dialog->Edit()),
                          static_cast<QWidget*>(m_dialog->OkButton()),
                          static_cast<QWidget*>(m_dialog->CancelButton()),
                          static_cast<QWidget*>(m_dialog.get())}) {
    target->setFocus();
    QTest::keyClick(target, Qt::Key_Escape);
    EXPECT_TRUE(m_dialog->isVisible());
  }
  EXPECT_EQ(m_changes->count(), 1);  // not even Cancel's announcement
  EXPECT_TRUE(m_host.messages.empty());
  for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
    Open();
    SelectAllAndType("92");
    QTest::keyClick(m_dialog->Edit(), key);
    EXPECT_EQ(m_dialog->result(), QDialog::Accepted) << key;
    EXPECT_EQ(m_dialog->Target(), 92.0);
  }
}

TEST_F(NormalizationDialogTest, CancelAndTheCloseBoxAnnounceTheStartingTarget) {
  Open(90.5, true);
  SelectAllAndType("95");
  QTest::mouseClick(m_dialog->CancelButton(), Qt::LeftButton);
  EXPECT_EQ(m_dialog->result(), QDialog::Rejected);
  EXPECT_EQ(Texts(*m_changes).back(), QStringLiteral("90.5"));
  EXPECT_EQ(m_dialog->Target(), 90.5);

  Open(89.0, false);
  SelectAllAndType("70");
  m_dialog->close();
  EXPECT_FALSE(m_dialog->isVisible());
  EXPECT_EQ(m_dialog->result(), QDialog::Rejected);
  EXPECT_EQ(Texts(*m_changes).back(), QStringLiteral("89.0"));
}

TEST_F(NormalizationDialogTest, OkWithTheBoxConfirmsOnce) {
  Open();
  QTest::mouseClick(m_dialog->ApplyBox(), Qt::LeftButton);
  QTest::mouseClick(m_dialog->OkButton(), Qt::LeftButton);
  EXPECT_TRUE(m_dialog->ApplyFlag());
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text,
            "Volume Normalization will be applied (to the files with Calculate Loudness data). "
            "Please note that after a conversion, it will be turned off again.");
  EXPECT_EQ(m_host.messages[0].type, unsigned{MB_OK});
}

// ---- the main window around the dialog

bool MakeTone(const std::string& path, double amplitude) {
  const std::string command = std::string(QV_FFMPEG) +
                              " -hide_banner -nostdin -loglevel error -y -f lavfi -i \"aevalsrc=" +
                              std::to_string(amplitude) + "*sin(2*PI*1000*t):s=44100:d=2\" " +
                              ShellQuote(path);
  return std::system(command.c_str()) == 0;
}

class NormalizationWindowTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { BASS_Free(); }

  void SetUp() override {
    BASS_Init(-1, 44100, 0, nullptr, nullptr);
    Settings().LogFilePath = m_dir.file("QV_Log.txt");
    MainWindowServices services;
    services.startAudio = [](BatchHost*) { return true; };
    services.messageHost = &m_host;
    services.browseForFolder = [](QWidget*, BatchHost*, const std::string&, const std::string&) {
      return std::string();
    };
    services.openUrl = [](const QUrl&) { return true; };
    m_window = std::make_unique<CQuorvinDlg>(services);
    ASSERT_EQ(m_window->OnInitDialog(), 1);
  }
  void TearDown() override {
    m_window.reset();
    Settings().Jobs = 0;
  }

  SourceList& List() { return m_window->Model().List(); }
  void AddTone(const std::string& name, double amplitude) {
    const std::string path = m_dir.file(name);
    ASSERT_TRUE(MakeTone(path, amplitude));
    List().AddRow(name, "wav", "0.168", "705", "44,100", "16 Bit", "1", path, "", false);
  }
  void Click(int id) {
    QTest::mouseClick(m_window->Control(id), Qt::LeftButton, {}, QPoint(5, 5));
  }
  // Runs `inside` with the modal normalization dialog once it is open.
  void WithDialog(std::function<void(CQVNormalizationDlg&)> inside) {
    QTimer::singleShot(0, [inside] {
      auto* dialog = qobject_cast<CQVNormalizationDlg*>(QApplication::activeModalWidget());
      ASSERT_NE(dialog, nullptr);
      inside(*dialog);
    });
  }

  test::TempDir m_dir;
  test::ScriptedHost m_host;
  std::unique_ptr<CQuorvinDlg> m_window;
};

TEST_F(NormalizationWindowTest, CalculateLoudnessRunsTheBatchAtOnce) {
  AddTone("a.wav", 0.5);
  AddTone("b.wav", 0.05);
  m_host.answers = {IDYES};
  Click(kIdLoudnessOff);
  EXPECT_TRUE(m_window->CalculateLoudness());
  ASSERT_EQ(m_host.messages.size(), 1u);  // the question only
  EXPECT_EQ(List().Item(0)->hasLoudness, 1);
  EXPECT_EQ(List().Item(1)->hasLoudness, 1);
  EXPECT_NEAR(List().Item(1)->volume - List().Item(0)->volume, -20.0, 0.02);
  EXPECT_EQ(List().CellText(0, kColVolume), FormatDbCell(List().Item(0)->volume));
  EXPECT_EQ(m_window->Host().StatusText(), "Measured 2 of 2 files in 0:00.");
  EXPECT_EQ(m_window->Model().Batch().CurrentBatchName, "File Analysis");
  EXPECT_TRUE(m_window->Control(kIdCancel)->isHidden());
}

TEST_F(NormalizationWindowTest, TypingRetargetsTheRowsAndOkKeepsIt) {
  AddTone("a.wav", 0.5);
  AddTone("missing.wav", 0.5);
  std::filesystem::remove(m_dir.file("missing.wav"));
  m_window->RunLoudnessBatch();
  const double gain = List().Item(0)->trackGain;
  ASSERT_EQ(List().Item(0)->hasLoudness, 1);

  std::vector<std::string> whileTyping;
  WithDialog([&](CQVNormalizationDlg& dialog) {
    dialog.Edit()->selectAll();
    QTest::keyClicks(dialog.Edit(), QStringLiteral("9"));
    whileTyping.push_back(List().CellText(0, kColTrackGain));
    QTest::keyClicks(dialog.Edit(), QStringLiteral("2"));
    whileTyping.push_back(List().CellText(0, kColTrackGain));
    QTest::mouseClick(dialog.ApplyBox(), Qt::LeftButton);
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
  });
  Click(kIdNormalization);
  EXPECT_EQ(whileTyping, (std::vector<std::string>{FormatDbCell(gain - 80.0),
                                                   FormatDbCell(gain + 3.0)}));
  EXPECT_EQ(m_window->Model().NormalizationTarget(), 92.0);
  EXPECT_TRUE(m_window->Model().NormalizationEnabled());
  EXPECT_EQ(List().CellText(0, kColTrackGain), FormatDbCell(gain + 3.0));
  EXPECT_EQ(List().CellText(1, kColTrackGain), "0.00");  // the unmeasured row stays
  EXPECT_NEAR(List().GetGainFactor(0), std::pow(10.0, (gain + 3.0) / 20.0), 1e-12);

  // A later batch measures new rows for the target in force.
  AddTone("c.wav", 0.5);
  m_window->RunLoudnessBatch();
  EXPECT_NEAR(List().Item(2)->trackGain, gain + 3.0, 1e-9);
}

TEST_F(NormalizationWindowTest, CancelRestoresTheRowsAndSwitchesNormalizationOff) {
  AddTone("a.wav", 0.5);
  m_window->RunLoudnessBatch();
  m_window->Model().SetNormalizationEnabled(true);
  const std::string cell = List().CellText(0, kColTrackGain);
  std::string whileTyping;
  WithDialog([&](CQVNormalizationDlg& dialog) {
    dialog.Edit()->selectAll();
    QTest::keyClicks(dialog.Edit(), QStringLiteral("95"));
    whileTyping = List().CellText(0, kColTrackGain);
    QTest::mouseClick(dialog.CancelButton(), Qt::LeftButton);
  });
  Click(kIdNormalization);
  EXPECT_NE(whileTyping, cell);
  EXPECT_EQ(List().CellText(0, kColTrackGain), cell);
  EXPECT_EQ(m_window->Model().NormalizationTarget(), 89.0);
  EXPECT_FALSE(m_window->Model().NormalizationEnabled());
}

TEST_F(NormalizationWindowTest, CancelButtonStopsTheBatchInTheThirdFile) {
  // One file at a time: with several at once a later file may be done before the cancel (the
  // batch tests cover that).
  Settings().Jobs = 1;
  for (int i = 1; i <= 5; ++i) AddTone("f" + std::to_string(i) + ".wav", 0.3);
  // While the batch pumps events, the Cancel button is clicked once the third file is on; the
  // question it asks is answered yes.
  std::vector<std::string> statusDuringThird;
  QTimer clicker;
  clicker.setInterval(0);
  QObject::connect(&clicker, &QTimer::timeout, [&] {
    const BatchState& batch = m_window->Model().Batch();
    if (batch.BatchInProgress != 1 || batch.BatchFileIndex != 2) return;
    statusDuringThird.push_back(m_window->Host().StatusText());
    m_host.answers = {IDYES};
    Click(kIdCancel);
    clicker.stop();
  });
  clicker.start();
  m_window->RunLoudnessBatch();
  clicker.stop();
  ASSERT_EQ(statusDuringThird.size(), 1u);
  ASSERT_FALSE(m_host.messages.empty());
  EXPECT_EQ(m_host.messages.back().text, "Cancel the File Analysis?");
  EXPECT_EQ(List().Item(0)->hasLoudness, 1);
  EXPECT_EQ(List().Item(1)->hasLoudness, 1);
  // The third file is cancelled, unless it had ended before the cancel reached it; the files
  // after it are not visited.
  for (int row = 3; row < 5; ++row) {
    EXPECT_EQ(List().Item(row)->hasLoudness, 0) << row;
    EXPECT_EQ(List().CellText(row, kColVolume), "") << row;
  }
  EXPECT_EQ(m_window->Host().StatusText().rfind("Measured ", 0), 0u) << m_window->Host().StatusText();
  EXPECT_NE(m_window->Host().StatusText().find(" of 5 files (cancelled) in 0:0"), std::string::npos);
  EXPECT_TRUE(m_window->Control(kIdCancel)->isHidden());
  EXPECT_TRUE(m_window->Control(kIdAddFiles)->isEnabled());
}

// Choosing R128 shows its unit, range and target, and the columns switch at once (the rows have
// no R128 measurement yet); Cancel puts the ReplayGain view back. After OK the choice (with the
// peak limit typed) is kept in the configuration and applies to the rows, and a batch measures
// the rows in LUFS with their album's gain.
TEST_F(NormalizationWindowTest, TheStandardChosenSwitchesTheColumnsAndIsKept) {
  const std::string config = m_dir.file("Quorvin1.ini");
  std::ofstream(config) << "[Quorvin 1]\n";
  Settings().ConfigFilePath = config;
  AddTone("a.wav", 0.5);
  AddTone("b.wav", 0.05);
  m_window->RunLoudnessBatch();
  const std::string replayGainVolume = List().CellText(0, kColVolume);
  ASSERT_FALSE(replayGainVolume.empty());

  for (const bool ok : {false, true}) {
    std::string volumeWhileOpen, unit, target, peakRefusal;
    bool refusedPositive = false;
    WithDialog([&](CQVNormalizationDlg& dialog) {
      dialog.StandardList()->setCurrentIndex(1);
      Q_EMIT dialog.StandardList()->activated(1);
      volumeWhileOpen = List().CellText(0, kColVolume);
      for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        unit += label->text().toStdString() + "|";
      }
      target = dialog.Edit()->text().toStdString();
      dialog.Edit()->selectAll();
      QTest::keyClicks(dialog.Edit(), QStringLiteral("5"));  // above 0 LUFS: refused
      refusedPositive = dialog.Edit()->text() == QStringLiteral("-18.0");
      if (ok) {
        // An empty peak limit is refused at OK (the dialog stays); -3.0 dBTP is taken.
        dialog.PeakLimitEdit()->selectAll();
        QTest::keyClick(dialog.PeakLimitEdit(), Qt::Key_Delete);
        QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
        peakRefusal = m_host.messages.empty() ? "" : m_host.messages.back().text;
        QTest::keyClicks(dialog.PeakLimitEdit(), QStringLiteral("-3"));
      }
      QTest::mouseClick(ok ? dialog.OkButton() : dialog.CancelButton(), Qt::LeftButton);
    });
    Click(kIdNormalization);
    EXPECT_EQ(volumeWhileOpen, "");
    EXPECT_EQ(target, "-18.0");
    EXPECT_TRUE(refusedPositive);
    EXPECT_NE(unit.find("LUFS (default -18.0)"), std::string::npos) << unit;
    EXPECT_NE(unit.find("dBTP (default -1.0)"), std::string::npos) << unit;
    EXPECT_EQ(List().CellText(0, kColVolume), ok ? "" : replayGainVolume);
    if (ok) {
      EXPECT_EQ(peakRefusal, "Please enter a Peak Limit from -30.0 to 0.0 dB, thanks.");
    }
  }
  NormalizationChoice kept;
  LoadNormalizationSettings(kept, config);
  EXPECT_EQ(kept.standard, LoudnessStandard::R128);
  EXPECT_EQ(kept.targets[1], -18.0);
  EXPECT_EQ(kept.peakLimits[1], -3.0);
  EXPECT_EQ(kept.peakLimits[0], 0.0);
  EXPECT_DOUBLE_EQ(List().Item(0)->peakLimit, PeakLimitOnScale(-3.0));

  m_window->RunLoudnessBatch();
  const double loud = List().Item(0)->volume, quiet = List().Item(1)->volume;
  EXPECT_NEAR(loud - quiet, 20.0, 0.05);
  EXPECT_LT(loud, 0.0);  // LUFS
  EXPECT_EQ(List().CellText(0, kColVolume), FormatDbCell(loud));
  // Both tones lie in one folder without album tags: one album, the loud tone dominating.
  EXPECT_EQ(List().CellText(0, kColAlbumGain), List().CellText(1, kColAlbumGain));
  EXPECT_NEAR(List().Item(0)->albumGain, -18.0 - loud, 0.5);
  Settings().ConfigFilePath.clear();
}

TEST_F(NormalizationWindowTest, EmptyListShowsNoDialog) {
  Click(kIdNormalization);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text.rfind("No Audio Files have been added", 0), 0u);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace qv
