// Preview playback benchmark: how long the calls of the user-interface thread take on a
// one-hour MP3 without a Xing header (its length is unknown until the packets are counted),
// while the output device plays it. The file is made with the ffmpeg program in a temporary
// folder (32 kbit/s, 22050 Hz mono, so it is quick to make); the output is SDL's dummy driver
// unless SDL_AUDIODRIVER names another.
//
// Usage: qv_playbench [rounds]   (default 5; median and worst round of each call are printed)

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/paths.h"
#include "audio/bass.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  const char* name;
  std::vector<double> ms;
};

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename Call>
bool Timed(Figures& figures, Call call) {
  const auto start = Clock::now();
  const bool ok = call();
  figures.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  return ok;
}

void Pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  ::setenv("SDL_AUDIODRIVER", "dummy", 0);
  std::string folder = (std::filesystem::temp_directory_path() / "qvplaybench-XXXXXX").string();
  if (!::mkdtemp(folder.data())) {
    std::fprintf(stderr, "cannot create a temporary folder\n");
    return 1;
  }
  const std::string path = folder + "/hour.mp3";
  std::printf("making a one-hour MP3 without a Xing header...\n");
  std::fflush(stdout);
  const std::string make =
      std::string(QV_FFMPEG) +
      " -hide_banner -nostdin -loglevel error -y -f lavfi -i "
      "sine=frequency=440:sample_rate=22050:duration=3600 -ac 1 -c:a libmp3lame -b:a 32k "
      "-write_xing 0 " +
      qv::ShellQuote(path);
  const int status = std::system(make.c_str());
  int result = 0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the ffmpeg program could not make the test file\n");
    result = 1;
  } else if (!BASS_Init(-1, 44100, 0, nullptr, nullptr)) {
    std::fprintf(stderr, "the audio output could not start (error %d)\n", BASS_ErrorGetCode());
    result = 1;
  } else {
    Figures start{"start (create + play)", {}};
    Figures rewind{"rewind while playing", {}};
    Figures middle{"seek to the middle", {}};
    Figures stop{"stop", {}};
    Figures replay{"play after stop", {}};
    Figures freeing{"free while playing", {}};
    // What auto-play does when the highlight moves: the file that plays is stopped, rewound
    // and freed, and the next one is opened and started.
    Figures step{"next highlighted file", {}};
    for (int round = 0; round < rounds && result == 0; ++round) {
      HSTREAM stream = 0;
      const bool started = Timed(start, [&] {
        stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0, 0);
        return stream != 0 && BASS_ChannelPlay(stream, 0);
      });
      if (!started) {
        std::fprintf(stderr, "the file does not play (error %d)\n", BASS_ErrorGetCode());
        result = 1;
        break;
      }
      Pause(300);
      Timed(rewind, [&] { return BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE) != 0; });
      Pause(100);
      // The length is asked first and not timed: the seek itself is measured.
      const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
      const QWORD half = length / 2 / 8 * 8;
      Timed(middle, [&] { return BASS_ChannelSetPosition(stream, half, BASS_POS_BYTE) != 0; });
      Pause(100);
      Timed(stop, [&] { return BASS_ChannelStop(stream) != 0; });
      Timed(replay, [&] { return BASS_ChannelPlay(stream, 0) != 0; });
      Pause(100);
      Timed(freeing, [&] { return BASS_StreamFree(stream) != 0; });
      stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0, 0);
      BASS_ChannelPlay(stream, 0);
      Pause(200);
      Timed(step, [&] {
        BASS_ChannelStop(stream);
        BASS_ChannelSetPosition(stream, 0, BASS_POS_BYTE);
        BASS_StreamFree(stream);
        stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0, 0);
        return stream != 0 && BASS_ChannelPlay(stream, 0);
      });
      Pause(100);
      BASS_StreamFree(stream);
    }
    BASS_Free();
    if (result == 0) {
      std::printf("one-hour MP3 without a Xing header, %d rounds, output driver %s\n", rounds,
                  std::getenv("SDL_AUDIODRIVER"));
      std::printf("%-24s %12s %12s\n", "call", "median ms", "worst ms");
      for (const Figures* figures : {&start, &rewind, &middle, &stop, &replay, &freeing, &step}) {
        std::printf("%-24s %12.3f %12.3f\n", figures->name, Median(figures->ms),
                    *std::max_element(figures->ms.begin(), figures->ms.end()));
      }
    }
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return result;
}
