#include "ui/mainwindowhost.h"

#include <QCoreApplication>

#include "model/sourcelist.h"
#include "ui/ccustomstatic.h"
#include "ui/qthost.h"
#include "ui/windowtrace.h"

namespace qv {

MainWindowHost::MainWindowHost(QWidget* owner, BatchHost* messageHost, Hooks hooks)
    : m_messages(messageHost), m_hooks(std::move(hooks)) {
  if (!m_messages) {
    m_ownMessages = std::make_unique<QtMessageHost>(owner);
    m_messages = m_ownMessages.get();
  }
}

MainWindowHost::~MainWindowHost() = default;

void MainWindowHost::Attach(CCustomStatic& statusLine) {
  m_statusLine = &statusLine;
}

int MainWindowHost::ShowMessageBox(const std::string& text, unsigned type) {
  // An add tells how far it is only now and then: a count on the status line would be stale
  // while a file's message is up.
  if (m_hooks.adding() && m_statusText.rfind("Adding...", 0) == 0) SetStatusText("Adding...");
  const int answer = m_messages->ShowMessageBox(text, type);
  m_hooks.afterMessage();
  return answer;
}

void MainWindowHost::SetStatusLink(const std::string& text, const std::string& file) {
  SetStatusText(text);
  m_statusLink = file;
  if (!file.empty()) TraceLine("status link \"" + file + "\"");
  if (!m_statusLine) return;
  m_statusLine->SetLink(!file.empty());
  m_statusLine->setToolTip(file.empty() ? QString()
                                        : QStringLiteral("Click to open the log of this batch:\n") +
                                              QString::fromStdString(file));
}

void MainWindowHost::SetStatusText(const std::string& text) {
  m_statusText = text;
  if (!m_statusLink.empty()) {
    m_statusLink.clear();
    if (m_statusLine) {
      m_statusLine->SetLink(false);
      m_statusLine->setToolTip(QString());
    }
  }
  if (m_statusLine) m_statusLine->SetText(QString::fromStdString(text));
  TraceStatusText(text);
}

void MainWindowHost::PumpMessages() { QCoreApplication::processEvents(); }

void MainWindowHost::SetBatchControls(bool idle) { m_hooks.setLayout(idle); }

}  // namespace qv
