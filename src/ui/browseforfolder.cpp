#include "ui/browseforfolder.h"

#include <QFileDialog>

#include "app/paths.h"

namespace qv {

std::string BrowseForFolder(QWidget* parent, BatchHost* owner, const std::string& title,
                            const std::string& startFolder) {
  const QString chosen = QFileDialog::getExistingDirectory(
      parent, QString::fromStdString(title), QString::fromStdString(startFolder),
      QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (chosen.isNull()) return {};  // cancelled
  return ValidateChosenFolder(owner, chosen.toStdString());
}

}  // namespace qv
