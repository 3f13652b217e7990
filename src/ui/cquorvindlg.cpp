#include "ui/cquorvindlg.h"
#include "app/settings.h"
#include "ui/cqvnormalizationdlg.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#include "app/paths.h"
#include "app/showmessage.h"
#include "audio/startaudiolibrary.h"
#include "convert/formats.h"
#include "ui/browseforfolder.h"
#include "ui/cbitmapbutton.h"
#include "ui/ccustomstatic.h"
#include "ui/documents.h"
#include "ui/mainwindowrunner.h"
#include "ui/qvlistctrl.h"
#include "ui/skinartwork.h"
#include "ui/windowtrace.h"

// The artwork resources live in this static library: register them before their first use.
static void InitQuorvinResources() { Q_INIT_RESOURCE(quorvin); }

namespace qv {

namespace {

// The image set of each skinned button, in the order the window gives them their images.
struct ButtonSpec {
  int id;
  const char* baseName;
};
constexpr ButtonSpec kButtonSpecs[] = {
    {kIdMinimize, "BITMAP_MINIMIZE"},
    {kIdExit, "BITMAP_EXIT"},
    {kIdAddFiles, "BITMAP_ADDFILES"},
    {kIdAddFolder, "BITMAP_ADDFOLDER"},
    {kIdRemove, "BITMAP_REMOVE"},
    {kIdRemoveAll, "BITMAP_REMOVEALL"},
    {kIdPlay, "BITMAP_PLAY"},
    {kIdNormalization, "BITMAP_NORMALIZATION"},
    {kIdConvert1, "BITMAP_CONVERT1"},
    {kIdOptions, "BITMAP_OPTIONS"},
    {kIdMore, "BITMAP_MORE"},
    {kIdHelp, "BITMAP_HELP"},
    {kIdBrowse, "BITMAP_BROWSE"},
    {kIdSameFolderOff, "BITMAP_OUTPUTTOSAMEFOLDER1"},
    {kIdSameFolderOn, "BITMAP_OUTPUTTOSAMEFOLDER2"},
    {kIdSkipProblemsOff, "BITMAP_SKIPPROBLEMFILES1"},
    {kIdSkipProblemsOn, "BITMAP_SKIPPROBLEMFILES2"},
    {kIdLoudnessOff, "BITMAP_CALCULATELOUDNESS1"},
    {kIdLoudnessOn, "BITMAP_CALCULATELOUDNESS2"},
    {kIdConvert2, "BITMAP_CONVERT2"},
    {kIdCancel, "BITMAP_CANCEL"},
};

// The command table: which handler a click on each button runs.
struct Command {
  int id;
  void (CQuorvinDlg::*handler)();
};
constexpr Command kCommands[] = {
    {kIdMinimize, &CQuorvinDlg::OnMinimize},
    {kIdExit, &CQuorvinDlg::OnExit},
    {kIdAddFiles, &CQuorvinDlg::OnAddFiles},
    {kIdAddFolder, &CQuorvinDlg::OnAddFolder},
    {kIdRemove, &CQuorvinDlg::OnRemove},
    {kIdRemoveAll, &CQuorvinDlg::OnRemoveAll},
    {kIdPlay, &CQuorvinDlg::OnPlay},
    {kIdNormalization, &CQuorvinDlg::OnNormalization},
    {kIdConvert1, &CQuorvinDlg::OnConvert},
    {kIdOptions, &CQuorvinDlg::OnOptions},
    {kIdMore, &CQuorvinDlg::OnMore},
    {kIdHelp, &CQuorvinDlg::OnHelp},
    {kIdBrowse, &CQuorvinDlg::OnBrowse},
    {kIdSameFolderOff, &CQuorvinDlg::OnSameFolderOn},
    {kIdSameFolderOn, &CQuorvinDlg::OnSameFolderOff},
    {kIdSkipProblemsOff, &CQuorvinDlg::OnSkipProblemsOn},
    {kIdSkipProblemsOn, &CQuorvinDlg::OnSkipProblemsOff},
    {kIdLoudnessOff, &CQuorvinDlg::OnLoudnessOn},
    {kIdLoudnessOn, &CQuorvinDlg::OnLoudnessOff},
    {kIdConvert2, &CQuorvinDlg::OnConvert},
    {kIdCancel, &CQuorvinDlg::OnCancel},
};

// The popup menus: their commands and texts.
struct MenuEntry {
  int id;
  const char* text;
};
constexpr MenuEntry kMoreMenu[] = {
    {kMenuMoreReadMe, "&Read Me"},
    {kMenuMoreChangeLog, "&Change Log"},
    {kMenuMoreDocFolder, "&Documentation Folder"},
};
constexpr MenuEntry kHelpMenu[] = {
    {kMenuHelpUserGuide, "&User Guide"},
    {kMenuHelpTraining, "&Training Videos"},
    {kMenuHelpDesk, "&Help Desk"},
    {kMenuHelpAbout, "&About Quorvin..."},
};

bool InRange(int id, int first, int last) { return id >= first && id <= last; }

constexpr int kStatusBandHeight = 31;
const QColor kFrameColour(0x12, 0x18, 0x24);
const QColor kUncoveredColour(0xdc, 0xe2, 0xea);

}  // namespace

MainWindowServices MainWindowServices::Defaults() {
  MainWindowServices services;
  services.startAudio = &StartAudioLibrary;
  services.browseForFolder = &BrowseForFolder;
  return services;
}

CQuorvinDlg::CQuorvinDlg(MainWindowServices services, QWidget* parent)
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      m_services(std::move(services)),
      m_model(*this) {
  if (!m_services.messageHost) m_ownMessages = std::make_unique<QtMessageHost>(this);
  if (!m_services.openUrl) {
    m_services.openUrl = [this](const QUrl& url) {
      OpenWithDesktop(url, this, [this, url] { ReportOpenFailure(url); });
      return true;
    };
  }
  InitQuorvinResources();
  setWindowTitle(QStringLiteral("Quorvin"));
  setWindowIcon(QIcon(QStringLiteral(":/quorvin/quorvin.svg")));
  setMouseTracking(true);
  m_topImage.Load(kHeaderImageId);
  m_bottomImage.Load(kFooterImageId);
  m_bottomImageTop = 295;
  CreateControls();
  ConnectCommands();
  InstallImportHooks();
  m_playWatch.setInterval(250);
  connect(&m_playWatch, &QTimer::timeout, this, &CQuorvinDlg::UpdatePlayButton);
  qApp->installEventFilter(this);
}

CQuorvinDlg::~CQuorvinDlg() {
  qApp->removeEventFilter(this);
  // The controls go before the model: the list view follows the model's list until then.
  delete m_client;
  m_client = nullptr;
}

void CQuorvinDlg::CreateControls() {
  m_client = new QWidget(this);
  m_client->setCursor(Qt::ArrowCursor);
  m_client->setMouseTracking(true);
  m_client->move(kSizingBorder, kSizingBorder);

  for (const ButtonSpec& spec : kButtonSpecs) {
    auto* button = new CBitmapButton(m_client);
    button->setObjectName(QString::fromLatin1(spec.baseName));
    m_buttons[spec.id] = button;
    m_controls[spec.id] = button;
  }
  m_hiddenFocus = new QPushButton(QStringLiteral("HF"), m_client);
  m_hiddenFocus->setAutoDefault(false);
  m_hiddenFocus->setFocusPolicy(Qt::NoFocus);
  m_controls[kIdHiddenFocus] = m_hiddenFocus;

  m_list = new QVListCtrl(m_model.List(), m_client);
  m_controls[kIdSourceList] = m_list;

  const QColor black(Qt::black);
  const QColor blue(Qt::blue);
  auto* formatLabel = new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kRight, m_client);
  auto* bitrateLabel =
      new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kRight, m_client);
  auto* destinationLabel =
      new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kRight, m_client);
  m_statusLine = new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kLeft, m_client);
  m_statusLine->SetText(QStringLiteral("Status"));
  m_controls[kIdFormatLabel] = formatLabel;
  m_controls[kIdBitrateLabel] = bitrateLabel;
  m_controls[kIdDestinationLabel] = destinationLabel;
  m_controls[kIdStatusLine] = m_statusLine;

  m_formatList = new QComboBox(m_client);
  for (const char* format : kOutputFormats) {
    m_formatList->addItem(QString::fromLatin1(format));
  }
  m_bitrateList = new QComboBox(m_client);
  m_destinationList = new QComboBox(m_client);
  m_destinationList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  m_controls[kIdFormatList] = m_formatList;
  m_controls[kIdBitrateList] = m_bitrateList;
  m_controls[kIdDestinationList] = m_destinationList;
  m_formatList->setAccessibleName(QStringLiteral("Output Format"));
  m_bitrateList->setAccessibleName(QStringLiteral("Bitrate"));
  m_destinationList->setAccessibleName(QStringLiteral("Save to Folder"));

  m_buttons[kIdCancel]->hide();
}

void CQuorvinDlg::ConnectCommands() {
  for (const Command& command : kCommands) {
    const auto handler = command.handler;
    connect(m_buttons.at(command.id), &QAbstractButton::clicked, this,
            [this, handler] { (this->*handler)(); });
  }
  connect(m_formatList, &QComboBox::currentIndexChanged, this, &CQuorvinDlg::OnFormatChanged);
}

int CQuorvinDlg::OnInitDialog() {
  setWindowTitle(QStringLiteral("Quorvin"));
  m_layout.Apply(m_client, MainWindowTemplate(), 96.0,
                 [this](int id) { return Control(id); });
  resize(m_client->width() + 2 * kSizingBorder, m_client->height() + 2 * kSizingBorder);
  setMinimumSize(863, 399);
  setMaximumSize(863, QWIDGETSIZE_MAX);
  PlaceOnScreen();

  if (m_services.startAudio && !m_services.startAudio(this)) {
    done(0);
    return -1;
  }
  m_model.CreatePlayer();
  LoadNormalizationSettings(m_model.Normalization(), Settings().ConfigFilePath);

  for (const ButtonSpec& spec : kButtonSpecs) {
    m_buttons.at(spec.id)->LoadBitmaps(QString::fromLatin1(spec.baseName));
  }
  // Hidden but able to hold the keyboard focus: the focus goes here when the cursor is over
  // anything that is not a button.
  m_hiddenFocus->resize(0, 0);

  static_cast<CCustomStatic*>(Control(kIdFormatLabel))->SetText(QStringLiteral("Output Format:"));
  static_cast<CCustomStatic*>(Control(kIdDestinationLabel))
      ->SetText(QStringLiteral("Save to Folder:"));
  static_cast<CCustomStatic*>(Control(kIdBitrateLabel))->SetText(QStringLiteral("Bitrate:"));

  m_destinationList->insertItem(
      0, QString::fromStdString(ReadFolderSetting("DestinationFolder")));
  m_destinationList->setCurrentIndex(0);

  for (int id : {kIdFormatLabel, kIdFormatList, kIdBitrateLabel, kIdBitrateList,
                 kIdDestinationLabel, kIdDestinationList}) {
    m_bottomAnchors.Register(Control(id), 1.0f, 1.0f);
  }
  for (int id = kIdBrowse; id <= kIdCancel; ++id) m_bottomAnchors.Register(Control(id), 1.0f, 1.0f);
  m_bottomAnchors.Register(Control(kIdStatusLine), 1.0f, 1.0f);

  m_formatList->setCurrentIndex(0);
  SetToggle(kIdSameFolderOff, kIdSameFolderOn, false);
  Control(kIdBrowse)->setEnabled(true);
  m_destinationList->setEnabled(true);
  SetToggle(kIdSkipProblemsOff, kIdSkipProblemsOn, false);
  SetToggle(kIdLoudnessOff, kIdLoudnessOn, false);

  m_initialWindowSize = size();
  m_initialListSize = m_list->size();
  m_initialised = true;

  UpdateBitrateCombo(false);
  SetStatusText("Ready");
  return 1;
}

void CQuorvinDlg::PlaceOnScreen() {
  // The window chooses its own place before it is first mapped. Left to the window manager, a
  // frameless window's first position reaches Qt through a race between the manager's moves
  // and Qt's own query, and under some managers Qt keeps (0, 0): every drop-down list, menu and
  // dialog placed from it would open away from the window until the window is dragged.
  QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QPoint topLeft(area.x() + std::max(0, (area.width() - width()) / 2),
                       area.y() + std::max(0, (area.height() - height()) / 2));
  move(topLeft);
}

// ---- host interface

int CQuorvinDlg::ShowMessageBox(const std::string& text, unsigned type) {
  // An add tells how far it is only now and then: a count on the status line would be stale
  // while a file's message is up.
  if (m_adding && m_statusText.rfind("Adding...", 0) == 0) SetStatusText("Adding...");
  const int answer = m_services.messageHost
                         ? m_services.messageHost->ShowMessageBox(text, type)
                         : m_ownMessages->ShowMessageBox(text, type);
  RestoreFocusRule();
  return answer;
}

void CQuorvinDlg::SetStatusText(const std::string& text) {
  m_statusText = text;
  m_statusLine->SetText(QString::fromStdString(text));
  TraceStatusText(text);
}

void CQuorvinDlg::SelectRow(int row, bool selected) { m_model.List().SelectRow(row, selected); }

void CQuorvinDlg::PumpMessages() { QCoreApplication::processEvents(); }

void CQuorvinDlg::SetBatchControls(bool idle) {
  m_model.Batch().BatchLayoutActive = !idle;
  if (!idle) {
    ++m_batchesEntered;
    // Until the batch reports its first block, the status line says what has started.
    if (!m_batchStartText.empty()) SetStatusText(m_batchStartText);
    for (int id = kIdAddFiles; id <= kIdHelp; ++id) Control(id)->setEnabled(false);
    for (int id : {kIdSourceList, kIdFormatList, kIdBitrateList, kIdDestinationList}) {
      Control(id)->setEnabled(false);
    }
    for (int id = kIdBrowse; id <= kIdConvert2; ++id) Control(id)->setEnabled(false);
    Control(kIdCancel)->show();
    RestoreFocusRule();
    return;
  }
  for (int id = kIdAddFiles; id <= kIdHelp; ++id) Control(id)->setEnabled(true);
  m_list->setEnabled(true);
  m_formatList->setEnabled(true);
  const bool sameFolderOff = !OutputToSameFolder();
  m_destinationList->setEnabled(sameFolderOff);
  Control(kIdBrowse)->setEnabled(sameFolderOff);
  for (int id = kIdSameFolderOff; id <= kIdConvert2; ++id) Control(id)->setEnabled(true);
  Control(kIdCancel)->hide();
  UpdateBitrateCombo(true);
  RestoreFocusRule();
  UpdatePlayButton();
}

CBitmapButton* CQuorvinDlg::Button(int id) const {
  const auto found = m_buttons.find(id);
  return found == m_buttons.end() ? nullptr : found->second;
}

QWidget* CQuorvinDlg::Control(int id) const {
  const auto found = m_controls.find(id);
  return found == m_controls.end() ? nullptr : found->second;
}

bool CQuorvinDlg::OutputToSameFolder() const { return m_model.WindowOptions().sameFolder; }
bool CQuorvinDlg::SkipProblemFiles() const { return m_model.WindowOptions().skipProblemFiles; }
bool CQuorvinDlg::CalculateLoudness() const { return m_model.WindowOptions().calculateLoudness; }

void CQuorvinDlg::SetToggle(int offId, int onId, bool on) {
  // The model holds the option; the pair of buttons shows it.
  MainWindowModel::Options& options = m_model.WindowOptions();
  if (onId == kIdSameFolderOn) options.sameFolder = on;
  if (onId == kIdSkipProblemsOn) options.skipProblemFiles = on;
  if (onId == kIdLoudnessOn) options.calculateLoudness = on;
  QWidget* off = Control(offId);
  QWidget* onButton = Control(onId);
  const bool hadFocus = off->hasFocus() || onButton->hasFocus();
  off->setVisible(!on);
  onButton->setVisible(on);
  if (hadFocus) (on ? onButton : off)->setFocus();  // the button under the cursor stays lit
}

// ---- commands

void CQuorvinDlg::OnMinimize() { showMinimized(); }

void CQuorvinDlg::OnExit() {
  if (m_model.ConfirmExit()) done(0);
}

void CQuorvinDlg::OnRemove() { m_model.Remove(); }
void CQuorvinDlg::OnRemoveAll() { m_model.RemoveAll(); }
void CQuorvinDlg::OnPlay() {
  m_model.Play();
  UpdatePlayButton();
}

void CQuorvinDlg::UpdatePlayButton() {
  const PreviewPlayer* player = m_model.Player();
  const bool playing = player && player->IsPlaying();
  if (playing == m_showingStop) return;
  m_showingStop = playing;
  m_buttons.at(kIdPlay)->LoadBitmaps(QString::fromLatin1(playing ? "BITMAP_STOP" : "BITMAP_PLAY"));
  // Every other command stops the preview, and a file plays to its end: the button follows.
  if (playing) {
    m_playWatch.start();
  } else {
    m_playWatch.stop();
  }
}

void CQuorvinDlg::RestoreFocusRule() {
  // After a message box, a dialog or a change of layout Qt gives the focus back to the last
  // focused control or to the first one that can take it (Minimize): the focus rule decides
  // again from what is under the cursor, so no button stays lit with the cursor elsewhere.
  QWidget* under = QApplication::widgetAt(QCursor::pos());
  if (under && IsOwnWidget(under)) {
    ApplyFocusRule(under);
  } else {
    m_hiddenFocus->setFocus(Qt::OtherFocusReason);
  }
}

void CQuorvinDlg::OnMore() { TrackPopupMenu(kMenuMore); }
void CQuorvinDlg::OnHelp() { TrackPopupMenu(kMenuHelp); }

void CQuorvinDlg::OnBrowse() {
  const std::string start = m_destinationList->currentIndex() >= 0
                                ? m_destinationList->currentText().toStdString()
                                : std::string();
  if (!m_services.browseForFolder) return;
  const std::string chosen = m_services.browseForFolder(
      this, this, "Please select the new Save to Folder:", start);
  if (chosen.empty()) return;
  std::vector<std::string> entries;
  for (int i = 0; i < m_destinationList->count(); ++i) {
    entries.push_back(m_destinationList->itemText(i).toStdString());
  }
  const int index = FindOrAppendDestination(entries, chosen);
  if (index >= m_destinationList->count()) {
    m_destinationList->addItem(QString::fromStdString(chosen));
  }
  m_destinationList->setCurrentIndex(index);
}

void CQuorvinDlg::OnSameFolderOn() {
  SetToggle(kIdSameFolderOff, kIdSameFolderOn, true);
  Control(kIdBrowse)->setEnabled(false);
  m_destinationList->setEnabled(false);
}

void CQuorvinDlg::OnSameFolderOff() {
  SetToggle(kIdSameFolderOff, kIdSameFolderOn, false);
  Control(kIdBrowse)->setEnabled(true);
  m_destinationList->setEnabled(true);
}

void CQuorvinDlg::OnSkipProblemsOn() { SetToggle(kIdSkipProblemsOff, kIdSkipProblemsOn, true); }
void CQuorvinDlg::OnSkipProblemsOff() { SetToggle(kIdSkipProblemsOff, kIdSkipProblemsOn, false); }

void CQuorvinDlg::OnLoudnessOff() { SetToggle(kIdLoudnessOff, kIdLoudnessOn, false); }

void CQuorvinDlg::OnCancel() { m_model.Cancel(); }

void CQuorvinDlg::TrackPopupMenu(int menuId) {
  QMenu menu(this);
  auto addEntries = [&menu](const auto& entries) {
    for (const MenuEntry& entry : entries) {
      menu.addAction(QString::fromLatin1(entry.text))->setData(entry.id);
    }
  };
  if (menuId == kMenuMore) {
    addEntries(kMoreMenu);
  } else {
    addEntries(kHelpMenu);
  }
  // The menu opens under its button, its right edge kept inside the window (Help sits at the
  // window's right end); QMenu keeps it on the screen.
  const QWidget* button = Control(menuId == kMenuMore ? kIdMore : kIdHelp);
  const QPoint below = button->mapToGlobal(QPoint(0, button->height()));
  const int windowRight = mapToGlobal(QPoint(width(), 0)).x();
  const QPoint at(std::min(below.x(), windowRight - menu.sizeHint().width()), below.y());
  const QAction* chosen = menu.exec(at);
  AfterPopupMenu(chosen ? chosen->data().toInt() : 0);
}

void CQuorvinDlg::AfterPopupMenu(int command) {
  m_swallowNextClick = 1;
  if (command != 0) OnMenuCommand(command);
}

void CQuorvinDlg::OnMenuCommand(int id) {
  m_swallowNextClick = 0;
  switch (id) {
    case kMenuMoreReadMe:
    case kMenuHelpUserGuide:
    case kMenuHelpTraining: OpenDocument(QStringLiteral("README.md")); break;
    case kMenuMoreChangeLog:
    case kMenuHelpDesk: OpenDocument(QStringLiteral("CHANGELOG.md")); break;
    case kMenuMoreDocFolder: OpenDocument(QString()); break;
    case kMenuHelpAbout: OnAbout(); break;
    default: break;
  }
}

void CQuorvinDlg::OpenDocument(const QString& name) {
  const QString path = FindDocument(name);
  if (path.isEmpty()) {
    ShowMessage(this, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "The document %s was not found.  Please check the installation of Quorvin.",
                name.isEmpty() ? "folder" : name.toStdString().c_str());
    return;
  }
  if (m_services.openUrl) m_services.openUrl(QUrl::fromLocalFile(path));
}

void CQuorvinDlg::ReportOpenFailure(const QUrl& url) {
  const QString name = url.isLocalFile() ? url.toLocalFile() : url.toString();
  ShowMessage(this, 0, {}, MB_OK | MB_ICONEXCLAMATION,
              "Can't open:\n\n   %s\n\nNo program of this desktop opened it.  Please check that "
              "xdg-utils is installed and that a program is set for this kind of file, thanks.",
              name.toStdString().c_str());
}

void CQuorvinDlg::OnAbout() {
  ShowMessage(this, 0, {}, MB_OK, "%s", MainWindowModel::AboutText(QV_VERSION_STRING).c_str());
  m_swallowNextClick = 0;
}

// ---- window behaviour

bool CQuorvinDlg::IsOwnWidget(QObject* object) const {
  auto* widget = qobject_cast<QWidget*>(object);
  return widget && widget->window() == this;
}

bool CQuorvinDlg::eventFilter(QObject* watched, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride: {
      // Enter and Escape never reach the window's controls: a stray key cannot close it.
      const int key = static_cast<QKeyEvent*>(event)->key();
      if ((key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) &&
          IsOwnWidget(watched)) {
        event->accept();
        return true;
      }
      break;
    }
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease: {
      const Qt::MouseButton button = static_cast<QMouseEvent*>(event)->button();
      if (m_swallowNextClick == 1 && IsOwnWidget(watched) &&
          (button == Qt::LeftButton || button == Qt::RightButton || button == Qt::MiddleButton)) {
        m_swallowNextClick = 0;
        event->accept();
        return true;
      }
      if (watched == m_client) return HandleClientMouse(event);
      break;
    }
    case QEvent::MouseMove:
      // The focus rule runs whenever the cursor moves over the window with no button held,
      // not only when it enters a control: a move from a button back onto the background
      // enters no widget, and the button would otherwise stay lit.
      if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton && IsOwnWidget(watched)) {
        ApplyFocusRule(static_cast<QWidget*>(watched));
      }
      if (watched == m_client) return HandleClientMouse(event);
      break;
    case QEvent::Enter:
      if (IsOwnWidget(watched)) ApplyFocusRule(static_cast<QWidget*>(watched));
      break;
    case QEvent::WindowActivate:
      if (watched == this) RestoreFocusRule();
      break;
    case QEvent::Paint:
      if (watched == m_client) {
        QPainter painter(m_client);
        PaintClient(painter);
        return true;
      }
      break;
    default: break;
  }
  return QDialog::eventFilter(watched, event);
}

void CQuorvinDlg::ApplyFocusRule(QWidget* underCursor) {
  int id = 0;
  for (QWidget* w = underCursor; w && w != this; w = w->parentWidget()) {
    const auto found = std::find_if(m_controls.begin(), m_controls.end(),
                                    [w](const auto& entry) { return entry.second == w; });
    if (found != m_controls.end()) {
      id = found->first;
      underCursor = w;
      break;
    }
  }
  if (id == kIdDestinationList) return;
  if (InRange(id, kIdMinimize, kIdHelp) || InRange(id, kIdBrowse, kIdSkipProblemsOn) ||
      id == kIdConvert2 || id == kIdCancel) {
    underCursor->setFocus(Qt::MouseFocusReason);
    return;
  }
  m_hiddenFocus->setFocus(Qt::OtherFocusReason);
}

bool CQuorvinDlg::HandleClientMouse(QEvent* event) {
  auto* mouse = static_cast<QMouseEvent*>(event);
  const QPoint cursor = mouse->globalPosition().toPoint();
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      if (mouse->button() != Qt::LeftButton) return false;
      // The window manager moves the window where it can (Wayland lets only the compositor
      // move windows, and an X11 manager that moves it tells Qt where it went); our own moves
      // are the fallback for a display without a manager.
      if (windowHandle() && windowHandle()->startSystemMove()) return true;
      m_dragOffset = cursor - frameGeometry().topLeft();
      m_dragging = 1;
      mouse->accept();
      return true;
    case QEvent::MouseMove:
      if (m_dragging == 0) return false;
      move(cursor - m_dragOffset);
      return true;
    case QEvent::MouseButtonRelease:
      if (mouse->button() != Qt::LeftButton || m_dragging == 0) return false;
      m_dragging = 0;
      return true;
    default: return false;
  }
}

void CQuorvinDlg::PaintClient(QPainter& painter) {
  const QRect area = m_client->rect();
  painter.fillRect(area, kUncoveredColour);
  painter.fillRect(QRect(0, 0, area.width(), area.height() - kStatusBandHeight), Qt::white);
  painter.drawPixmap(0, 0, m_topImage.Pixmap());
  painter.drawPixmap(0, m_bottomImageTop, m_bottomImage.Pixmap());
}

void CQuorvinDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), kFrameColour);
}

void CQuorvinDlg::closeEvent(QCloseEvent* event) {
  if (!m_model.ConfirmExit()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void CQuorvinDlg::reject() {
  // Only a confirmed exit ends the window (Escape is filtered; this catches any other path).
  if (m_model.ExitConfirmed()) QDialog::reject();
}

void CQuorvinDlg::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape) return;
  QDialog::keyPressEvent(event);
}

void CQuorvinDlg::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (m_client) {
    m_client->resize(width() - 2 * kSizingBorder, height() - 2 * kSizingBorder);
  }
  if (!m_initialised) return;
  if (m_sizingEdge != 0) {
    m_layoutPending = true;  // laid out when the button is released
    return;
  }
  ApplySizeLayout();
}

void CQuorvinDlg::ApplySizeLayout() {
  m_layoutPending = false;
  const int dy = height() - m_initialWindowSize.height();
  const int dx = width() - m_initialWindowSize.width();
  m_list->resize(m_initialListSize.width() + dx, m_initialListSize.height() + dy);
  m_bottomImageTop = 295 + dy;
  m_bottomAnchors.Move(0, dy);
  m_client->update();
}

void CQuorvinDlg::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return QDialog::mousePressEvent(event);
  const int y = event->position().toPoint().y();
  const int edge = y < kSizingBorder ? 1 : (y >= height() - kSizingBorder ? 2 : 0);
  if (edge == 0) return QDialog::mousePressEvent(event);
  if (QGuiApplication::platformName().startsWith(QLatin1String("wayland")) && windowHandle() &&
      windowHandle()->startSystemResize(edge == 1 ? Qt::TopEdge : Qt::BottomEdge)) {
    return;
  }
  m_sizingEdge = edge;
  m_sizingStart = event->globalPosition().toPoint();
  m_sizingGeometry = geometry();
}

void CQuorvinDlg::mouseMoveEvent(QMouseEvent* event) {
  if (m_sizingEdge == 0) {
    const int y = event->position().toPoint().y();
    setCursor(y < kSizingBorder || y >= height() - kSizingBorder ? Qt::SizeVerCursor
                                                                  : Qt::ArrowCursor);
    return QDialog::mouseMoveEvent(event);
  }
  const int dy = event->globalPosition().toPoint().y() - m_sizingStart.y();
  QRect target = m_sizingGeometry;
  if (m_sizingEdge == 2) {
    target.setHeight(std::max(minimumHeight(), m_sizingGeometry.height() + dy));
  } else {
    const int newHeight = std::max(minimumHeight(), m_sizingGeometry.height() - dy);
    target.setTop(m_sizingGeometry.bottom() + 1 - newHeight);
  }
  setGeometry(target);
}

void CQuorvinDlg::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || m_sizingEdge == 0) {
    return QDialog::mouseReleaseEvent(event);
  }
  m_sizingEdge = 0;
  if (m_layoutPending) ApplySizeLayout();
}

int RunMainWindow() {
  CQuorvinDlg window;
  if (window.OnInitDialog() != 1) return 0;
  return window.exec();
}

}  // namespace qv
