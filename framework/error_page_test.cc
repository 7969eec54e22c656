#include "error_page.h"

#include <gtest/gtest.h>

#include <string>

#include "ceplatform.h"

namespace {

const char kPage[] = "Content-Type: text/html\r\n\r\n<HTML><BODY>Open database Error</BODY></HTML>";

TEST(ErrorPageTest, ReplacesEverythingWrittenBefore) {
  TextBuffer response;
  std::string earlier(2000, 'x');
  response.AppendString("Content-Type: text/html; Charset=Shift_JIS\r\n\r\n");
  response.Append(earlier.data(), static_cast<int>(earlier.size()));
  EXPECT_EQ(14, ErrorPage(&response, "Open database Error"));
  EXPECT_EQ(std::string(kPage), std::string(response.data, response.length));
  EXPECT_EQ(static_cast<int>(sizeof(kPage) - 1), response.length);
  // Cleared, so the page starts again in one fresh block.
  EXPECT_EQ(512u, HeapSize(GetProcessHeap(), 0, response.data));
}

TEST(ErrorPageTest, FormattedMessageAndLaterAppends) {
  TextBuffer response;
  ErrorPage(&response, "CeDeleteRecord was fail with error 87<BR>\n");
  response.AppendString("<HR>footer");
  EXPECT_EQ(
      "Content-Type: text/html\r\n\r\n<HTML><BODY>CeDeleteRecord was fail with error "
      "87<BR>\n</BODY></HTML><HR>footer",
      std::string(response.data, response.length));
}

TEST(ErrorPageTest, EmptyOrMissingMessage) {
  TextBuffer response;
  EXPECT_EQ(14, ErrorPage(&response, ""));
  EXPECT_STREQ("Content-Type: text/html\r\n\r\n<HTML><BODY></BODY></HTML>", response.data);
  EXPECT_EQ(14, ErrorPage(&response, nullptr));
  EXPECT_STREQ("Content-Type: text/html\r\n\r\n<HTML><BODY></BODY></HTML>", response.data);
  EXPECT_EQ(0, ErrorPage(nullptr, "x"));
}

TEST(ErrorPageTest, OutOfMemoryGivesZero) {
  TextBuffer response;
  response.AppendString("old");
  PlatformFailHeapAfter(0);
  EXPECT_EQ(0, ErrorPage(&response, "No Subject."));
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(1, response.IsEmpty());
}

// A server's response object with its own Clear: ErrorPage must go through
// the object's table, not assume the framework's Clear.
class ServerResponse : public TextBuffer {
 public:
  void Clear() override {
    ++clears;
    TextBuffer::Clear();
  }
  int clears = 0;
};

TEST(ErrorPageTest, ClearsThroughTheObjectsOwnTable) {
  ServerResponse response;
  response.AppendString("partial page");
  ErrorPage(&response, "No Subject.");
  EXPECT_EQ(1, response.clears);
  EXPECT_STREQ("Content-Type: text/html\r\n\r\n<HTML><BODY>No Subject.</BODY></HTML>",
               response.data);
}

}  // namespace
