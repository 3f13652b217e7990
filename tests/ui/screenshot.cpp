// Shows the main window with a few listed files and saves a picture of it: the program that
// scripts/screenshot.sh runs under Xvfb. Usage: qv_screenshot OUTPUT.png FILE...
// The configuration comes from $APPDATA like the program's own; the rows are measured with the
// audio layer and added through the list model, as the import command will add them.
#include <QApplication>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>
#include <filesystem>

#include "app/paths.h"
#include "app/showmessage.h"
#include "app/startup.h"
#include "audio/bass.h"
#include "model/listcolumns.h"
#include "ui/cquorvindlg.h"
#include "ui/qthost.h"
#include "ui/qvlistctrl.h"

namespace {

// Adds one row for `path` with the numbers the audio layer reports; false when it cannot open it.
bool AddMeasuredRow(qv::SourceList& list, const std::string& path) {
  const HSTREAM stream =
      BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  if (stream == 0) return false;
  BASS_CHANNELINFO info;
  BASS_ChannelGetInfo(stream, &info);
  const double seconds =
      BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetLength(stream, BASS_POS_BYTE));
  BASS_StreamFree(stream);
  std::error_code error;
  const auto bytes = std::filesystem::file_size(path, error);
  const int kbps = seconds > 0 ? static_cast<int>(bytes * 8 / seconds / 1000) : 0;
  list.AddRow(qv::GetFileTitle(path, false), qv::GetLowerExtension(path),
              qv::FormatSizeCell(bytes), qv::FormatKbpsCell(kbps),
              qv::FormatFreqCell(static_cast<int>(info.freq)),
              qv::FormatBitsCell(static_cast<int>(info.origres)),
              qv::FormatChansCell(static_cast<int>(info.chans)), path, "", false);
  return true;
}

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
  for (int i = 2; i < argc; ++i) {
    if (!AddMeasuredRow(list, argv[i])) std::fprintf(stderr, "cannot open %s\n", argv[i]);
  }
  // Show a measured look for the first rows, as the loudness batch leaves them.
  const char* volumes[] = {"89.42", "92.87", "84.15"};
  const char* clipping[] = {"n", "Y", "n"};
  for (int row = 0; row < std::min(3, list.RowCount()); ++row) {
    list.SetCellText(row, qv::kColVolume, volumes[row]);
    list.SetCellText(row, qv::kColClipping, clipping[row]);
    list.SetCellText(row, qv::kColTrackGain,
                     qv::FormatDbCell(89.0 - qv::ReadLeadingReal(volumes[row])));
    list.SetCellText(row, qv::kColClipTrack, "n");
  }
  if (list.RowCount() > 1) list.SelectRow(1, true);
  window.move(40, 40);
  window.show();
  window.SetStatusText("Ready");
  if (batchLayout) {
    window.SetBatchControls(false);
    window.SetStatusText("File Conversion: file 2 of 6, 43% done");
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
