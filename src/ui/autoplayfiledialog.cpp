#include "ui/autoplayfiledialog.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QGridLayout>

#include "model/previewplayer.h"

namespace qv {

namespace {

// Owns the dialog's auto-play state; a child of the dialog.
class AutoPlayHelper : public QObject {
 public:
  AutoPlayHelper(QFileDialog* dialog, PreviewPlayer& player)
      : QObject(dialog), m_state(player) {}
  AutoPlayState& State() { return m_state; }

 private:
  AutoPlayState m_state;
};

}  // namespace

QCheckBox* InstallAutoPlay(QFileDialog* dialog, PreviewPlayer& player, int autoPlayOnOpen) {
  dialog->setOption(QFileDialog::DontUseNativeDialog, true);
  auto* helper = new AutoPlayHelper(dialog, player);
  auto* box = new QCheckBox(QStringLiteral("Automatically play the selected file"), dialog);
  box->setObjectName(QStringLiteral("autoPlayCheckBox"));
  box->setChecked(helper->State().OnDialogStart(autoPlayOnOpen));
  if (auto* grid = qobject_cast<QGridLayout*>(dialog->layout())) {
    grid->addWidget(box, grid->rowCount(), 0, 1, grid->columnCount());
  }
  QObject::connect(box, &QCheckBox::clicked, helper,
                   [helper](bool checked) { helper->State().OnCheckBoxClicked(checked); });
  QObject::connect(dialog, &QFileDialog::currentChanged, helper, [helper](const QString& path) {
    helper->State().OnSelectionChanged(path.toStdString());
  });
  return box;
}

}  // namespace qv
