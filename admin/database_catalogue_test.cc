// The catalogue page, read through fnTvx over databases written straight into
// the store.
#include <sstream>

#include "admin_test_support.h"
#include "ceplatform.h"

namespace {

std::string Hex(CEOID oid) {
  std::ostringstream text;
  text << "0X" << std::uppercase << std::hex << oid;
  return text.str();
}

std::string Signed(CEOID oid) { return std::to_string(static_cast<int32_t>(oid)); }

class CatalogueTest : public AdminTest {
 protected:
  std::string BoardRow(const std::string& name, CEOID oid, const std::string& script = kScript) {
    CEDBASEINFO info = InfoOf(oid);
    return " <tr bgcolor=\"#CCCCFF\">\n  <td><a href=\"" + script + "?cmd=enum&name=" + name +
           "\">\t" + name + "  </a></td>\n  <td align=\"right\">  " +
           std::to_string(info.dwSize) + "</td>\n  <td align=\"right\">  " +
           std::to_string(info.wNumRecords) + "</td>\n  <td align=\"right\">  " + Hex(oid) +
           "</td>\n  <td align=\"right\">  " + std::to_string(info.wNumSortOrder) +
           "</td>\n  <td><a href=\"" + script + "?cmd=deleteDB&db=" + Signed(oid) +
           "\">DELETE DB</a></td>\n </tr>\n";
  }
  std::string OtherRow(const std::string& name, CEOID oid) {
    CEDBASEINFO info = InfoOf(oid);
    return " <tr bgcolor=\"#FFFFFF\">\n  <td>" + name + "</td>\n  <td align=\"right\">" +
           std::to_string(info.dwSize) + "</td>\n  <td align=\"right\">" +
           std::to_string(info.wNumRecords) + "</td>\n  <td align=\"right\">" + Hex(oid) +
           "</td>\n  <td align=\"right\">  " + std::to_string(info.wNumSortOrder) +
           "</td>\n </tr>\n";
  }
};

TEST_F(CatalogueTest, EmptyStoreGivesTableHeadAndEndOnly) {
  EXPECT_EQ(Admin(""), std::string(kAdminHead) + kTableHead + "</table>\n" + kAdminFooter);
}

TEST_F(CatalogueTest, BoardRowsOnlyForTheExactPrefix) {
  const std::string board = "TULVAN_board.tvx";
  const std::string kanji = "TULVAN_\x8C\x66\x8E\xA6\x94\xC2";  // a Shift_JIS name
  CEOID boardOid = CreateBoard(board);
  WritePost(board, "<B>one</B>", 100);
  WritePost(board, "<B>two</B>", 200);
  CEOID lower = CreateBoard("tulvan_lower");
  CEOID bare = CreateBoard("TULVAN_");
  CEOID six = CreateBoard("TULVAN");
  CEOID plain = CreatePlainDatabase("Contacts");
  CEOID marks = CreateBoard("TULVAN_a&b<c");
  CEOID kanjiOid = CreateBoard(kanji);
  ASSERT_EQ(InfoOf(boardOid).wNumRecords, 2);
  ASSERT_GT(InfoOf(boardOid).dwSize, 0u);

  std::string expected = std::string(kAdminHead) + kTableHead;
  expected += BoardRow(board, boardOid);
  expected += OtherRow("tulvan_lower", lower);
  expected += BoardRow("TULVAN_", bare);
  expected += OtherRow("TULVAN", six);
  expected += OtherRow("Contacts", plain);
  expected += BoardRow("TULVAN_a&b<c", marks);
  expected += BoardRow(kanji, kanjiOid);
  expected += "</table>\n";
  expected += kAdminFooter;
  EXPECT_EQ(Admin(""), expected);
}

TEST_F(CatalogueTest, RowLongerThanTheWorkAreaIsWrittenWhole) {
  CEOID oid = CreateBoard("TULVAN_b");
  const std::string script = "/" + std::string(600, 's') + "/corkwarden.tvx";
  EXPECT_EQ(Admin("", script.c_str()), std::string(kAdminHead) + kTableHead +
                                           BoardRow("TULVAN_b", oid, script) + "</table>\n" +
                                           kAdminFooter);
}

// Rows are built in a 512-byte work area and move to the heap when they
// outgrow it: the rows on both sides of that edge read the same.
TEST_F(CatalogueTest, RowsAroundTheWorkAreaEdgeAreWrittenWhole) {
  std::string longest = "TULVAN_";
  for (int i = 0; i < 24; ++i) longest += "\x94\xC2";  // 31 characters, 55 bytes
  for (const std::string& name : {std::string("TULVAN_b"), longest}) {
    CEOID oid = CreateBoard(name);
    // The row holds the script twice; step across the edge one byte at a time.
    const size_t bare = BoardRow(name, oid, "").size();
    ASSERT_LT(bare, 512u);
    const size_t half = (512 - bare) / 2;
    for (size_t length = half - 3; length <= half + 3; ++length) {
      const std::string script = "/" + std::string(length - 1, 'a');
      SCOPED_TRACE(BoardRow(name, oid, script).size());
      EXPECT_EQ(Admin("", script.c_str()), std::string(kAdminHead) + kTableHead +
                                               BoardRow(name, oid, script) + "</table>\n" +
                                               kAdminFooter);
    }
    Admin("cmd=deleteDB&db=" + Signed(oid));
    ASSERT_FALSE(DatabaseExists(name));
  }
}

// A catalogue longer than the largest block the heap gives (a test limit
// stands in for 2 GiB) is answered with "Not enough memory", never sent with
// rows left out; under a limit that holds it, it is whole.
TEST_F(CatalogueTest, CataloguePastTheLargestBlockSaysTheMemoryRanOut) {
  for (int i = 0; i < 40; i++) CreateBoard("TULVAN_board" + std::to_string(i));
  const std::string catalogue = Admin("");
  ASSERT_GT(catalogue.size(), 10000u);
  const SIZE_T whole = ResponseBlock(catalogue.size());
  struct Case {
    SIZE_T limit;
    std::string page;
  } cases[] = {
      {whole, catalogue},
      {whole - 1, ErrorPageOf("Not enough memory")},
      {2048, ErrorPageOf("Not enough memory")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    EXPECT_TRUE(SamePage(AdminWithBlockLimit(c.limit, ""), c.page));
  }
}

// A row that outgrows its work area takes a heap block twice its size, here
// larger than the whole page: when the heap refuses that block, the page says
// so instead of going out without the row.
TEST_F(CatalogueTest, RowTheHeapCannotBuildFailsTheCatalogue) {
  CEOID oid = CreateBoard("TULVAN_b");
  const std::string script = "/" + std::string(3000, 's') + "/corkwarden.tvx";
  const std::string catalogue = std::string(kAdminHead) + kTableHead +
                                BoardRow("TULVAN_b", oid, script) + "</table>\n" + kAdminFooter;
  struct Case {
    SIZE_T limit;
    std::string page;
  } cases[] = {
      {1 << 16, catalogue},
      {ResponseBlock(catalogue.size()), ErrorPageOf("Not enough memory")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.limit);
    EXPECT_TRUE(SamePage(AdminWithBlockLimit(c.limit, "", script.c_str()), c.page));
  }
}

TEST_F(CatalogueTest, WithoutScriptNameLinksHaveAnEmptyScript) {
  CEOID oid = CreateBoard("TULVAN_b");
  EXPECT_EQ(Admin("", ""), std::string(kAdminHead) + kTableHead + BoardRow("TULVAN_b", oid, "") +
                               "</table>\n" + kAdminFooter);
}

TEST_F(CatalogueTest, StoreFailuresAreShownBetweenHeaderAndFooter) {
  CEOID first = CreateBoard("TULVAN_b");
  CreatePlainDatabase("Other");
  const std::string row = BoardRow("TULVAN_b", first);
  // Store calls of one catalogue: CeFindFirstDatabase, then CeFindNextDatabase
  // and CeOidGetInfo for each database.
  struct Case {
    long succeed;
    DWORD code;
    std::string page;
  } cases[] = {
      {0, 8, "CeFindFirstDatabase failed with error (8)\n"},
      {1, 30, std::string(kTableHead) + "</table>\nCeFindFirstDatabase failed with error (30)\n"},
      {2, 30,
       std::string(kTableHead) +
           "CeOidGetInfo failed with error (30)</table>\nCeFindFirstDatabase failed with error (30)\n"},
      {2, 259, std::string(kTableHead) + "CeOidGetInfo failed with error (259)</table>\n"},
      {3, 6, std::string(kTableHead) + row + "</table>\nCeFindFirstDatabase failed with error (6)\n"},
      {4, 87,
       std::string(kTableHead) + row +
           "CeOidGetInfo failed with error (87)</table>\nCeFindFirstDatabase failed with error (87)\n"},
      // A code with its top bit set reads as the device's 32-bit long.
      {0, 0x80004005u, "CeFindFirstDatabase failed with error (-2147467259)\n"},
      {2, 0x8007000Eu,
       std::string(kTableHead) +
           "CeOidGetInfo failed with error (-2147024882)</table>\n"
           "CeFindFirstDatabase failed with error (-2147024882)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.succeed);
    PlatformFailStoreCall(c.succeed, c.code);
    EXPECT_EQ(Admin(""), std::string(kAdminHead) + c.page + kAdminFooter);
    PlatformFailStoreCall(-1, 0);
  }
}

// Identifiers with the top bit set travel as negative decimals in the links
// and come back whole through every command.
TEST_F(CatalogueTest, TopBitIdentifiersRoundTripThroughTheLinks) {
  SetNextOid(0x80000010u);
  CEOID board = CreateBoard("TULVAN_high");
  CEOID older = WritePost("TULVAN_high", "older", 1);
  CEOID newer = WritePost("TULVAN_high", "newer", 2);
  ASSERT_EQ(board, 0x80000010u);
  ASSERT_EQ(older, 0x80000011u);
  ASSERT_EQ(newer, 0x80000012u);

  const std::string catalogue = Admin("");
  EXPECT_NE(catalogue.find("  0X80000010</td>"), std::string::npos) << catalogue;
  EXPECT_NE(catalogue.find("?cmd=deleteDB&db=-2147483632\">DELETE DB</a>"), std::string::npos);

  const std::string listing = Admin("cmd=enum&name=TULVAN_high");
  EXPECT_NE(listing.find("&deleteitem=-2147483630\">delete:</A><TT>newer</TT>"), std::string::npos)
      << listing;
  EXPECT_NE(listing.find("&deleteitem=-2147483631\">delete:</A><TT>older</TT>"), std::string::npos);

  Admin("cmd=deleteitem&dbname=TULVAN_high&deleteitem=-2147483630");
  EXPECT_EQ(RecordIds("TULVAN_high"), std::vector<CEOID>{older});

  EXPECT_EQ(Admin("cmd=deleteDB&db=-2147483632"), ErrorPageOf("Database deleted.") + kAdminFooter);
  EXPECT_FALSE(DatabaseExists("TULVAN_high"));
}

}  // namespace
