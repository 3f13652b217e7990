#pragma once

#include <QString>

namespace qv {

// The folder of the program's own documents, found from the program's own folder
// `applicationDir`: the installed documentation folder (<prefix>/share/doc/quorvin next to
// <prefix>/bin), else the copy a build folder keeps for a program run from the build. The
// source tree the program was built from is never read. Empty when neither holds the user guide.
QString DocumentFolder(const QString& applicationDir);
// The same for the running program.
QString DocumentFolder();
// The full path of the document `name` (e.g. "README.md"), or of the folder itself when `name`
// is empty; empty when it is not there.
QString FindDocument(const QString& name);

}  // namespace qv

#include <QUrl>
#include <functional>

class QObject;

namespace qv {

// Opens `url` with the desktop's launcher (xdg-open, from the xdg-utils package) without
// waiting for it; without xdg-open on the PATH, Qt's own desktop services are asked. When no
// launcher is found, or it cannot start, or it ends with a failure (the desktop has no program
// for the file, the file is gone), `failed` runs on the GUI thread, unless `context` is gone by
// then. A program that the launcher starts keeps running when Quorvin ends.
void OpenWithDesktop(const QUrl& url, QObject* context, std::function<void()> failed);

}  // namespace qv
