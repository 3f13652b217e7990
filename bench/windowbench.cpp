// Window benchmark: the real main window (offscreen), its Convert command over a list of files
// with one and with two files at once, side by side with quorvin-cli converting the same list
// with the same numbers of jobs, in one run. The sources are 44.1 kHz stereo FLAC files of
// music-like material made once with the ffmpeg program and kept in a cache folder.
//
// Then the window adding a folder of A short files (a drop; default 5,000), against the
// importer alone with as many threads.
//
// Usage: qv_windowbench [--files N] [--seconds S] [--format mp3|wav|m4a|wma] [--rounds R]
//        [--add A]
//   Prints the best of R rounds (default 1) of each. Goal: the window's two-job batch at least
//   1.8 times as fast as its one-job batch on two cores, and no slower than quorvin-cli with the
//   same jobs.

#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "benchsupport.h"
#include "app/host.h"
#include "app/paths.h"
#include "app/settings.h"
#include "import/sourceimporter.h"
#include "model/controlids.h"
#include "model/sourcelist.h"
#include "ui/cquorvindlg.h"
#include "ui/qvlistctrl.h"

namespace {

using qv::bench::RunCommand;
using qv::bench::QuietHost;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::vector<std::string> Sources(int files, int seconds) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-windowbench-" +
                             std::to_string(::getuid()) + "/" + std::to_string(seconds) + "s";
  fs::create_directories(folder);
  std::vector<std::string> paths;
  for (int i = 0; i < files; ++i) {
    const std::string path = folder + "/music" + std::to_string(i) + ".flac";
    if (!fs::exists(path) || fs::file_size(path) < 1000) {
      std::fprintf(stderr, "making %s\n", path.c_str());
      const double base = 196.0 + 23.0 * i;
      char graph[512];
      std::snprintf(graph, sizeof graph,
                    "aevalsrc=exprs='0.22*sin(2*PI*%.1f*t)+0.15*sin(2*PI*%.1f*t)|"
                    "0.2*sin(2*PI*%.1f*t)':s=44100:d=%d[tone];"
                    "anoisesrc=color=pink:amplitude=0.08:seed=%d:r=44100:d=%d,"
                    "pan=stereo|c0=c0|c1=c0[noise];[tone][noise]amix=inputs=2:normalize=0",
                    base, base * 1.25, base * 1.5, seconds, 17 + i, seconds);
      if (!RunCommand(std::string(QV_FFMPEG) +
                      " -hide_banner -nostdin -loglevel error -y -filter_complex \"" + graph +
                      "\" -c:a flac " + qv::ShellQuote(path + ".part.flac"))) {
        return {};
      }
      fs::rename(path + ".part.flac", path);
    }
    paths.push_back(path);
  }
  return paths;
}

// The window's Convert over `sources` into `out` with `jobs` files at once.
double TimeWindow(qv::CQuorvinDlg& window, QuietHost& host, const std::vector<std::string>& sources,
                  const std::string& out, int jobs) {
  fs::remove_all(out);
  fs::create_directories(out);
  qv::SourceList& list = window.Model().List();
  list.RemoveAllRows();
  for (const std::string& source : sources) {
    list.AddRow(qv::GetFileTitle(source, false), "flac", "", "", "", "", "", source, "", false);
  }
  auto* destinations = static_cast<QComboBox*>(window.Control(qv::kIdDestinationList));
  destinations->insertItem(0, QString::fromStdString(out));
  destinations->setCurrentIndex(0);
  qv::Settings().Jobs = jobs;
  qv::Settings().LogFilePath = out + "/QV_Log.txt";
  const int before = host.messages;
  const auto start = Clock::now();
  window.OnConvert();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return host.messages == before ? seconds : -1;
}

// quorvin-cli over the same files, with a configuration of its own.
double TimeCli(const std::string& cli, const std::string& home, const std::string& faac,
               const std::vector<std::string>& sources, const std::string& out, int jobs,
               const std::string& format) {
  fs::remove_all(out);
  fs::create_directories(out);
  fs::create_directories(home + "/Quorvin 1");
  std::ofstream(home + "/Quorvin 1/Quorvin1.ini")
      << "[Quorvin 1]\nFFMpegExe=" << QV_FFMPEG << "\nFFMpegAud=-vn\nFAACExe=" << faac
      << "\nautoplayonopen=0\n";
  std::string command = "env APPDATA=" + qv::ShellQuote(home) + " TMPDIR=" +
                        qv::ShellQuote(home) + " " + qv::ShellQuote(cli) + " --no-tags --format " +
                        format + " --jobs " + std::to_string(jobs) + " --dest " +
                        qv::ShellQuote(out);
  for (const std::string& source : sources) {
    command += ' ';
    command += qv::ShellQuote(source);
  }
  command += " 2>/dev/null";
  const auto start = Clock::now();
  if (!RunCommand(command)) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A folder of `files` copies of a 0.1 s WAV (copies: the list takes one file once).
std::string AddFolder(const std::string& scratch, int files) {
  const std::string folder = scratch + "/add";
  fs::create_directories(folder);
  const std::string seed = scratch + "/seed.wav";
  std::string command = QV_FFMPEG;
  command += " -hide_banner -nostdin -loglevel error -y -f lavfi -i sine=duration=0.1 -ac 2 ";
  command += qv::ShellQuote(seed);
  if (!RunCommand(command)) return {};
  for (int i = 0; i < files; ++i) {
    fs::copy_file(seed, fs::path(folder) / ("track " + std::to_string(i) + ".wav"));
  }
  return folder;
}

// The window adding `folder` as a drop adds it (the rows shown, the summary answered), against
// the importer alone on as many threads; each with an empty list. Prints both.
bool TimeAdd(qv::CQuorvinDlg& window, const std::string& folder, int files) {
  qv::Settings().Jobs = 2;
  window.Model().List().RemoveAllRows();
  auto start = Clock::now();
  window.OnPathsDropped({QString::fromStdString(folder)});
  const double ours = std::chrono::duration<double>(Clock::now() - start).count();
  const int shown = window.ListControl()->model()->rowCount();
  QuietHost host;
  qv::SourceList list;
  qv::SourceImporter importer(host, list, nullptr);
  importer.SetProbeThreads(2);
  start = Clock::now();
  importer.AddPaths({folder});
  const double core = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("\nadding a folder of %d files, 2 threads: the window %.2f s (%d rows shown), "
              "the importer alone %.2f s, window/importer %.2f\n",
              files, ours, shown, core, ours / core);
  return shown == files && list.RowCount() == files;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 8, seconds = 120, rounds = 1, addFiles = 5000;
  std::string format = "mp3";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--files")) files = std::max(2, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--seconds")) seconds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    else if (!std::strcmp(argv[i], "--format")) format = argv[i + 1];
    else if (!std::strcmp(argv[i], "--add")) addFiles = std::max(1, std::atoi(argv[i + 1]));
  }
  if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (!std::getenv("SDL_AUDIODRIVER")) ::setenv("SDL_AUDIODRIVER", "dummy", 1);
  QApplication app(argc, argv);
  const fs::path build = fs::canonical(fs::path(argv[0])).parent_path().parent_path();
  const std::string faac = (build / "src/qvfaac/qvfaac").string();
  const std::string cli = (build / "src/cli/quorvin-cli").string();
  const std::vector<std::string> sources = Sources(files, seconds);
  if (sources.empty()) return 1;
  char pattern[] = "/tmp/qv-windowbench-out-XXXXXX";
  const char* scratchDir = ::mkdtemp(pattern);
  if (!scratchDir) return 1;
  const std::string scratch = scratchDir;

  QuietHost host(true);  // a benchmark run has no messages: each one is told
  qv::MainWindowServices services = qv::MainWindowServices::Defaults();
  services.messageHost = &host;
  qv::CQuorvinDlg window(services);
  if (window.OnInitDialog() != 1) return 1;
  window.show();
  qv::Settings().FaacPath = faac;
  auto* formats = static_cast<QComboBox*>(window.Control(qv::kIdFormatList));
  formats->setCurrentText(QString::fromStdString(format).toUpper());

  std::printf("%d files of %d s (44.1 kHz stereo FLAC) to %s, best of %d round(s)\n", files,
              seconds, format.c_str(), rounds);
  std::printf("%-8s %12s %12s %10s\n", "jobs", "window", "quorvin-cli", "window/cli");
  double window1 = 0, window2 = 0, cli2 = 0;
  for (const int jobs : {1, 2}) {
    double ours = 1e30, theirs = 1e30;
    for (int r = 0; r < rounds; ++r) {
      const double a = TimeWindow(window, host, sources, scratch + "/window", jobs);
      const double b = TimeCli(cli, scratch + "/home", faac, sources, scratch + "/cli", jobs,
                               format);
      if (a < 0 || b < 0) {
        std::fprintf(stderr, "a batch failed\n");
        return 1;
      }
      ours = std::min(ours, a);
      theirs = std::min(theirs, b);
    }
    (jobs == 1 ? window1 : window2) = ours;
    if (jobs == 2) cli2 = theirs;
    std::printf("%-8d %11.2fs %11.2fs %10.2f\n", jobs, ours, theirs, ours / theirs);
    std::fflush(stdout);
  }
  const double speedup = window1 / window2;
  std::printf("window speedup with 2 jobs: %.2f (goal >= 1.8); window against quorvin-cli: "
              "%.2f (goal <= 1.0)\n",
              speedup, window2 / cli2);
  const std::string folder = AddFolder(scratch, addFiles);
  if (folder.empty() || !TimeAdd(window, folder, addFiles)) {
    std::fprintf(stderr, "the add failed\n");
    fs::remove_all(scratch);
    return 1;
  }
  fs::remove_all(scratch);
  return speedup >= 1.8 && window2 <= cli2 ? 0 : 2;
}
