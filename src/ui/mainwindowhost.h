#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/host.h"

class QWidget;

namespace qv {

class CCustomStatic;
class QtMessageHost;

// The host through which batches and commands reach the main window: message boxes, the
// status line, the source file list's selection, event pumping and the batch/idle layout.
// GUI thread only.
class MainWindowHost final : public BatchHost {
 public:
  // What the host asks of the window it serves.
  struct Hooks {
    // True while an adding command runs.
    std::function<bool()> adding;
    // After a message box has closed (the window's focus rule decides again).
    std::function<void()> afterMessage;
    // Switches the window's controls to the batch layout (false) or the idle layout (true).
    std::function<void(bool idle)> setLayout;
  };

  // Message boxes go to `messageHost`, or when it is null to real message boxes owned by
  // `owner`.
  MainWindowHost(QWidget* owner, BatchHost* messageHost, Hooks hooks);
  ~MainWindowHost() override;

  // The views the host writes to, once the window has created them.
  void Attach(CCustomStatic& statusLine);

  int ShowMessageBox(const std::string& text, unsigned type) override;
  void SetStatusText(const std::string& text) override;
  void PumpMessages() override;
  void SetBatchControls(bool idle) override;

  // Shows `text` in the status line as a link that opens `file` when clicked (until the next
  // text).
  void SetStatusLink(const std::string& text, const std::string& file);
  const std::string& StatusText() const { return m_statusText; }
  // The file a click on the status line opens; empty when it opens none.
  const std::string& StatusLink() const { return m_statusLink; }

 private:
  BatchHost* m_messages;
  std::unique_ptr<QtMessageHost> m_ownMessages;
  Hooks m_hooks;
  CCustomStatic* m_statusLine = nullptr;
  std::string m_statusText;
  std::string m_statusLink;
};

}  // namespace qv
