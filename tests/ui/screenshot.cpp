// Shows the main window with a few listed files and saves a picture of it: the program that
// scripts/screenshot.sh runs under Xvfb. Usage: qv_screenshot OUTPUT.png FILE...
// The configuration comes from $APPDATA like the program's own; the rows are added by the import
// code and measured by the loudness batch, so every cell is one the program computed.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>

#include "app/paths.h"
#include "app/showmessage.h"
#include "app/startup.h"
#include "app/settings.h"
#include "import/sourceimporter.h"
#include "loudness/loudness.h"
#include "loudness/loudnessengine.h"
#include "model/listcolumns.h"
#include "ui/cquorvindlg.h"
#include "ui/qthost.h"
#include "ui/qvlistctrl.h"

namespace {

// Answers every message with its default button and shows nothing: the picture must not wait
// for a person.
class SilentHost final : public qv::BatchHost {
 public:
  int ShowMessageBox(const std::string& text, unsigned type) override {
    std::fprintf(stderr, "%s\n", text.c_str());
    return qv::DefaultAnswer(type);
  }
  void SetStatusText(const std::string&) override {}
  void PumpMessages() override {}
  void SetBatchControls(bool) override {}
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const bool batchLayout = argc > 1 && std::string(argv[1]) == "--batch";
  if (batchLayout) {
    --argc;
    ++argv;
  }
  if (argc < 2) {
    std::fprintf(stderr, "usage: qv_screenshot [--batch] OUTPUT.png FILE...\n");
    return 2;
  }
  qv::QtMessageHost ownerless;
  qv::SetOwnerlessHost(&ownerless);
  if (!qv::RunStartupChecks()) return 1;

  qv::CQuorvinDlg window;
  if (window.OnInitDialog() != 1) return 1;
  qv::SourceList& list = window.Model().List();
  // The rows come from the import code and the loudness batch, exactly as the commands make them.
  SilentHost silent;
  qv::SourceImporter importer(silent, list, [&window](const qv::ToolRunRequest& request) {
    return window.RunTool(request);
  });
  importer.AddPaths(std::vector<std::string>(argv + 2, argv + argc));
  qv::LoudnessEngine engine;
  qv::LoudnessBatchOptions loudness;
  loudness.logPath = qv::Settings().LogFilePath;
  qv::RunLoudnessBatch(window.Host(), list, window.Model().Batch(), engine, loudness);
  if (list.RowCount() > 1) list.SelectRow(1, true);
  window.move(40, 40);
  window.show();
  window.Host().SetStatusText("Ready.");
  if (batchLayout) {
    window.Host().SetBatchControls(false);
    window.Host().SetStatusText("File Conversion: file 2 of 6, 43% done");
  }

  const QString output = QString::fromLocal8Bit(argv[1]);
  int result = 1;
  QTimer::singleShot(1500, &window, [&] {
    QScreen* screen = window.screen();
    const QRect frame = window.frameGeometry();
    const QPixmap shot = screen->grabWindow(0, frame.x(), frame.y(), frame.width(),
                                            frame.height());
    result = shot.save(output) ? 0 : 1;
    std::fprintf(stderr, "%s %s (%dx%d)\n", result == 0 ? "saved" : "could not save",
                 argv[1], shot.width(), shot.height());
    window.Model().List().DestroyAllItems();
    app.exit(result);
  });
  app.exec();
  qv::SetOwnerlessHost(nullptr);
  return result;
}
