#include "ui/cquorvindlg.h"
#include "app/settings.h"
#include "ui/cqvnormalizationdlg.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCursor>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QUrl>

#include "app/paths.h"
#include "app/showmessage.h"
#include "audio/startaudiolibrary.h"
#include "convert/formats.h"
#include "loudness/loudness.h"
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

// The skinned buttons, in the order the window gives them their images: the image set of
// each and the handler a click on it runs.
struct SkinButton {
  int id;
  const char* baseName;
  void (CQuorvinDlg::*handler)();
};
constexpr SkinButton kSkinButtons[] = {
    {kIdMinimize, "BITMAP_MINIMIZE", &CQuorvinDlg::OnMinimize},
    {kIdExit, "BITMAP_EXIT", &CQuorvinDlg::OnExit},
    {kIdAddFiles, "BITMAP_ADDFILES", &CQuorvinDlg::OnAddFiles},
    {kIdAddFolder, "BITMAP_ADDFOLDER", &CQuorvinDlg::OnAddFolder},
    {kIdRemove, "BITMAP_REMOVE", &CQuorvinDlg::OnRemove},
    {kIdRemoveAll, "BITMAP_REMOVEALL", &CQuorvinDlg::OnRemoveAll},
    {kIdPlay, "BITMAP_PLAY", &CQuorvinDlg::OnPlay},
    {kIdNormalization, "BITMAP_NORMALIZATION", &CQuorvinDlg::OnNormalization},
    {kIdConvert1, "BITMAP_CONVERT1", &CQuorvinDlg::OnConvert},
    {kIdOptions, "BITMAP_OPTIONS", &CQuorvinDlg::OnOptions},
    {kIdMore, "BITMAP_MORE", &CQuorvinDlg::OnMore},
    {kIdHelp, "BITMAP_HELP", &CQuorvinDlg::OnHelp},
    {kIdBrowse, "BITMAP_BROWSE", &CQuorvinDlg::OnBrowse},
    {kIdSameFolderOff, "BITMAP_OUTPUTTOSAMEFOLDER1", &CQuorvinDlg::OnSameFolderOn},
    {kIdSameFolderOn, "BITMAP_OUTPUTTOSAMEFOLDER2", &CQuorvinDlg::OnSameFolderOff},
    {kIdSkipProblemsOff, "BITMAP_SKIPPROBLEMFILES1", &CQuorvinDlg::OnSkipProblemsOn},
    {kIdSkipProblemsOn, "BITMAP_SKIPPROBLEMFILES2", &CQuorvinDlg::OnSkipProblemsOff},
    {kIdLoudnessOff, "BITMAP_CALCULATELOUDNESS1", &CQuorvinDlg::OnLoudnessOn},
    {kIdLoudnessOn, "BITMAP_CALCULATELOUDNESS2", &CQuorvinDlg::OnLoudnessOff},
    {kIdConvert2, "BITMAP_CONVERT2", &CQuorvinDlg::OnConvert},
    {kIdCancel, "BITMAP_CANCEL", &CQuorvinDlg::OnCancel},
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
const QColor kUncoveredColour(0xdc, 0xe2, 0xea);

}  // namespace

MainWindowServices MainWindowServices::Defaults() {
  MainWindowServices services;
  services.startAudio = &StartAudioLibrary;
  services.browseForFolder = &BrowseForFolder;
  return services;
}

CQuorvinDlg::CQuorvinDlg(MainWindowServices services, QWidget* parent)
    : FramelessFrame(parent),
      m_services(std::move(services)),
      m_host(this, m_services.messageHost,
             {.adding = [this] { return m_adding; },
              .afterMessage = [this] { RestoreFocusRule(); },
              .setLayout = [this](bool idle) { SetBatchLayout(idle); }}),
      m_model(m_host) {
  if (!m_services.openUrl) {
    m_services.openUrl = [this](const QUrl& url) {
      OpenWithDesktop(url, this, [this, url] { ReportOpenFailure(url); });
      return true;
    };
  }
  InitQuorvinResources();
  setWindowTitle(QStringLiteral("Quorvin"));
  setWindowIcon(QIcon(QStringLiteral(":/quorvin/quorvin.svg")));
  m_topImage.Load(kHeaderImageId);
  m_bottomImage.Load(kFooterImageId);
  m_bottomImageTop = 295;
  CreateControls();
  m_host.Attach(*m_statusLine);
  ConnectCommands();
  InstallImportHooks();
  m_playWatch.setInterval(250);
  connect(&m_playWatch, &QTimer::timeout, this, &CQuorvinDlg::UpdatePlayButton);
  qApp->installEventFilter(this);
}

CQuorvinDlg::~CQuorvinDlg() {
  qApp->removeEventFilter(this);
  // The controls go before the model: the list view follows the model's list until then.
  DeleteClientArea();
}

void CQuorvinDlg::CreateControls() {
  QWidget* client = ClientArea();
  for (const SkinButton& entry : kSkinButtons) {
    auto* button = new CBitmapButton(client);
    button->setObjectName(QString::fromLatin1(entry.baseName));
    m_buttons[entry.id] = button;
    m_controls[entry.id] = button;
  }
  m_hiddenFocus = new QPushButton(QStringLiteral("HF"), client);
  m_hiddenFocus->setAutoDefault(false);
  m_hiddenFocus->setFocusPolicy(Qt::NoFocus);
  m_controls[kIdHiddenFocus] = m_hiddenFocus;

  m_list = new QVListCtrl(m_model.List(), client);
  m_controls[kIdSourceList] = m_list;

  const QColor black(Qt::black);
  const QColor blue(Qt::blue);
  auto* formatLabel = new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kRight, client);
  auto* bitrateLabel =
      new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kRight, client);
  auto* destinationLabel =
      new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kRight, client);
  m_statusLine = new CCustomStatic(black, blue, true, {}, 0, CCustomStatic::kLeft, client);
  m_statusLine->SetText(QStringLiteral("Status"));
  m_normalizationBadge = new CCustomStatic(QColor(0x1a, 0x5f, 0xb4), blue, true, {}, 0,
                                           CCustomStatic::kRight, client);
  m_normalizationBadge->setAccessibleDescription(QStringLiteral("Normalization"));
  m_controls[kIdFormatLabel] = formatLabel;
  m_controls[kIdBitrateLabel] = bitrateLabel;
  m_controls[kIdDestinationLabel] = destinationLabel;
  m_controls[kIdStatusLine] = m_statusLine;
  m_controls[kIdNormalizationBadge] = m_normalizationBadge;

  m_formatList = new QComboBox(client);
  for (const OutputFormat& format : OutputFormats()) {
    m_formatList->addItem(QString::fromLatin1(format.listName));
  }
  m_bitrateList = new QComboBox(client);
  m_destinationList = new QComboBox(client);
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
  for (const SkinButton& entry : kSkinButtons) {
    const auto handler = entry.handler;
    connect(m_buttons.at(entry.id), &QAbstractButton::clicked, this,
            [this, handler] { (this->*handler)(); });
  }
  connect(m_formatList, &QComboBox::currentIndexChanged, this, &CQuorvinDlg::OnFormatChanged);
}

int CQuorvinDlg::OnInitDialog() {
  setWindowTitle(QStringLiteral("Quorvin"));
  m_layout.Apply(ClientArea(), MainWindowTemplate(), 96.0,
                 [this](int id) { return Control(id); });
  FitToClientArea();
  setMinimumSize(863, 399);
  setMaximumSize(863, QWIDGETSIZE_MAX);
  PlaceOnScreen();

  if (m_services.startAudio && !m_services.startAudio(&m_host)) {
    done(0);
    return -1;
  }
  m_model.CreatePlayer();
  LoadNormalizationSettings(m_model.Normalization(), Settings().ConfigFilePath);
  m_list->SetVolumeUnit(
      QString::fromLatin1(InfoOf(m_model.Normalization().standard).unit));

  for (const SkinButton& entry : kSkinButtons) {
    m_buttons.at(entry.id)->LoadBitmaps(QString::fromLatin1(entry.baseName));
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
  m_bottomAnchors.Register(Control(kIdNormalizationBadge), 1.0f, 1.0f);

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
  m_list->FitColumns();
  UpdateNormalizationBadge();
  m_host.SetStatusText("Ready");
  return 1;
}

// ---- the batch and idle layouts

void CQuorvinDlg::SetBatchLayout(bool idle) {
  m_model.Batch().BatchLayoutActive = !idle;
  if (!idle) {
    // Until the batch reports its first block, the status line says what has started.
    if (!m_batchStartText.empty()) m_host.SetStatusText(m_batchStartText);
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

void CQuorvinDlg::OnRemove() {
  m_model.Remove();
  // The last batch's summary speaks of rows that are gone.
  if (m_model.List().RowCount() == 0) m_host.SetStatusText("Ready");
}

void CQuorvinDlg::OnRemoveAll() {
  m_model.RemoveAll();
  m_host.SetStatusText("Ready");
}

void CQuorvinDlg::ShowBatchSummary(const std::string& text) {
  const std::string& log = m_model.Log().Path();
  if (!m_model.Log().IsOpen() || log.empty()) {
    m_host.SetStatusText(text);
    return;
  }
  m_host.SetStatusLink(text, log);
}

void CQuorvinDlg::UpdateNormalizationBadge() {
  const NormalizationChoice& choice = m_model.Normalization();
  if (!choice.apply) {
    m_normalizationBadge->SetText(QString());
    m_normalizationBadge->setToolTip(QString());
    return;
  }
  const StandardInfo& info = InfoOf(choice.standard);
  m_normalizationBadge->SetText(QString::fromStdString(
      FormatText("Normalize to %.1f %s (%s gain)", choice.Target(), info.unit,
                 choice.byAlbum ? "album" : "track")));
  m_normalizationBadge->setToolTip(
      QStringLiteral("The next conversion applies each file's gain (Normalization)."));
}
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
      this, &m_host, "Please select the new Save to Folder:", start);
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
    ShowMessage(&m_host, 0, {}, MB_OK | MB_ICONEXCLAMATION,
                "The document %s was not found.  Please check the installation of Quorvin.",
                name.isEmpty() ? "folder" : name.toStdString().c_str());
    return;
  }
  if (m_services.openUrl) m_services.openUrl(QUrl::fromLocalFile(path));
}

void CQuorvinDlg::ReportOpenFailure(const QUrl& url) {
  const QString name = url.isLocalFile() ? url.toLocalFile() : url.toString();
  ShowMessage(&m_host, 0, {}, MB_OK | MB_ICONEXCLAMATION,
              "Can't open:\n\n   %s\n\nNo program of this desktop opened it.  Please check that "
              "xdg-utils is installed and that a program is set for this kind of file, thanks.",
              name.toStdString().c_str());
}

void CQuorvinDlg::OnAbout() {
  ShowMessage(&m_host, 0, {}, MB_OK, "%s", MainWindowModel::AboutText(QV_VERSION_STRING).c_str());
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
      if (watched == m_statusLine && button == Qt::LeftButton && !m_host.StatusLink().empty() &&
          m_swallowNextClick == 0) {
        // A summary's status line opens the batch's log.
        if (event->type() == QEvent::MouseButtonRelease && m_services.openUrl) {
          m_services.openUrl(QUrl::fromLocalFile(QString::fromStdString(m_host.StatusLink())));
        }
        event->accept();
        return true;
      }
      if (m_swallowNextClick == 1 && IsOwnWidget(watched) &&
          (button == Qt::LeftButton || button == Qt::RightButton || button == Qt::MiddleButton)) {
        m_swallowNextClick = 0;
        event->accept();
        return true;
      }
      if (watched == ClientArea()) return HandleClientMouse(event);
      break;
    }
    case QEvent::MouseMove:
      // The focus rule runs whenever the cursor moves over the window with no button held,
      // not only when it enters a control: a move from a button back onto the background
      // enters no widget, and the button would otherwise stay lit.
      if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton && IsOwnWidget(watched)) {
        ApplyFocusRule(static_cast<QWidget*>(watched));
      }
      if (watched == ClientArea()) return HandleClientMouse(event);
      break;
    case QEvent::Enter:
      if (IsOwnWidget(watched)) ApplyFocusRule(static_cast<QWidget*>(watched));
      break;
    case QEvent::WindowActivate:
      if (watched == this) RestoreFocusRule();
      break;
    case QEvent::Paint:
      if (watched == ClientArea()) {
        QPainter painter(ClientArea());
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

void CQuorvinDlg::PaintClient(QPainter& painter) {
  const QRect area = ClientArea()->rect();
  painter.fillRect(area, kUncoveredColour);
  painter.fillRect(QRect(0, 0, area.width(), area.height() - kStatusBandHeight), Qt::white);
  painter.drawPixmap(0, 0, m_topImage.Pixmap());
  painter.drawPixmap(0, m_bottomImageTop, m_bottomImage.Pixmap());
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

void CQuorvinDlg::LayoutClient() {
  if (!m_initialised) return;
  const int dy = height() - m_initialWindowSize.height();
  const int dx = width() - m_initialWindowSize.width();
  m_list->resize(m_initialListSize.width() + dx, m_initialListSize.height() + dy);
  m_bottomImageTop = 295 + dy;
  m_bottomAnchors.Move(0, dy);
  ClientArea()->update();
}

int RunMainWindow(const QStringList& files) {
  CQuorvinDlg window;
  if (window.OnInitDialog() != 1) return 0;
  if (!files.isEmpty()) {
    QTimer::singleShot(0, &window, [&window, files] { window.OnPathsDropped(files); });
  }
  return window.exec();
}

}  // namespace qv
