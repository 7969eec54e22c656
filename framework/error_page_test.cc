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
  // The bytes after the page are no text of it: the NUL follows the page.
  EXPECT_EQ('\0', response.data[response.length]);
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

TEST(ErrorPageTest, HeldStorageCarriesThePageWhenTheHeapIsDry) {
  TextBuffer response;
  response.AppendString("old");
  PlatformFailHeapAfter(0);
  EXPECT_EQ(14, ErrorPage(&response, "No Subject."));
  PlatformFailHeapAfter(-1);
  EXPECT_STREQ("Content-Type: text/html\r\n\r\n<HTML><BODY>No Subject.</BODY></HTML>", response.data);
}

TEST(ErrorPageTest, NoStorageAndADryHeapGivesZero) {
  TextBuffer response;
  PlatformFailHeapAfter(0);
  EXPECT_EQ(0, ErrorPage(&response, "No Subject."));
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(1, response.IsEmpty());
}

TEST(ErrorPageTest, ReserveKeepsOneBlockForTheErrorPage) {
  TextBuffer response;
  ASSERT_EQ(1, ReserveResponse(&response));
  EXPECT_EQ(0, response.length);
  EXPECT_EQ(0, response.IsEmpty());
  PlatformFailHeapAfter(0);
  std::string message(400, 'm');  // page of 400 + 53 bytes: still one block
  EXPECT_EQ(14, ErrorPage(&response, message.c_str()));
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(453, response.length);
  // Emptying keeps the storage and the buffer's invariants: appends go on.
  EmptyResponse(&response);
  EXPECT_EQ(3, response.AppendString("abc"));
  EXPECT_STREQ("abc", response.data);
  PlatformFailHeapAfter(0);
  TextBuffer dry;
  EXPECT_EQ(0, ReserveResponse(&dry));
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(1, dry.IsEmpty());
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
  ErrorPage(&response, "No Subject.");
  EXPECT_EQ(1, response.clears);
  EXPECT_STREQ("Content-Type: text/html\r\n\r\n<HTML><BODY>No Subject.</BODY></HTML>",
               response.data);
  // With storage held, the page reuses it and the server's Clear is not needed.
  response.AppendString("partial page");
  ErrorPage(&response, "No Name.");
  EXPECT_EQ(1, response.clears);
  EXPECT_STREQ("Content-Type: text/html\r\n\r\n<HTML><BODY>No Name.</BODY></HTML>", response.data);
}

}  // namespace
