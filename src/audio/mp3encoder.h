#pragma once
// Mp3Encoder: LAME behind BASS_Encode_StartACMFile. Writes bare MP3 frames (constant bitrate,
// the rate and channel mode of an MPEG Layer-3 format record) to a file, and at the end
// rewrites the first frame with LAME's info frame so decoders know the exact length. Owns the
// LAME state and the file, which it creates exclusively.

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <lame/lame.h>

#include "audio/avptr.h"
#include "audio/decoder.h"
#include "audio/encoder.h"

namespace qv::audio {

struct LameDeleter {
  void operator()(lame_global_flags* p) const { lame_close(p); }
};
struct FileCloser {
  void operator()(std::FILE* p) const { std::fclose(p); }
};

class Mp3Encoder final : public Encoder {
 public:
  // Checks the record against the channel and LAME's bitrates (a record at another rate than
  // the channel's gets the channel's data resampled to it, a channel of more than two channels
  // is mixed down to the record's), then creates
  // the file exclusively (an existing file or link of that name is never replaced). Returns
  // BASS_ERROR_NOTAVAIL when no encoder fits (no file is created then), BASS_ERROR_CREATE with
  // the system's reason in `detail` when the file cannot be made.
  static int Create(DWORD channel, DWORD flags, const SourceFormat& source,
                    const MPEGLAYER3WAVEFORMAT& form, const std::string& path,
                    std::shared_ptr<Encoder>& encoder, std::string& detail);
  // Whether LAME encodes `kbps` at `rate` without changing either.
  static bool Supports(int rate, int kbps);

  using Encoder::Encoder;
  ~Mp3Encoder() override { Finish(); }

 private:
  int DoWrite(const float* samples, size_t frames) override;
  int DoFinish() override;
  int Put(const unsigned char* data, int bytes);
  // Hands frames in the record's rate to LAME.
  int EncodeFrames(const float* samples, size_t frames);

  std::unique_ptr<lame_global_flags, LameDeleter> m_lame;
  std::unique_ptr<std::FILE, FileCloser> m_file;
  std::vector<float> m_stereo;
  std::vector<unsigned char> m_out;
  // Set when the channel's rate is not the record's or it has more than two channels.
  SwrPtr m_swr;
  int m_swrChannels = 0;          // of the converter's output
  int m_outRate = 0;
  std::vector<float> m_resampled;
};

}  // namespace qv::audio
