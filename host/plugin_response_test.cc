#include "plugin_response.h"

#include <gtest/gtest.h>

#include <string>

namespace {

bool Parse(const std::string& text, PluginAnswer* answer, std::string* error) {
  return ParsePluginResponse(text.data(), text.size(), answer, error);
}

TEST(PluginResponseTest, TheBlocksThePluginsWrite) {
  PluginAnswer answer;
  std::string error;
  ASSERT_TRUE(Parse("Content-Type: text/html\r\n\r\n<HTML>x</HTML>", &answer, &error)) << error;
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.content_type, "text/html");
  EXPECT_TRUE(answer.has_body);
  EXPECT_EQ(answer.body_offset, 27u);

  ASSERT_TRUE(Parse("Content-Type: text/html; Charset=Shift_JIS\r\n\r\n\x82\xa0", &answer, &error));
  EXPECT_EQ(answer.content_type, "text/html; Charset=Shift_JIS");

  ASSERT_TRUE(Parse("Location: /bbs/board.tvx\r\n\r\n", &answer, &error)) << error;
  EXPECT_EQ(answer.status, 302);
  EXPECT_EQ(answer.location, "/bbs/board.tvx");
  EXPECT_FALSE(answer.has_body);

  // An empty page is still a page.
  ASSERT_TRUE(Parse("Content-Type: text/plain\r\n\r\n", &answer, &error));
  EXPECT_EQ(answer.body_offset, 28u);
}

TEST(PluginResponseTest, NamesIgnoreCaseAndValuesAreTrimmed) {
  PluginAnswer answer;
  std::string error;
  ASSERT_TRUE(Parse("content-type:\ttext/plain  \r\nX-Extra: 1\r\nContent-Length: 99\r\n"
                    "Connection: close\r\n\r\nbody",
                    &answer, &error))
      << error;
  EXPECT_EQ(answer.content_type, "text/plain");
  // The framing headers are the server's; the others pass.
  ASSERT_EQ(answer.headers.size(), 1u);
  EXPECT_EQ(answer.headers[0].first, "X-Extra");
  EXPECT_EQ(answer.headers[0].second, "1");
}

TEST(PluginResponseTest, StatusLine) {
  PluginAnswer answer;
  std::string error;
  ASSERT_TRUE(Parse("Status: 404 Not Found\r\nContent-Type: text/plain\r\n\r\nx", &answer, &error));
  EXPECT_EQ(answer.status, 404);
  ASSERT_TRUE(Parse("Status: 303\r\nLocation: /x\r\n\r\n", &answer, &error));
  EXPECT_EQ(answer.status, 303);
}

TEST(PluginResponseTest, MalformedBlocksAreRefused) {
  const std::string cases[] = {
      "",
      "<html>no headers</html>",
      "\r\n<html>",                                   // empty line first
      "Content-Type: text/html\r\n<html>",            // no empty line
      "Content-Type: text/html\r\n",                  // no empty line, ends there
      "Content-Type: text/html\r",                    // cut inside the line end
      "Content-Type: text/html\n\n<html>",            // bare line feeds
      "Content-Type: text/html\r\nX: a\nb\r\n\r\n",   // bare line feed inside
      "Content-Type: text/html\rX: 1\r\n\r\n",        // bare carriage return
      "Content-Type text/html\r\n\r\n",               // no colon
      ": text/html\r\n\r\n",                          // no name
      "Content Type: text/html\r\n\r\n",              // space in the name
      "X-Only: 1\r\n\r\nbody",                        // neither type nor location
      "Content-Type:\r\n\r\n",                        // empty type
      "Location: \r\n\r\n",                           // empty location
      "Content-Type: a\r\nContent-Type: b\r\n\r\n",   // twice
      "Location: /a\r\nLocation: /b\r\n\r\n",         // twice
      "Location: /a\x01\r\n\r\n",                     // control byte
      "Status: abc\r\nContent-Type: a\r\n\r\n",       // not a code
      "Status: 99\r\nContent-Type: a\r\n\r\n",        // too short
      "Status: 100 Continue\r\nContent-Type: a\r\n\r\n",  // out of range
      std::string("Content-Type: a\0b\r\n\r\n", 20),  // NUL in a value
  };
  for (const std::string& text : cases) {
    PluginAnswer answer;
    std::string error;
    EXPECT_FALSE(Parse(text, &answer, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

}  // namespace
