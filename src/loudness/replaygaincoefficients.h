#pragma once
// The constant filter tables of the loudness analysis: for every supported sample rate the
// 10th-order Yule-Walker equal-loudness filter and the 2nd-order Butterworth high-pass of the
// ReplayGain 1.0 reference analysis (the rows are in replaygaincoefficients.cpp).

namespace qv {

inline constexpr int kReplayGainRateCount = 12;
inline constexpr int kYuleOrder = 10;
inline constexpr int kButterOrder = 2;
// b0, then the pairs a1, b1 ... a10, b10.
inline constexpr int kYuleCoefficientCount = 1 + 2 * kYuleOrder;
// b0, a1, b1, a2, b2.
inline constexpr int kButterCoefficientCount = 1 + 2 * kButterOrder;

// The supported rates in Hz, in table order (row index 0 is 96000 Hz, 11 is 8000 Hz).
extern const int kReplayGainRates[kReplayGainRateCount];
extern const double kYuleCoefficients[kReplayGainRateCount][kYuleCoefficientCount];
extern const double kButterCoefficients[kReplayGainRateCount][kButterCoefficientCount];

// The row index of a rate, or -1 when the rate is not supported.
int ReplayGainRateIndex(int sampleRate);

}  // namespace qv
