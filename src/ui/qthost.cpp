#include "ui/qthost.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>

namespace qv {

int QtMessageHost::ShowMessageBox(const std::string& text, unsigned type) {
  QMessageBox box(m_owner);
  box.setWindowTitle(QString::fromUtf8(kAppTitle));
  box.setText(QString::fromStdString(text));
  const unsigned icon = type & 0xF0;
  if (icon == MB_ICONERROR) box.setIcon(QMessageBox::Critical);
  else if (icon == MB_ICONEXCLAMATION) box.setIcon(QMessageBox::Warning);
  else if ((type & 0xF) == MB_YESNO || (type & 0xF) == MB_YESNOCANCEL) box.setIcon(QMessageBox::Question);

  switch (type & 0xF) {
    case MB_YESNO:
    case MB_YESNOCANCEL: {
      QPushButton* yes = box.addButton(QMessageBox::Yes);
      QPushButton* no = box.addButton(QMessageBox::No);
      QPushButton* cancel = nullptr;
      if ((type & 0xF) == MB_YESNOCANCEL) cancel = box.addButton(QMessageBox::Cancel);
      box.setDefaultButton((type & MB_DEFBUTTON2) ? no : yes);
      box.setEscapeButton(cancel ? cancel : no);
      box.exec();
      if (box.clickedButton() == yes) return IDYES;
      if (cancel && box.clickedButton() == cancel) return IDCANCEL;
      return IDNO;
    }
    default:
      box.addButton(QMessageBox::Ok);
      box.exec();
      return IDOK;
  }
}

void QtMessageHost::PumpMessages() { QCoreApplication::processEvents(); }

}  // namespace qv
