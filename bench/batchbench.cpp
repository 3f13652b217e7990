// Batch benchmark: what the conversion batch costs beyond the audio, and how well its workers
// share the rows. The sources are made with the ffmpeg program in a cache folder, added
// through the importer (as the window and the command line add them), and only the
// conversion batch is timed. Three comparisons, each printed side by side:
//  (a) one 60 s file followed by twelve 5 s files to MP3, one job against two (goal: 1.8x);
//  (b) 200 one-second WAVs against one 200-second WAV of the same samples, to WAV and to MP3,
//      one job: the time per file beyond the audio (goal: at most 3 ms);
//  (c) the 200 one-second WAVs with two jobs against one (goal: 1.8x), beside what the file
//      system's part of the WAV batch alone (its outputs' files written and named by a plain
//      loop) gains from a second thread, on the disk and in memory.
//
// Usage: qv_batchbench [--rounds R] [--short N]   (best of R rounds, default 3; N short files,
//        default 200). Exits 2 when a goal is missed.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "benchsupport.h"
#include "app/host.h"
#include "app/paths.h"
#include "convert/conversionbatch.h"
#include "import/sourceimporter.h"
#include "model/batchrunner.h"
#include "model/sourcelist.h"

namespace {

using qv::bench::RunCommand;
using qv::bench::QuietHost;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string Ffmpeg() {
  return std::string(QV_FFMPEG) + " -hide_banner -nostdin -loglevel error -y ";
}

// Music-like stereo at 44.1 kHz: two tones under a beat, and seeded pink noise.
bool MakeWav(const std::string& path, int seconds, int seed) {
  char graph[640];
  std::snprintf(graph, sizeof graph,
                "aevalsrc=exprs='0.2*sin(2*PI*%d*t)*(0.6+0.4*sin(2*PI*1.5*t))|"
                "0.2*sin(2*PI*%d*t)*gt(mod(t\\,0.5)\\,0.25)':s=44100:d=%d[tone];"
                "anoisesrc=color=pink:amplitude=0.08:seed=%d:r=44100:d=%d,"
                "pan=stereo|c0=c0|c1=c0[noise];[tone][noise]amix=inputs=2:normalize=0",
                220 + 7 * seed, 330 + 5 * seed, seconds, seed, seconds);
  return RunCommand(Ffmpeg() + "-filter_complex \"" + graph + "\" -c:a pcm_s16le " +
                    qv::ShellQuote(path));
}

// A cached folder of sources, made once.
std::string CacheFolder() {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp && *tmp ? tmp : "/tmp") + "/qv-batchbench-" + std::to_string(::getuid());
}

bool MakeMixed(const std::string& folder, std::vector<std::string>& paths) {
  fs::create_directories(folder);
  for (int i = 0; i < 13; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/%02d.wav", i);
    const std::string path = folder + name;
    if (!fs::exists(path) && !MakeWav(path, i == 0 ? 60 : 5, i + 1)) return false;
    paths.push_back(path);
  }
  return true;
}

// One long WAV and the same samples cut into one-second WAVs.
bool MakeLongAndShort(const std::string& folder, int count, std::string& longPath,
                      std::vector<std::string>& shortPaths) {
  const std::string shortFolder = folder + "/short" + std::to_string(count);
  longPath = folder + "/long" + std::to_string(count) + ".wav";
  fs::create_directories(shortFolder);
  if (!fs::exists(longPath) && !MakeWav(longPath, count, 99)) return false;
  if (!fs::exists(shortFolder + "/000.wav") &&
      !RunCommand(Ffmpeg() + "-i " + qv::ShellQuote(longPath) +
                  " -f segment -segment_time 1 -c:a pcm_s16le " +
                  qv::ShellQuote(shortFolder + "/%03d.wav"))) {
    return false;
  }
  for (const auto& entry : fs::directory_iterator(shortFolder)) shortPaths.push_back(entry.path());
  std::sort(shortPaths.begin(), shortPaths.end());
  return static_cast<int>(shortPaths.size()) == count;
}

// The seconds the conversion batch takes over `sources` (added first, not timed); -1 when a
// row failed.
double TimeBatch(const std::vector<std::string>& sources, const char* format, int kbps, int jobs,
                 const std::string& out) {
  fs::remove_all(out);
  fs::create_directories(out);
  QuietHost host;
  qv::SourceList list;
  qv::SourceImporter importer(host, list, nullptr);
  qv::AddCounters counters;
  importer.AddFiles(sources, counters);
  if (counters.added != static_cast<int>(sources.size())) return -1;
  qv::BatchState state;
  qv::ConversionOptions options;
  options.formatKey = format;
  options.kbps = kbps;
  options.destinationFolder = out;
  options.logPath = out + "/QV_Log.txt";
  options.jobs = jobs;
  const auto start = Clock::now();
  const qv::ConversionBatchResult result = qv::RunConversionBatch(options, list, state, host);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (!result.started || result.converted != static_cast<int>(sources.size())) {
    std::fprintf(stderr, "the %s batch converted %d of %zu files\n", format, result.converted,
                 sources.size());
    return -1;
  }
  return seconds;
}

// The best of `rounds` of two batches, run alternately so that a busy moment of the machine
// weighs on both alike.
std::pair<double, double> BestPair(int rounds, const std::vector<std::string>& a, int jobsA,
                                   const std::vector<std::string>& b, int jobsB,
                                   const char* format, int kbps, const std::string& out) {
  double bestA = 1e30, bestB = 1e30;
  for (int r = 0; r < rounds; ++r) {
    const double timeA = TimeBatch(a, format, kbps, jobsA, out);
    const double timeB = TimeBatch(b, format, kbps, jobsB, out);
    if (timeA < 0 || timeB < 0) std::exit(1);
    bestA = std::min(bestA, timeA);
    bestB = std::min(bestB, timeB);
  }
  return {bestA, bestB};
}

// The seconds `threads` threads take to do only the file system's part of the WAV batch:
// `files` files of `bytes` bytes each created, written in one-second blocks, flushed to the
// disk and renamed in `folder`, shared out between the threads. The best of `rounds`.
double PlainWrites(const std::string& folder, int files, std::size_t bytes, int threads,
                   int rounds) {
  const std::vector<char> block(176400, 1);
  double best = 1e30;
  for (int r = 0; r < rounds; ++r) {
    fs::remove_all(folder);
    fs::create_directories(folder);
    const auto start = Clock::now();
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = t; i < files; i += threads) {
          const std::string hidden = folder + "/.w" + std::to_string(i);
          const int fd = ::open(hidden.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
          if (fd < 0) continue;
          for (std::size_t done = 0; done < bytes;) {
            const ssize_t wrote = ::write(fd, block.data(), std::min(block.size(), bytes - done));
            if (wrote <= 0) break;
            done += static_cast<std::size_t>(wrote);
          }
          ::fsync(fd);
          ::close(fd);
          ::rename(hidden.c_str(), (folder + "/w" + std::to_string(i)).c_str());
        }
      });
    }
    for (std::thread& writer : writers) writer.join();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
  }
  fs::remove_all(folder);
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3, shortCount = 200;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--rounds")) rounds = std::max(1, std::atoi(argv[i + 1]));
    if (!std::strcmp(argv[i], "--short")) shortCount = std::max(2, std::atoi(argv[i + 1]));
  }
  const std::string cache = CacheFolder();
  std::vector<std::string> mixed, shortFiles;
  std::string longFile;
  if (!MakeMixed(cache + "/mixed", mixed) ||
      !MakeLongAndShort(cache, shortCount, longFile, shortFiles)) {
    std::fprintf(stderr, "could not make the sources in %s\n", cache.c_str());
    return 1;
  }
  char pattern[] = "/tmp/qv-batchbench-out-XXXXXX";
  const char* scratchDir = ::mkdtemp(pattern);
  if (!scratchDir) return 1;
  const std::string out = std::string(scratchDir) + "/out";
  int shortfalls = 0;
  std::printf("best of %d round(s), %d cores\n\n", rounds, qv::AvailableCores());

  std::printf("(a) one 60 s file, then twelve 5 s files, to MP3 192 kbps (goal: >= 1.80x)\n");
  std::printf("%-12s %10s %10s %8s\n", "", "1 job", "2 jobs", "speedup");
  {
    const auto [one, two] = BestPair(rounds, mixed, 1, mixed, 2, "mp3", 192, out);
    std::printf("%-12s %9.2fs %9.2fs %7.2fx\n", "mp3", one, two, one / two);
    if (one / two < 1.8) ++shortfalls;
  }

  std::printf("\n(b) %d one-second WAVs against one %d s WAV, one job (goal: <= 3.0 ms per file)\n",
              shortCount, shortCount);
  std::printf("%-12s %10s %10s %12s\n", "", "one file", "short files", "ms per file");
  const char* formats[2] = {"wav", "mp3"};
  for (int f = 0; f < 2; ++f) {
    const int kbps = f == 0 ? 0 : 192;
    const auto [whole, parts] =
        BestPair(rounds, {longFile}, 1, shortFiles, 1, formats[f], kbps, out);
    const double perFile = 1000.0 * (parts - whole) / shortCount;
    std::printf("%-12s %9.3fs %10.3fs %12.2f\n", formats[f], whole, parts, perFile);
    if (perFile > 3.0) ++shortfalls;
  }

  std::printf("\n(c) the %d one-second WAVs, one job against two (goal: >= 1.80x)\n", shortCount);
  std::printf("%-12s %10s %10s %8s\n", "", "1 job", "2 jobs", "speedup");
  for (int f = 0; f < 2; ++f) {
    const auto [one, two] =
        BestPair(rounds, shortFiles, 1, shortFiles, 2, formats[f], f == 0 ? 0 : 192, out);
    std::printf("%-12s %9.3fs %9.3fs %7.2fx\n", formats[f], one, two, one / two);
    if (one / two < 1.8) ++shortfalls;
  }
  // A short WAV row is mostly the file system's work: creating, writing, flushing and naming
  // its output. How far that alone goes with two threads bounds the WAV batch; the "files
  // only" lines do just that with the outputs' sizes, into the same folder and into memory
  // (tmpfs, where a flush costs nothing), beside the same WAV batch into memory.
  const std::size_t wavBytes = fs::file_size(shortFiles.front());
  {
    const double one = PlainWrites(out, shortCount, wavBytes, 1, rounds);
    const double two = PlainWrites(out, shortCount, wavBytes, 2, rounds);
    std::printf("%-12s %9.3fs %9.3fs %7.2fx   (the outputs' files only; not a goal)\n",
                "files only", one, two, one / two);
  }
  char memoryPattern[] = "/dev/shm/qv-batchbench-out-XXXXXX";
  if (const char* memoryDir = ::mkdtemp(memoryPattern)) {
    const auto [one, two] = BestPair(rounds, shortFiles, 1, shortFiles, 2, "wav", 0,
                                     std::string(memoryDir) + "/out");
    std::printf("%-12s %9.3fs %9.3fs %7.2fx   (into memory; not a goal)\n", "wav, tmpfs", one,
                two, one / two);
    const double plainOne = PlainWrites(std::string(memoryDir) + "/plain", shortCount, wavBytes,
                                        1, rounds);
    const double plainTwo = PlainWrites(std::string(memoryDir) + "/plain", shortCount, wavBytes,
                                        2, rounds);
    std::printf("%-12s %9.3fs %9.3fs %7.2fx   (the outputs' files only, in memory)\n",
                "files, tmpfs", plainOne, plainTwo, plainOne / plainTwo);
    fs::remove_all(memoryDir);
  }
  fs::remove_all(scratchDir);
  return shortfalls == 0 ? 0 : 2;
}
