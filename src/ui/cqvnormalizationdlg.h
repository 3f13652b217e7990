#pragma once

#include <QDialog>
#include <QString>

class QCheckBox;
class QPushButton;

namespace qv {

class BatchHost;
class QVNVEdit;

// The modal "Normalization" dialog: the target loudness in a QVNVEdit (shown with one decimal)
// and the "Apply Volume Normalization during Conversion" box. While the user types, every valid
// target is announced with TargetChanged, so the main window retargets the rows at once;
// Cancel (or the close box) announces the target the dialog started with again. OK keeps the
// typed target and the box, and confirms the box through `messages`. Return presses the default
// button (OK, or the button that has the focus); Escape does nothing anywhere in the dialog, so
// a stray key never throws the typed target away. GUI thread only.
class CQVNormalizationDlg : public QDialog {
  Q_OBJECT

 public:
  CQVNormalizationDlg(double target, bool apply, QWidget* owner, BatchHost& messages);

  // Shows the target and the box (announcing the target) and runs the dialog modally:
  // QDialog::Accepted after OK, QDialog::Rejected after Cancel or the close box.
  int DoModal();
  // The first step of DoModal, for a dialog shown without its own event loop.
  void OnInitDialog();

  // The dialog's target and apply flag: as constructed, and the user's choice after OK.
  double Target() const { return m_target; }
  bool ApplyFlag() const { return m_apply; }

  QVNVEdit* Edit() const { return m_edit; }
  QCheckBox* ApplyBox() const { return m_applyBox; }
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* CancelButton() const { return m_cancel; }

  void OnOK();
  void OnCancel();
  // The close box and any other way of rejecting the dialog run OnCancel.
  void reject() override;

 Q_SIGNALS:
  void TargetChanged(const QString& text);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static bool IsSwallowedKey(const QEvent* event);

  BatchHost& m_messages;
  double m_target;
  bool m_apply;
  const double m_initialTarget;
  QVNVEdit* m_edit = nullptr;
  QCheckBox* m_applyBox = nullptr;
  QPushButton* m_ok = nullptr;
  QPushButton* m_cancel = nullptr;
};

}  // namespace qv
