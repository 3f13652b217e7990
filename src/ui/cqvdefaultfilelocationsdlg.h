#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QUrl;

namespace qv {

class BatchHost;

// The three default folders and the auto-play option as the options dialog edits them.
struct DefaultLocations {
  std::string sourceFile;    // where Add Files opens (SourceFilePath)
  std::string sourceFolder;  // where Add Folder starts (SourceFolderPath)
  std::string destination;   // the default destination (DestinationFolderPath)
  bool autoPlay = true;      // autoplayonopen
  std::string jobs;          // files at once (jobs=): empty for one per core
  std::string namePattern;   // output names from tags (namepattern=): empty for the source's
  std::string existing = "number";  // a taken output name (existing=): number, skip, replace,
                                    // update
};

enum class LocationField {
  None = -1,
  SourceFile = 0,
  SourceFolder = 1,
  Destination = 2,
  Jobs = 3,  // not a location, but checked and focused the same way
  NamePattern = 4,
};

// The options dialog's OK without widgets: trims each folder text (trailing blanks first, then
// leading), checks the source file, source folder and destination folders in that order, and
// at the first one that is empty or no existing folder shows its message through `owner` and
// returns that field; nothing is written then. When all three exist, writes the three texts as
// trimmed (a trailing "/" the user typed stays), sets AutoPlayOnOpen and writes
// autoplayonopen "1" or "0" to the configuration file, and returns LocationField::None.
LocationField SaveDefaultLocations(BatchHost& owner, const DefaultLocations& values);

// The values the dialog starts with: the three folder settings and AutoPlayOnOpen.
DefaultLocations ReadDefaultLocations();

// "Default File Locations and Options": edits for the three default folders, each with a "..."
// button that opens the folder picker, the auto-play box, "View Log File..." (the batch log in
// the desktop's viewer), OK and Cancel. OK saves through SaveDefaultLocations and stays open on
// a failure with the focus in the failing edit; Cancel saves nothing. Modal, GUI thread.
class CQVDefaultFileLocationsDlg : public QDialog {
  Q_OBJECT

 public:
  using BrowseService = std::function<std::string(QWidget* parent, BatchHost* owner,
                                                  const std::string& title,
                                                  const std::string& start)>;
  using OpenUrlService = std::function<bool(const QUrl&)>;
  // The name the first row would get with a template (empty without rows).
  using NamePreview = std::function<std::string(const std::string& pattern)>;

  CQVDefaultFileLocationsDlg(QWidget* parent, BatchHost& messages, BrowseService browse,
                             OpenUrlService openUrl);

  QLineEdit* Edit(LocationField field) const;
  QPushButton* BrowseButton(LocationField field) const;
  QCheckBox* AutoPlayBox() const { return m_autoPlay; }
  QLineEdit* JobsEdit() const { return m_jobs; }
  QLineEdit* NamePatternEdit() const { return m_namePattern; }
  QLabel* NamePreviewLabel() const { return m_namePreview; }
  QComboBox* ExistingBox() const { return m_existing; }
  void SetNamePreview(NamePreview preview);
  QPushButton* ViewLogButton() const { return m_viewLog; }
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* CancelButton() const { return m_cancel; }

  // OK: saves, or shows why not and keeps the dialog open.
  void accept() override;

 private:
  void OnInitDialog();
  void OnBrowse(LocationField field);
  void OnViewLogFile();
  void UpdateNamePreview();

  BatchHost& m_messages;
  BrowseService m_browse;
  OpenUrlService m_openUrl;
  QLineEdit* m_edits[3] = {};
  QPushButton* m_browseButtons[3] = {};
  QCheckBox* m_autoPlay = nullptr;
  QLineEdit* m_jobs = nullptr;
  QLineEdit* m_namePattern = nullptr;
  QLabel* m_namePreview = nullptr;
  QComboBox* m_existing = nullptr;
  NamePreview m_preview;
  QPushButton* m_viewLog = nullptr;
  QPushButton* m_ok = nullptr;
  QPushButton* m_cancel = nullptr;
};

}  // namespace qv
