#pragma once
// LoudnessEngine: the ReplayGain 1.0 analysis of one title at a time. The signal passes the
// equal-loudness filter and the high-pass of the reference analysis, its mean power is taken
// over 50 ms windows, the window levels are counted in a histogram of 0.01 dB steps, and the
// level that 95 % of the windows stay below is compared with the 64.82 dB pink-noise reference.
//
// Pure computation: no files, no list, no user interface. All working storage is part of the
// object and fixed in size (any supported rate fits), so AnalyzeBlock never allocates. One
// object per worker: a batch of one worker measures with the caller's (the window keeps one),
// more workers get one each. Not thread-safe: one thread uses an object at a time.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/qvlistitem.h"

namespace qv {

// The title gain of an analysis that did not complete one window.
inline constexpr double NotEnoughSamples = -24601.0;

class LoudnessEngine {
 public:
  static constexpr int kHistogramBins = 12000;  // 120 dB in steps of 0.01 dB
  static constexpr int kHistory = 10;           // the larger of the two filter orders
  static constexpr double kReferenceLevel = 64.82;
  // 1 - 0.95 in double precision, as the walk over the histogram uses it.
  static constexpr double kPercentileFactor = 1.0 - 0.95;

  LoudnessEngine();
  LoudnessEngine(const LoudnessEngine&) = delete;
  LoudnessEngine& operator=(const LoudnessEngine&) = delete;

  // Starts a title at `sampleRate` Hz: clears the filter histories, selects the coefficient
  // rows, sets the window length (ceil of rate x 0.05 s) and clears the window and the
  // histogram. False for a rate without coefficients; the histories are cleared all the same,
  // but the engine keeps its previous rate, window and histogram and must not be used until a
  // later StartAnalysis succeeds (AnalyzeBlock refuses to work before the first success).
  bool StartAnalysis(int sampleRate);

  // Analyses `count` samples per channel on the 16-bit scale (full scale +-32767.0). One
  // channel: `left` stands for both channels and `right` is ignored; two: both arrays hold
  // `count` samples. A count of 0 returns true at once; otherwise any other channel count (or a
  // missing array) returns false and changes nothing. Blocks may have any length: windows and
  // filter histories continue from the previous block. A sample that is NaN counts as 0, one
  // beyond +-1e15 (only a corrupt float source has those) as +-1e15, so every window level
  // comes from a finite power.
  bool AnalyzeBlock(const double* left, const double* right, std::size_t count, int channels);

  // The title gain in dB of everything analysed since StartAnalysis (positive: quieter than
  // the reference), or NotEnoughSamples when not one window was completed. A partly filled last
  // window is discarded. Clears the histogram, the histories and the window, so the engine is
  // ready for another title at the same rate.
  // With `levels`, the histogram is first copied there, packed (PackLevel), for an album gain.
  double TakeTitleGain(std::vector<std::uint32_t>* levels = nullptr);

  // The window length in samples of the selected rate (0 before the first StartAnalysis).
  int WindowLength() const { return m_windowLength; }
  // The number of windows counted in the histogram since StartAnalysis.
  std::uint64_t WindowCount() const;
  // The histogram counter of one bin (0 for an index out of range).
  std::uint32_t BinCount(int bin) const;

 private:
  // The filter state of both channels at once: element 0 is the left, element 1 the right
  // channel, so one vector operation advances both channels and their results stay exactly
  // those of two separate filters.
  using Pair = double __attribute__((vector_size(16)));
  struct Histories {
    Pair x[kHistory];  // input: x[0] is the newest sample
    Pair y[kHistory];  // equal-loudness output
    Pair z[2];         // high-pass output
  };

  void ClearHistories();
  void CloseWindow();

  Histories m_histories{};
  Pair m_sum{};  // running sums of squared output of the current window, left and right
  int m_rateIndex = -1;
  int m_windowLength = 0;
  int m_inWindow = 0;  // samples already in the current window
  std::array<std::uint32_t, kHistogramBins> m_histogram{};
};

// The gain of an album: the 95th percentile of the titles' histograms added up (packed as
// TakeTitleGain gives them), against the reference; NotEnoughSamples when no title has a window.
double AlbumTitleGain(const std::vector<const std::vector<std::uint32_t>*>& titles);

// A finite, bounded sample for the filters: NaN gives 0, values beyond +-1e15 are clamped.
inline double BoundedSample(double value) {
  constexpr double kLimit = 1e15;
  if (!(value == value)) return 0.0;
  return value > kLimit ? kLimit : (value < -kLimit ? -kLimit : value);
}

// The histogram bin of a window's mean power over both channels: 1000 x log10(power + 1e-37),
// truncated toward zero and clamped to 0..11999. A NaN power gives -1 (no bin).
int LevelBin(double meanPower);

}  // namespace qv
