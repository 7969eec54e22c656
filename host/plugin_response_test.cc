#include "plugin_response.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

#include "ceplatform.h"

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

// The page leaves from the very block the plug-in wrote it into: a copy
// would show as another address, and as one more block of the heap.
TEST(TakePluginResponseTest, ThePageIsTheResponsesOwnStorage) {
  const std::string head = "Content-Type: text/plain\r\n\r\n";
  const std::string page(1 << 20, 'p');
  struct Case {
    int cut;  // bytes of the response the plug-in leaves out of its result
  } cases[] = {{0}, {1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cut);
    std::shared_ptr<const HeapBody> body;
    long blocks_before = PlatformLiveHeapBlocks();
    {
      TextBuffer response;
      ASSERT_EQ(response.AppendString(head.c_str()), static_cast<int>(head.size()));
      ASSERT_EQ(response.Append(page.data(), static_cast<int>(page.size())),
                static_cast<int>(page.size()));
      const char* written = response.data;
      long blocks = PlatformLiveHeapBlocks();
      PluginAnswer answer;
      std::string error;
      ASSERT_TRUE(TakePluginResponse(response.length - c.cut, &response, &answer, &body, &error))
          << error;
      ASSERT_NE(body, nullptr);
      EXPECT_EQ(body->data(), written + head.size());
      EXPECT_EQ(body->size(), page.size() - static_cast<size_t>(c.cut));
      EXPECT_EQ(memcmp(body->data(), page.data(), body->size()), 0);
      EXPECT_EQ(response.data, nullptr);
      EXPECT_EQ(response.length, 0);
      EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
    }
    // The block outlives the response it came from, and goes with the body.
    EXPECT_EQ(PlatformLiveHeapBlocks(), blocks_before + 1);
    body.reset();
    EXPECT_EQ(PlatformLiveHeapBlocks(), blocks_before);
  }
}

TEST(TakePluginResponseTest, NothingIsTakenWithoutAPageToSend) {
  struct Case {
    const char* text;
    int extra;  // added to the response's length for the plug-in's result
    bool ok;
  } cases[] = {
      {"Location: /bbs/board.tvx\r\n\r\n", 0, true},
      {"Location: /bbs/board.tvx\r\n\r\nignored page", 0, true},
      {"Content-Type: text/plain\r\n\r\n", 0, true},  // an empty page
      {"Content-Type: text/plain\r\n\r\nshort", 1, false},
      {"Content-Type: text/plain\r\n\r\nshort", -1000, false},
      {"no header block", 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TextBuffer response;
    response.AppendString(c.text);
    const char* written = response.data;
    const int length = response.length;
    PluginAnswer answer;
    std::shared_ptr<const HeapBody> body;
    std::string error;
    EXPECT_EQ(TakePluginResponse(length + c.extra, &response, &answer, &body, &error), c.ok);
    EXPECT_EQ(error.empty(), c.ok) << error;
    EXPECT_EQ(body, nullptr);
    EXPECT_EQ(response.data, written);
    EXPECT_EQ(response.length, length);
  }
  // A result of bytes that were never written.
  TextBuffer empty;
  PluginAnswer answer;
  std::shared_ptr<const HeapBody> body;
  std::string error;
  EXPECT_FALSE(TakePluginResponse(5, &empty, &answer, &body, &error));
  EXPECT_EQ(error, "returned 5 but its response holds 0 bytes");
  EXPECT_FALSE(TakePluginResponse(0, &empty, &answer, &body, &error));  // no header block
}

}  // namespace
