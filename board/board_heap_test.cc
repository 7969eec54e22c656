// The board with the heap running out at every allocation of a request in
// turn: each run answers with a page, leaks nothing and loses no post. And a
// page past the largest block the heap gives: the out-of-memory page, whole
// or not at all.
#include <string>

#include "board_test_util.h"

namespace board_test {
namespace {

class BoardHeapTest : public BoardTest {
 protected:
  // Runs the request with the heap failing after 1, 2, 3 ... allocations
  // until three runs in a row no longer meet a failure. `check` sees each
  // answer. Returns the number of runs.
  template <typename Check>
  int RunUntilComplete(const char* method, const std::string& body, const std::string& complete,
                       Check check, const std::string& query = "") {
    // One page first, so that what the store sets up once is not counted.
    Get();
    long blocks = PlatformLiveHeapBlocks();
    long handles = PlatformOpenHandles();
    int completeInARow = 0;
    int n = 1;
    for (; completeInARow < 3 && n < 2000; n++) {
      std::string text;
      int result;
      {
        TvxRequest request;
        Fill(&request, method, "/cgi/board.tvx", query, body,
             body.empty() ? kAbsent : kUrlEncoded);
        PlatformFailHeapAfter(n);
        result = request.Run(*library_);
        PlatformFailHeapAfter(-1);
        text = request.Response();
      }
      SCOPED_TRACE("heap fails after " + std::to_string(n) + " allocations");
      EXPECT_EQ(result, static_cast<int>(text.size()));
      EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
      EXPECT_EQ(PlatformOpenHandles(), handles);
      check(text);
      completeInARow = text == complete ? completeInARow + 1 : 0;
    }
    EXPECT_LT(n, 2000) << "the request never completed";
    return n;
  }

  // Twenty-one posts under these templates; the first page, which shows
  // twenty of them, into *page.
  void MakeFullPage(const std::string& head, const std::string& foot, std::string* page) {
    for (int i = 1; i <= 21; i++) {
      SetClockMinute(i);
      ASSERT_EQ(AddPost("Post" + std::to_string(i)).result, 28);
    }
    WriteTemplate("boardHEAD.HTML", head);
    WriteTemplate("boardFOOT.HTML", foot);
    *page = Get().text;
    ASSERT_EQ(CountOf(*page, "<table border"), 20u);
  }
};

TEST_F(BoardHeapTest, PageUnderHeapExhaustion) {
  std::string reference;
  ASSERT_NO_FATAL_FAILURE(MakeFullPage("<HEAD>$HIDE_DELETE_FLAG$" + std::string(600, 'h'),
                                       std::string(300, 'f'), &reference));

  // The first page, and the second, which the store seeks to.
  for (const char* query : {"", "row=20"}) {
    SCOPED_TRACE(query);
    std::string page = Get("/cgi/board.tvx", query).text;
    ASSERT_EQ(CountOf(page, "<table border"), *query != '\0' ? 1u : 20u);
    int runs = RunUntilComplete(
        "GET", "", page,
        [&](const std::string& text) {
          bool whole = text == page || text == ErrorPageText("Not enough memory") ||
                       text.rfind(ErrorPageText("Other errors."), 0) == 0;
          EXPECT_TRUE(whole) << text.substr(0, 200);
        },
        query);
    EXPECT_GT(runs, 5);
  }
  EXPECT_EQ(Records().size(), 21u);
}

// A page longer than the largest block the heap gives (a test limit stands
// in for 2 GiB) is answered with "Not enough memory", never sent cut short;
// under a limit that holds it, it is whole.
TEST_F(BoardHeapTest, PagePastTheLargestBlockSaysTheMemoryRanOut) {
  std::string reference;
  ASSERT_NO_FATAL_FAILURE(
      MakeFullPage("<HEAD>" + std::string(20000, 'h'), std::string(3000, 'f'), &reference));
  // The response's block: the page and its NUL in whole 512-byte blocks.
  const SIZE_T whole = (reference.size() + 1 + 511) / 512 * 512;
  struct Case {
    SIZE_T limit;
    std::string page;
  } cases[] = {
      {whole, reference},
      {whole - 1, ErrorPageText("Not enough memory")},
      {16384, ErrorPageText("Not enough memory")},
      {2048, ErrorPageText("Not enough memory")},
  };
  long blocks = PlatformLiveHeapBlocks();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    PlatformLimitHeapBlock(c.limit);
    Reply reply = Get();
    PlatformLimitHeapBlock(0);
    EXPECT_EQ(reply.result, static_cast<int>(reply.text.size()));
    EXPECT_EQ(reply.text.size(), c.page.size());
    EXPECT_TRUE(reply.text == c.page) << reply.text.substr(0, 300);
    EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
  }
}

TEST_F(BoardHeapTest, PostUnderHeapExhaustion) {
  ASSERT_EQ(AddPost("Old").result, 28);
  const std::string redirect = "Location: /cgi/board.tvx\r\n\r\n";
  size_t stored = Records().size();
  RunUntilComplete("POST", "name=Taro&email=t%40x&subject=Tom+%26+Jerry&body=line%0D%0Aline&postitem=x",
                   redirect, [&](const std::string& text) {
                     bool page = text == redirect || text == ErrorPageText("Not enough memory");
                     EXPECT_TRUE(page) << text;
                     // A post is stored exactly when the client is told so.
                     size_t now = Records().size();
                     EXPECT_EQ(now, stored + (text == redirect ? 1 : 0));
                     stored = now;
                   });
  std::vector<StoredRecord> records = Records();
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records.back().Html().find("<B> \r\n Old \r\n </B>"), 0u);  // the oldest post is last
}

}  // namespace
}  // namespace board_test
