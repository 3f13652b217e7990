#pragma once
// The text of a normalization target, as the normalization edit and the command line's target
// option read it. Independent of the user's locale: the decimal separator is always ".".

#include <string>
#include <string_view>

namespace qv {

inline constexpr double kMinimumTarget = 0.0;
inline constexpr double kMaximumTarget = 200.0;
// The peak limit of normalization, in dB below full scale (dBFS or dBTP).
inline constexpr double kMinimumPeakLimit = -30.0;
inline constexpr double kMaximumPeakLimit = 0.0;

// The text read as a decimal number: leading blanks, an optional sign, digits with at most one
// decimal point; reading stops at the first other character, and nothing readable gives 0.0
// ("-", "." and "" read 0.0). No exponents, no "inf" or "nan".
double ParseTargetText(std::string_view text);

// True when every character is a digit, except that "-" may stand first and one "." anywhere,
// and the value read lies within minimum..maximum. So "-", "." and "" are valid (0.0), "-1",
// "200.1", "1e5", " 9" and "9.9.9" are not.
bool IsValidTargetText(std::string_view text, double minimum = kMinimumTarget,
                       double maximum = kMaximumTarget);

// A target as a finished entry: valid (above) and holding at least one digit, so an empty or
// partial number ("", "-", ".", "-.") is refused rather than read as 0.0.
bool IsCompleteTargetText(std::string_view text, double minimum = kMinimumTarget,
                          double maximum = kMaximumTarget);

// A target as the normalization edit shows it: "%.1f" (89.0 shows "89.0").
std::string FormatTargetText(double target);

}  // namespace qv
