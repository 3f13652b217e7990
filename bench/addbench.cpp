// Add benchmark: 100, 1,000 and 10,000 short files (WAV, FLAC, MP3 in turn) added through
// SourceImporter::AddSourceFile with a host that answers every message; prints the time per
// file at each size and the ratio of the largest to the smallest. Then a tree of 10,000 such
// files in three levels added as a folder with its sub-folders, with one and with two probing
// threads: the time per file of each (goal: at most 0.5 ms with two threads) and whether both
// gave the same rows in the same order.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "benchsupport.h"
#include "app/host.h"
#include "app/paths.h"
#include "import/sourceimporter.h"
#include "model/sourcelist.h"

namespace {

using qv::bench::QuietHost;

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("qv-addbench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const char* kinds[] = {"wav", "flac", "mp3"};
  for (const char* kind : kinds) {
    const std::string command = std::string(QV_FFMPEG) +
                                " -hide_banner -nostdin -loglevel error -y -f lavfi -i "
                                "sine=frequency=440:duration=0.5 -ac 2 " +
                                qv::ShellQuote((dir / (std::string("seed.") + kind)).string());
    if (std::system(command.c_str()) != 0) return 1;
  }
  double perFile[3] = {};
  const int sizes[3] = {100, 1000, 10000};
  for (int s = 0; s < 3; ++s) {
    const fs::path folder = dir / std::to_string(sizes[s]);
    fs::create_directories(folder);
    std::vector<std::string> paths;
    for (int i = 0; i < sizes[s]; ++i) {
      const char* kind = kinds[i % 3];
      const fs::path path = folder / ("file " + std::to_string(i) + "." + kind);
      fs::copy_file(dir / (std::string("seed.") + kind), path);
      paths.push_back(path.string());
    }
    QuietHost host(true);
    qv::SourceList list;
    qv::SourceImporter importer(host, list, nullptr);
    qv::AddCounters counters;
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& path : paths) importer.AddSourceFile(path, counters);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    perFile[s] = seconds / sizes[s];
    std::printf("%6d files: %8.3f ms per file (%d added)\n", sizes[s], perFile[s] * 1000.0,
                counters.added);
  }
  std::printf("per-file time at 10000 / at 100: %.2f (goal: at most 1.30)\n",
              perFile[2] / perFile[0]);

  // The tree: 10 folders of 10 folders of 100 files.
  const fs::path tree = dir / "tree";
  int made = 0;
  for (int a = 0; a < 10; ++a) {
    for (int b = 0; b < 10; ++b) {
      const fs::path folder = tree / ("artist " + std::to_string(a)) / ("album " + std::to_string(b));
      fs::create_directories(folder);
      for (int i = 0; i < 100; ++i, ++made) {
        const char* kind = kinds[made % 3];
        fs::copy_file(dir / (std::string("seed.") + kind),
                      folder / ("track " + std::to_string(i) + "." + kind));
      }
    }
  }
  std::vector<std::string> rows[2];
  double treePerFile[2] = {};
  for (int threads = 1; threads <= 2; ++threads) {
    QuietHost host(true);
    qv::SourceList list;
    qv::SourceImporter importer(host, list, nullptr);
    importer.SetProbeThreads(threads);
    const auto start = std::chrono::steady_clock::now();
    const qv::AddCounters counters = importer.AddPaths({tree.string()}, true);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    treePerFile[threads - 1] = seconds / made;
    for (int row = 0; row < list.RowCount(); ++row) {
      std::string line = list.GetSourcePath(row);
      for (int column = 0; column < 7; ++column) line += "\t" + list.CellText(row, column);
      rows[threads - 1].push_back(line);
    }
    std::printf("tree of %d files, %d probing thread%s: %8.3f ms per file (%d added)\n", made,
                threads, threads == 1 ? "" : "s", treePerFile[threads - 1] * 1000.0,
                counters.added);
  }
  std::printf("two threads against one: %.2f times as fast; the same rows in the same order: %s\n",
              treePerFile[0] / treePerFile[1], rows[0] == rows[1] ? "yes" : "NO");
  // Where the time goes: one probe of each kind (the rest of an add is the list's bookkeeping).
  for (const char* kind : kinds) {
    const std::string seed = (dir / (std::string("seed.") + kind)).string();
    constexpr int kProbes = 200;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kProbes; ++i) {
      qv::ProbeResult probe;
      qv::ProbeAudioFile(seed, probe);
    }
    const double each =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count() / kProbes;
    std::printf("one probe of a %s file: %.3f ms\n", kind, each * 1000.0);
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
