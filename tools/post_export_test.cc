// The export's fields: JSON strings and CSV fields escaped as their formats
// ask.
#include <gtest/gtest.h>

#include <string>

#include "post_export.h"

namespace {

TEST(PostExportText, JsonStringsAndCsvFields) {
  struct {
    const char* label;
    std::string text, json, csv;
  } cases[] = {
      {"plain", "abc", "\"abc\"", "abc"},
      {"empty", "", "\"\"", ""},
      {"quotes and backslash", "say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\"",
       "\"say \"\"hi\"\" \\o/\""},
      {"line breaks and tab", "a\r\nb\tc", "\"a\\r\\nb\\tc\"", "\"a\r\nb\tc\""},
      {"other control bytes and DEL", std::string("\x01x\x1f\x7f", 4), "\"\\u0001x\\u001f\\u007f\"",
       std::string("\x01x\x1f\x7f", 4)},
      {"a NUL", std::string("a\0b", 3), "\"a\\u0000b\"", std::string("a\0b", 3)},
      {"UTF-8 as it is", "\xE5\xB1\xB1\xE7\x94\xB0", "\"\xE5\xB1\xB1\xE7\x94\xB0\"",
       "\xE5\xB1\xB1\xE7\x94\xB0"},
      {"a comma", "a,b", "\"a,b\"", "\"a,b\""},
      {"escapes at both ends", "\"x\n", "\"\\\"x\\n\"", "\"\"\"x\n\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.json, JsonString(c.text)) << c.label;
    EXPECT_EQ(c.csv, CsvField(c.text)) << c.label;
  }
}

}  // namespace
