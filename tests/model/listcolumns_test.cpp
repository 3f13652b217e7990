// The sort comparisons and cell texts of the source file list.
#include <gtest/gtest.h>

#include <clocale>

#include "model/listcolumns.h"

namespace qv {
namespace {

TEST(CompareText, ByteOrderCaseSensitive) {
  EXPECT_EQ(CompareText("Zebra", "apple"), -1);  // upper case before lower case
  EXPECT_EQ(CompareText("Y", "n"), -1);
  EXPECT_EQ(CompareText("", "Y"), -1);
  EXPECT_EQ(CompareText("abc", "abc"), 0);
  EXPECT_EQ(CompareText("abcd", "abc"), 1);
  // Bytes above 127 compare as unsigned: a UTF-8 letter sorts after ASCII.
  EXPECT_EQ(CompareText("\xc3\xa9t\xc3\xa9", "zoo"), 1);
}

TEST(CompareInteger, ReadsLeadingIntegerAfterRemovingCommas) {
  EXPECT_EQ(CompareInteger("96", "128"), -1);
  EXPECT_EQ(CompareInteger("8,000", "44,100"), -1);
  EXPECT_EQ(CompareInteger("44,100", "48,000"), -1);
  EXPECT_EQ(CompareInteger("float", "16 Bit"), -1);  // "float" reads 0
  EXPECT_EQ(CompareInteger("", "0"), 0);
  EXPECT_EQ(CompareInteger("89.75", "89.10"), 0);  // integer part only
  EXPECT_EQ(CompareInteger("-3.45", "-3"), 0);
  EXPECT_EQ(CompareInteger("  +7", "7"), 0);
  EXPECT_EQ(CompareInteger("-4", "-3"), -1);
  EXPECT_EQ(ReadLeadingInteger("99999999999999999999999"), INT64_MAX);  // saturates
}

TEST(CompareReal, ReadsLeadingDecimalWithoutCommaRemoval) {
  EXPECT_EQ(CompareReal("2.861", "10.000"), -1);
  EXPECT_EQ(CompareReal("0.500", "0.5"), 0);
  EXPECT_EQ(CompareReal("", "0.000"), 0);
  EXPECT_EQ(CompareReal("1,5", "1"), 0);  // reading stops at ","
  EXPECT_EQ(CompareReal("1.5.5", "1.5"), 0);
  EXPECT_EQ(CompareReal("-1.25", "-1.5"), 1);
  EXPECT_DOUBLE_EQ(ReadLeadingReal("1e5"), 1.0);  // no exponents
}

TEST(CellFormat, TextsOfANewRow) {
  EXPECT_EQ(FormatSizeCell(3000000), "2.861");
  EXPECT_EQ(FormatSizeCell(0), "0.000");
  EXPECT_EQ(FormatSizeCell(6000000000ULL), "5722.046");  // no 32-bit wrap above 4 GiB
  EXPECT_EQ(FormatFreqCell(44100), "44,100");
  EXPECT_EQ(FormatFreqCell(8000), "8,000");
  EXPECT_EQ(FormatBitsCell(16), "16 Bit");
  EXPECT_EQ(FormatBitsCell(0), "float");
  EXPECT_EQ(FormatKbpsCell(128), "128");
  EXPECT_EQ(FormatChansCell(2), "2");
  EXPECT_EQ(FormatDbCell(89.745), "89.75");
  EXPECT_EQ(FormatDbCell(-3.0), "-3.00");
  EXPECT_EQ(FormatYesNoCell(1), "Y");
  EXPECT_EQ(FormatYesNoCell(0), "n");
}

TEST(CellFormat, IndependentOfTheUserLocale) {
  // Qt applications adopt the user's locale; a decimal comma there must not change the cells.
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  EXPECT_EQ(FormatSizeCell(3000000), "2.861");
  EXPECT_EQ(FormatFreqCell(22050), "22,050");
  EXPECT_EQ(CompareReal("2.861", "2.9"), -1);
  std::setlocale(LC_NUMERIC, saved.c_str());
}

// The probe columns sort by numbers from the facts; each must order (ties included) exactly as
// the column's comparison orders the texts those facts show. Sizes cover exact halves of a
// thousandth (65536 bytes is 0.0625 MB), neighbours that show the same text, and huge files.
TEST(ProbeColumns, NumbersSortAsTheirTextsDo) {
  std::vector<SourceFacts> facts;
  for (const std::uint64_t bytes :
       {0ull, 1ull, 524ull, 525ull, 1048ull, 65535ull, 65536ull, 65537ull, 196608ull, 327680ull,
        3000000ull, 2999975ull, 10484711ull, 11010048ull, 1ull << 40, (1ull << 52) + 65536ull}) {
    SourceFacts f;
    f.size = bytes;
    facts.push_back(f);
  }
  const unsigned numbers[] = {0, 1, 8, 16, 24, 32, 96, 128, 999, 1000, 8000, 44100, 48000, 192000};
  for (std::size_t i = 0; i < std::size(numbers); ++i) {
    SourceFacts f;
    f.kbps = numbers[i];
    f.rate = numbers[(i + 3) % std::size(numbers)];
    f.bits = numbers[(i + 5) % std::size(numbers)];
    f.channels = numbers[(i + 7) % std::size(numbers)];
    facts.push_back(f);
  }
  for (int column = kColSize; column <= kColChans; ++column) {
    for (const SourceFacts& a : facts) {
      for (const SourceFacts& b : facts) {
        const std::string x = FormatProbeCell(column, a);
        const std::string y = FormatProbeCell(column, b);
        const std::int64_t ka = ProbeSortKey(column, a), kb = ProbeSortKey(column, b);
        EXPECT_EQ(ka < kb ? -1 : (kb < ka ? 1 : 0), CompareCells(kColumns[column].sortKind, x, y))
            << column << ": " << x << " vs " << y;
      }
    }
  }
  EXPECT_EQ(FormatProbeCell(kColSize, facts[10]), "2.861");
  EXPECT_EQ(FormatProbeCell(kColTitle, facts[10]), "");
}

TEST(Columns, HeadingsWidthsAndSortKinds) {
  EXPECT_STREQ(kColumns[kColTitle].heading, "Source File List");
  EXPECT_EQ(kColumns[kColTitle].width, 252);
  EXPECT_EQ(kColumns[kColSize].sortKind, SortKind::Real);
  EXPECT_EQ(kColumns[kColFreq].sortKind, SortKind::Integer);
  EXPECT_EQ(kColumns[kColClipping].sortKind, SortKind::Text);
  EXPECT_EQ(kColumns[kColTrackGain].alignment, ColumnAlignment::Center);
  EXPECT_EQ(kColumns[kColChans].alignment, ColumnAlignment::Left);
  int total = 0;
  for (const ColumnInfo& c : kColumns) total += c.width;
  EXPECT_EQ(total, 840);  // before the list fits them to its width (FitColumnWidths)
}

TEST(Columns, FitTheListsWidthHeadingsFirst) {
  const struct {
    std::vector<int> preferred, minimum;
    int available;
    std::vector<int> expected;
  } cases[] = {
      {{100, 40, 40}, {50, 30, 30}, 200, {120, 40, 40}},  // the title takes what is left
      {{100, 40, 40}, {50, 30, 30}, 170, {90, 40, 40}},   // and gives up what is lacking
      {{100, 40, 40}, {50, 30, 30}, 120, {60, 30, 30}},   // down to its floor, then the rest
      {{100, 40, 40}, {50, 30, 30}, 110, {60, 25 + 5, 25 + 5}},  // never below a heading
      {{100, 20, 40}, {50, 36, 30}, 176, {100, 36, 40}},  // a heading wider than its column
      {{}, {}, 100, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FitColumnWidths(c.preferred, c.minimum, c.available, 60), c.expected)
        << "available " << c.available;
  }
}

}  // namespace
}  // namespace qv
