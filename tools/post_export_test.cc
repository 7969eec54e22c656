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

// Escapes are found wherever they stand: a text comes out as its bytes do
// one by one, whichever byte stands at each place of a text long enough to
// be read eight bytes at a time, and whichever two bytes share a word.
TEST(PostExportText, EveryByteAtEveryPlace) {
  std::string inner[256];
  for (int byte = 0; byte < 256; ++byte) {
    const std::string alone = JsonString(std::string(1, static_cast<char>(byte)));
    inner[byte] = alone.substr(1, alone.size() - 2);
  }
  auto want = [&](const std::string& text) {
    std::string json = "\"";
    for (unsigned char c : text) json += inner[c];
    return json + "\"";
  };
  for (int byte = 0; byte < 256; ++byte) {
    for (size_t before = 0; before < 20; ++before) {
      for (size_t after : {size_t{0}, size_t{3}, size_t{9}}) {
        std::string text = std::string(before, 'a') + static_cast<char>(byte) +
                           std::string(after, '\xE3');
        ASSERT_EQ(JsonString(text), want(text)) << byte << " after " << before;
      }
    }
  }
  // Bytes on either side of each test's edge, and those they look like.
  const unsigned char kBytes[] = {0x00, 0x01, 0x0A, 0x0D, 0x1F, 0x20, 0x21, '"',  '#',
                                  '[',  '\\', ']',  0x7E, 0x7F, 0x80, 0xA2, 0xDC, 0xFF};
  for (unsigned char first : kBytes) {
    for (unsigned char second : kBytes) {
      for (size_t at = 0; at < 17; ++at) {
        for (size_t gap = 1; at + gap < 17; ++gap) {
          std::string text(17, 'a');
          text[at] = static_cast<char>(first);
          text[at + gap] = static_cast<char>(second);
          ASSERT_EQ(JsonString(text), want(text)) << int{first} << " " << int{second} << " at "
                                                  << at << "+" << gap;
        }
      }
    }
  }
}
}  // namespace
