#pragma once
// The twelve columns of the source file list, how each one sorts, and the texts of its cells.
// Formatting never depends on the user's locale: a size always reads "2.861" and a sample rate
// "44,100", so the sort comparisons below read them back the same way everywhere.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/qvlistitem.h"

namespace qv {

enum class SortKind { Text = 0, Integer = 1, Real = 2 };
enum class ColumnAlignment { Left, Center };

enum Column : int {
  kColTitle = 0,
  kColType,
  kColSize,
  kColKbps,
  kColFreq,
  kColBits,
  kColChans,
  kColVolume,
  kColClipping,
  kColTrackGain,
  kColClipTrack,
  kColAlbumGain,
  kColumnCount
};

struct ColumnInfo {
  const char* heading;
  int width;  // pixels
  ColumnAlignment alignment;
  SortKind sortKind;
};
extern const ColumnInfo kColumns[kColumnCount];

// Column widths that fill `available` pixels exactly: each column at least its `minimum` (what
// its heading needs), the title column (the first) taking what is left over, or giving up what
// is lacking first (down to `titleMinimum`), then the others a pixel at a time, evenly, down to
// their minimum. More than fits is left only when every column is at its minimum.
std::vector<int> FitColumnWidths(const std::vector<int>& preferred,
                                 const std::vector<int>& minimum, int available,
                                 int titleMinimum);

// Comparisons of two cell texts: negative when x goes first, 0 when equal, positive when y goes
// first (the results are exactly -1, 0 or 1).
// Text: unsigned bytes, case-sensitive ("Y" < "n", "" before both).
int CompareText(std::string_view x, std::string_view y);
// Integer: every "," removed, then the leading decimal integer (blanks skipped, optional sign,
// digits up to the first other character; none gives 0). "44,100" reads 44100, "89.75" reads 89.
int CompareInteger(std::string_view x, std::string_view y);
// Real: the leading decimal number (blanks skipped, optional sign, digits with at most one
// decimal point; nothing readable gives 0.0). No "," removal.
int CompareReal(std::string_view x, std::string_view y);
int CompareCells(SortKind kind, std::string_view x, std::string_view y);

// The readers behind the comparisons. Out-of-range integers saturate.
std::int64_t ReadLeadingInteger(std::string_view text);
double ReadLeadingReal(std::string_view text);
// What an Integer column reads from a cell: every "," removed, then ReadLeadingInteger.
std::int64_t ReadIntegerCell(std::string_view text);

// The probe columns (2 to 6) are drawn from the row's facts, not stored.
inline bool IsProbeColumn(int column) { return column >= kColSize && column <= kColChans; }
// The text of probe column `column` for `facts`; empty for any other column.
std::string FormatProbeCell(int column, const SourceFacts& facts);
// The number a probe column sorts by, equal to what its comparison reads from the cell's
// text: the size in thousandths of a MB as the cell rounds it, the kbps, the rate in Hz, the
// bits (0 reads as "float") and the channels. 0 for any other column.
std::int64_t ProbeSortKey(int column, const SourceFacts& facts);
// The size cell's value in thousandths of a MB, rounded as FormatSizeCell rounds (to nearest,
// an exact half to even).
std::int64_t SizeCellThousandths(std::uint64_t bytes);

// Cell texts of a new row (columns 2 to 6) and of a measured row (7 to 10).
std::string FormatSizeCell(std::uint64_t bytes);  // MB with 3 decimals: 3000000 -> "2.861"
std::string FormatKbpsCell(int kbps);             // "128"
std::string FormatFreqCell(int hertz);            // 44100 -> "44,100", 8000 -> "8,000"
std::string FormatBitsCell(int bits);             // "16 Bit", 0 -> "float"
std::string FormatChansCell(int channels);        // "2"
std::string FormatDbCell(double db);              // "%.2f": "89.75"
std::string FormatYesNoCell(int flag);            // 1 -> "Y", else "n"
// printf "%.*f" in the "C" locale, whatever locale the process runs in.
std::string FormatFixed(double value, int decimals);

}  // namespace qv
