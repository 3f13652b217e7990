// The files our own encoders write take the tags: the LAME MP3 with its info frame, qvfaac's
// MP4 containers, the WMA encoder's ASF file, our WAV writer's file, the FLAC, Opus and Vorbis
// files of the FFmpeg encoders; and their audio still decodes to its whole length afterwards.
// Read back through TagLib, and the cover also through the ffmpeg program.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/paths.h"
#include "audio/bass.h"
#include "convert/convertfile.h"
#include "support/tempdir.h"
#include "tags/tags.h"
#include "tagtestutil.h"

namespace qv::test {
namespace {

std::string QvfaacProgram() {
  const char* path = std::getenv("QV_QVFAAC");
  return path ? path : "qvfaac";
}

double DecodedSeconds(const std::string& path) {
  const HSTREAM stream = BASS_StreamCreateFile(0, path.c_str(), 0, 0,
                                               BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT);
  if (!stream) return -1;
  const double seconds =
      BASS_ChannelBytes2Seconds(stream, BASS_ChannelGetLength(stream, BASS_POS_BYTE));
  BASS_StreamFree(stream);
  return seconds;
}

TEST(EncoderOutputs, EveryTaggedFormatOfOurEncodersTakesTagsAndCoverAndStillDecodes) {
  TempDir dir;
  const std::string cover = dir.file("cover.png");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=40x30:rate=1 -frames:v 1 -f image2 -c:v png " +
                     ShellQuote(cover)));
  const std::string source = dir.file("söurce 'x'.flac");
  // 88,237 samples: not a whole number of milliseconds, nor of AAC frames.
  constexpr long kSamples = 88237;
  ASSERT_TRUE(Ffmpeg("-f lavfi -i sine=frequency=440:sample_rate=44100,atrim=end_sample=" +
                     std::to_string(kSamples) + " -i " + ShellQuote(cover) +
                     " -map 0:a -map 1:v -c:v copy -disposition:v attached_pic -c:a flac" +
                     " -metadata " + ShellQuote("title=Tïtle 漢字") + " -metadata track=2/9" +
                     " -metadata " + ShellQuote("artist=Ärtist") + " -fflags +bitexact " +
                     ShellQuote(source)));
  const tags::FieldMap expected = {{"TITLE", {"Tïtle 漢字"}}, {"ARTIST", {"Ärtist"}},
                                   {"TRACKNUMBER", {"2"}}, {"TRACKTOTAL", {"9"}}};
  const std::string png = ReadBytes(cover);

  const std::pair<const char*, int> formats[] = {
      {"mp3", 192}, {"m4a", 194}, {"mp4", 194}, {"wma", 192}, {"wav", 0},
      {"flac", 5},  {"opus", 128}, {"ogg", 192}};
  for (const auto& [format, kbps] : formats) {
    const std::string output = dir.file(std::string("out.") + format);
    JobContext job;
    const ConvertResult converted =
        ConvertFile(source, output, 1.0, format, kbps, QvfaacProgram(), job);
    ASSERT_EQ(converted.code, ConvertCode::Ok) << format << ": " << converted.detail;
    const double before = DecodedSeconds(output);
    const auto copied = tags::CopyTags(source, output, format);
    ASSERT_EQ(copied.status, tags::TagCopyStatus::Copied) << format << ": " << copied.error;
    const auto back = tags::ReadTags(output);
    EXPECT_EQ(back.tags.fields, expected) << format;
    ASSERT_TRUE(back.tags.cover) << format;
    EXPECT_TRUE(back.tags.cover->data == png) << format;
    EXPECT_EQ(back.tags.cover->mimeType, "image/png") << format;
    // FFmpeg reads no ID3v2 chunk in a WAV file; every other output shows it the cover.
    if (std::string(format) != "wav") {
      EXPECT_TRUE(FfmpegCover(output, dir.str()) == png) << format;
    }
    EXPECT_NEAR(DecodedSeconds(output), before, 1e-9) << format;
    EXPECT_GT(before, 1.9) << format;
    if (std::string(format) == "m4a" || std::string(format) == "mp4") {
      // Gapless: the edit list marks the source's samples exactly, and the iTunSMPB figures
      // (priming, padding, length) survive the tag copy.
      EXPECT_EQ(FfprobeValue(output, "stream=duration_ts", dir.str()), std::to_string(kSamples));
      const std::string smpb = FfprobeTags(output, dir.str())["iTunSMPB"];
      unsigned zero = 1, priming = 0, padding = 0;
      unsigned long long samples = 0;
      ASSERT_EQ(std::sscanf(smpb.c_str(), " %x %x %x %llx", &zero, &priming, &padding, &samples),
                4)
          << format << ": " << smpb;
      EXPECT_EQ(samples, static_cast<unsigned long long>(kSamples));
      EXPECT_EQ(priming, 1024u);
      EXPECT_EQ((priming + samples + padding) % 1024, 0u);
      EXPECT_LT(padding, 1024u);
    }
  }
}

}  // namespace
}  // namespace qv::test
