#include "row_text.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <string>

namespace {

std::string Text(const RowText& row) { return std::string(row.Bytes(), row.Length()); }

std::string Printf(const char* format, unsigned value) {
  char area[32];
  snprintf(area, sizeof(area), format, value);
  return area;
}

TEST(RowTextTest, NumbersReadAsPrintfWritesThem) {
  const unsigned values[] = {0u,          1u,          9u,          10u,         15u,
                             16u,         255u,        65535u,      0x7FFFFFFFu, 0x80000000u,
                             0x80000001u, 0xFFFFFFF0u, 0xFFFFFFFFu, 1234567890u, 0xABCDEF01u};
  for (unsigned value : values) {
    SCOPED_TRACE(value);
    RowText decimal;
    decimal.AddDecimal(static_cast<int>(value));
    EXPECT_EQ(Text(decimal), Printf("%d", value));
    RowText hex;
    hex.AddHex(value);
    EXPECT_EQ(Text(hex), Printf("%#X", value));
  }
  RowText extremes;
  extremes.AddDecimal(INT_MIN);
  extremes.Add("|");
  extremes.AddDecimal(INT_MAX);
  extremes.Add("|");
  extremes.AddDecimal(-1);
  EXPECT_EQ(Text(extremes), "-2147483648|2147483647|-1");
}

TEST(RowTextTest, PiecesFollowEachOtherWithoutTerminators) {
  RowText row;
  row.Add("<td>");
  row.Add("name\0hidden", 4);
  row.Add("", 0);
  row.AddHex(0x1F);
  row.Add("</td>");
  EXPECT_TRUE(row.Fits());
  EXPECT_EQ(Text(row), "<td>name0X1F</td>");
}

// A row that overflows must be reported, never written past the area or
// handed on with a piece missing.
TEST(RowTextTest, OverflowIsReportedAndSticks) {
  const std::string filler(RowText::kCapacity - 3, 'f');
  struct Case {
    const char* tail;
    bool fits;
  } cases[] = {{"", true}, {"abc", true}, {"abcd", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tail);
    RowText row;
    row.Add(filler.data(), filler.size());
    row.Add(c.tail, strlen(c.tail));
    EXPECT_EQ(row.Fits() != 0, c.fits);
    if (c.fits) {
      EXPECT_EQ(Text(row), filler + c.tail);
    }
  }

  RowText row;
  row.Add(filler.data(), filler.size());
  row.AddDecimal(-1000);  // five bytes: no room
  EXPECT_FALSE(row.Fits());
  row.Add("x");  // would fit on its own, but the row is already broken
  EXPECT_FALSE(row.Fits());
  EXPECT_EQ(row.Length(), filler.size());

  RowText numbers;
  numbers.Add(filler.data(), filler.size() - 7);
  numbers.AddHex(0xFFFFFFFFu);  // ten bytes into ten free
  EXPECT_TRUE(numbers.Fits());
  EXPECT_EQ(numbers.Length(), RowText::kCapacity);
  numbers.AddDecimal(0);
  EXPECT_FALSE(numbers.Fits());
}

}  // namespace
