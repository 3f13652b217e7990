#pragma once

#include <QString>

#include "loudness/targettext.h"
#include "ui/qvedit.h"

namespace qv {

// The numeric edit of the normalization target. Every change of the text is checked at once:
// digits, "-" only as the first character, one "." anywhere, and a value from the minimum to the
// maximum (0.0 to 200.0 unless SetRange says otherwise). A valid text becomes the last valid
// text and is announced with TargetChanged; any other change is undone: the last valid text comes back with all of it
// selected, the edit beeps and says Refused. GUI thread only.
class QVNVEdit : public QVEdit {
  Q_OBJECT

 public:
  explicit QVNVEdit(QWidget* parent = nullptr);

  const QString& LastValidText() const { return m_lastValidText; }
  double Minimum() const { return m_minimum; }
  double Maximum() const { return m_maximum; }
  // The range of the standard in force (0.0 to 200.0 dB, -70.0 to 0.0 LUFS); the text is not
  // checked again until it changes.
  void SetRange(double minimum, double maximum) {
    m_minimum = minimum;
    m_maximum = maximum;
  }

 Q_SIGNALS:
  // A new valid text, also the one that the dialog sets when it starts.
  void TargetChanged(const QString& text);
  // A change was refused (after the text was restored and the beep sounded).
  void Refused();

 protected:
  void focusInEvent(QFocusEvent* event) override;

 private:
  void OnTextChanged(const QString& text);

  bool m_validating = true;
  QString m_lastValidText;
  double m_minimum = kMinimumTarget;
  double m_maximum = kMaximumTarget;
};

}  // namespace qv
