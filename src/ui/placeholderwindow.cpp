// A plain window that stands in for the main window until it lands.
#include <QDialog>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/mainwindowrunner.h"

namespace qv {

int RunMainWindow() {
  QDialog dialog;
  dialog.setWindowTitle(QStringLiteral("Quorvin"));
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(new QLabel(QStringLiteral("Quorvin"), &dialog));
  return dialog.exec();
}

}  // namespace qv
