// The record listing and the two deletions, through fnTvx, on boards written
// straight into the store.
#include <regex>

#include "admin_test_support.h"
#include "ceplatform.h"

namespace {

std::string Line(const std::string& name, CEOID oid, const std::string& text,
                 const std::string& script = kScript) {
  return "<A HREF=\"" + script + "?cmd=deleteitem&dbname=" + name +
         "&deleteitem=" + std::to_string(static_cast<int32_t>(oid)) + "\">delete:</A><TT>" + text +
         "</TT><BR>\n";
}

std::string Top(const std::string& script = kScript) {
  return "<A HREF=\"" + script + "?\">TOP</A> ";
}

// A listing page as the enum command writes it.
std::string Listing(const std::string& lines) {
  return std::string(kAdminHead) + lines + Top() + kAdminFooter;
}

std::string Repeat(const std::string& piece, int times) {
  std::string text;
  for (int i = 0; i < times; i++) text += piece;
  return text;
}

class RecordBrowserTest : public AdminTest {};

TEST_F(RecordBrowserTest, ListsPostsNewestFirstAsPlainText) {
  CreateBoard("TULVAN_b");
  CEOID older = WritePost("TULVAN_b", "<P><B>first</B> post</P>", 100);
  CEOID newer = WritePost("TULVAN_b", "<P>second &amp; last<BR>\nline</P>", 200);
  const std::string expected =
      Listing(Line("TULVAN_b", newer, "second &amp; last\nline") + Line("TULVAN_b", older, "first post"));
  for (const char* command : {"enum", "ENUM", "EnUm"}) {
    SCOPED_TRACE(command);
    EXPECT_EQ(Admin(std::string("cmd=") + command + "&name=TULVAN_b"), expected);
  }
}

TEST_F(RecordBrowserTest, EmptyBoardGivesOnlyTheTopLink) {
  CreateBoard("TULVAN_empty");
  EXPECT_EQ(Admin("cmd=enum&name=TULVAN_empty"), Listing(""));
}

TEST_F(RecordBrowserTest, PrefixInAnyLetterCaseIsListed) {
  CreateBoard("tulvan_lower");
  CEOID post = WritePost("tulvan_lower", "hello", 1);
  EXPECT_EQ(Admin("cmd=enum&name=tulvan_lower"), Listing(Line("tulvan_lower", post, "hello")));
}

TEST_F(RecordBrowserTest, RefusalsBeforeTheDatabaseIsOpen) {
  CreatePlainDatabase("Contacts");
  const std::string tooLong = "TULVAN_" + std::string(249, 'n');  // 256 bytes
  const std::string longest = "TULVAN_" + std::string(248, 'n');  // 255 bytes
  struct Case {
    std::string query;
    std::string page;
  } cases[] = {
      {"cmd=enum", ErrorPageOf("DB not found")},
      {"cmd=enum&name=", ErrorPageOf("DB not found")},
      {"cmd=enum&name=" + tooLong, ErrorPageOf("DB not found")},
      {"cmd=enum&name=" + tooLong + "xyz", ErrorPageOf("DB not found")},
      {"cmd=enum&name=Contacts", ErrorPageOf("It is not TULVAN DB.")},
      {"cmd=enum&name=TULVAN", ErrorPageOf("It is not TULVAN DB.")},
      {"cmd=enum&name=TULVAN_missing", ErrorPageOf("CeOpenDatabaseEx failed.")},
      {"cmd=enum&name=" + longest, ErrorPageOf("CeOpenDatabaseEx failed.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query.substr(0, 40));
    EXPECT_EQ(Admin(c.query), c.page);
  }
}

TEST_F(RecordBrowserTest, TagsAreStrippedAndTextIsCutAt255Bytes) {
  const std::string kanji = "\x88\x9F";  // one double-byte character
  struct Case {
    std::string html;
    std::string text;
  } cases[] = {
      {"a<b>c>d", "acd"},
      {"<B></B><I></I>", ""},
      {"", ""},
      {"x > y < z", "x  y "},
      {"&lt;kept&gt;\r\nline", "&lt;kept&gt;\r\nline"},
      {std::string(300, 'a'), std::string(255, 'a')},
      {"<P>" + std::string(250, 'b') + "</P><I>" + std::string(10, 'c') + "</I>",
       std::string(250, 'b') + std::string(5, 'c')},
      {"<" + std::string(400, 't') + ">ok", "ok"},
      {kanji + "<B>" + kanji + "</B>", kanji + kanji},
      // A double-byte character never loses its second byte to the cut.
      {std::string(254, 'a') + kanji + "z", std::string(254, 'a')},
      {std::string(253, 'a') + kanji + "z", std::string(253, 'a') + kanji},
      {Repeat(kanji, 128) + "z", Repeat(kanji, 127)},
      {Repeat(kanji, 127) + "z", Repeat(kanji, 127) + "z"},
      // Half-width katakana are single bytes.
      {std::string(254, 'a') + "\xB1\xB2", std::string(254, 'a') + "\xB1"},
  };
  int index = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(index);
    const std::string board = "TULVAN_t" + std::to_string(index++);
    CreateBoard(board);
    CEOID post = WritePost(board, c.html, 5);
    EXPECT_EQ(Admin("cmd=enum&name=" + board), Listing(Line(board, post, c.text)));
  }
}

TEST_F(RecordBrowserTest, RecordsOfOtherShapesNeverLeadPastTheirBytes) {
  CreateBoard("TULVAN_odd");
  // No post property at all: no line.
  std::vector<CEPROPVAL> timeOnly(1);
  timeOnly[0].propid = 64;
  timeOnly[0].val.filetime.dwLowDateTime = 900;
  WriteRecord("TULVAN_odd", timeOnly);
  // A post without its terminator: only its counted bytes are shown.
  char bytes[] = {'a', 'b', 'c', 'd', 'e'};
  std::vector<CEPROPVAL> unterminated(2);
  unterminated[0].propid = 64;
  unterminated[0].val.filetime.dwLowDateTime = 800;
  unterminated[1].propid = 65601;
  unterminated[1].val.blob.dwCount = 3;
  unterminated[1].val.blob.lpb = reinterpret_cast<LPBYTE>(bytes);
  CEOID cut = WriteRecord("TULVAN_odd", unterminated);
  // An empty BLOB.
  std::vector<CEPROPVAL> empty(2);
  empty[0].propid = 64;
  empty[0].val.filetime.dwLowDateTime = 700;
  empty[1].propid = 65601;
  CEOID none = WriteRecord("TULVAN_odd", empty);

  EXPECT_EQ(Admin("cmd=enum&name=TULVAN_odd"),
            Listing(Line("TULVAN_odd", cut, "abc") + Line("TULVAN_odd", none, "")));
}

TEST_F(RecordBrowserTest, LongScriptNameLineIsWrittenWhole) {
  CreateBoard("TULVAN_b");
  CEOID post = WritePost("TULVAN_b", "text", 1);
  const std::string script = "/" + std::string(700, 's') + "/corkwarden.tvx";
  EXPECT_EQ(Admin("cmd=enum&name=TULVAN_b", script.c_str()),
            std::string(kAdminHead) + Line("TULVAN_b", post, "text", script) + Top(script) +
                kAdminFooter);
  // Without SCRIPT_NAME the links are relative to the page itself.
  EXPECT_EQ(Admin("cmd=enum&name=TULVAN_b", ""),
            std::string(kAdminHead) + Line("TULVAN_b", post, "text", "") + Top("") + kAdminFooter);
}

// A listing longer than the largest block the heap gives (a test limit
// stands in for the 2 GiB that a board of millions of posts passes) is
// answered with "Not enough memory", never sent cut short; under a limit that
// holds it, it is whole. A deletion's listing is held to the same rule.
TEST_F(RecordBrowserTest, ListingPastTheLargestBlockSaysTheMemoryRanOut) {
  CreateBoard("TULVAN_big");
  for (int i = 0; i < 200; i++) {
    const std::string text = "post " + std::to_string(i) + std::string(100, 'a' + i % 26);
    WritePost("TULVAN_big", "<P>" + text + "</P>", i);
  }
  const CEOID doomed = WritePost("TULVAN_big", "doomed", 1000);
  const std::string listing = Admin("cmd=enum&name=TULVAN_big");
  ASSERT_GT(listing.size(), 20000u);
  const SIZE_T whole = ResponseBlock(listing.size());
  const std::string deletion = "cmd=deleteitem&dbname=TULVAN_big&deleteitem=" +
                               std::to_string(static_cast<int32_t>(doomed));
  const std::string outOfMemory = ErrorPageOf("Not enough memory");
  struct Case {
    std::string query;
    SIZE_T limit;
    std::string page;
  } cases[] = {
      {"cmd=enum&name=TULVAN_big", whole, listing},
      {"cmd=enum&name=TULVAN_big", 4 * whole, listing},
      {"cmd=enum&name=TULVAN_big", whole - 1, outOfMemory},
      {"cmd=enum&name=TULVAN_big", whole / 2, outOfMemory},
      {"cmd=enum&name=TULVAN_big", 4096, outOfMemory},
      // The record goes; the listing after it does not fit.
      {deletion, 4096, outOfMemory},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query + " under " + std::to_string(c.limit));
    EXPECT_TRUE(SamePage(AdminWithBlockLimit(c.limit, c.query), c.page));
  }
  EXPECT_EQ(RecordIds("TULVAN_big").size(), 200u);
}

TEST_F(RecordBrowserTest, StoreFailuresWhileReadingReplaceTheListing) {
  CreateBoard("TULVAN_b");
  WritePost("TULVAN_b", "one", 1);
  WritePost("TULVAN_b", "two", 2);
  // Store calls of one listing: CeOpenDatabaseEx, then one CeReadRecordProps
  // per record and one more that ends the listing.
  struct Case {
    long succeed;
    DWORD code;
    std::string page;
  } cases[] = {
      {0, 8, ErrorPageOf("CeOpenDatabaseEx failed.")},
      {1, 122, ErrorPageOf("Re-allocation of database records failed.") + kAdminFooter},
      {2, 122, ErrorPageOf("Re-allocation of database records failed.") + kAdminFooter},
      {1, 5, ErrorPageOf("Other errors.") + kAdminFooter},
      // 0 and "no more items" both end the listing normally.
      {1, 0, Listing("")},
      {1, 259, Listing("")},
      {3, 8, ErrorPageOf("Other errors.") + kAdminFooter},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.succeed);
    PlatformFailStoreCall(c.succeed, c.code);
    EXPECT_EQ(Admin("cmd=enum&name=TULVAN_b"), c.page);
    PlatformFailStoreCall(-1, 0);
  }
}

TEST_F(RecordBrowserTest, DeleteItemRemovesTheRecordAndListsTheRestWithoutFooter) {
  CreateBoard("TULVAN_b");
  CEOID keep = WritePost("TULVAN_b", "keep", 1);
  CEOID drop = WritePost("TULVAN_b", "drop", 2);
  const std::string query = "cmd=deleteitem&dbname=TULVAN_b&deleteitem=" +
                            std::to_string(static_cast<int32_t>(drop));
  EXPECT_EQ(Admin(query), std::string(kAdminHead) + Line("TULVAN_b", keep, "keep") + Top());
  EXPECT_EQ(RecordIds("TULVAN_b"), std::vector<CEOID>{keep});
}

TEST_F(RecordBrowserTest, DeleteItemWorksOnAnyDatabaseButListsOnlyBoards) {
  CreatePlainDatabase("Contacts");
  std::vector<CEPROPVAL> value(1);
  value[0].propid = MAKEPROPID(3, CEVT_I4);
  value[0].val.lVal = 42;
  CEOID record = WriteRecord("Contacts", value);
  EXPECT_EQ(Admin("cmd=deleteitem&dbname=Contacts&deleteitem=" + std::to_string(record)),
            ErrorPageOf("It is not TULVAN DB."));
  EXPECT_TRUE(RecordIds("Contacts").empty());
}

TEST_F(RecordBrowserTest, DeleteItemFailuresShowTheirPageAlone) {
  CEOID board = CreateBoard("TULVAN_b");
  CEOID post = WritePost("TULVAN_b", "stays", 1);
  struct Case {
    std::string query;
    std::string page;
  } cases[] = {
      {"cmd=deleteitem&deleteitem=" + std::to_string(post), ErrorPageOf("Open database Error")},
      {"cmd=deleteitem&dbname=TULVAN_none&deleteitem=" + std::to_string(post),
       ErrorPageOf("Open database Error")},
      // The name is read into 255 bytes and converted with room for 255
      // units, terminator included: 254 bytes convert, 255 do not.
      {"cmd=deleteitem&dbname=" + std::string(254, 'n') + "&deleteitem=" + std::to_string(post),
       ErrorPageOf("Open database Error")},
      {"cmd=deleteitem&dbname=" + std::string(255, 'n') + "&deleteitem=" + std::to_string(post),
       ErrorPageOf("MultiByteToWideChar failed.")},
      {"cmd=deleteitem&dbname=" + std::string(400, 'n') + "&deleteitem=" + std::to_string(post),
       ErrorPageOf("MultiByteToWideChar failed.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(Admin(c.query), c.page);
  }
  EXPECT_EQ(RecordIds("TULVAN_b"), std::vector<CEOID>{post});

  // A record the database does not hold (its own identifier, 0, another
  // number): the store's code, the handle and the record, each twice.
  const std::regex page(
      "Content-Type: text/html\r\n\r\n<HTML><BODY>CeDeleteRecord was fail with error ([0-9]+)"
      "<BR>\nDatabase (-?[0-9]+)\\(([0-9A-F]{8})\\)<BR>\nRecord (-?[0-9]+)\\(([0-9A-F]{8})\\)"
      "</BODY></HTML>");
  for (CEOID record : {board, 0u, 123456u, 0xFFFFFFF0u}) {
    SCOPED_TRACE(record);
    std::string response = Admin("cmd=deleteitem&dbname=TULVAN_b&deleteitem=" +
                                 std::to_string(static_cast<int32_t>(record)));
    std::smatch match;
    ASSERT_TRUE(std::regex_match(response, match, page)) << response;
    EXPECT_EQ(match[1], std::to_string(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(static_cast<uint32_t>(std::stol(match[2])), std::stoul(match[3], nullptr, 16));
    EXPECT_EQ(match[4], std::to_string(static_cast<int32_t>(record)));
    EXPECT_EQ(std::stoul(match[5], nullptr, 16), record);
  }
  // A store failure of the deletion itself reports the store's own code.
  PlatformFailStoreCall(1, ERROR_WRITE_FAULT);
  std::string response = Admin("cmd=deleteitem&dbname=TULVAN_b&deleteitem=" + std::to_string(post));
  EXPECT_NE(response.find("CeDeleteRecord was fail with error 29<BR>"), std::string::npos) << response;
  EXPECT_EQ(RecordIds("TULVAN_b"), std::vector<CEOID>{post});
}

TEST_F(RecordBrowserTest, DeleteDatabaseOutcomes) {
  CEOID board = CreateBoard("TULVAN_b");
  CEOID post = WritePost("TULVAN_b", "gone", 1);
  CEOID plain = CreatePlainDatabase("Contacts");
  CEOID lower = CreateBoard("tulvan_lower");
  struct Case {
    std::string query;
    std::string message;
  } cases[] = {
      {"cmd=deleteDB", "CeOidGetInfo failed with error."},
      {"cmd=deleteDB&db=", "CeOidGetInfo failed with error."},
      {"cmd=deleteDB&db=987654", "CeOidGetInfo failed with error."},
      {"cmd=deleteDB&db=" + std::to_string(post), "This oid is not database type."},
      {"cmd=deleteDB&db=" + std::to_string(plain), "This is not TULVAN family."},
      {"cmd=deletedb&db=" + std::to_string(lower), "This is not TULVAN family."},
      {"cmd=DELETEDB&db=" + std::to_string(board), "Database deleted."},
      {"cmd=deleteDB&db=" + std::to_string(board), "CeOidGetInfo failed with error."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(Admin(c.query), ErrorPageOf(c.message) + kAdminFooter);
  }
  EXPECT_FALSE(DatabaseExists("TULVAN_b"));
  EXPECT_TRUE(DatabaseExists("Contacts"));
  EXPECT_TRUE(DatabaseExists("tulvan_lower"));
}

TEST_F(RecordBrowserTest, DeleteDatabaseFailureIsReported) {
  CEOID board = CreateBoard("TULVAN_b");
  // CeOidGetInfo succeeds, CeDeleteDatabase fails.
  PlatformFailStoreCall(1, ERROR_WRITE_FAULT);
  EXPECT_EQ(Admin("cmd=deleteDB&db=" + std::to_string(board)),
            ErrorPageOf("Database failed.") + kAdminFooter);
  EXPECT_TRUE(DatabaseExists("TULVAN_b"));
}

}  // namespace
