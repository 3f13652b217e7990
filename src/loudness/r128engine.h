#pragma once
// R128Engine: integrated loudness, loudness range and true peak of one title, as ITU-R BS.1770-4
// and EBU R128 define them: K-weighting (a high-shelf and a high-pass biquad per channel), the
// mean square over 400 ms blocks that start every 100 ms, channel weights by each channel's
// speaker (1.0 for front, centre and rear, 1.41 for surround, none for LFE), an absolute gate at -70 LUFS and a relative gate
// 10 LU below the loudness of the blocks above it. Loudness range (EBU Tech 3342) comes from 3 s
// blocks every 100 ms, gated at -70 LUFS and 20 LU below, the spread between their 10th and 95th
// percentiles. True peak is the largest absolute value of the signal oversampled 4 times below
// 96 kHz, 2 times below 192 kHz.
//
// Pure computation: no files, no list, no user interface. One object per measurement (each
// worker makes its own); not thread-safe.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace qv {

inline constexpr double kR128AbsoluteGate = -70.0;  // LUFS
inline constexpr double kR128RelativeGate = -10.0;  // LU below the absolute-gated loudness

// The loudness in LUFS of a mean-square block energy (channel weights applied).
inline double LufsFromEnergy(double energy) { return -0.691 + 10.0 * std::log10(energy); }

struct R128Measurement {
  // False when not one 400 ms block was completed.
  bool enoughSamples = false;
  // LUFS; -HUGE_VAL when every block lies below the absolute gate (silence).
  double integrated = -HUGE_VAL;
  double range = 0.0;       // LU; 0 when fewer than two 3 s blocks pass the gates
  double truePeak = 0.0;    // linear, full scale 1.0: the largest over the channels
  double samplePeak = 0.0;  // linear, full scale 1.0
  // The energies of the 400 ms blocks that passed the absolute gate, in order: what an album's
  // loudness gates together with its other titles' blocks (AlbumLoudness).
  std::vector<float> gatedBlocks;
};

class R128Engine {
 public:
  R128Engine();
  ~R128Engine();
  R128Engine(const R128Engine&) = delete;
  R128Engine& operator=(const R128Engine&) = delete;

  // Starts a title. False for a channel count outside 1..8 or a rate outside 8000..384000 Hz.
  // `speakers` are the channels' speakers as FFmpeg's AV_CH_* bits, in that order; 0 (or a
  // mask of another count) means FFmpeg's default layout for the count, which its decoders
  // give a source that names none (3: L R LFE; 4: L R C Cs; 5: L R C Ls Rs; 6: 5.1; 7: 6.1;
  // 8: 7.1). Weights as ITU-R BS.1770: side surrounds (and wide and direct ones) 1.41, back
  // surrounds 1.41 where the layout has no side ones (5.1 with back surrounds) and 1.0 beside
  // them (7.1's rear pair), LFE 0, every other speaker 1.0.
  bool Start(int sampleRate, int channels, std::uint64_t speakers = 0);

  // Adds `frames` frames of interleaved samples (full scale +-1.0). Any block length; NaN
  // counts as 0. Does nothing before a successful Start.
  void AddFrames(const float* interleaved, std::size_t frames);

  // The measurement of everything added since Start; the engine is then ready for another
  // title with the same rate and channels.
  R128Measurement Finish();

 private:
  struct State;
  State* m_state;
};

// The integrated loudness in LUFS of several titles' blocks gated together: the absolute gate
// was applied per title already, the relative gate is applied to all blocks at once. -HUGE_VAL
// when no title has a block.
double AlbumLoudness(const std::vector<const std::vector<float>*>& titles);

}  // namespace qv
