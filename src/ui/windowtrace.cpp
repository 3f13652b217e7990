#include "ui/windowtrace.h"

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

namespace qv {

namespace {

class WindowTraceFilter : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    const QEvent::Type type = event->type();
    if (type != QEvent::Show && type != QEvent::Move && type != QEvent::Hide) return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget || !widget->isWindow()) return false;
    // The frame as Qt knows it: what popups and dialogs are placed from.
    const QRect frame = widget->frameGeometry();
    QString line = QStringLiteral("qv-trace: %1 %2 \"%3\" %4,%5 %6x%7")
                       .arg(type == QEvent::Show   ? QStringLiteral("show")
                            : type == QEvent::Hide ? QStringLiteral("hide")
                                                   : QStringLiteral("move"),
                            QString::fromLatin1(widget->metaObject()->className()),
                            widget->windowTitle())
                       .arg(frame.x())
                       .arg(frame.y())
                       .arg(frame.width())
                       .arg(frame.height());
    if (auto* box = qobject_cast<QMessageBox*>(widget); box && type == QEvent::Show) {
      line += QStringLiteral(" text \"%1\"").arg(box->text().replace(QLatin1Char('\n'),
                                                                      QLatin1Char(' ')));
    }
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
    return false;
  }
};

}  // namespace

bool WindowTraceEnabled() {
  static const bool enabled = std::getenv("QUORVIN_TRACE_WINDOWS") != nullptr;
  return enabled;
}

void InstallWindowTrace() {
  static WindowTraceFilter* filter = nullptr;
  if (!WindowTraceEnabled() || filter || !qApp) return;
  filter = new WindowTraceFilter(qApp);
  qApp->installEventFilter(filter);
}

void TraceStatusText(const std::string& text) {
  if (!WindowTraceEnabled()) return;
  std::fprintf(stderr, "qv-trace: status \"%s\"\n", text.c_str());
  std::fflush(stderr);
}

void TraceLine(const std::string& text) {
  if (!WindowTraceEnabled()) return;
  std::fprintf(stderr, "qv-trace: %s\n", text.c_str());
  std::fflush(stderr);
}

}  // namespace qv
