// Naming benchmark: a tree of 10,000 short tagged FLACs (100 artists, 10 albums each, 10
// tracks each) given to quorvin-cli twice in one run: `--list` and a dry run with names from
// tags (`--dry-run --name '{albumartist}/{album}/{track:02} {title}'`), both with 2 jobs. Both
// add (probe) the same files; the difference is the planning: reading each file's tags, the
// names, and the look at the destination. Prints the time per file of each (best of 3) and the
// difference (goal: at most 0.5 ms per file more than the listing).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/paths.h"
#include "benchsupport.h"
#include "tags/tags.h"

namespace fs = std::filesystem;

int main() {
  const fs::path dir = fs::temp_directory_path() / ("qv-namebench-" + std::to_string(::getpid()));
  const fs::path lib = dir / "lib";
  fs::create_directories(dir / "home");
  const std::string seed = (dir / "seed.flac").string();
  if (!qv::bench::RunCommand(std::string(QV_FFMPEG) +
                             " -hide_banner -nostdin -loglevel error -f lavfi -i "
                             "sine=frequency=440:duration=0.2 -ac 2 -c:a flac " +
                             qv::ShellQuote(seed))) {
    return 1;
  }
  constexpr int kFiles = 10000;
  for (int i = 0; i < kFiles; ++i) {
    const std::string artist = "Artist " + std::to_string(i / 100);
    const std::string album = "Album " + std::to_string(i / 10 % 10);
    const fs::path folder = lib / artist / album;
    fs::create_directories(folder);
    const std::string path = (folder / ("t" + std::to_string(i % 10) + ".flac")).string();
    fs::copy_file(seed, path);
    qv::tags::TagSet tags;
    tags.fields = {{"ARTIST", {artist}}, {"ALBUM", {album}},
                   {"TITLE", {"Song " + std::to_string(i)}},
                   {"TRACKNUMBER", {std::to_string(i % 10 + 1)}}};
    if (!qv::tags::WriteTagsInPlace(path, "flac", tags).ok) return 1;
  }
  const std::string env = "env APPDATA=" + qv::ShellQuote((dir / "home").string()) +
                          " TMPDIR=" + qv::ShellQuote((dir / "home").string()) + " " +
                          qv::ShellQuote(QV_CLI_PROGRAM) + " -q -j 2 --recursive ";
  const std::string list = env + "--list " + qv::ShellQuote(lib.string()) + " >/dev/null";
  const std::string dry = env + "--dry-run --format opus --dest " +
                          qv::ShellQuote((dir / "out").string()) +
                          " --name '{albumartist}/{album}/{track:02} {title}' " +
                          qv::ShellQuote(lib.string()) + " >" +
                          qv::ShellQuote((dir / "plan.txt").string());
  qv::bench::RunCommand(list);  // first start: the configuration, and a warm page cache
  double best[2] = {1e9, 1e9};
  for (int round = 0; round < 3; ++round) {
    for (int which = 0; which < 2; ++which) {
      const auto start = std::chrono::steady_clock::now();
      if (!qv::bench::RunCommand(which == 0 ? list : dry)) return 1;
      best[which] = std::min(
          best[which],
          std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
  }
  const bool nothingMade = !fs::exists(dir / "out");
  std::printf("--list:                 %7.3f ms per file (%.2f s)\n", best[0] * 1000 / kFiles,
              best[0]);
  std::printf("--dry-run --name:       %7.3f ms per file (%.2f s)\n", best[1] * 1000 / kFiles,
              best[1]);
  std::printf("planning costs %.3f ms per file more (goal: at most 0.5); destination %s\n",
              (best[1] - best[0]) * 1000 / kFiles,
              nothingMade ? "not created" : "CREATED (wrong)");
  fs::remove_all(dir);
  return 0;
}
