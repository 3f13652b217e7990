#include "ui/documents.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

namespace qv {

QString DocumentFolder(const QString& applicationDir) {
  const QStringList candidates = {
      QDir(applicationDir).absoluteFilePath(QStringLiteral("../share/doc/quorvin")),
      QStringLiteral(QV_BUILD_DOC_DIR),
  };
  for (const QString& folder : candidates) {
    if (QFileInfo::exists(QDir(folder).filePath(QStringLiteral("README.md")))) {
      return QDir::cleanPath(folder);
    }
  }
  return {};
}

QString DocumentFolder() { return DocumentFolder(QCoreApplication::applicationDirPath()); }

QString FindDocument(const QString& name) {
  const QString folder = DocumentFolder();
  if (folder.isEmpty() || name.isEmpty()) return folder;
  const QString path = QDir(folder).filePath(name);
  return QFileInfo::exists(path) ? path : QString();
}

}  // namespace qv

namespace qv {

void OpenWithDesktop(const QUrl& url, QObject* context, std::function<void()> failed) {
  const QString launcher = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
  if (launcher.isEmpty()) {
    if (!QDesktopServices::openUrl(url) && failed) failed();
    return;
  }
  // Qt's desktop services start the launcher and never learn whether it opened anything: the
  // launcher runs here, and its exit status says. It has no parent, so that the end of the
  // window or of the program never kills what it started; it deletes itself when it ends.
  auto* process = new QProcess;
  process->setProgram(launcher);
  process->setArguments({url.isLocalFile() ? url.toLocalFile() : url.toString()});
  process->setStandardInputFile(QProcess::nullDevice());
  process->setStandardOutputFile(QProcess::nullDevice());
  process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
  QObject::connect(process, &QProcess::finished, context,
                   [failed](int code, QProcess::ExitStatus status) {
                     if ((status != QProcess::NormalExit || code != 0) && failed) failed();
                   });
  QObject::connect(process, &QProcess::errorOccurred, context,
                   [failed](QProcess::ProcessError error) {
                     if (error == QProcess::FailedToStart && failed) failed();
                   });
  QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
  QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError e) {
    if (e == QProcess::FailedToStart) process->deleteLater();
  });
  process->start();
}

}  // namespace qv
