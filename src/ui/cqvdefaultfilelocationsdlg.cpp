#include "ui/cqvdefaultfilelocationsdlg.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

#include "app/host.h"
#include "app/inifile.h"
#include "app/paths.h"
#include "app/settings.h"
#include "app/showmessage.h"
#include "convert/conversionoptions.h"
#include "convert/nametemplate.h"
#include "model/batchlog.h"
#include "model/batchrunner.h"

namespace qv {

namespace {

struct FieldSpec {
  const char* label;
  const char* settingBase;  // ReadFolderSetting base; the key is base + "Path"
  const char* browseTitle;
  const char* missingMessage;
  const char* objectName;
};

constexpr FieldSpec kFields[3] = {
    {"Source File Path:", "SourceFile", "Please select the new Source File Path:",
     "The chosen Source File path was not found, and can not be used to store computer files.  "
     "Please pick a directory that is on a physical hard drive.",
     "sourceFilePath"},
    {"Source Folder Path:", "SourceFolder", "Please select the new Source Folder Path:",
     "The chosen Source Folder path was not found, and can not be used to store computer files.  "
     "Please pick a directory that is on a physical hard drive.",
     "sourceFolderPath"},
    {"Destination File Path:", "DestinationFolder",
     "Please select the new Destination File Path:",
     "The chosen Destination File path was not found, and can not be used to store computer "
     "files.  Please pick a directory that is on a physical hard drive.",
     "destinationFolderPath"},
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Trailing white space first, then leading.
std::string Trimmed(std::string text) {
  while (!text.empty() && IsBlank(text.back())) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && IsBlank(text[start])) ++start;
  return text.substr(start);
}

}  // namespace

DefaultLocations ReadDefaultLocations() {
  DefaultLocations values;
  values.sourceFile = ReadFolderSetting(kFields[0].settingBase);
  values.sourceFolder = ReadFolderSetting(kFields[1].settingBase);
  values.destination = ReadFolderSetting(kFields[2].settingBase);
  values.autoPlay = Settings().AutoPlayOnOpen != 0;
  if (Settings().Jobs > 0) values.jobs = std::to_string(Settings().Jobs);
  values.namePattern = Settings().NamePattern;
  values.existing = Settings().Existing;
  return values;
}

LocationField SaveDefaultLocations(BatchHost& owner, const DefaultLocations& values) {
  const std::string* texts[3] = {&values.sourceFile, &values.sourceFolder, &values.destination};
  std::string checked[3];
  for (int i = 0; i < 3; ++i) {
    checked[i] = Trimmed(*texts[i]);
    // An empty field is refused before the root rule could turn it into "/".
    const bool usable = !checked[i].empty() && FolderExists(std::string_view(checked[i]));
    if (!usable) {
      ShowMessage(&owner, 0, {}, MB_ICONEXCLAMATION, "%s", kFields[i].missingMessage);
      return static_cast<LocationField>(i);
    }
    AddRootBackslash(checked[i]);
  }
  const std::string jobsText = Trimmed(values.jobs);
  const int jobs = ParseJobsText(jobsText);
  if (jobs < 0) {
    ShowMessage(&owner, 0, {}, MB_ICONEXCLAMATION,
                "Files at once must be a whole number from 1 to %d, or empty for one file per "
                "core (%d on this computer), thanks.",
                kMaxJobs, AvailableCores());
    return LocationField::Jobs;
  }
  const std::string pattern = Trimmed(values.namePattern);
  const std::string problem = pattern.empty() ? std::string() : CheckNameTemplate(pattern);
  if (!problem.empty()) {
    ShowMessage(&owner, 0, {}, MB_ICONEXCLAMATION, "File names: %s.", problem.c_str());
    return LocationField::NamePattern;
  }
  ExistingChoice existing = ExistingChoice::Number;
  ExistingChoiceFromKey(values.existing, existing);
  const std::string& config = Settings().ConfigFilePath;
  bool written = true;
  for (int i = 0; i < 3; ++i) {
    written = WriteProfileString(config, kConfigSection,
                                 std::string(kFields[i].settingBase) + "Path", checked[i]) &&
              written;
  }
  Settings().AutoPlayOnOpen = values.autoPlay ? 1 : 0;
  written = WriteProfileString(config, kConfigSection, "autoplayonopen",
                               values.autoPlay ? "1" : "0") &&
            written;
  Settings().Jobs = jobs;
  written = WriteProfileString(config, kConfigSection, "jobs", jobs > 0 ? jobsText : "") &&
            written;
  Settings().NamePattern = pattern;
  written = WriteProfileString(config, kConfigSection, "namepattern", pattern) && written;
  Settings().Existing = KeyOfExistingChoice(existing);
  written = WriteProfileString(config, kConfigSection, "existing", Settings().Existing) && written;
  if (!written) {
    // Closing as if saved would lose the user's choice without a word.
    ShowMessage(&owner, 0, {}, MB_ICONEXCLAMATION,
                "The settings could not be saved to the configuration file:\n\n   %s\n\nThey "
                "apply until Quorvin ends.",
                config.c_str());
  }
  return LocationField::None;
}

CQVDefaultFileLocationsDlg::CQVDefaultFileLocationsDlg(QWidget* parent, BatchHost& messages,
                                                       BrowseService browse,
                                                       OpenUrlService openUrl)
    : QDialog(parent),
      m_messages(messages),
      m_browse(std::move(browse)),
      m_openUrl(std::move(openUrl)) {
  setWindowTitle(QStringLiteral("Default File Locations and Options"));
  auto* layout = new QVBoxLayout(this);
  auto addLabel = [&](const char* text) {
    auto* label = new QLabel(QString::fromUtf8(text), this);
    label->setWordWrap(true);
    layout->addWidget(label);
  };
  addLabel("Here you can change the default locations for where Audio Files are found, and where "
           "you want to save new copies.  Use the Edit boxes to paste in a new path, or click the "
           "buttons to the right of them to use a Directory picker dialog box.");
  addLabel("Also, you can change the Auto-play Option, which allows you to preview Audio Files "
           "when Adding them.");

  auto* grid = new QGridLayout;
  for (int i = 0; i < 3; ++i) {
    grid->addWidget(new QLabel(QString::fromUtf8(kFields[i].label), this), i, 0);
    m_edits[i] = new QLineEdit(this);
    m_edits[i]->setObjectName(QString::fromUtf8(kFields[i].objectName));
    m_edits[i]->setMinimumWidth(320);
    grid->addWidget(m_edits[i], i, 1);
    m_browseButtons[i] = new QPushButton(QStringLiteral("..."), this);
    m_browseButtons[i]->setAutoDefault(false);
    grid->addWidget(m_browseButtons[i], i, 2);
    const auto field = static_cast<LocationField>(i);
    connect(m_browseButtons[i], &QPushButton::clicked, this, [this, field] { OnBrowse(field); });
  }
  layout->addLayout(grid);

  auto* group = new QGroupBox(QStringLiteral("Additional Options"), this);
  auto* groupLayout = new QHBoxLayout(group);
  m_autoPlay = new QCheckBox(QStringLiteral("Auto-play When Opening Files"), group);
  m_viewLog = new QPushButton(QStringLiteral("View Log File..."), group);
  m_viewLog->setAutoDefault(false);
  groupLayout->addWidget(m_autoPlay);
  groupLayout->addStretch();
  groupLayout->addWidget(new QLabel(QStringLiteral("Files at once:"), group));
  m_jobs = new QLineEdit(group);
  m_jobs->setObjectName(QStringLiteral("jobs"));
  m_jobs->setMaximumWidth(60);
  m_jobs->setPlaceholderText(QString::number(AvailableCores()));
  m_jobs->setToolTip(QStringLiteral("How many files a conversion or a loudness calculation "
                                    "works on at once; empty for one per core"));
  groupLayout->addWidget(m_jobs);
  groupLayout->addStretch();
  groupLayout->addWidget(m_viewLog);
  layout->addWidget(group);

  // Output names from tags, with the first row's name as a preview, and what a taken name gets.
  auto* names = new QGridLayout;
  names->addWidget(new QLabel(QStringLiteral("File names:"), this), 0, 0);
  m_namePattern = new QLineEdit(this);
  m_namePattern->setObjectName(QStringLiteral("namepattern"));
  m_namePattern->setPlaceholderText(QStringLiteral("{albumartist}/{album}/{track:02} {title}"));
  m_namePattern->setToolTip(QStringLiteral(
      "Output names from tags: {artist} {albumartist} {album} {title} {track} {disc} {year} "
      "{genre} {filename} {folder}; / makes folders, {track:02} pads to two digits. Empty "
      "keeps each source's own name."));
  names->addWidget(m_namePattern, 0, 1);
  m_namePreview = new QLabel(this);
  m_namePreview->setObjectName(QStringLiteral("namepreview"));
  m_namePreview->setTextFormat(Qt::PlainText);
  names->addWidget(m_namePreview, 1, 1);
  names->addWidget(new QLabel(QStringLiteral("Existing outputs:"), this), 2, 0);
  m_existing = new QComboBox(this);
  m_existing->setObjectName(QStringLiteral("existing"));
  m_existing->addItem(QStringLiteral("Keep them, save a numbered copy"), QStringLiteral("number"));
  m_existing->addItem(QStringLiteral("Skip files converted already"), QStringLiteral("skip"));
  m_existing->addItem(QStringLiteral("Replace them"), QStringLiteral("replace"));
  m_existing->addItem(QStringLiteral("Replace those older than their source"),
                      QStringLiteral("update"));
  names->addWidget(m_existing, 2, 1);
  layout->addLayout(names);
  connect(m_namePattern, &QLineEdit::textChanged, this,
          &CQVDefaultFileLocationsDlg::UpdateNamePreview);
  connect(m_viewLog, &QPushButton::clicked, this, &CQVDefaultFileLocationsDlg::OnViewLogFile);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  m_ok = new QPushButton(QStringLiteral("OK"), this);
  m_ok->setDefault(true);
  m_cancel = new QPushButton(QStringLiteral("Cancel"), this);
  m_cancel->setAutoDefault(false);
  buttons->addWidget(m_ok);
  buttons->addWidget(m_cancel);
  layout->addLayout(buttons);
  connect(m_ok, &QPushButton::clicked, this, &CQVDefaultFileLocationsDlg::accept);
  connect(m_cancel, &QPushButton::clicked, this, &CQVDefaultFileLocationsDlg::reject);

  OnInitDialog();
}

void CQVDefaultFileLocationsDlg::OnInitDialog() {
  const DefaultLocations values = ReadDefaultLocations();
  m_edits[0]->setText(QString::fromStdString(values.sourceFile));
  m_edits[1]->setText(QString::fromStdString(values.sourceFolder));
  m_edits[2]->setText(QString::fromStdString(values.destination));
  m_autoPlay->setChecked(values.autoPlay);
  m_jobs->setText(QString::fromStdString(values.jobs));
  m_namePattern->setText(QString::fromStdString(values.namePattern));
  const int existing = m_existing->findData(QString::fromStdString(values.existing));
  m_existing->setCurrentIndex(existing >= 0 ? existing : 0);
  UpdateNamePreview();
}

void CQVDefaultFileLocationsDlg::SetNamePreview(NamePreview preview) {
  m_preview = std::move(preview);
  UpdateNamePreview();
}

void CQVDefaultFileLocationsDlg::UpdateNamePreview() {
  const std::string pattern = Trimmed(m_namePattern->text().toStdString());
  std::string text;
  if (pattern.empty()) {
    text = "Each output keeps its source's name.";
  } else if (const std::string problem = CheckNameTemplate(pattern); !problem.empty()) {
    text = problem;
  } else if (const std::string name = m_preview ? m_preview(pattern) : std::string();
             !name.empty()) {
    text = "First file: " + name;
  } else {
    text = "Add files to see the first one's name.";
  }
  m_namePreview->setText(QString::fromStdString(text));
}

QLineEdit* CQVDefaultFileLocationsDlg::Edit(LocationField field) const {
  const int i = static_cast<int>(field);
  return i >= 0 && i < 3 ? m_edits[i] : nullptr;
}

QPushButton* CQVDefaultFileLocationsDlg::BrowseButton(LocationField field) const {
  const int i = static_cast<int>(field);
  return i >= 0 && i < 3 ? m_browseButtons[i] : nullptr;
}

void CQVDefaultFileLocationsDlg::OnBrowse(LocationField field) {
  const int i = static_cast<int>(field);
  if (!m_browse) return;
  const std::string chosen = m_browse(this, &m_messages, kFields[i].browseTitle,
                                      m_edits[i]->text().toStdString());
  if (!chosen.empty()) m_edits[i]->setText(QString::fromStdString(chosen));
}

void CQVDefaultFileLocationsDlg::OnViewLogFile() {
  // The log this window's last batch wrote (a numbered one when another instance held the
  // usual log). No log yet: nothing to show, and no desktop error about a missing file either.
  const std::string& log =
      LastBatchLogPath().empty() ? Settings().LogFilePath : LastBatchLogPath();
  if (log.empty() || !QFileInfo(QString::fromStdString(log)).isFile() || !m_openUrl) return;
  m_openUrl(QUrl::fromLocalFile(QString::fromStdString(log)));
}

void CQVDefaultFileLocationsDlg::accept() {
  DefaultLocations values;
  values.sourceFile = m_edits[0]->text().toStdString();
  values.sourceFolder = m_edits[1]->text().toStdString();
  values.destination = m_edits[2]->text().toStdString();
  values.autoPlay = m_autoPlay->isChecked();
  values.jobs = m_jobs->text().toStdString();
  values.namePattern = m_namePattern->text().toStdString();
  values.existing = m_existing->currentData().toString().toStdString();
  const LocationField failed = SaveDefaultLocations(m_messages, values);
  if (failed == LocationField::Jobs || failed == LocationField::NamePattern) {
    (failed == LocationField::Jobs ? m_jobs : m_namePattern)->setFocus();
    return;
  }
  if (failed != LocationField::None) {
    m_edits[static_cast<int>(failed)]->setFocus();
    return;
  }
  QDialog::accept();
}

}  // namespace qv
