// The export's lines: JSON strings and CSV fields escaped as their formats
// ask, absent fields as null or empty, one line a post.
#include <gtest/gtest.h>

#include <sstream>
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

TEST(PostExportText, OneLineAPostWithAbsentFields) {
  BoardPost post;
  post.time = "2024-03-01T00:00:10";
  post.name = "n";
  post.subject = "s,t";
  post.body = "b\nc";
  post.html = "<B>";
  std::ostringstream json, csv;
  PostExport to_json(&json, PostExport::Format::kJson);
  PostExport to_csv(&csv, PostExport::Format::kCsv);
  for (PostExport* writer : {&to_json, &to_csv}) {
    writer->Begin();
    writer->Write("TULVAN_a", 4294967295u, post);
    writer->Write("TULVAN_a", 7, BoardPost());
  }
  EXPECT_EQ(json.str(),
            "{\"database\":\"TULVAN_a\",\"oid\":4294967295,\"time\":\"2024-03-01T00:00:10\","
            "\"name\":\"n\",\"email\":null,\"subject\":\"s,t\",\"body\":\"b\\nc\","
            "\"html\":\"<B>\"}\n"
            "{\"database\":\"TULVAN_a\",\"oid\":7,\"time\":\"\",\"name\":null,\"email\":null,"
            "\"subject\":null,\"body\":null,\"html\":\"\"}\n");
  EXPECT_EQ(csv.str(),
            "database,oid,time,name,email,subject,body,html\r\n"
            "TULVAN_a,4294967295,2024-03-01T00:00:10,n,,\"s,t\",\"b\nc\",<B>\r\n"
            "TULVAN_a,7,,,,,,\r\n");
  EXPECT_TRUE(to_json.good());
}

}  // namespace
