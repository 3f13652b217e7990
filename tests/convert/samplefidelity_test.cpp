// What becomes of the source's samples: the quantizer's arithmetic at its limits, then whole
// conversions judged by the ffmpeg and ffprobe programs: exact copies from 8-, 16- and 24-bit
// sources, dither that keeps quiet tones free of distortion, and floating-point sources above
// full scale (whole through the encoders that take floats, counted where an output clips).

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "convert/convertfile.h"
#include "convert/pcmquantizer.h"
#include "converttestutil.h"
#include "support/tempdir.h"

namespace qv::test {
namespace {

constexpr double kPi = 3.14159265358979323846;

TEST(PcmQuantizerTest, ExactCopiesDitherAndSaturation) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  struct Case {
    const char* what;
    int bits, sourceBits;
    double gain;
    float in;
    double lo, hi, mean;  // in output steps, over many copies of `in`
    bool clips;
  };
  const Case cases[] = {
      {"16-bit lowest", 16, 16, 1.0, -1.0f, -32768, -32768, -32768, false},
      {"16-bit highest", 16, 16, 1.0, 32767 / 32768.0f, 32767, 32767, 32767, false},
      {"8-bit highest", 16, 8, 1.0, 127 / 128.0f, 32512, 32512, 32512, false},
      {"float at full scale", 16, 0, 1.0, 1.0f, 32767, 32767, 32767, false},
      {"float above full scale", 16, 0, 1.0, 1.5f, 32767, 32767, 32767, true},
      {"float below full scale", 16, 0, 1.0, -1.5f, -32768, -32768, -32768, true},
      {"a third of a step: kept on average", 16, 0, 1.0, -1e-5f, -1, 1, -0.32768, false},
      {"24-bit source", 16, 24, 1.0, 0.25f + 1 / 1048576.0f, 8191, 8193, 8192.03125, false},
      {"gain on a 16-bit source", 16, 16, 2.0, 0.25f, 16383, 16385, 16384, false},
      {"gain past full scale", 16, 16, 2.0, 0.6f, 32767, 32767, 32767, true},
      {"NaN", 16, 0, 1.0, nan, -1, 1, 0, false},
      {"infinity", 16, 0, 1.0, inf, -1, 1, 0, false},
      {"huge gain", 16, 0, 1e300, -1.0f, -32768, -32768, -32768, true},
      {"huge gain on silence", 16, 0, 1e300, 0.0f, -1, 1, 0, false},
      {"24 bits from a float", 24, 0, 1.0, 0.1f, 838861, 838861, 838861, false},
      {"24 bits above full scale", 24, 0, 1.0, 1.5f, 8388607, 8388607, 8388607, true},
      {"24 bits from 32-bit integers", 24, 32, 1.0, -1.0f, -8388608, -8388608, -8388608, false},
      {"24-bit source: untouched", 24, 24, 1.0, 0.1f, 838860.8125, 838860.8125, 838860.8125,
       false},
      {"24-bit source with a gain", 24, 24, 0.5, 0.1f, 419430, 419430, 419430, false},
  };
  constexpr size_t kCount = 65536;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const double scale = c.bits == 16 ? 32768.0 : 8388608.0;
    std::vector<float> steps(kCount, c.in);
    PcmQuantizer onSteps(c.bits, c.sourceBits, c.gain);
    onSteps.ToSteps(steps.data(), kCount);
    std::vector<std::int16_t> pcm(kCount);
    PcmQuantizer toPcm(16, c.sourceBits, c.gain);
    if (c.bits == 16) toPcm.ToInt16(std::vector<float>(kCount, c.in).data(), kCount, pcm.data());
    double sum = 0, lo = 1e9, hi = -1e9;
    for (size_t i = 0; i < kCount; ++i) {
      const double v = steps[i] * scale;
      sum += v;
      lo = std::min(lo, v);
      hi = std::max(hi, v);
      // Both ways to 16 bits give the same samples.
      if (c.bits == 16 && pcm[i] != v) FAIL() << i << ": " << pcm[i] << " and " << v;
    }
    EXPECT_GE(lo, c.lo - 1e-6);
    EXPECT_LE(hi, c.hi + 1e-6);
    EXPECT_NEAR(sum / kCount, c.mean, 0.01);
    EXPECT_EQ(onSteps.clipped(), c.clips ? kCount : 0u);
    EXPECT_EQ(onSteps.ClippingNote("FLAC").empty(), !c.clips);
  }
  PcmQuantizer gained(16, 16, 2.0);
  float loud[] = {0.75f, -0.75f, 0.5f};
  gained.ToSteps(loud, 3);
  EXPECT_EQ(gained.ClippingNote("WAV"),
            "2 samples were clipped: with the volume gain applied, the source goes above full "
            "scale, which a 16-bit WAV file cannot hold.");
}

// The first audio stream of `path` as the ffmpeg program decodes it to raw `format` samples
// ("s16le", "s32le", "f32le"), with `options` for the output.
std::string RawSamples(const std::string& path, const std::string& format, const TempDir& dir,
                       const std::string& options = "") {
  const std::string raw = dir.file("decoded.raw");
  std::remove(raw.c_str());
  if (!RunFfmpeg("-i " + ShellQuote(path) + " -map 0:a:0 " + options + " -f " + format + " " +
                 ShellQuote(raw))) {
    return {};
  }
  return ReadBytes(raw);
}

template <typename T>
std::vector<T> SamplesOf(const std::string& bytes) {
  std::vector<T> samples(bytes.size() / sizeof(T));
  std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(T));
  return samples;
}

// One stream entry of `path` as the ffprobe program beside ffmpeg prints it.
std::string Probe(const std::string& entry, const std::string& path) {
  const std::string ffmpeg = QV_FFMPEG;
  const std::string command = ffmpeg.substr(0, ffmpeg.rfind('/') + 1) +
                              "ffprobe -v error -select_streams a:0 -show_entries stream=" +
                              entry + " -of default=nw=1:nk=1 " + ShellQuote(path);
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe)) out += buffer;
    ::pclose(pipe);
  }
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

// The amplitude of the sine of `cycles` whole cycles in `x`.
double Amplitude(const std::vector<float>& x, double cycles) {
  double re = 0, im = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double phase = 2 * kPi * cycles * static_cast<double>(i) / static_cast<double>(x.size());
    re += x[i] * std::cos(phase);
    im += x[i] * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(x.size());
}

double Db(double ratio) { return 20 * std::log10(ratio); }

class SampleFidelityTest : public ::testing::Test {
 protected:
  ConvertResult Convert(const std::string& source, const std::string& out, const char* key,
                        int kbps, JobContext& job) {
    return ConvertFile(source, out, 1.0, key, kbps, Qvfaac(), job);
  }
  TempDir m_dir;
};

TEST_F(SampleFidelityTest, EightSixteenAndTwentyFourBitSourcesKeepEverySample) {
  // Full scale both ways (the sine is cut at it) in one channel, a few steps in the other.
  const std::string signal = "-f lavfi -i \"aevalsrc=exprs='1.1*sin(2*PI*440*t)|"
                             "0.0004*sin(2*PI*1000*t)':s=44100:d=1.3\" ";
  struct Case {
    const char* source;
    const char* encode;  // the ffmpeg program's options for the source
    const char* format;  // ours
    const char* raw;     // how both are decoded to be compared
    std::int64_t lowest, highest;  // the source's extremes, as `raw` samples
    const char* probeEntry;
    const char* probed;  // what ffprobe says of the output
  };
  const Case cases[] = {
      {"s16.wav", "-c:a pcm_s16le", "wav", "s16le", -32768, 32767, "codec_name", "pcm_s16le"},
      {"s16.flac", "-c:a flac -sample_fmt s16", "wav", "s16le", -32768, 32767, "codec_name",
       "pcm_s16le"},
      {"u8.wav", "-c:a pcm_u8", "wav", "s16le", -32768, 32512, "codec_name", "pcm_s16le"},
      {"s16.wav", "-c:a pcm_s16le", "flac", "s16le", -32768, 32767, "bits_per_raw_sample", "16"},
      {"u8.wav", "-c:a pcm_u8", "flac", "s16le", -32768, 32512, "bits_per_raw_sample", "16"},
      {"s24.wav", "-c:a pcm_s24le", "flac", "s32le", INT32_MIN, 0x7FFFFF00, "bits_per_raw_sample",
       "24"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.source) + " to " + c.format);
    const std::string source = m_dir.file(c.source);
    ASSERT_TRUE(RunFfmpeg(signal + c.encode + " " + ShellQuote(source)));
    const std::string out = m_dir.file(std::string("copy-") + c.source + "." + c.format);
    JobContext job;
    const ConvertResult result = Convert(source, out, c.format, 5, job);
    ASSERT_EQ(result.code, ConvertCode::Ok) << ConversionErrorText(result);
    EXPECT_EQ(job.LogNote, "");
    EXPECT_EQ(Probe(c.probeEntry, out), c.probed);
    const std::string in = RawSamples(source, c.raw, m_dir);
    ASSERT_FALSE(in.empty());
    EXPECT_TRUE(RawSamples(out, c.raw, m_dir) == in) << "the samples differ";
    std::int64_t lowest = 0, highest = 0;
    if (std::string(c.raw) == "s16le") {
      for (const std::int16_t v : SamplesOf<std::int16_t>(in)) {
        lowest = std::min<std::int64_t>(lowest, v);
        highest = std::max<std::int64_t>(highest, v);
      }
    } else {
      for (const std::int32_t v : SamplesOf<std::int32_t>(in)) {
        lowest = std::min<std::int64_t>(lowest, v);
        highest = std::max<std::int64_t>(highest, v);
      }
    }
    EXPECT_EQ(lowest, c.lowest);
    EXPECT_EQ(highest, c.highest);
  }
}

TEST_F(SampleFidelityTest, TwentyFourBitTonesKeepTheirLevelWithoutDistortionIn16Bits) {
  // A 1 kHz tone of a 24-bit source in a 16-bit WAV: its level stays, and its harmonics (what
  // truncation or plain rounding make of it, 43 and 50 dB below a -60 dBFS tone) stay under
  // the limit; at -100 dBFS, a third of a step, it does not vanish.
  struct Case {
    double dbfs;
    double harmonicsBelow;  // dB under the tone
  };
  for (const Case c : {Case{-60, 65}, Case{-100, 25}}) {
    SCOPED_TRACE(c.dbfs);
    const std::string source = m_dir.file("tone.wav");
    ASSERT_TRUE(RunFfmpeg("-f lavfi -i \"aevalsrc=exprs='" +
                          std::to_string(std::pow(10.0, c.dbfs / 20)) +
                          "*sin(2*PI*1000*t)':s=48000:d=1\" -c:a pcm_s24le " + ShellQuote(source)));
    const std::string out = m_dir.file("tone" + std::to_string(-c.dbfs) + ".wav");
    JobContext job;
    ASSERT_EQ(Convert(source, out, "wav", 0, job).code, ConvertCode::Ok);
    EXPECT_EQ(Probe("codec_name", out), "pcm_s16le");
    const std::vector<float> x = SamplesOf<float>(RawSamples(out, "f32le", m_dir));
    ASSERT_EQ(x.size(), 48000u);
    const double tone = Amplitude(x, 1000);
    EXPECT_NEAR(Db(tone), c.dbfs, 0.5);
    for (int harmonic = 2; harmonic <= 9; ++harmonic) {
      EXPECT_LT(Db(Amplitude(x, 1000.0 * harmonic) / tone), -c.harmonicsBelow) << harmonic;
    }
  }
}

TEST_F(SampleFidelityTest, FloatSourcesAboveFullScale) {
  // A second at -6 dBFS, then one at +6 dBFS.
  const std::string source = m_dir.file("loud-source.wav");
  const std::string tone = "if(lt(t,1),0.5,2)*sin(2*PI*440*t)";
  ASSERT_TRUE(RunFfmpeg("-f lavfi -i \"aevalsrc=exprs='" + tone + "|" + tone +
                        "':s=44100:d=2\" -c:a pcm_f32le " + ShellQuote(source)));
  const std::vector<float> in = SamplesOf<float>(RawSamples(source, "f32le", m_dir));
  ASSERT_EQ(in.size(), 2u * 88200);
  // Clipped: more than half a 16-bit step beyond full scale.
  size_t over = 0;
  for (const float v : in) over += std::fabs(v) > 1.0f + 1.0f / 65536 ? 1 : 0;
  ASSERT_GT(over, 50000u);
  // Peak and RMS in dB over the middle of the loud second (encoders' delays aside).
  const auto levels = [](const std::vector<float>& x) {
    double peak = 0, energy = 0;
    for (size_t i = 2 * 53000; i < 2 * 79000 && i < x.size(); ++i) {
      peak = std::max(peak, std::fabs(static_cast<double>(x[i])));
      energy += static_cast<double>(x[i]) * x[i];
    }
    return std::pair(Db(peak), Db(std::sqrt(energy / (2 * 26000))));
  };
  const auto [sourcePeak, sourceRms] = levels(in);
  struct Case {
    const char* format;
    int kbps;
    const char* cannot;  // why the output's note says it clipped; null: the output is whole
  };
  const Case cases[] = {{"opus", 128, nullptr},
                        {"mp3", 192, nullptr},
                        {"ogg", 192, nullptr},
                        {"wma", 192, nullptr},
                        {"m4a", 194, "the AAC encoder cannot take"},
                        {"wav", 0, "a 16-bit WAV file cannot hold"},
                        {"flac", 5, "a 24-bit FLAC file cannot hold"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string out = m_dir.file(std::string("loud.") + c.format);
    JobContext job;
    const ConvertResult result = Convert(source, out, c.format, c.kbps, job);
    ASSERT_EQ(result.code, ConvertCode::Ok) << ConversionErrorText(result);
    if (!c.cannot) {
      EXPECT_EQ(job.LogNote.find("clipped"), std::string::npos) << job.LogNote;
      const auto [peak, rms] = levels(SamplesOf<float>(RawSamples(out, "f32le", m_dir,
                                                                  "-ar 44100")));
      EXPECT_NEAR(peak, sourcePeak, 1.0);
      EXPECT_NEAR(rms, sourceRms, 1.0);
      continue;
    }
    EXPECT_EQ(job.LogNote, std::to_string(over) +
                               " samples were clipped: the source goes above full scale, which " +
                               c.cannot + ".");
  }
}

}  // namespace
}  // namespace qv::test
