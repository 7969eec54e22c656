// The board page through fnTvx: templates, built-in texts, paging, delete
// buttons and the failures of the listing.
#include <sqlite3.h>

#include <algorithm>
#include <string>

#include "board_test_util.h"

namespace board_test {
namespace {

const std::string kBuiltinHeader =
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=shift_jis\">\n"
    "<HTML><HEAD>\n<TITLE>TULVAN BBS</TITLE>\n</HEAD>\n<BODY BGCOLOR=#FFFFFF>\n";
const std::string kBuiltinFooter =
    "<P><A HREF=\"https://corkwall.example/\">TULVAN BBS by Vandrel</A></BODY></HTML>\n";

std::string BuiltinForm(const std::string& script) {
  return "<form method=POST action=\"" + script + "\"><TT>" + Sjis(u"投稿者") +
         " <input type=text name=\"name\" size=20 value=\"\" maxlength=24><br>" + Sjis(u"メール") +
         " <input type=text name=\"email\" size=30 value=\"\"><br>" + Sjis(u"題　名") +
         " <input type=text name=\"subject\" size=30><br>" + Sjis(u"内　容") +
         " <br></TT><textarea name=\"body\" rows=5 cols=80></textarea>"
         "<input type=submit name=\"postitem\" value=\"     " + Sjis(u"投稿") + "     \">"
         "<input type=reset value=\"" + Sjis(u"消す") + "\"></form>";
}

std::string DeleteButton(const std::string& script, long oid) {
  return "<form METHOD=\"POST\" ACTION=\"" + script +
         "\"><input type=\"SUBMIT\" name=\"deleteitem\" value=\"" + Sjis(u"削除") +
         "\"><input type=\"hidden\" name=\"deleteitemid\" value=\"" + std::to_string(oid) +
         "\"></form>";
}

class BoardPageTest : public BoardTest {
 protected:
  // The header template as the page names it: below the document root.
  static std::string HeadPath() { return "\\cgi\\boardHEAD.HTML"; }
  // Posts "Post1" ... "Post<n>", one minute apart, so the newest comes first.
  void MakePosts(int n, const std::string& script = "/cgi/board.tvx") {
    for (int i = 1; i <= n; i++) {
      SetClockMinute(i);
      ASSERT_EQ(AddPost("Post" + std::to_string(i), script).text.rfind("Location: ", 0), 0u);
    }
  }
};

// A board without templates named the server's folders to every visitor.
TEST_F(BoardPageTest, RegressionMissingTemplateCommentShowsTheServersFolders) {
  struct Case {
    std::string root;  // DOCUMENT_ROOT
    std::string script;
    std::string named;
  } cases[] = {
      {"/srv/hidden-place/www", "/cgi/board.tvx", "\\cgi\\boardHEAD.HTML"},
      {"/srv/hidden-place/www/", "/cgi/board.tvx", "\\cgi\\boardHEAD.HTML"},
      {"\\srv\\hidden-place\\www", "/bbs/deep/er/board.tvx", "\\bbs\\deep\\er\\boardHEAD.HTML"},
      {"/srv/hidden-place/www", "/board.tvx", "\\boardHEAD.HTML"},
      {"/srv/hidden-place/www", "board.tvx", "boardHEAD.HTML"},  // no folder of its own
      {"", "/cgi/board.tvx", "\\cgi\\boardHEAD.HTML"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.root + " " + c.script);
    Reply reply = Run({{"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", c.script},
                       {"DOCUMENT_ROOT", c.root}, {"QUERY_STRING", ""}});
    EXPECT_EQ(reply.text.find("hidden-place"), std::string::npos) << reply.text;
    EXPECT_NE(reply.text.find("<!-- ERROR READ FILE " + c.named + " -->"), std::string::npos)
        << reply.text;
  }
}

TEST_F(BoardPageTest, BoardWithoutDatabaseIsBuiltinsAndNoListing) {
  Reply reply = Get();
  std::string expected = std::string(kPageHeader) + kBuiltinHeader + "\n<!-- ERROR READ FILE " +
                         HeadPath() + " -->\n" + BuiltinForm("/cgi/board.tvx") + kBuiltinFooter;
  EXPECT_EQ(reply.text, expected);
  EXPECT_EQ(reply.result, static_cast<int>(expected.size()));
}

TEST_F(BoardPageTest, EmptyDatabaseShowsTopLinkOnly) {
  ASSERT_NE(CreateDatabase(), 0u);
  WriteTemplate("boardHEAD.HTML", "<H>");
  WriteTemplate("boardFOOT.HTML", "<F>");
  EXPECT_EQ(Get().text, std::string(kPageHeader) + "<H><A HREF=\"/cgi/board.tvx?\">TOP</A> <F>");
}

TEST_F(BoardPageTest, PagingOverTwentyAndTwentyOnePosts) {
  MakePosts(21);
  MakePosts(20, "/cgi/twenty.tvx");
  struct Case {
    const char* script;
    const char* query;
    int tables;
    int first;          // number of the first post shown, 0 for none
    const char* next;   // the NEXT link's row, or nullptr for none
  } cases[] = {
      {"/cgi/board.tvx", "", 20, 21, "20"},
      {"/cgi/board.tvx", "row=20", 1, 1, nullptr},
      {"/cgi/board.tvx", "row=21", 0, 0, nullptr},
      {"/cgi/board.tvx", "row=500", 0, 0, nullptr},
      {"/cgi/board.tvx", "row=-5", 20, 21, "20"},
      {"/cgi/board.tvx", "arrow=3", 18, 18, nullptr},
      {"/cgi/board.tvx", "row=abc", 20, 21, "20"},
      {"/cgi/board.tvx", "row=1", 20, 20, nullptr},
      {"/cgi/board.tvx", "row=99999999999", 0, 0, nullptr},
      {"/cgi/twenty.tvx", "", 20, 20, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.script) + "?" + c.query);
    std::string page = Get(c.script, c.query).text;
    ASSERT_EQ(page.rfind(kPageHeader, 0), 0u);
    EXPECT_EQ(CountOf(page, "<table border=\"0\""), static_cast<size_t>(c.tables));
    if (c.first > 0) {
      size_t at = page.find("<td width=\"100%\"><B> \r\n Post");
      ASSERT_NE(at, std::string::npos);
      EXPECT_EQ(page.compare(at + 28, std::to_string(c.first).size() + 3,
                             std::to_string(c.first) + " \r\n"), 0);
    }
    EXPECT_EQ(CountOf(page, "<A HREF=\"" + std::string(c.script) + "?\">TOP</A> "), 1u);
    if (c.next != nullptr) {
      EXPECT_NE(page.find("<A HREF=\"" + std::string(c.script) + "?row=" + c.next + "\">NEXT</A>"),
                std::string::npos);
    } else {
      EXPECT_EQ(page.find("NEXT"), std::string::npos);
    }
  }
}

TEST_F(BoardPageTest, HeaderTemplateDecidesTheDeleteButtons) {
  ASSERT_EQ(AddPost("One").result, 28);
  std::vector<StoredRecord> records = Records();
  ASSERT_EQ(records.size(), 1u);
  std::string button = DeleteButton("/cgi/board.tvx", static_cast<int>(records[0].oid));

  WriteTemplate("boardHEAD.HTML", "<HTML>$HIDE_DELETE_FLAG$<BODY>");
  std::string shown = Get().text;
  EXPECT_NE(shown.find("</td><td>" + button + "</td></tr></table><HR>\n"), std::string::npos);

  WriteTemplate("boardHEAD.HTML", "<HTML><BODY>");
  std::string hidden = Get().text;
  EXPECT_EQ(hidden.find("<form METHOD"), std::string::npos);
  EXPECT_NE(hidden.find("</td><td></td></tr></table><HR>\n"), std::string::npos);

  // The header is read as text: a marker after a NUL byte is not seen.
  WriteTemplate("boardHEAD.HTML", std::string("<HTML>\0$HIDE_DELETE_FLAG$", 25));
  EXPECT_EQ(Get().text.find("<form METHOD"), std::string::npos);

  std::filesystem::remove(dir_ / "www" / "cgi" / "boardHEAD.HTML");
  EXPECT_EQ(Get().text.find("<form METHOD"), std::string::npos);  // built-in header
}

TEST_F(BoardPageTest, TemplateFilesArriveWhole) {
  std::string head(600, 'h');
  for (size_t i = 0; i < head.size(); i++) head[i] = static_cast<char>('a' + i % 26);
  struct Case {
    const char* name;
    bool headPresent;
    std::string head;
    bool footPresent;
    std::string foot;
    std::string between;  // what follows the header block and precedes the footer
  } cases[] = {
      {"600-byte header, footer present", true, head, true, "<FOOT>", head},
      {"empty header", true, "", true, "<FOOT>", ""},
      {"empty footer", true, "<HEAD>", true, "", "<HEAD>"},
      {"footer missing", true, "<HEAD>", false, "", "<HEAD>"},
      {"header missing", false, "", true, "<FOOT>",
       kBuiltinHeader + "\n<!-- ERROR READ FILE " + HeadPath() + " -->\n" +
           BuiltinForm("/cgi/board.tvx")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_ / "www" / "cgi" / "boardHEAD.HTML");
    std::filesystem::remove(dir_ / "www" / "cgi" / "boardFOOT.HTML");
    if (c.headPresent) WriteTemplate("boardHEAD.HTML", c.head);
    if (c.footPresent) WriteTemplate("boardFOOT.HTML", c.foot);
    std::string footer = c.footPresent ? c.foot : kBuiltinFooter;
    EXPECT_EQ(Get().text, std::string(kPageHeader) + c.between + footer);
  }
}

TEST_F(BoardPageTest, TemplatesAreNamedAfterTheScriptsBaseName) {
  WriteTemplate("boardHEAD.HTML", "<board head>");
  WriteTemplate("otherHEAD.HTML", "<other head>");
  EXPECT_NE(Get("/cgi/board.old.tvx").text.find("<board head>"), std::string::npos);
  EXPECT_NE(Get("/cgi/other.tvx").text.find("<other head>"), std::string::npos);
}

TEST_F(BoardPageTest, NoScriptDirectoryMeansBuiltinsWithoutComment) {
  Reply reply = Run({{"SCRIPT_NAME", "/cgi/board.tvx"}, {"REQUEST_METHOD", "GET"},
                     {"QUERY_STRING", ""}});
  EXPECT_EQ(reply.text, std::string(kPageHeader) + kBuiltinHeader + BuiltinForm("/cgi/board.tvx") +
                            kBuiltinFooter);
}

TEST_F(BoardPageTest, NoRequestMethodOrAnotherMethodShowsThePage) {
  const char* methods[] = {"HEAD", "post", "GET"};
  for (const char* method : methods) {
    SCOPED_TRACE(method);
    Reply reply = Call(method, "/cgi/board.tvx", "", "name=a&subject=b&body=c&postitem=x", kUrlEncoded);
    EXPECT_EQ(reply.text.rfind(kPageHeader, 0), 0u);
  }
  Reply reply = Call(kAbsent, "/cgi/board.tvx", "", "", kAbsent);
  EXPECT_EQ(reply.text.rfind(kPageHeader, 0), 0u);
  EXPECT_TRUE(Records().empty());  // no body was taken for a post
}

TEST_F(BoardPageTest, LongScriptNameKeepsDeleteButtonAndLinksWhole) {
  // No directory fits the template path, so the page has the built-in form,
  // which carries the script name and with it the marker: buttons are on.
  std::string script = "/" + std::string(420, 'd') + "$HIDE_DELETE_FLAG$/long.tvx";
  ASSERT_EQ(AddPost("Hi", script).text, "Location: " + script + "\r\n\r\n");
  std::vector<StoredRecord> records = Records("TULVAN_long.tvx");
  ASSERT_EQ(records.size(), 1u);
  Reply reply = Run({{"SCRIPT_NAME", script}, {"REQUEST_METHOD", "GET"}, {"QUERY_STRING", ""}});
  EXPECT_NE(reply.text.find("<form method=POST action=\"" + script + "\"><TT>"), std::string::npos);
  EXPECT_NE(reply.text.find("</td><td>" + DeleteButton(script, static_cast<int>(records[0].oid)) +
                            "</td></tr></table><HR>\n"),
            std::string::npos);
  EXPECT_NE(reply.text.find("<A HREF=\"" + script + "?\">TOP</A> "), std::string::npos);
  EXPECT_EQ(CountOf(reply.text, "<table border"), 1u);
}

TEST_F(BoardPageTest, ScriptNamesOfTheSameFileShareABoard) {
  ASSERT_EQ(AddPost("Shared", "/a/board.tvx").result, 26);
  EXPECT_NE(Get("/b/board.tvx").text.find("Shared"), std::string::npos);
  EXPECT_NE(Get("\\c\\board.tvx").text.find("Shared"), std::string::npos);
  EXPECT_EQ(Get("/a/Board.tvx").text.find("Shared"), std::string::npos);
  EXPECT_EQ(Get("/a/board2.tvx").text.find("Shared"), std::string::npos);
  EXPECT_EQ(Records("TULVAN_board.tvx").size(), 1u);
}

TEST_F(BoardPageTest, BadScriptNames) {
  std::string twentyFour(24 - 4, 'n');  // with ".tvx": 24 characters, 31 with the prefix
  std::string twentyFive(25 - 4, 'n');
  EXPECT_EQ(Run({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", ""}}).text,
            ErrorPageText("Bad script name"));
  EXPECT_EQ(Get("/cgi/" + twentyFive + ".tvx").text, ErrorPageText("Bad script name"));
  EXPECT_EQ(AddPost("x", "/cgi/" + twentyFive + ".tvx").text, ErrorPageText("Bad script name"));
  EXPECT_EQ(AddPost("x", "/cgi/" + twentyFour + ".tvx").text,
            "Location: /cgi/" + twentyFour + ".tvx\r\n\r\n");
  EXPECT_EQ(Records("TULVAN_" + twentyFour + ".tvx").size(), 1u);
}

TEST_F(BoardPageTest, ListingFailuresEndInAnErrorPageAndTheFooter) {
  ASSERT_EQ(AddPost("One").result, 28);
  WriteTemplate("boardFOOT.HTML", "<FOOT>");
  struct Case {
    DWORD code;
    const char* message;
  } cases[] = {
      {ERROR_INSUFFICIENT_BUFFER, "Re-allocation of database records failed."},
      {ERROR_READ_FAULT, "Other errors."},
      {ERROR_NOT_ENOUGH_MEMORY, "Other errors."},
  };
  // The open works; the first read fails, or on a later page the seek.
  for (const char* query : {"", "row=1"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.message) + " " + query);
      PlatformFailStoreCall(1, c.code);
      EXPECT_EQ(Get("/cgi/board.tvx", query).text, ErrorPageText(c.message) + "<FOOT>");
      PlatformFailStoreCall(-1, 0);
    }
  }
}

// Posts already written when a later read fails are gone with the rest of
// the page: nothing of them may follow the error page, and the footer still
// does.
TEST_F(BoardPageTest, ReadFailingAfterSomePostsLeavesOnlyTheErrorPageAndTheFooter) {
  for (const char* subject : {"One", "Two", "Three"}) ASSERT_EQ(AddPost(subject).result, 28);
  WriteTemplate("boardFOOT.HTML", "<FOOT>");
  // The open is the first store call; reads follow, one per record.
  for (long readsBefore = 1; readsBefore <= 3; ++readsBefore) {
    SCOPED_TRACE(readsBefore);
    PlatformFailStoreCall(1 + readsBefore, ERROR_READ_FAULT);
    EXPECT_EQ(Get().text, ErrorPageText("Other errors.") + "<FOOT>");
    PlatformFailStoreCall(-1, 0);
  }
  EXPECT_NE(Get().text.find("Three"), std::string::npos);
}

// The listing the page must carry at `row`, read from the whole board the
// slow way: every record in the store's order, the first `row` of them
// skipped, a record without a post counted all the same.
std::string ListingBySkipping(const std::vector<StoredRecord>& records, long long row,
                              const std::string& script) {
  if (row < 0) row = 0;
  std::string listing;
  long long end = std::min<long long>(static_cast<long long>(records.size()), row + 20);
  for (long long i = row; i < end; i++) {
    for (const StoredProperty& p : records[i].properties) {
      if (p.propid != BOARD_PROP_HTML) continue;
      listing += "<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%\"><tr>"
                 "<td width=\"100%\">" + std::string(p.blob.c_str()) + "</td><td>" +
                 DeleteButton(script, static_cast<int>(records[i].oid)) +
                 "</td></tr></table><HR>\n";
    }
  }
  listing += "<A HREF=\"" + script + "?\">TOP</A> ";
  if (static_cast<long long>(records.size()) > row + 20) {
    listing += "<A HREF=\"" + script + "?row=" + std::to_string(row + 20) + "\">NEXT</A>";
  }
  return listing;
}

// A page at any row is byte for byte the page that reading and skipping
// every earlier record gives, on boards of every size, with records that
// carry no post among them, and after records before the page are deleted.
TEST_F(BoardPageTest, PagesAtAnyRowMatchReadingAndSkipping) {
  const int sizes[] = {0, 1, 20, 21, 1000};
  for (int size : sizes) {
    const std::string base = "b" + std::to_string(size);
    const std::string script = "/cgi/" + base + ".tvx";
    SCOPED_TRACE(script);
    WriteTemplate(base + "HEAD.HTML", "<H>$HIDE_DELETE_FLAG$");
    WriteTemplate(base + "FOOT.HTML", "<F>");
    ASSERT_NE(CreateDatabase("TULVAN_" + base + ".tvx"), 0u);
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEOID id = 0;
    std::u16string name = Wide("TULVAN_" + base + ".tvx");
    HANDLE handle = CeOpenDatabaseEx(&volume, &id, &name[0], 0, CEDB_AUTOINCREMENT, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    for (int i = 0; i < size; i++) {
      // Every eleventh record has a time and no post; every seventh shares
      // its time with the one before.
      CEPROPVAL values[2];
      memset(values, 0, sizeof(values));
      values[0].propid = BOARD_PROP_TIME;
      values[0].val.filetime.dwLowDateTime = 5000 + i - (i % 7 == 6 ? 1 : 0);
      std::string html = "<B>post " + std::to_string(i) + "</B>";
      values[1].propid = BOARD_PROP_HTML;
      values[1].val.blob.dwCount = static_cast<DWORD>(html.size() + 1);
      values[1].val.blob.lpb = reinterpret_cast<LPBYTE>(&html[0]);
      ASSERT_NE(CeWriteRecordProps(handle, 0, i % 11 == 10 ? 1 : 2, values), 0u);
    }
    const long long n = size;
    const long long rows[] = {-5, 0, 19, 20, 21, n - 1, n, n + 100, 2147483647};
    for (int round = 0; round < 2; round++) {
      std::vector<StoredRecord> records = Records("TULVAN_" + base + ".tvx");
      ASSERT_EQ(records.size(), static_cast<size_t>(size - round * (std::min(size, 30) + 1) / 2));
      for (long long row : rows) {
        SCOPED_TRACE("row=" + std::to_string(row));
        std::string expected = std::string(kPageHeader) + "<H>$HIDE_DELETE_FLAG$" +
                               ListingBySkipping(records, row, script) + "<F>";
        EXPECT_EQ(Get(script, "row=" + std::to_string(row)).text, expected);
      }
      // Every other record of the first thirty goes before the second
      // round.
      for (size_t i = 0; round == 0 && i < records.size() && i < 30; i += 2) {
        ASSERT_TRUE(CeDeleteRecord(handle, records[i].oid));
      }
    }
    CloseHandle(handle);
  }
}

// An identifier with its top bit set is written as a negative decimal and
// comes back whole through the delete button's form.
TEST_F(BoardPageTest, TopBitIdentifierTravelsAsANegativeDecimal) {
  ASSERT_NE(CreateDatabase(), 0u);  // the store file and its schema exist now
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir_ / "store.db").c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  EXPECT_EQ(sqlite3_exec(db, "UPDATE meta SET value = 2147483664 WHERE key = 'next_oid'",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);

  ASSERT_EQ(AddPost("High").result, 28);
  std::vector<StoredRecord> records = Records();
  ASSERT_EQ(records.size(), 1u);
  ASSERT_GE(records[0].oid, 0x80000000u);
  const std::string id = std::to_string(static_cast<int>(records[0].oid));
  ASSERT_EQ(id[0], '-');

  WriteTemplate("boardHEAD.HTML", "<!-- $HIDE_DELETE_FLAG$ -->");
  EXPECT_NE(Get().text.find("name=\"deleteitemid\" value=\"" + id + "\""), std::string::npos);
  EXPECT_EQ(Post("deleteitem=x&deleteitemid=" + id).text, "Location: /cgi/board.tvx\r\n\r\n");
  EXPECT_TRUE(Records().empty());
}

}  // namespace
}  // namespace board_test
