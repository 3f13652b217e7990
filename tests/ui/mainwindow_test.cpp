// The real main window, driven headless: the batch layout, the toggles, Enter and Escape,
// resizing with the anchors and the size limits, sorting by heading clicks, Remove with a
// multi-row selection, Play on the same row twice, the exit guard, the menus and dragging.
// Message boxes are answered by a scripted host.
#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QAbstractItemModelTester>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QTest>
#include <QTreeView>
#include <QUrl>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "app/paths.h"
#include "audio/bass.h"
#include "import/sourceimporter.h"
#include "model/controlids.h"
#include "ui/autoplayfiledialog.h"
#include "ui/batchsummary.h"
#include "ui/cbitmapbutton.h"
#include "ui/ccustomstatic.h"
#include "ui/cquorvindlg.h"
#include "ui/qvlistctrl.h"
#include "support/scriptedhost.h"
#include "support/tempdir.h"

namespace qv {
namespace {

std::string MakeTone(const test::TempDir& dir, const std::string& name, double seconds) {
  const std::string path = dir.file(name);
  const std::string command = std::string(QV_FFMPEG) +
                              " -hide_banner -loglevel error -y -f lavfi -i sine=frequency=440:"
                              "duration=" +
                              std::to_string(seconds) + " " + ShellQuote(path);
  EXPECT_EQ(std::system(command.c_str()), 0);
  return path;
}

class MainWindowTest : public ::testing::Test {
 protected:
  static void TearDownTestSuite() { BASS_Free(); }

  void SetUp() override {
    // Started for every test: a confirmed exit stops the library.
    s_audio = BASS_Init(-1, 44100, 0, nullptr, nullptr) != 0 ||
              BASS_ErrorGetCode() == BASS_ERROR_ALREADY;
    MainWindowServices services;
    services.startAudio = [](BatchHost*) { return true; };  // started by SetUp
    services.messageHost = &m_host;
    services.browseForFolder = [this](QWidget*, BatchHost*, const std::string& title,
                                      const std::string& start) {
      m_browseTitle = title;
      m_browseStart = start;
      return m_chosenFolder;
    };
    services.openUrl = [this](const QUrl& url) {
      m_opened.push_back(url);
      return true;
    };
    m_window = std::make_unique<CQuorvinDlg>(services);
    ASSERT_EQ(m_window->OnInitDialog(), 1);
  }

  void TearDown() override { m_window.reset(); }

  void ShowAndActivate() {
    m_window->show();
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));
  }

  void AddRows(const std::vector<std::pair<std::string, std::string>>& titleAndKbps) {
    for (const auto& [title, kbps] : titleAndKbps) {
      List().AddRow(title, "mp3", "1.000", kbps, "44,100", "16 Bit", "2", "/m/" + title + ".mp3",
                    "", false);
    }
  }

  SourceList& List() { return m_window->Model().List(); }
  void Click(int id) {
    QWidget* control = m_window->Control(id);
    QTest::mouseClick(control, Qt::LeftButton, {}, QPoint(5, 5));
  }
  std::vector<std::string> ViewColumn(int column) {
    QAbstractItemModel* model = m_window->ListControl()->model();
    std::vector<std::string> out;
    for (int r = 0; r < model->rowCount(); ++r)
      out.push_back(model->index(r, column).data().toString().toStdString());
    return out;
  }
  void SelectInView(std::initializer_list<int> rows) {
    QItemSelectionModel* selection = m_window->ListControl()->selectionModel();
    selection->clearSelection();
    for (int row : rows) {
      selection->select(m_window->ListControl()->model()->index(row, 0),
                        QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
  }
  bool Enabled(int id) { return m_window->Control(id)->isEnabled(); }
  bool Shown(int id) { return !m_window->Control(id)->isHidden(); }

  static bool s_audio;
  test::ScriptedHost m_host;
  std::unique_ptr<CQuorvinDlg> m_window;
  std::string m_chosenFolder;
  std::string m_browseTitle;
  std::string m_browseStart;
  std::vector<QUrl> m_opened;
};
bool MainWindowTest::s_audio = false;

TEST_F(MainWindowTest, StartsInTheIdleLayoutAtItsFixedSize) {
  EXPECT_EQ(m_window->size(), QSize(863, 399));
  EXPECT_EQ(m_window->ClientArea()->size(), QSize(857, 393));
  EXPECT_EQ(m_window->Control(kIdSourceList)->geometry(), QRect(3, 83, 851, 210));
  EXPECT_EQ(m_window->Control(kIdAddFiles)->geometry(), QRect(8, 28, 63, 52));
  EXPECT_EQ(m_window->Control(kIdNormalization)->size(), QSize(84, 52));
  EXPECT_EQ(m_window->Control(kIdCancel)->geometry(), QRect(794, 371, 57, 17));
  EXPECT_EQ(m_window->Host().StatusText(), "Ready");
  EXPECT_FALSE(Shown(kIdCancel));
  EXPECT_TRUE(Shown(kIdSameFolderOff));
  EXPECT_FALSE(Shown(kIdSameFolderOn));
  EXPECT_FALSE(m_window->SkipProblemFiles());
  EXPECT_FALSE(m_window->CalculateLoudness());
  auto* format = static_cast<QComboBox*>(m_window->Control(kIdFormatList));
  EXPECT_EQ(format->currentText(), QStringLiteral("WAV"));
  EXPECT_EQ(format->count(), 9);  // the six of old, then FLAC, OPUS, OGG
  EXPECT_FALSE(Enabled(kIdBitrateList));  // WAV has no bitrate
  auto* destination = static_cast<QComboBox*>(m_window->Control(kIdDestinationList));
  EXPECT_EQ(destination->count(), 1);
  EXPECT_EQ(destination->currentText().toStdString(), ReadFolderSetting("DestinationFolder"));
  QHeaderView* header = m_window->ListControl()->header();
  EXPECT_EQ(header->count(), 12);
  // The columns fill the list beside the vertical scroll bar's room, every heading whole.
  QVListCtrl* list = m_window->ListControl();
  EXPECT_EQ(header->length(), list->width() - 2 * list->frameWidth() -
                                  list->style()->pixelMetric(QStyle::PM_ScrollBarExtent));
  for (int c = 0; c < header->count(); ++c) {
    const QString heading = list->model()->headerData(c, Qt::Horizontal).toString();
    EXPECT_GT(header->sectionSize(c), header->fontMetrics().horizontalAdvance(heading)) << c;
  }
  EXPECT_GE(header->sectionSize(0), 200);
  EXPECT_EQ(list->model()->headerData(kColVolume, Qt::Horizontal).toString(),
            QStringLiteral("Volume (dB)"));
  EXPECT_EQ(m_window->ListControl()->model()->headerData(9, Qt::Horizontal).toString(),
            QStringLiteral("Track Gain"));
}

TEST_F(MainWindowTest, BatchLayoutLeavesOnlyMinimizeExitAndCancel) {
  AddRows({{"a", "1"}});
  m_window->Host().SetBatchControls(false);
  // Every visible and enabled control of the window must be one of the three.
  for (QWidget* child : m_window->ClientArea()->findChildren<QWidget*>(
           QString(), Qt::FindDirectChildrenOnly)) {
    if (child->isHidden() || !child->isEnabled()) continue;
    if (qobject_cast<QAbstractButton*>(child) == nullptr && qobject_cast<QComboBox*>(child) ==
                                                                nullptr &&
        child != m_window->Control(kIdSourceList)) {
      continue;  // labels
    }
    const bool allowed = child == m_window->Control(kIdMinimize) ||
                         child == m_window->Control(kIdExit) ||
                         child == m_window->Control(kIdCancel) ||
                         child == m_window->Control(kIdHiddenFocus);
    EXPECT_TRUE(allowed) << child->objectName().toStdString() << " is usable during a batch";
  }
  EXPECT_TRUE(Shown(kIdCancel));
  // A click on a disabled command while the batch pumps events does nothing.
  List().SelectRow(0, true);
  Click(kIdRemove);
  m_window->Host().PumpMessages();
  EXPECT_EQ(List().RowCount(), 1);

  m_window->Host().SetBatchControls(true);
  EXPECT_FALSE(Shown(kIdCancel));
  for (int id : {kIdAddFiles, kIdRemove, kIdHelp, kIdSourceList, kIdFormatList,
                 kIdDestinationList, kIdBrowse, kIdSameFolderOff, kIdConvert2}) {
    EXPECT_TRUE(Enabled(id)) << id;
  }
  EXPECT_FALSE(Enabled(kIdBitrateList));  // still WAV
}

TEST_F(MainWindowTest, SameFolderOptionDisablesBrowseAlsoAfterABatch) {
  Click(kIdSameFolderOff);
  EXPECT_TRUE(m_window->OutputToSameFolder());
  EXPECT_FALSE(Enabled(kIdBrowse));
  EXPECT_FALSE(Enabled(kIdDestinationList));
  m_window->Host().SetBatchControls(false);
  m_window->Host().SetBatchControls(true);
  EXPECT_FALSE(Enabled(kIdBrowse));
  EXPECT_FALSE(Enabled(kIdDestinationList));
  EXPECT_TRUE(Enabled(kIdSameFolderOn));
  Click(kIdSameFolderOn);
  EXPECT_FALSE(m_window->OutputToSameFolder());
  EXPECT_TRUE(Enabled(kIdBrowse));
  EXPECT_TRUE(Enabled(kIdDestinationList));
}

TEST_F(MainWindowTest, SkipAndLoudnessToggles) {
  Click(kIdSkipProblemsOff);
  EXPECT_TRUE(m_window->SkipProblemFiles());
  Click(kIdSkipProblemsOn);
  EXPECT_FALSE(m_window->SkipProblemFiles());

  m_host.answers = {IDNO};
  Click(kIdLoudnessOff);
  EXPECT_FALSE(m_window->CalculateLoudness());
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].type, unsigned{MB_YESNO});
  EXPECT_NE(m_host.messages[0].text.find("Do you want to continue?"), std::string::npos);
  m_host.answers = {IDYES};
  Click(kIdLoudnessOff);
  EXPECT_TRUE(m_window->CalculateLoudness());
  Click(kIdLoudnessOn);
  EXPECT_FALSE(m_window->CalculateLoudness());
  EXPECT_EQ(m_host.messages.size(), 3u);  // the question twice, the batch placeholder once
}

TEST_F(MainWindowTest, EnterAndEscapeDoNothing) {
  ShowAndActivate();
  AddRows({{"a", "1"}});
  for (int id : {kIdHiddenFocus, kIdSourceList, kIdFormatList, kIdPlay, kIdSkipProblemsOff}) {
    QWidget* target = m_window->Control(id);
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
      QTest::keyClick(target, key);
    }
  }
  QTest::keyClick(m_window.get(), Qt::Key_Escape);
  EXPECT_TRUE(m_window->isVisible());
  EXPECT_TRUE(m_host.messages.empty());  // not even Play or the exit question
  EXPECT_FALSE(m_window->SkipProblemFiles());

  // Only the keys are filtered: a click with Ctrl and Shift held (button and modifier flags
  // that add up to 13) still extends the list's selection.
  AddRows({{"b", "1"}, {"c", "1"}});
  QTreeView* view = m_window->ListControl();
  auto rowCentre = [view](int row) {
    return view->visualRect(view->model()->index(row, 0)).center();
  };
  QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, rowCentre(0));
  QTest::mouseClick(view->viewport(), Qt::LeftButton, Qt::ControlModifier | Qt::ShiftModifier,
                    rowCentre(2));
  EXPECT_EQ(List().SelectedCount(), 3);
}

TEST_F(MainWindowTest, LargeSystemFontsKeepThePixelLayout) {
  const QFont oldFont = QApplication::font();
  QFont large = oldFont;
  large.setPixelSize(24);
  QApplication::setFont(large);
  MainWindowServices services;
  services.startAudio = [](BatchHost*) { return true; };
  services.messageHost = &m_host;
  CQuorvinDlg other(services);
  ASSERT_EQ(other.OnInitDialog(), 1);
  QApplication::setFont(oldFont);
  EXPECT_EQ(other.size(), m_window->size());
  for (int id : {kIdSourceList, kIdAddFiles, kIdFormatLabel, kIdDestinationList, kIdBrowse,
                 kIdConvert2, kIdStatusLine}) {
    EXPECT_EQ(other.Control(id)->geometry(), m_window->Control(id)->geometry()) << id;
  }
}

TEST_F(MainWindowTest, ResizeMovesTheBottomControlsAndGrowsTheList) {
  ShowAndActivate();
  const QPoint convert = m_window->Control(kIdConvert2)->pos();
  const QPoint status = m_window->Control(kIdStatusLine)->pos();
  const QRect list = m_window->Control(kIdSourceList)->geometry();
  m_window->resize(863, 500);
  EXPECT_EQ(m_window->Control(kIdSourceList)->geometry(),
            QRect(list.topLeft(), list.size() + QSize(0, 101)));
  EXPECT_EQ(m_window->Control(kIdConvert2)->pos(), convert + QPoint(0, 101));
  EXPECT_EQ(m_window->Control(kIdStatusLine)->pos(), status + QPoint(0, 101));
  EXPECT_EQ(m_window->BottomImageTop(), 396);
  EXPECT_EQ(m_window->Control(kIdAddFiles)->pos(), QPoint(8, 28));  // top row stays
  m_window->resize(863, 399);
  EXPECT_EQ(m_window->Control(kIdConvert2)->pos(), convert);
  EXPECT_EQ(m_window->Control(kIdSourceList)->geometry(), list);
}

TEST_F(MainWindowTest, SizeLimits) {
  ShowAndActivate();
  m_window->resize(1200, 300);
  EXPECT_EQ(m_window->size(), QSize(863, 399));
  m_window->resize(500, 900);
  EXPECT_EQ(m_window->size(), QSize(863, 900));
}

TEST_F(MainWindowTest, SizingWithTheMouseLaysOutWhenTheButtonIsReleased) {
  ShowAndActivate();
  const QRect list = m_window->Control(kIdSourceList)->geometry();
  const QPoint border(400, m_window->height() - 1);
  QTest::mousePress(m_window.get(), Qt::LeftButton, {}, border);
  QTest::mouseMove(m_window.get(), border + QPoint(0, 60));
  QMouseEvent move(QEvent::MouseMove, QPointF(border + QPoint(0, 60)),
                   QPointF(m_window->mapToGlobal(border + QPoint(0, 60))), Qt::NoButton,
                   Qt::LeftButton, {});
  QCoreApplication::sendEvent(m_window.get(), &move);
  EXPECT_EQ(m_window->height(), 459);
  EXPECT_EQ(m_window->Control(kIdSourceList)->geometry(), list);  // held: not laid out yet
  QTest::mouseRelease(m_window.get(), Qt::LeftButton, {}, border + QPoint(0, 60));
  EXPECT_EQ(m_window->Control(kIdSourceList)->height(), list.height() + 60);
}

TEST_F(MainWindowTest, HeadingClicksCycleTheSortAndTheSelectionFollowsItsRow) {
  ShowAndActivate();
  AddRows({{"a", "128"}, {"b", "96"}, {"c", "320"}});
  SelectInView({0});  // row "a"
  QHeaderView* header = m_window->ListControl()->header();
  const QPoint kbps(header->sectionViewportPosition(kColKbps) + 10, header->height() / 2);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, kbps);
  EXPECT_EQ(ViewColumn(kColKbps), (std::vector<std::string>{"96", "128", "320"}));
  EXPECT_TRUE(header->isSortIndicatorShown());
  EXPECT_EQ(header->sortIndicatorSection(), kColKbps);
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
  EXPECT_TRUE(List().IsSelected(1));
  EXPECT_TRUE(m_window->ListControl()->selectionModel()->isRowSelected(1, {}));
  EXPECT_EQ(List().GetSelectedDecodePath(), "/m/a.mp3");
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, kbps);
  EXPECT_EQ(ViewColumn(kColKbps), (std::vector<std::string>{"320", "128", "96"}));
  EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, kbps);
  EXPECT_EQ(ViewColumn(kColTitle), (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_TRUE(m_window->ListControl()->selectionModel()->isRowSelected(0, {}));
  EXPECT_FALSE(header->isSortIndicatorShown());
}

TEST_F(MainWindowTest, RemoveWithAMultiRowSelection) {
  AddRows({{"r1", "1"}, {"r2", "1"}, {"r3", "1"}, {"r4", "1"}, {"r5", "1"}});
  SelectInView({1, 3});
  EXPECT_EQ(List().SelectedCount(), 2);
  Click(kIdRemove);
  EXPECT_EQ(ViewColumn(kColTitle), (std::vector<std::string>{"r1", "r3", "r5"}));
  EXPECT_EQ(List().RowCount(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(List().Item(i)->position, i);
  EXPECT_EQ(List().NextRowSerial(), 5);
  EXPECT_TRUE(m_window->ListControl()->selectionModel()->selectedRows().isEmpty());
  Click(kIdRemoveAll);
  EXPECT_EQ(m_window->ListControl()->model()->rowCount(), 0);
  EXPECT_TRUE(m_host.messages.empty());
}

TEST_F(MainWindowTest, PlayPressedTwiceOnTheSameRowStops) {
  ASSERT_TRUE(s_audio) << "audio output did not start";
  test::TempDir dir;
  const std::string tone = MakeTone(dir, "tone.wav", 3.0);
  Click(kIdPlay);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text, "Please select one Audio File for Playback, thanks.");
  List().AddRow("tone", "wav", "0.5", "1411", "44,100", "16 Bit", "1", tone, "", false);
  SelectInView({0});
  Click(kIdPlay);
  PreviewPlayer* player = m_window->Model().Player();
  ASSERT_NE(player, nullptr);
  EXPECT_TRUE(player->IsPlaying());
  EXPECT_EQ(m_window->Button(kIdPlay)->text(), QStringLiteral("Stop"));  // it says what it does
  Click(kIdPlay);
  EXPECT_FALSE(player->IsPlaying());
  EXPECT_EQ(m_window->Button(kIdPlay)->text(), QStringLiteral("Play"));
  Click(kIdPlay);
  EXPECT_TRUE(player->IsPlaying());
  Click(kIdRemove);  // Remove stops the preview first
  EXPECT_FALSE(player->IsPlaying());
  EXPECT_TRUE(QTest::qWaitFor([&] { return m_window->Button(kIdPlay)->text() == QStringLiteral("Play"); }, 2000));
  EXPECT_EQ(m_host.messages.size(), 1u);
}

TEST_F(MainWindowTest, ExitAsksAndIsRefusedDuringABatch) {
  ShowAndActivate();
  m_window->Host().SetBatchControls(false);
  m_window->Model().Batch().CurrentBatchName = "File Conversion";
  m_window->Model().Batch().BatchInProgress = 1;
  Click(kIdExit);
  EXPECT_FALSE(m_window->close());  // the system close goes through the same guard
  EXPECT_TRUE(m_window->isVisible());
  ASSERT_EQ(m_host.messages.size(), 2u);
  EXPECT_EQ(m_host.messages[0].text,
            "A File Conversion is in progress.  Please Cancel the conversion, before closing, "
            "thanks.");
  // Cancel confirmed: the batch has not returned to idle yet, so exit is still refused.
  m_host.answers = {IDYES};
  Click(kIdCancel);
  EXPECT_EQ(m_window->Model().Batch().CancelRequested, 1);
  Click(kIdExit);
  EXPECT_TRUE(m_window->isVisible());
  m_window->Host().SetBatchControls(true);
  m_host.answers = {IDNO};
  Click(kIdExit);
  EXPECT_TRUE(m_window->isVisible());
  EXPECT_EQ(m_host.messages.back().text, "Are you sure you want to exit?");
  m_host.answers = {IDYES};
  EXPECT_TRUE(m_window->close());
  EXPECT_FALSE(m_window->isVisible());
  EXPECT_EQ(m_window->result(), 0);
}

// An add runs in the batch layout and handles events: Cancel, confirmed, stops it before its
// next file (here its first), with nothing to sum up and no loudness batch after it.
TEST_F(MainWindowTest, CancelDuringAnAddStopsItBeforeItsNextFile) {
  ShowAndActivate();
  test::TempDir dir;
  for (const char* name : {"a.wav", "b.wav", "c.wav"}) std::ofstream(dir.file(name)) << "x";
  m_chosenFolder = dir.str();
  m_host.answers = {IDYES};
  QTimer::singleShot(0, m_window.get(), [this] {
    EXPECT_TRUE(Shown(kIdCancel));
    EXPECT_FALSE(Enabled(kIdAddFiles));
    Click(kIdCancel);
  });
  Click(kIdAddFolder);
  EXPECT_EQ(List().RowCount(), 0);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_EQ(m_host.messages[0].text, "Cancel the File Import?");
  EXPECT_FALSE(Shown(kIdCancel));
  EXPECT_TRUE(Enabled(kIdAddFiles));
}

TEST_F(MainWindowTest, AClickAfterAMenuClosedWithoutAChoiceIsDropped) {
  ShowAndActivate();
  m_window->AfterPopupMenu(0);
  EXPECT_EQ(m_window->SwallowNextClick(), 1);
  Click(kIdSkipProblemsOff);  // the press is dropped, so no click
  EXPECT_FALSE(m_window->SkipProblemFiles());
  EXPECT_EQ(m_window->SwallowNextClick(), 0);
  Click(kIdSkipProblemsOff);
  EXPECT_TRUE(m_window->SkipProblemFiles());
  // Choosing a command cancels the swallowing.
  m_window->AfterPopupMenu(kMenuHelpAbout);
  EXPECT_EQ(m_window->SwallowNextClick(), 0);
  ASSERT_EQ(m_host.messages.size(), 1u);
  EXPECT_NE(m_host.messages[0].text.find(QV_VERSION_STRING), std::string::npos);
}

TEST_F(MainWindowTest, MenuEntriesOpenTheProgramsOwnDocuments) {
  for (int id : {kMenuHelpUserGuide, kMenuHelpTraining, kMenuHelpDesk, kMenuMoreReadMe,
                 kMenuMoreChangeLog, kMenuMoreDocFolder}) {
    m_window->OnMenuCommand(id);
  }
  ASSERT_EQ(m_opened.size(), 6u);
  for (const QUrl& url : m_opened) {
    EXPECT_TRUE(url.isLocalFile()) << url.toString().toStdString();
    EXPECT_TRUE(std::filesystem::exists(url.toLocalFile().toStdString()));
  }
  EXPECT_TRUE(m_opened[0].toLocalFile().endsWith(QStringLiteral("README.md")));
  EXPECT_TRUE(m_host.messages.empty());
}

TEST_F(MainWindowTest, BrowseSelectsAnExistingEntryOrAddsANewOne) {
  auto* destination = static_cast<QComboBox*>(m_window->Control(kIdDestinationList));
  const std::string first = destination->itemText(0).toStdString();
  m_chosenFolder = "";
  Click(kIdBrowse);  // cancelled
  EXPECT_EQ(m_browseTitle, "Please select the new Save to Folder:");
  EXPECT_EQ(m_browseStart, first);
  EXPECT_EQ(destination->count(), 1);
  m_chosenFolder = "/srv/Music";
  Click(kIdBrowse);
  m_chosenFolder = "/srv/music";
  Click(kIdBrowse);
  EXPECT_EQ(destination->count(), 3);
  m_chosenFolder = "/srv/Music";
  Click(kIdBrowse);
  EXPECT_EQ(destination->count(), 3);
  EXPECT_EQ(destination->currentIndex(), 1);
  EXPECT_EQ(m_browseStart, "/srv/music");
}

TEST_F(MainWindowTest, ConvertAndNormalizationOnAnEmptyListAskForFiles) {
  Click(kIdConvert1);
  Click(kIdNormalization);
  ASSERT_EQ(m_host.messages.size(), 2u);
  for (const auto& message : m_host.messages) {
    EXPECT_EQ(message.text.rfind("No Audio Files have been added", 0), 0u) << message.text;
  }
}

TEST_F(MainWindowTest, FocusFollowsTheCursorOverButtons) {
  ShowAndActivate();
  if (!QTest::qWaitForWindowActive(m_window.get())) GTEST_SKIP() << "no active window";
  QEvent enter(QEvent::Enter);
  QCoreApplication::sendEvent(m_window->Control(kIdPlay), &enter);
  EXPECT_TRUE(m_window->Control(kIdPlay)->hasFocus());
  EXPECT_EQ(m_window->Button(kIdPlay)->CurrentState(), ButtonImageState::Focused);
  QCoreApplication::sendEvent(m_window->Control(kIdDestinationList), &enter);
  EXPECT_TRUE(m_window->Control(kIdPlay)->hasFocus());  // the destination list leaves it
  QCoreApplication::sendEvent(m_window->ListControl()->viewport(), &enter);
  EXPECT_TRUE(m_window->Control(kIdHiddenFocus)->hasFocus());
  QCoreApplication::sendEvent(m_window->Control(kIdSkipProblemsOff), &enter);
  EXPECT_TRUE(m_window->Control(kIdSkipProblemsOff)->hasFocus());
  QCoreApplication::sendEvent(m_window->Control(kIdLoudnessOff), &enter);
  EXPECT_TRUE(m_window->Control(kIdHiddenFocus)->hasFocus());

  // Moving from a button back onto the background enters no control; the button must not stay
  // lit. Moves over a button (no button held) light it.
  auto moveOver = [](QWidget* widget) {
    QMouseEvent move(QEvent::MouseMove, QPointF(4, 4), QPointF(widget->mapToGlobal(QPoint(4, 4))),
                     Qt::NoButton, Qt::NoButton, {});
    QCoreApplication::sendEvent(widget, &move);
  };
  moveOver(m_window->Control(kIdHelp));
  EXPECT_TRUE(m_window->Control(kIdHelp)->hasFocus());
  moveOver(m_window->ClientArea());
  EXPECT_TRUE(m_window->Control(kIdHiddenFocus)->hasFocus());
  EXPECT_EQ(m_window->Button(kIdHelp)->CurrentState(), ButtonImageState::Up);
  moveOver(m_window->Control(kIdConvert2));
  moveOver(m_window->Control(kIdStatusLine));
  EXPECT_TRUE(m_window->Control(kIdHiddenFocus)->hasFocus());
}

TEST_F(MainWindowTest, DraggingByTheBackgroundAndByALabelMovesTheWindow) {
  ShowAndActivate();
  m_window->move(100, 100);
  const QPoint start = m_window->pos();
  QWidget* client = m_window->ClientArea();
  const QPoint grip(300, 12);  // the header's title band
  QTest::mousePress(client, Qt::LeftButton, {}, grip);
  QMouseEvent move(QEvent::MouseMove, QPointF(grip + QPoint(30, 20)),
                   QPointF(client->mapToGlobal(grip + QPoint(30, 20))), Qt::NoButton,
                   Qt::LeftButton, {});
  QCoreApplication::sendEvent(client, &move);
  QTest::mouseRelease(client, Qt::LeftButton, {}, grip + QPoint(30, 20));
  EXPECT_EQ(m_window->pos(), start + QPoint(30, 20));

  QWidget* label = m_window->Control(kIdFormatLabel);
  QTest::mousePress(label, Qt::LeftButton, {}, QPoint(5, 5));
  QMouseEvent labelMove(QEvent::MouseMove, QPointF(15, 5),
                        QPointF(label->mapToGlobal(QPoint(15, 5))), Qt::NoButton, Qt::LeftButton,
                        {});
  QCoreApplication::sendEvent(label, &labelMove);
  QTest::mouseRelease(label, Qt::LeftButton, {}, QPoint(15, 5));
  EXPECT_EQ(m_window->pos(), start + QPoint(40, 20));
}

TEST_F(MainWindowTest, BatchesSelectRowsInTheListAndWriteTheStatusLineThroughTheHost) {
  AddRows({{"a", "1"}, {"b", "1"}});
  SourceList& list = m_window->Model().List();
  list.SelectRow(1, true);
  EXPECT_TRUE(m_window->ListControl()->selectionModel()->isRowSelected(1, {}));
  list.SelectRow(1, false);
  EXPECT_FALSE(m_window->ListControl()->selectionModel()->isRowSelected(1, {}));
  BeginBatch(m_window->Model().Batch(), m_window->Host(), kBatchFileAnalysis);
  EXPECT_TRUE(Shown(kIdCancel));
  EndBatch(m_window->Model().Batch(), m_window->Host());
  EXPECT_EQ(m_window->Host().StatusText(), "Ready.");
  EXPECT_FALSE(Shown(kIdCancel));
}

TEST_F(MainWindowTest, AutoPlayBoxInTheFileDialog) {
  ASSERT_TRUE(s_audio);
  test::TempDir dir;
  const std::string tone = MakeTone(dir, "a.wav", 3.0);
  PreviewPlayer& player = *m_window->Model().Player();
  {
    QFileDialog dialog;
    QCheckBox* box = InstallAutoPlay(&dialog, player, 1);
    EXPECT_TRUE(box->isChecked());
    EXPECT_EQ(box->text(), QStringLiteral("Automatically play the selected file"));
    Q_EMIT dialog.currentChanged(QString::fromStdString(dir.str()));
    EXPECT_FALSE(player.IsPlaying());
    Q_EMIT dialog.currentChanged(QString::fromStdString(tone));
    EXPECT_TRUE(player.IsPlaying()) << player.FileName();
    box->click();
    EXPECT_FALSE(player.IsPlaying());
  }
  QFileDialog next;
  QCheckBox* box = InstallAutoPlay(&next, player, 0);
  EXPECT_FALSE(box->isChecked());
  Q_EMIT next.currentChanged(QString::fromStdString(tone));
  EXPECT_FALSE(player.IsPlaying());
}

TEST_F(MainWindowTest, StatusLineVolumeUnitAndNormalizationNoteFollowTheWindowsState) {
  AddRows({{"a", "1"}});
  MainWindowHost& host = m_window->Host();
  host.SetStatusLink("Converted 1 of 1 file in 0:01.", "/w/QV_Log.txt");
  EXPECT_EQ(host.StatusLink(), "/w/QV_Log.txt");
  m_window->OnRemoveAll();
  EXPECT_EQ(host.StatusText(), "Ready");
  EXPECT_EQ(host.StatusLink(), "");

  QAbstractItemModel* list = m_window->ListControl()->model();
  m_window->ShowNormalizationView(LoudnessStandard::R128, true, -18.0);
  EXPECT_EQ(list->headerData(kColVolume, Qt::Horizontal).toString(),
            QStringLiteral("Volume (LUFS)"));
  auto* note = static_cast<CCustomStatic*>(m_window->Control(kIdNormalizationBadge));
  EXPECT_TRUE(note->Text().isEmpty());
  NormalizationChoice& choice = m_window->Model().Normalization();
  choice.standard = LoudnessStandard::R128;
  choice.byAlbum = true;
  choice.apply = true;
  m_window->UpdateNormalizationBadge();
  EXPECT_EQ(note->Text(), QStringLiteral("Normalize to -18.0 LUFS (album gain)"));
  EXPECT_GE(note->width(), note->fontMetrics().horizontalAdvance(note->Text()));
  choice.apply = false;
  m_window->UpdateNormalizationBadge();
  EXPECT_TRUE(note->Text().isEmpty());
}

TEST(BatchSummary, EveryBatchEndsWithWhatItDidAndHowLongItTook) {
  const struct {
    std::string text;
    std::string expected;
  } cases[] = {
      {ConversionSummaryText({12, 0, 12, false, false, 83}), "Converted 12 of 12 files in 1:23."},
      {ConversionSummaryText({1, 0, 1, false, false, 0}), "Converted 1 of 1 file in 0:00."},
      {ConversionSummaryText({3, 1, 5, true, false, 7}),
       "Converted 3 of 5 files (1 failed, cancelled) in 0:07."},
      {ConversionSummaryText({1, 0, 4, true, false, 9, 2}),
       "Converted 1 of 4 files (cancelled, 2 left partial) in 0:09."},
      {ConversionSummaryText({0, 1, 4, false, true, 3725}),
       "Converted 0 of 4 files (1 failed, stopped after a failure) in 1:02:05."},
      {LoudnessSummaryText({10, 12, false, 41}),
       "Measured 10 of 12 files (2 could not be measured) in 0:41."},
      {LoudnessSummaryText({4, 9, true, 12}), "Measured 4 of 9 files (cancelled) in 0:12."},
      {LoudnessSummaryText({0, 0, false, 0}), "Measured 0 of 0 files in 0:00."},
      {AddFilesSummaryText({5, 0}, 2),
       "Added 5 new files, skipped 0 existing files, and 2 could not be added."},
      {AddFilesSummaryText({1, 1}, 0), "Added 1 new file, and skipped 1 existing file."},
  };
  for (const auto& c : cases) EXPECT_EQ(c.text, c.expected);
}

// During an add the list's rows reach the view together instead of one by one, and every
// change of the list in the meantime (a selection, a removal, a sort) keeps the view's model
// consistent: Qt's model tester checks each signal against the counts.
TEST(SourceListModel, RowsAddedInABatchReachTheViewTogetherAndConsistently) {
  SourceList list;
  SourceListModel model(list);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  int insertions = 0;
  QObject::connect(&model, &QAbstractItemModel::rowsInserted, [&] { ++insertions; });
  const auto add = [&](int rows) {
    for (int i = 0; i < rows; ++i) {
      const std::string title = "t" + std::to_string(list.RowCount());
      list.AddRow(title, "wav", "1.000", "1411", "44,100", "16 Bit", "2", "/m/" + title + ".wav",
                  "", false);
    }
  };
  model.SetBatchedInserts(true);
  add(40);
  EXPECT_EQ(model.rowCount(), 0);
  list.SelectRow(39, true);  // the view must know the row it selects
  EXPECT_EQ(model.rowCount(), 40);
  add(10);
  EXPECT_EQ(list.RemoveSelectedRows(), 1);
  EXPECT_EQ(model.rowCount(), 49);
  add(5);
  list.OnColumnClick(kColTitle);
  EXPECT_EQ(model.rowCount(), 54);
  add(6);
  model.SetBatchedInserts(false);
  EXPECT_EQ(model.rowCount(), 60);
  EXPECT_EQ(insertions, 4);
  add(2);  // one by one again
  EXPECT_EQ(model.rowCount(), 62);
  EXPECT_EQ(insertions, 6);
  list.RemoveAllRows();
  EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace
}  // namespace qv
