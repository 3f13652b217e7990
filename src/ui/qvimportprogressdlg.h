#pragma once

#include <QDialog>
#include <string>

#include "tools/toolprogress.h"
#include "tools/toolrun.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace qv {

// The modal tool progress window: a caption and a subject line, a progress bar (0 to 10000),
// a "seconds of seconds" line and a Cancel button, over one run of the ffmpeg program. The run
// itself is core code (RunToolWithProgress); this window is its view. Cancel (the button,
// Escape or the window's close button) only sets the run's cancel flag; the run acts on it.
// GUI thread.
class QVImportProgressDlg : public QDialog, public ToolProgressView {
 public:
  enum : int {
    kIdCancel = 1600,
    kIdProgress = 1601,
    kIdCaption = 1602,
    kIdSubject = 1603,
    kIdSeconds = 1604,
  };

  QVImportProgressDlg(ToolRunRequest request, QWidget* parent);

  // Shows the window modally, runs the tool and hides it; returns the run's ToolRunResult.
  int RunModal();

  QWidget* Control(int id) const;

  // ToolProgressView
  void SetTitle(const std::string& title) override;
  void SetCaption(const std::string& caption) override;
  void SetSubject(const std::string& subject) override;
  void SetProgress(int position) override;
  void SetProgressText(const std::string& text) override;
  void ShowView() override;

 protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

 private:
  ToolRunRequest m_request;
  QLabel* m_caption = nullptr;
  QLabel* m_subject = nullptr;
  QProgressBar* m_progress = nullptr;
  QLabel* m_seconds = nullptr;
  QPushButton* m_cancel = nullptr;
  QString m_subjectText;
};

}  // namespace qv
