#include "loudness/targettext.h"

#include <charconv>
#include <cmath>

#include "model/listcolumns.h"

namespace qv {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

double ParseTargetText(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // The readable part: digits with at most one point. from_chars rounds it correctly and never
  // looks at the locale.
  std::string number;
  bool point = false;
  bool digits = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !point) {
      point = true;
      number += c;
    } else if (IsDigit(c)) {
      digits = true;
      number += c;
    } else {
      break;
    }
  }
  if (!digits) return 0.0;
  if (number.front() == '.') number.insert(number.begin(), '0');
  double value = 0.0;
  const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  (void)end;
  if (error == std::errc::result_out_of_range) {
    // Too large for a double (a nonzero digit before the point) or too small (only zeros
    // before it).
    const std::size_t pointAt = number.find('.');
    const std::string whole = number.substr(0, pointAt);
    value = whole.find_first_not_of('0') != std::string::npos ? HUGE_VAL : 0.0;
  } else if (error != std::errc()) {
    value = 0.0;
  }
  return negative ? -value : value;
}

bool IsValidTargetText(std::string_view text, double minimum, double maximum) {
  bool point = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (IsDigit(c)) continue;
    if (c == '-' && i == 0) continue;
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    return false;
  }
  const double value = ParseTargetText(text);
  return minimum <= value && value <= maximum;
}

bool IsCompleteTargetText(std::string_view text, double minimum, double maximum) {
  bool digit = false;
  for (const char c : text) digit = digit || IsDigit(c);
  return digit && IsValidTargetText(text, minimum, maximum);
}

std::string FormatTargetText(double target) { return FormatFixed(target, 1); }

}  // namespace qv
