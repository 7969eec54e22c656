// The two plug-ins on one store: posts written through the board appear in
// the administration listing as plain text, and what the administration page
// deletes is gone from the board.
#include <regex>

#include "admin_test_support.h"
#include "ceplatform.h"

namespace {

const char kBoardScript[] = "/bbs/board.tvx";
const char kBoardDatabase[] = "TULVAN_board.tvx";

class BoardAdminTest : public AdminTest {
 protected:
  void SetUp() override {
    AdminTest::SetUp();
    board_ = Load(CORKWALL_TVX);
    ASSERT_NE(board_, nullptr);
    SYSTEMTIME now = {2024, 5, 0, 17, 9, 30, 0, 0};
    PlatformFixClock(&now);
  }
  void TearDown() override {
    PlatformFixClock(nullptr);
    board_.reset();
    AdminTest::TearDown();
  }

  // A post through the board's form; the board answers with a redirect.
  void Post(const std::string& name, const std::string& subject, const std::string& body) {
    const std::string form = "postitem=1&name=" + name + "&email=&subject=" + subject + "&body=" + body;
    TvxRequest request;
    ASSERT_TRUE(request.Set("REQUEST_METHOD", "POST"));
    ASSERT_TRUE(request.Set("SCRIPT_NAME", kBoardScript));
    ASSERT_TRUE(request.Set("DOCUMENT_ROOT", "\\nowhere"));
    ASSERT_TRUE(request.Set("QUERY_STRING", ""));
    ASSERT_TRUE(request.Set("CONTENT_TYPE", "application/x-www-form-urlencoded"));
    ASSERT_TRUE(request.Set("CONTENT_LENGTH", std::to_string(form.size())));
    ASSERT_TRUE(request.SetBody(form));
    EXPECT_EQ(Run(*board_, &request), std::string("Location: ") + kBoardScript + "\r\n\r\n");
  }

  std::string BoardPage() {
    TvxRequest request;
    EXPECT_TRUE(request.Set("REQUEST_METHOD", "GET"));
    EXPECT_TRUE(request.Set("SCRIPT_NAME", kBoardScript));
    EXPECT_TRUE(request.Set("DOCUMENT_ROOT", "\\nowhere"));
    EXPECT_TRUE(request.Set("QUERY_STRING", ""));
    return Run(*board_, &request);
  }

  std::unique_ptr<TvxLibrary> board_;
};

struct Line {
  std::string link;  // the delete link's query
  std::string text;  // the post as plain text
};

std::vector<Line> LinesOf(const std::string& listing) {
  std::vector<Line> lines;
  const std::regex line("<A HREF=\"[^\"]*\\?(cmd=deleteitem&dbname=[^\"]*)\">delete:</A><TT>([\\s\\S]*?)</TT><BR>\n");
  for (std::sregex_iterator it(listing.begin(), listing.end(), line), end; it != end; ++it) {
    lines.push_back({(*it)[1], (*it)[2]});
  }
  return lines;
}

TEST_F(BoardAdminTest, PostsOfTheBoardAreListedAndDeletedHere) {
  Post("Taro", "First+subject", "a%3Cb%3E%0D%0Ac+d");
  Post("Hanako", "Second", "%83%65%83%58%83%67");  // Shift_JIS "テスト"
  ASSERT_EQ(RecordIds(kBoardDatabase).size(), 2u);

  const std::string page = BoardPage();
  ASSERT_NE(page.find("First subject"), std::string::npos) << page;
  ASSERT_NE(page.find("Second"), std::string::npos);

  // The catalogue links the board's database.
  const std::string catalogue = Admin("");
  EXPECT_NE(catalogue.find(std::string("?cmd=enum&name=") + kBoardDatabase + "\">\t" +
                           kBoardDatabase + "  </a>"),
            std::string::npos)
      << catalogue;

  const std::string listing = Admin(std::string("cmd=enum&name=") + kBoardDatabase);
  std::vector<Line> lines = LinesOf(listing);
  ASSERT_EQ(lines.size(), 2u) << listing;
  for (const Line& line : lines) {
    EXPECT_EQ(line.text.find_first_of("<>"), std::string::npos) << line.text;
  }
  // The store returns the newer post first, as the board shows it.
  EXPECT_NE(lines[0].text.find("Second"), std::string::npos) << lines[0].text;
  EXPECT_NE(lines[0].text.find("\x83\x65\x83\x58\x83\x67"), std::string::npos);
  EXPECT_NE(lines[1].text.find("First subject"), std::string::npos) << lines[1].text;
  EXPECT_NE(lines[1].text.find("Taro"), std::string::npos);
  EXPECT_NE(lines[1].text.find("a&lt;b&gt;\nc d"), std::string::npos) << lines[1].text;

  // Following the first post's delete link: the listing of the rest follows.
  const std::string after = Admin(lines[1].link);
  std::vector<Line> rest = LinesOf(after);
  ASSERT_EQ(rest.size(), 1u) << after;
  EXPECT_EQ(rest[0].link, lines[0].link);
  EXPECT_EQ(after.find("</BODY></HTML>"), std::string::npos);

  const std::string board = BoardPage();
  EXPECT_EQ(board.find("First subject"), std::string::npos) << board;
  EXPECT_NE(board.find("Second"), std::string::npos) << board;

  // Deleting the whole database empties the board; the next post creates it anew.
  const std::regex deleteDb("\\?cmd=deleteDB&db=(-?[0-9]+)\">DELETE DB</a>");
  std::smatch match;
  const std::string again = Admin("");
  ASSERT_TRUE(std::regex_search(again, match, deleteDb)) << again;
  EXPECT_EQ(Admin("cmd=deleteDB&db=" + match[1].str()),
            ErrorPageOf("Database deleted.") + kAdminFooter);
  EXPECT_FALSE(DatabaseExists(kBoardDatabase));
  EXPECT_EQ(BoardPage().find("Second"), std::string::npos);
  Post("Jiro", "Third", "new");
  EXPECT_EQ(LinesOf(Admin(std::string("cmd=enum&name=") + kBoardDatabase)).size(), 1u);
}

}  // namespace
