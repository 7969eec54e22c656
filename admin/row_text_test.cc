#include "row_text.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include <string>

#include "ceplatform.h"

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
  EXPECT_TRUE(row.Ok());
  EXPECT_EQ(Text(row), "<td>name0X1F</td>");
}

// A row longer than the work area moves to the heap and is kept whole, on
// both sides of the edge and far beyond it; it must never be written past the
// area or handed on with a piece missing.
TEST(RowTextTest, RowOutgrowingTheWorkAreaIsKeptWhole) {
  const std::string filler(RowText::kWorkArea - 3, 'f');
  const char* const kTails[] = {"", "abc", "abcd", "abcdefgh"};
  for (const char* tail : kTails) {
    SCOPED_TRACE(tail);
    RowText row;
    row.Add(filler.data(), filler.size());
    row.Add(tail, strlen(tail));
    row.AddDecimal(-1000);
    EXPECT_TRUE(row.Ok());
    EXPECT_EQ(Text(row), filler + tail + "-1000");
  }

  // Many moves: a row of several kilobytes, built one number at a time.
  RowText row;
  std::string expected;
  for (int i = 0; i < 2000; ++i) {
    row.AddHex(static_cast<unsigned>(i));
    expected += Printf("%#X", static_cast<unsigned>(i));
  }
  EXPECT_TRUE(row.Ok());
  EXPECT_EQ(Text(row), expected);
  TextBuffer out;
  PageWriter page(&out);
  row.WriteTo(&page);
  EXPECT_EQ(0, page.failed());
  EXPECT_EQ(expected, std::string(out.data, out.length));
}

// When the heap has no room for a longer row, the row is dropped whole: the
// failure sticks, nothing of it is written, and the page is marked failed.
TEST(RowTextTest, RowTheHeapCannotHoldIsDroppedWhole) {
  const std::string filler(RowText::kWorkArea - 3, 'f');
  RowText row;
  row.Add(filler.data(), filler.size());
  PlatformFailHeapAfter(0);
  row.AddDecimal(-1000);  // five bytes: no room, and no heap
  PlatformFailHeapAfter(-1);
  EXPECT_FALSE(row.Ok());
  row.Add("x");  // would fit on its own, but the row is already broken
  EXPECT_FALSE(row.Ok());
  EXPECT_EQ(row.Length(), filler.size());
  TextBuffer out;
  PageWriter page(&out);
  page.Put("kept");
  row.WriteTo(&page);
  EXPECT_EQ(1, page.failed());
  EXPECT_EQ("kept", std::string(out.data, out.length));

  RowText exact;
  exact.Add(filler.data(), filler.size() - 7);
  PlatformFailHeapAfter(0);
  exact.AddHex(0xFFFFFFFFu);  // ten bytes into ten free: no heap needed
  PlatformFailHeapAfter(-1);
  EXPECT_TRUE(exact.Ok());
  EXPECT_EQ(exact.Length(), RowText::kWorkArea);
}

}  // namespace
