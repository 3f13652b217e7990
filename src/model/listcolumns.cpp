#include "model/listcolumns.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

namespace qv {

const ColumnInfo kColumns[kColumnCount] = {
    {"Source File List", 252, ColumnAlignment::Left, SortKind::Text},
    {"Type", 36, ColumnAlignment::Left, SortKind::Text},
    {"Size (MB)", 56, ColumnAlignment::Left, SortKind::Real},
    {"Kbps", 40, ColumnAlignment::Left, SortKind::Integer},
    {"Freq (Hz)", 56, ColumnAlignment::Left, SortKind::Integer},
    {"Bit Depth", 52, ColumnAlignment::Left, SortKind::Integer},
    {"Chan", 40, ColumnAlignment::Left, SortKind::Integer},
    {"Volume", 54, ColumnAlignment::Center, SortKind::Integer},
    {"Clipping", 56, ColumnAlignment::Center, SortKind::Text},
    {"Track Gain", 68, ColumnAlignment::Center, SortKind::Integer},
    {"Clip Track", 62, ColumnAlignment::Center, SortKind::Text},
    {"Album Gain", 68, ColumnAlignment::Center, SortKind::Real},
};

std::vector<int> FitColumnWidths(const std::vector<int>& preferred,
                                 const std::vector<int>& minimum, int available,
                                 int titleMinimum) {
  std::vector<int> widths(preferred.size());
  int total = 0;
  for (size_t i = 0; i < widths.size(); ++i) {
    widths[i] = std::max(preferred[i], i < minimum.size() ? minimum[i] : 0);
    total += widths[i];
  }
  if (widths.empty()) return widths;
  if (total <= available) {
    widths[0] += available - total;
    return widths;
  }
  int excess = total - available;
  const int titleFloor = std::max(titleMinimum, minimum.empty() ? 0 : minimum[0]);
  const int fromTitle = std::clamp(widths[0] - titleFloor, 0, excess);
  widths[0] -= fromTitle;
  excess -= fromTitle;
  for (bool shrunk = true; excess > 0 && shrunk;) {
    shrunk = false;
    for (size_t i = 1; i < widths.size() && excess > 0; ++i) {
      if (widths[i] <= (i < minimum.size() ? minimum[i] : 0)) continue;
      --widths[i];
      --excess;
      shrunk = true;
    }
  }
  return widths;
}

namespace {

template <typename T>
int Sign(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int CompareText(std::string_view x, std::string_view y) {
  const std::size_t n = std::min(x.size(), y.size());
  for (std::size_t i = 0; i < n; ++i) {
    const auto a = static_cast<unsigned char>(x[i]);
    const auto b = static_cast<unsigned char>(y[i]);
    if (a != b) return a < b ? -1 : 1;
  }
  return Sign(x.size(), y.size());
}

std::int64_t ReadLeadingInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    const int digit = text[i] - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

double ReadLeadingReal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  double value = 0.0;
  double scale = 1.0;
  bool afterPoint = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.' && !afterPoint) {
      afterPoint = true;
    } else if (IsDigit(c)) {
      if (afterPoint) {
        scale /= 10.0;
        value += (c - '0') * scale;
      } else {
        value = value * 10.0 + (c - '0');
      }
    } else {
      break;
    }
  }
  return negative ? -value : value;
}

std::int64_t ReadIntegerCell(std::string_view text) {
  if (text.find(',') == std::string_view::npos) return ReadLeadingInteger(text);
  std::string out;
  out.reserve(text.size());
  for (char c : text)
    if (c != ',') out.push_back(c);
  return ReadLeadingInteger(out);
}

int CompareInteger(std::string_view x, std::string_view y) {
  return Sign(ReadIntegerCell(x), ReadIntegerCell(y));
}

int CompareReal(std::string_view x, std::string_view y) {
  return Sign(ReadLeadingReal(x), ReadLeadingReal(y));
}

int CompareCells(SortKind kind, std::string_view x, std::string_view y) {
  switch (kind) {
    case SortKind::Integer: return CompareInteger(x, y);
    case SortKind::Real: return CompareReal(x, y);
    case SortKind::Text: break;
  }
  return CompareText(x, y);
}

std::string FormatFixed(double value, int decimals) {
  if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value < 0 ? "-inf" : "inf");
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return {};
  return std::string(buffer, result.ptr);
}

std::string FormatSizeCell(std::uint64_t bytes) {
  return FormatFixed(static_cast<double>(bytes) * 9.5367431640625e-07, 3);
}

std::string FormatKbpsCell(int kbps) { return std::to_string(kbps); }

std::string FormatFreqCell(int hertz) {
  std::string text = FormatFixed(hertz / 1000.0, 3);
  for (char& c : text)
    if (c == '.') c = ',';
  return text;
}

std::string FormatBitsCell(int bits) {
  return bits == 0 ? std::string("float") : std::to_string(bits) + " Bit";
}

std::string FormatChansCell(int channels) { return std::to_string(channels); }

std::string FormatDbCell(double db) { return FormatFixed(db, 2); }

std::string FormatYesNoCell(int flag) { return flag == 1 ? "Y" : "n"; }

namespace {

int CellInt(std::uint64_t value) {
  return static_cast<int>(std::min<std::uint64_t>(value, std::numeric_limits<int>::max()));
}
int CellInt(std::int64_t value) {
  return static_cast<int>(std::clamp<std::int64_t>(value, std::numeric_limits<int>::min(),
                                                   std::numeric_limits<int>::max()));
}

}  // namespace

std::string FormatProbeCell(int column, const SourceFacts& facts) {
  switch (column) {
    case kColSize: return FormatSizeCell(facts.size);
    case kColKbps: return FormatKbpsCell(CellInt(facts.kbps));
    case kColFreq: return FormatFreqCell(CellInt(std::uint64_t{facts.rate}));
    case kColBits: return FormatBitsCell(CellInt(std::uint64_t{facts.bits}));
    case kColChans: return FormatChansCell(CellInt(std::uint64_t{facts.channels}));
    default: return {};
  }
}

std::int64_t SizeCellThousandths(std::uint64_t bytes) {
  // bytes / 2^20 MB, times 1000, without overflow: the whole MBs exactly, then the rest.
  constexpr std::uint64_t kMask = (std::uint64_t{1} << 20) - 1;
  const std::uint64_t rest = (bytes & kMask) * 1000;  // below 2^30
  std::uint64_t value = (bytes >> 20) * 1000 + (rest >> 20);
  const std::uint64_t fraction = rest & kMask;
  constexpr std::uint64_t kHalf = std::uint64_t{1} << 19;
  if (fraction > kHalf || (fraction == kHalf && (value & 1) != 0)) ++value;
  return static_cast<std::int64_t>(
      std::min<std::uint64_t>(value, std::numeric_limits<std::int64_t>::max()));
}

std::int64_t ProbeSortKey(int column, const SourceFacts& facts) {
  switch (column) {
    case kColSize: return SizeCellThousandths(facts.size);
    case kColKbps: return CellInt(facts.kbps);
    case kColFreq: return CellInt(std::uint64_t{facts.rate});
    case kColBits: return CellInt(std::uint64_t{facts.bits});
    case kColChans: return CellInt(std::uint64_t{facts.channels});
    default: return 0;
  }
}

}  // namespace qv
