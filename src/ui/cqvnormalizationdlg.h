#pragma once

#include <QDialog>
#include <QString>
#include <string>

#include "model/mainwindowmodel.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;

namespace qv {

class BatchHost;
class QVNVEdit;

// The modal "Normalization" dialog: the loudness standard, the target loudness in a QVNVEdit
// (shown with one decimal, in the standard's unit and range), the peak limit the gains keep to
// (per standard, -30.0 to 0.0 dB; applied at OK), the "Apply Volume Normalization
// during Conversion" box, album gain and ReplayGain tags. A change of standard or of album gain
// is announced with ViewChanged, so the rows show that standard's values at once. While the
// user types, every valid target is announced with TargetChanged, so the main window retargets
// the rows at once; Cancel (or the close box) announces the standard, album choice and target
// the dialog started with again. OK keeps the whole choice, and confirms the apply box through
// `messages`. Return presses the default
// button (OK, or the button that has the focus); Escape does nothing anywhere in the dialog, so
// a stray key never throws the typed target away. GUI thread only.
class CQVNormalizationDlg : public QDialog {
  Q_OBJECT

 public:
  CQVNormalizationDlg(double target, bool apply, QWidget* owner, BatchHost& messages);
  CQVNormalizationDlg(const NormalizationChoice& choice, QWidget* owner, BatchHost& messages);

  // Shows the target and the box (announcing the target) and runs the dialog modally:
  // QDialog::Accepted after OK, QDialog::Rejected after Cancel or the close box.
  int DoModal();
  // The first step of DoModal, for a dialog shown without its own event loop.
  void OnInitDialog();

  // The dialog's target and apply flag: as constructed, and the user's choice after OK.
  double Target() const { return m_target; }
  bool ApplyFlag() const { return m_apply; }
  // The whole choice after OK.
  const NormalizationChoice& Choice() const { return m_choice; }
  QComboBox* StandardList() const { return m_standardList; }
  QCheckBox* AlbumBox() const { return m_albumBox; }
  QCheckBox* TagsBox() const { return m_tagsBox; }

  QVNVEdit* Edit() const { return m_edit; }
  QVNVEdit* PeakLimitEdit() const { return m_peakEdit; }
  QCheckBox* ApplyBox() const { return m_applyBox; }
  QPushButton* OkButton() const { return m_ok; }
  QPushButton* CancelButton() const { return m_cancel; }

  void OnOK();
  void OnCancel();
  // The close box and any other way of rejecting the dialog run OnCancel.
  void reject() override;

 Q_SIGNALS:
  void TargetChanged(const QString& text);
  // The standard shown or album gain changed (then TargetChanged follows with its target).
  void ViewChanged(int standard, bool byAlbum);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static bool IsSwallowedKey(const QEvent* event);
  void OnStandardChosen(int index);
  void ShowStandard();

  BatchHost& m_messages;
  double m_target;
  bool m_apply;
  // The choice as the controls hold it (each standard keeps the target typed for it), and the
  // choice the dialog started with, which Cancel announces again.
  NormalizationChoice m_choice;
  const NormalizationChoice m_initial;
  QVNVEdit* m_edit = nullptr;
  QVNVEdit* m_peakEdit = nullptr;
  QLabel* m_peakUnitLabel = nullptr;
  QCheckBox* m_applyBox = nullptr;
  QComboBox* m_standardList = nullptr;
  QLabel* m_unitLabel = nullptr;
  QCheckBox* m_albumBox = nullptr;
  QCheckBox* m_tagsBox = nullptr;
  QPushButton* m_ok = nullptr;
  QPushButton* m_cancel = nullptr;
};

// The loudness standard, both targets and both peak limits in the configuration file
// (loudnessstandard=, targetreplaygain1=, targetr128=, peaklimitreplaygain1=, peaklimitr128=).
// Values missing or out of their range leave the defaults.
void LoadNormalizationSettings(NormalizationChoice& choice, const std::string& configPath);
bool SaveNormalizationSettings(const NormalizationChoice& choice, const std::string& configPath);

}  // namespace qv
