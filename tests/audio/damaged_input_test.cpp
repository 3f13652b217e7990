// Damaged, odd and hostile input for the decoder and for qvfaac: files cut short, overwritten,
// prefixed with junk, misnamed, empty; things that are not files (folders, FIFOs, devices);
// playlists that point elsewhere. Nothing may crash, hang or leak, every refusal carries the
// right code, and whatever opens reports sensible facts.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>

#include "audio/bass.h"
#include "audiotestutil.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

namespace fs = std::filesystem;
constexpr DWORD kDecodeFloat = BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT;
// Long enough that checking a header's length seeks into the middle of the file.
constexpr double kSourceSeconds = 3.0;
constexpr double kRate = 44100;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Deterministic bytes, so a failure can be reproduced.
std::string Junk(size_t size, std::uint32_t seed) {
  std::string out;
  for (size_t i = 0; i < size; ++i) {
    seed = seed * 1664525u + 1013904223u;
    out.push_back(static_cast<char>(seed >> 24));
  }
  return out;
}

// What opening and reading a file to its end through the layer gave.
struct Outcome {
  int openCode = 0;  // 0 when the stream opened
  BASS_CHANNELINFO info{};
  double lengthSeconds = -1;
  double decodedSeconds = 0;
  int endCode = 0;
  bool wholeFrames = true;  // every block held whole frames
};

Outcome Probe(const std::string& path, DWORD flags) {
  Outcome out;
  const HSTREAM h = BASS_StreamCreateFile(0, path.c_str(), 0, 0, flags);
  if (!h) {
    out.openCode = BASS_ErrorGetCode();
    return out;
  }
  BASS_ChannelGetInfo(h, &out.info);
  const QWORD bytes = BASS_ChannelGetLength(h, BASS_POS_BYTE);
  if (bytes != ~QWORD{0}) out.lengthSeconds = BASS_ChannelBytes2Seconds(h, bytes);
  if (flags & BASS_STREAM_DECODE) {
    const DWORD frameBytes = 4 * std::max<DWORD>(out.info.chans, 1);
    std::vector<float> block(4096 * std::max<DWORD>(out.info.chans, 1));
    QWORD total = 0;
    // A bound far above any fixture here: a decoder that never ends fails instead of hanging.
    for (int i = 0; i < 20000; ++i) {
      const DWORD got = BASS_ChannelGetData(h, block.data(),
                                            static_cast<DWORD>(block.size() * 4));
      if (got == 0 || got == 0xFFFFFFFFu) {
        out.endCode = BASS_ErrorGetCode();
        break;
      }
      if (got % frameBytes) out.wholeFrames = false;
      total += got;
    }
    out.decodedSeconds = BASS_ChannelBytes2Seconds(h, total);
  }
  EXPECT_TRUE(BASS_StreamFree(h));
  return out;
}

class DamagedInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = new TempDir();
    const std::string source = s_dir->file("source.wav");
    WriteTestWav16(source, 44100, 2, static_cast<long>(44100 * kSourceSeconds));
    // One run of the ffmpeg program writes every encoded fixture.
    std::string outputs;
    for (const Fixture& fixture : Encoded()) {
      outputs += " " + std::string(fixture.options) + " " + Quote(s_dir->file(fixture.name));
    }
    ASSERT_TRUE(RunFfmpeg("-i " + Quote(source) + outputs));
  }
  static void TearDownTestSuite() { delete s_dir; }

  struct Fixture {
    const char* name;
    const char* options;  // for the ffmpeg program
    // Frames by which the reported length of a file cut short may miss what decodes: one packet
    // (the last one may be cut and not decode, or the decoder holds one back).
    long packetFrames;
  };
  static std::vector<Fixture> Encoded() {
    return {{"a.flac", "-c:a flac", 4608},
            {"a.mp3", "-c:a libmp3lame -b:a 128k", 1152},
            {"noxing.mp3", "-c:a libmp3lame -q:a 4 -write_xing 0", 1152},
            {"a.aac", "-c:a aac -b:a 128k", 1024},
            {"a.m4a", "-c:a aac -b:a 128k", 1024},
            // The index in front: a cut file still opens and its header claims the whole length.
            {"faststart.m4a", "-c:a aac -b:a 128k -movflags +faststart", 1024},
            {"a.ogg", "-c:a libvorbis", 1024},
            // The WMA decoder swallows the first frame, the last one may be cut.
            {"a.wma", "-c:a wmav2 -b:a 128k", 2 * 2048},
            {"a.ac3", "-c:a ac3", 1536},
            {"a.mp1", "-c:a mp2 -f mp2", 1152},
            // Matroska leaves some Vorbis packets without a duration.
            {"a.mka", "-c:a libvorbis", 2048},
            {"adpcm.wav", "-c:a adpcm_ms", 4096},
            {"f64.wav", "-c:a pcm_f64le", 1}};
  }

  static std::string Write(const std::string& name, const std::string& bytes) {
    const std::string path = s_dir->file(name);
    WriteTextFile(path, bytes);
    return path;
  }

  static TempDir* s_dir;
};
TempDir* DamagedInputTest::s_dir = nullptr;

// Every fixture damaged in every way: refused as not audio, or opened with believable facts
// and decoded to a clean end. A file cut short reports the length it really holds, not what
// its header claims: the duration, the bitrate and the progress of a conversion depend on it.
TEST_F(DamagedInputTest, DamagedFilesAreRefusedOrDecodeSensibly) {
  std::vector<Fixture> fixtures = {{"source.wav", "", 1}};
  for (const Fixture& fixture : Encoded()) fixtures.push_back(fixture);

  struct Damage {
    const char* name;
    std::string (*apply)(const std::string&);
    bool cut = false;  // only the end is missing: the length must match what decodes
  };
  const Damage damages[] = {
      {"cut-4", [](const std::string& d) { return d.substr(0, 4); }, true},
      {"cut-30", [](const std::string& d) { return d.substr(0, 30); }, true},
      {"cut-200", [](const std::string& d) { return d.substr(0, 200); }, true},
      {"cut-4096", [](const std::string& d) { return d.substr(0, 4096); }, true},
      {"cut-half", [](const std::string& d) { return d.substr(0, d.size() / 2); }, true},
      // The end missing, but the file still reaches past the point a header check seeks to.
      {"cut-tenth", [](const std::string& d) { return d.substr(0, d.size() * 9 / 10); }, true},
      {"cut-last", [](const std::string& d) { return d.substr(0, d.size() - 1); }, true},
      {"flips", [](const std::string& d) {
         std::string out = d;
         const std::string values = Junk(120, 99);
         for (size_t i = 0; i < 60; ++i) {
           out[static_cast<unsigned char>(values[2 * i]) * 7919u % out.size()] = values[2 * i + 1];
         }
         return out;
       }},
      {"header-flips", [](const std::string& d) {
         std::string out = d;
         for (size_t i = 8; i < 64 && i < out.size(); i += 5) out[i] = static_cast<char>(~out[i]);
         return out;
       }},
      {"zero-block", [](const std::string& d) {
         std::string out = d;
         const size_t at = out.size() / 3;
         std::fill(out.begin() + at, out.begin() + std::min(out.size(), at + 4096), '\0');
         return out;
       }},
      {"zero-start", [](const std::string& d) {
         std::string out = d;
         std::fill(out.begin(), out.begin() + std::min<size_t>(out.size(), 4096), '\0');
         return out;
       }},
      {"junk-before", [](const std::string& d) { return Junk(1000, 7) + d; }},
      {"zeros-before", [](const std::string& d) { return std::string(1000, '\0') + d; }},
  };

  const auto started = std::chrono::steady_clock::now();
  for (const Fixture& fixture : fixtures) {
    const std::string data = ReadAll(s_dir->file(fixture.name));
    ASSERT_GT(data.size(), 4096u) << fixture.name;
    const fs::path original(fixture.name);
    const std::string extension = original.extension().string();
    for (const Damage& damage : damages) {
      const std::string name = original.stem().string() + "." + damage.name + extension;
      SCOPED_TRACE(name);
      const std::string path = Write(name, damage.apply(data));
      for (const DWORD flags : {DWORD{0}, kDecodeFloat}) {
        const Outcome o = Probe(path, flags);
        if (o.openCode) {
          // The file is there and readable: only its content can be wrong.
          EXPECT_EQ(o.openCode, BASS_ERROR_FILEFORM);
          continue;
        }
        EXPECT_GE(o.info.freq, 8000u);
        EXPECT_LE(o.info.freq, 192000u);
        EXPECT_GE(o.info.chans, 1u);
        EXPECT_LE(o.info.chans, 8u);
        // A damaged header must not claim hours: at most what the file could plausibly hold.
        EXPECT_LE(o.lengthSeconds, 10 * kSourceSeconds);
        if (flags & BASS_STREAM_DECODE) {
          EXPECT_TRUE(o.endCode == BASS_ERROR_ENDED || o.endCode == BASS_ERROR_FILEFORM)
              << o.endCode;
          EXPECT_TRUE(o.wholeFrames);
          EXPECT_LE(o.decodedSeconds, 10 * kSourceSeconds);
          if (damage.cut && o.endCode == BASS_ERROR_ENDED) {
            EXPECT_NEAR(o.lengthSeconds, o.decodedSeconds, (fixture.packetFrames + 1) / kRate);
          }
        }
      }
    }
  }
  // Hundreds of damaged files stay quick: no decoder spins on garbage.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
}

// Damage whose outcome is known exactly.
TEST_F(DamagedInputTest, KnownDamageGivesTheRightAnswer) {
  const std::string flac = ReadAll(s_dir->file("a.flac"));
  const std::string mp3 = ReadAll(s_dir->file("a.mp3"));
  const std::string mp1 = ReadAll(s_dir->file("a.mp1"));
  const std::string adpcm = ReadAll(s_dir->file("adpcm.wav"));
  const std::string mka = ReadAll(s_dir->file("a.mka"));
  std::string amrLike;
  for (int i = 0; i < 500; ++i) amrLike += std::string("\x04") + std::string(12, '\0');
  // FLAC's stream header holds the total sample count in bytes 22 to 25 (low 32 bits).
  std::string longFlac = flac;
  for (int i = 22; i < 26; ++i) longFlac[i] = '\xff';

  struct Case {
    const char* name;
    std::string bytes;
    int code;             // expected open code, 0 = opens
    double seconds = 0;   // expected length when it opens
  };
  const Case cases[] = {
      // Headers cut short: FFmpeg says EIO or ENOMEM, but the file is only not audio.
      {"cut-header.flac", flac.substr(0, 30), BASS_ERROR_FILEFORM},
      {"cut-extradata.wav", adpcm.substr(0, 50), BASS_ERROR_FILEFORM},
      {"cut-header.mka", mka.substr(0, 200), BASS_ERROR_FILEFORM},
      {"empty.mp3", "", BASS_ERROR_FILEFORM},
      {"one-byte.mp3", "\xff", BASS_ERROR_FILEFORM},
      // MPEG audio after junk is still the music the name promises.
      {"junk-before.mp3", Junk(1000, 3) + mp3, 0, kSourceSeconds},
      {"junk-before.mp1", Junk(1000, 3) + mp1, 0, kSourceSeconds},
      // ...but a weak guess of another raw codec is noise: bytes that look like AMR frames
      // (a mode byte and 12 other bytes, over and over), as a stretch of a damaged file can.
      {"amr-like.wav", amrLike, BASS_ERROR_FILEFORM},
      {"mp3-named.wav", mp3, 0, kSourceSeconds},
      {"flac-named.mp3", flac, 0, kSourceSeconds},
      // A header that claims a day of sound in a few kilobytes: the length is counted.
      {"long-header.flac", longFlac, 0, kSourceSeconds},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome o = Probe(Write(c.name, c.bytes), kDecodeFloat);
    EXPECT_EQ(o.openCode, c.code);
    if (c.code == 0 && o.openCode == 0) {
      EXPECT_NEAR(o.lengthSeconds, c.seconds, 0.1);
      EXPECT_NEAR(o.decodedSeconds, c.seconds, 0.1);
    }
  }
}

// What a header declares survives a cut, so the verdict on a decode tells a file cut short
// from a complete one; junk after the last packet costs nothing; a header that claims more
// than the file could hold declares nothing.
TEST_F(DamagedInputTest, TheVerdictWeighsWhatDecodedAgainstTheDeclaredLength) {
  const auto half = [](const std::string& d) { return d.substr(0, d.size() / 2); };
  const auto junk = [](const std::string& d) { return d + Junk(65536, 11); };
  std::string longFlac = ReadAll(s_dir->file("a.flac"));
  for (int i = 22; i < 26; ++i) longFlac[i] = '\xff';
  struct Case {
    const char* name;
    std::string bytes;
    double declared;  // seconds, -1 for none
    bool complete;
  };
  const auto from = [&](const char* fixture, auto change) {
    return change(ReadAll(s_dir->file(fixture)));
  };
  const Case cases[] = {
      {"half.wav", from("source.wav", half), kSourceSeconds, false},
      {"half.flac", from("a.flac", half), kSourceSeconds, false},
      {"half.mp3", from("a.mp3", half), kSourceSeconds, false},
      {"half.wma", from("a.wma", half), kSourceSeconds, false},
      {"half.m4a", from("faststart.m4a", half), kSourceSeconds, false},
      {"half.mka", from("a.mka", half), kSourceSeconds, false},
      {"junk.ogg", from("a.ogg", junk), -1, true},
      {"junk.flac", from("a.flac", junk), kSourceSeconds, true},
      {"junk.m4a", from("a.m4a", junk), kSourceSeconds, true},
      {"long-header.flac", longFlac, -1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Decoded d = DecodeFile(Write(c.name, c.bytes));
    ASSERT_NE(d.handle, 0u);
    const int rate = static_cast<int>(d.info.freq);
    if (c.declared < 0) {
      EXPECT_EQ(d.report.declaredFrames, -1);
    } else {
      EXPECT_NEAR(static_cast<double>(d.report.declaredFrames) / rate, c.declared, 0.05);
    }
    const audio::DecodeVerdict verdict = audio::JudgeDecode(
        d.report, rate, static_cast<std::int64_t>(d.lengthBytes / 4 / d.info.chans));
    EXPECT_EQ(verdict.complete, c.complete) << verdict.text;
    if (!c.complete) {
      EXPECT_NE(verdict.text.find(" of audio but declares 0:03"),
                std::string::npos)
          << verdict.text;
    }
  }
}

// Things that are not regular files are refused at once with "cannot open"; none may block.
TEST_F(DamagedInputTest, ThingsThatAreNotFilesNeverBlock) {
  const std::string folder = s_dir->file("folder.mp3");
  fs::create_directory(folder);
  const std::string fifo = s_dir->file("fifo.wav");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string zero = s_dir->file("zero.wav");
  const std::string random = s_dir->file("random.mp3");
  fs::create_symlink("/dev/zero", zero);
  fs::create_symlink("/dev/urandom", random);
  const std::string dangling = s_dir->file("dangling.mp3");
  fs::create_symlink(s_dir->file("gone.mp3"), dangling);
  const std::string link = s_dir->file("link.mp3");
  fs::create_symlink(s_dir->file("a.mp3"), link);

  for (const std::string& path : {folder, fifo, zero, random, dangling}) {
    SCOPED_TRACE(path);
    for (const DWORD flags : {DWORD{0}, kDecodeFloat}) {
      auto opened = std::async(std::launch::async, [&] { return Probe(path, flags).openCode; });
      if (opened.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        ADD_FAILURE() << "opening blocked";
        // A writer releases an open blocked on the FIFO, so the test can end.
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
      }
      EXPECT_EQ(opened.get(), BASS_ERROR_FILEOPEN);
    }
  }
  // A link to a real file is that file.
  EXPECT_EQ(Probe(link, kDecodeFloat).openCode, 0);
}

// The decoder reads the one file it is given: names are names, not FFmpeg URLs, and playlists
// inside a file do not lead to other files.
TEST_F(DamagedInputTest, OnlyTheNamedFileIsRead) {
  const std::string target = s_dir->file("a.mp3");
  const std::string playlists[] = {
      "#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n" + target + "\n#EXT-X-ENDLIST\n",
      "ffconcat version 1.0\nfile " + target + "\n",
  };
  for (size_t i = 0; i < std::size(playlists); ++i) {
    SCOPED_TRACE(playlists[i]);
    EXPECT_EQ(Probe(Write("list" + std::to_string(i) + ".mp3", playlists[i]), kDecodeFloat)
                  .openCode,
              BASS_ERROR_FILEFORM);
  }

  // Relative names that look like FFmpeg protocols ("pipe:0" would read standard input).
  const fs::path previous = fs::current_path();
  fs::current_path(s_dir->path());
  fs::copy_file("a.mp3", "pipe:0.mp3");
  fs::copy_file("a.flac", "http:x.flac");
  const Outcome pipe = Probe("pipe:0.mp3", kDecodeFloat);
  const Outcome http = Probe("http:x.flac", kDecodeFloat);
  fs::current_path(previous);
  EXPECT_EQ(pipe.openCode, 0);
  EXPECT_NEAR(pipe.decodedSeconds, kSourceSeconds, 0.1);
  EXPECT_EQ(http.openCode, 0);
  EXPECT_NEAR(http.decodedSeconds, kSourceSeconds, 0.1);
}

// qvfaac fed odd WAV streams: a clear refusal (exit 2, no file) or a file that decodes back.
TEST_F(DamagedInputTest, QvfaacOnOddWavInput) {
  const char* qvfaac = std::getenv("QV_QVFAAC");
  ASSERT_NE(qvfaac, nullptr);
  const auto header = [](int tag, int channels, int rate, int bits, std::uint32_t dataSize) {
    std::string h = "RIFF";
    PutLe(h, 0xFFFFFFFFu, 4);
    h += "WAVEfmt ";
    PutLe(h, 16, 4);
    PutLe(h, static_cast<std::uint32_t>(tag), 2);
    PutLe(h, static_cast<std::uint32_t>(channels), 2);
    PutLe(h, static_cast<std::uint32_t>(rate), 4);
    PutLe(h, static_cast<std::uint32_t>(rate * channels * bits / 8), 4);
    PutLe(h, static_cast<std::uint32_t>(channels * bits / 8), 2);
    PutLe(h, static_cast<std::uint32_t>(bits), 2);
    h += "data";
    PutLe(h, dataSize, 4);
    return h;
  };
  const auto pcm = [](int channels, int frames) {
    std::string d;
    for (int i = 0; i < frames * channels; ++i) {
      PutLe(d, static_cast<std::uint16_t>(static_cast<std::int16_t>(8000 * std::sin(i * 0.05))),
            2);
    }
    return d;
  };
  struct Case {
    const char* name;
    std::string bytes;
    int exitCode;
    DWORD channels = 0;  // of the output, when it is written
  };
  const std::string stereo = pcm(2, 22050);
  const Case cases[] = {
      {"odd-size", header(1, 2, 44100, 16, 0xFFFFFFFFu) + stereo + "\x01\x02\x03", 0, 2},
      {"three-channels", header(1, 3, 44100, 16, 0) + pcm(3, 22050), 0, 3},
      {"eight-bit", header(1, 2, 44100, 8, 0) + std::string(1000, '\x80'), 2},
      {"zero-hertz", header(1, 2, 0, 16, 0) + stereo, 2},
      {"float-64-bit", header(3, 2, 44100, 64, 0) + std::string(1600, '\0'), 2},
      {"no-channels", header(1, 0, 44100, 16, 0) + stereo, 2},
      // A rate the AAC encoder does not know is the input's fault, not the output's.
      {"odd-rate", header(1, 2, 44101, 16, 0) + stereo, 2},
      {"header-cut", header(1, 2, 44100, 16, 0).substr(0, 30), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string input = Write(std::string(c.name) + ".wav", c.bytes);
    const std::string output = s_dir->file(std::string(c.name) + ".aac");
    const std::string command = Quote(qvfaac) + " -q 100 -o " + Quote(output) + " - < " +
                                Quote(input) + " 2>/dev/null";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode);
    EXPECT_EQ(fs::exists(output), c.exitCode == 0);
    if (c.exitCode == 0) {
      const Outcome o = Probe(output, kDecodeFloat);
      ASSERT_EQ(o.openCode, 0);
      EXPECT_EQ(o.info.chans, c.channels);
      EXPECT_NEAR(o.decodedSeconds, 0.5, 0.05);
    }
  }
}

}  // namespace
}  // namespace qv::test
