#include "byte_escape.h"

#include <gtest/gtest.h>

namespace {

TEST(ByteEscapeTest, EachSetEscapesItsBytes) {
  struct Case {
    EscapeSet set;
    std::string text;
    const char* escaped;
  } cases[] = {
      {EscapeSet::kUrlPath, "/a b/\xe6~_.-", "/a%20b/%E6~_.-"},
      {EscapeSet::kUrlPath, "/x?y&z%", "/x%3Fy%26z%25"},
      {EscapeSet::kUrlText, "?a=%41&b c\x7f\x01\xff", "?a=%41&b%20c%7F%01%FF"},
      {EscapeSet::kLogField, "say \"hi\"\\\n\xe6", "say \\x22hi\\x22\\x5C\\x0A\\xE6"},
      {EscapeSet::kLogField, std::string("a\0b", 3), "a\\x00b"},
      {EscapeSet::kUrlText, "", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(EscapeBytes(c.text, c.set), c.escaped) << c.text;
}

}  // namespace
