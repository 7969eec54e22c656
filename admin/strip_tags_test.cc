#include "strip_tags.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string Strip(const std::string& source, int maximum) {
  std::string area(static_cast<size_t>(maximum) + 1, '\x7F');
  StripTags(&area[0], maximum, source.c_str());
  EXPECT_LE(area.find('\0'), static_cast<size_t>(maximum));
  return std::string(area.c_str());
}

TEST(StripTagsTest, Cases) {
  struct Case {
    std::string source;
    int maximum;
    std::string result;
  } cases[] = {
      {"a<b>c>d", 255, "acd"},
      {"<b>", 255, ""},
      {"", 255, ""},
      {"abcdef", 3, "abc"},
      {"<i>ab</i>cd", 3, "abc"},
      {"abc", 0, ""},
      {"a\x88\x9F", 2, "a"},          // the character would need a third byte
      {"a\x88\x9F", 3, "a\x88\x9F"},
      {"\x88\x9F\x88\x9F", 3, "\x88\x9F"},
      {"\x88<b>x", 255, "\x88x"},    // a lead byte before a tag is a byte alone
      {"\x88", 255, "\x88"},          // and so is one at the very end
      {"\xB1\xB2\xB3", 2, "\xB1\xB2"},  // half-width katakana
      // A reference a browser made for a character Shift_JIS lacks stays
      // whole, so that the page shows that character or nothing of it.
      {"a&#128512;b", 255, "a&#128512;b"},
      {"a&#128512;b", 10, "a&#128512;"},
      {"a&#128512;b", 9, "a"},
      {"&amp;#128512;", 5, "&amp;"},  // escaped text goes byte by byte
      {"&#12", 3, "&#1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " / " + std::to_string(c.maximum));
    EXPECT_EQ(Strip(c.source, c.maximum), c.result);
  }
}

// Regression: the cut after 255 bytes used to fall between the two bytes of a
// Shift_JIS character, leaving a lead byte that swallowed the markup after it.
TEST(StripTagsTest, CutNeverSplitsADoubleByteCharacter) {
  for (int ascii = 0; ascii < 4; ascii++) {
    std::string source(static_cast<size_t>(ascii), 'a');
    for (int i = 0; i < 200; i++) source += "\x82\xA0";
    std::string result = Strip(source, 255);
    size_t expected = static_cast<size_t>(ascii) + (255 - ascii) / 2 * 2;
    EXPECT_EQ(result.size(), expected) << ascii;
    EXPECT_EQ(result, source.substr(0, expected));
  }
}

TEST(StripTagsTest, BoundedStopsAtTheCountOrTheTerminator) {
  char area[16];
  const char bytes[] = {'a', '<', 'x', '>', 'b', 'c', 'd'};
  StripTagsBounded(area, 15, bytes, 6);
  EXPECT_STREQ(area, "abc");
  StripTagsBounded(area, 15, "ab\0cd", 5);
  EXPECT_STREQ(area, "ab");
  // A reference cut off by the count is no reference: its bytes go alone.
  StripTagsBounded(area, 15, "x&#65;", 5);
  EXPECT_STREQ(area, "x&#65");
  const char lead[] = {'z', '\x88', '\x9F'};
  StripTagsBounded(area, 15, lead, 2);  // the trail byte lies outside the count
  EXPECT_STREQ(area, "z\x88");
  StripTagsBounded(area, 15, nullptr, 0);
  EXPECT_STREQ(area, "");
  StripTags(area, 15, nullptr);
  EXPECT_STREQ(area, "");
}

}  // namespace
