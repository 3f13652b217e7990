#pragma once

#include <QString>

namespace qv {

// The folder of the program's own documents: the installed documentation folder
// (<prefix>/share/doc/quorvin next to <prefix>/bin), else the source folder the program was
// built from. Empty when neither holds the user guide.
QString DocumentFolder();
// The full path of the document `name` (e.g. "README.md"), or of the folder itself when `name`
// is empty; empty when it is not there.
QString FindDocument(const QString& name);

}  // namespace qv
