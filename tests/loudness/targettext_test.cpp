// The target text as the normalization edit and the command line read it.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "loudness/targettext.h"

namespace qv {
namespace {

TEST(TargetText, WhatTheEditAccepts) {
  for (const char* text : {"89.0", "92", "0", "200", "200.0", "200.", "0.5", ".5", "-", ".", "",
                           "-.", "-0", "007", "199.99999"}) {
    EXPECT_TRUE(IsValidTargetText(text)) << '"' << text << '"';
  }
  for (const char* text : {"-1", "-0.1", "200.1", "200.0001", "250", "1e2", " 9", "9 ", "9.9.9",
                           "--", "9-", "+9", "a", "8,5", "inf", "nan", "0x10", "99999999999"}) {
    EXPECT_FALSE(IsValidTargetText(text)) << '"' << text << '"';
  }
  // A text too long for a double is out of range, not zero.
  EXPECT_FALSE(IsValidTargetText(std::string(400, '9')));
  EXPECT_TRUE(IsValidTargetText("0." + std::string(400, '0') + "1"));
  // Other limits.
  EXPECT_TRUE(IsValidTargetText("-5", -10.0, 10.0));
  EXPECT_FALSE(IsValidTargetText("11", -10.0, 10.0));
  // A finished entry needs a digit: what is only a beginning is refused, never read as 0.0.
  for (const char* text : {"", "-", ".", "-."}) EXPECT_FALSE(IsCompleteTargetText(text)) << text;
  for (const char* text : {"0", ".5", "-0", "200."}) EXPECT_TRUE(IsCompleteTargetText(text)) << text;
}

TEST(TargetText, ReadingANumber) {
  EXPECT_EQ(ParseTargetText("92"), 92.0);
  EXPECT_EQ(ParseTargetText("89.0"), 89.0);
  EXPECT_EQ(ParseTargetText("92.1"), 92.1);  // correctly rounded
  EXPECT_EQ(ParseTargetText("0.3"), 0.3);
  EXPECT_EQ(ParseTargetText("-"), 0.0);
  EXPECT_EQ(ParseTargetText("."), 0.0);
  EXPECT_EQ(ParseTargetText(""), 0.0);
  EXPECT_EQ(ParseTargetText("  -3.5dB"), -3.5);  // blanks, sign, and it stops at the "d"
  EXPECT_EQ(ParseTargetText("+7"), 7.0);
  EXPECT_EQ(ParseTargetText("1.2.3"), 1.2);
  EXPECT_EQ(ParseTargetText("1e5"), 1.0);
  EXPECT_EQ(ParseTargetText("abc"), 0.0);
  EXPECT_EQ(ParseTargetText(".25"), 0.25);
  EXPECT_GT(ParseTargetText(std::string(400, '9')), 1e300);
}

TEST(TargetText, IndependentOfTheUserLocale) {
  const char* old = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = old ? old : "C";
  if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8")) {
    GTEST_SKIP() << "no locale with a decimal comma installed";
  }
  EXPECT_EQ(FormatTargetText(89.0), "89.0");
  EXPECT_EQ(ParseTargetText("92.5"), 92.5);
  EXPECT_FALSE(IsValidTargetText("92,5"));
  std::setlocale(LC_NUMERIC, saved.c_str());
}

TEST(TargetText, OneDecimal) {
  EXPECT_EQ(FormatTargetText(89.0), "89.0");
  EXPECT_EQ(FormatTargetText(92.0), "92.0");
  EXPECT_EQ(FormatTargetText(0.0), "0.0");
  EXPECT_EQ(FormatTargetText(199.96), "200.0");
  EXPECT_TRUE(IsValidTargetText(FormatTargetText(200.0)));
}

}  // namespace
}  // namespace qv
