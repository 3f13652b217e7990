// Add benchmark: 100, 1,000 and 10,000 short files (WAV, FLAC, MP3 in turn) added through
// SourceImporter::AddSourceFile with a host that answers every message; prints the time per
// file at each size and the ratio of the largest to the smallest. Then a tree of 10,000 such
// files in three levels added as a folder with its sub-folders, with one and with two probing
// threads: the time per file of each (goal: at most 0.5 ms with two threads) and whether both
// gave the same rows in the same order, and what a row costs in memory (the heap the list
// holds, per row). The files are tagged (title, artist, album, track), and the
// MP3 and FLAC ones carry an 18 KB cover, as in a real library.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <malloc.h>
#include <unistd.h>
#include <vector>

#include "benchsupport.h"
#include "app/host.h"
#include "app/paths.h"
#include "import/sourceimporter.h"
#include "model/sourcelist.h"

namespace {

using qv::bench::QuietHost;

// The bytes allocated on the heap now (glibc's count), so what a list holds can be told apart
// from memory freed earlier.
long HeapBytes() { return static_cast<long>(::mallinfo2().uordblks); }

}  // namespace

int main() {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("qv-addbench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const char* kinds[] = {"wav", "flac", "mp3"};
  const std::string ffmpeg = std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y ";
  const std::string cover = (dir / "cover.jpg").string();
  if (std::system((ffmpeg + "-f lavfi -i testsrc=size=300x300:rate=1 -frames:v 1 " +
                   qv::ShellQuote(cover)).c_str()) != 0) {
    return 1;
  }
  for (const char* kind : kinds) {
    std::string command = ffmpeg;
    command += "-f lavfi -i sine=frequency=440:duration=0.5 ";
    if (std::string(kind) != "wav") {
      command += "-i ";
      command += qv::ShellQuote(cover);
      command += " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic ";
    }
    command += "-ac 2 -metadata title='A Title' -metadata artist='An Artist' -metadata "
               "album='An Album' -metadata track=3/12 ";
    command += qv::ShellQuote((dir / (std::string("seed.") + kind)).string());
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
  long rowBytes = 0;
  long tagBytes = 0;  // of which the kept tags
  for (int threads = 1; threads <= 2; ++threads) {
    QuietHost host(true);
    const long before = HeapBytes();
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
      for (int column = 0; column < 7; ++column) {
        line += '\t';
        line += list.CellText(row, column);
      }
      rows[threads - 1].push_back(line);
    }
    if (threads == 1 && list.RowCount() > 0) {
      rowBytes = (HeapBytes() - before) / list.RowCount();
      for (int row = 0; row < list.RowCount(); ++row) {
        tagBytes += static_cast<long>(list.Item(row)->facts.fileTags.packed.capacity() + 1);
      }
      tagBytes /= list.RowCount();
    }
    std::printf("tree of %d files, %d probing thread%s: %8.3f ms per file (%d added)\n", made,
                threads, threads == 1 ? "" : "s", treePerFile[threads - 1] * 1000.0,
                counters.added);
  }
  std::printf("two threads against one: %.2f times as fast; the same rows in the same order: %s\n",
              treePerFile[0] / treePerFile[1], rows[0] == rows[1] ? "yes" : "NO");
  std::printf("memory: %.2f KiB per row (20,000 rows: %.1f MiB), of which its tags %ld bytes\n",
              rowBytes / 1024.0, rowBytes * 20000.0 / (1024.0 * 1024.0), tagBytes);
  // Where the time goes: one probe of each kind (the rest of an add is the list's bookkeeping).
  for (const char* kind : kinds) {
    const std::string seed = (dir / (std::string("seed.") + kind)).string();
    constexpr int kProbes = 200;
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < kProbes; ++i) {
      qv::ProbeResult probe;
      qv::ProbeAudioFile(seed, probe);
    }
    const auto probed = std::chrono::steady_clock::now();
    for (int i = 0; i < kProbes; ++i) {
      qv::ProbeResult probe;
      qv::ProbeSource(seed, probe, nullptr);
    }
    const auto seconds = [](auto from, auto to) {
      return std::chrono::duration<double>(to - from).count() / kProbes * 1000.0;
    };
    std::printf("one probe of a %s file: %.3f ms; with its tags: %.3f ms\n", kind,
                seconds(begin, probed), seconds(probed, std::chrono::steady_clock::now()));
  }
  std::error_code ec;
  fs::remove_all(dir, ec);
  return 0;
}
