#include "ui/documents.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

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
