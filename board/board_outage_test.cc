// The board when opening its database fails: only a database that is not
// there is a board without posts (and is made by the first post); any other
// failure is an error page, creates nothing, and an unavailable store is on
// record for the host.
#include "board_test_util.h"

namespace board_test {
namespace {

// What the open of the board's database fails with, and what the host
// learns of it.
struct OpenFailure {
  DWORD code;
  DWORD outage;  // PlatformTakeStoreOutage after the call
};

// Every failure of the open other than "not there" and "out of memory".
const OpenFailure kFailures[] = {
    {ERROR_NOT_READY, ERROR_NOT_READY},
    {ERROR_TIMEOUT, ERROR_TIMEOUT},
    {ERROR_READ_FAULT, 0},
    // The dispatcher refuses names the store cannot hold, so this is no
    // answer about the board's name: it is a failure like any other.
    {ERROR_INVALID_PARAMETER, 0},
};

class BoardOutageTest : public BoardTest {
 protected:
  bool DatabaseExists(const std::string& database) {
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEOID oid = 0;
    std::u16string name = Wide(database);
    HANDLE handle = CeOpenDatabaseEx(&volume, &oid, &name[0], 0, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
  }

  // Runs `call` with the next store call (the open) failing with `code`.
  template <typename Call>
  Reply WithOpenFailing(DWORD code, Call call) {
    PlatformTakeStoreOutage();
    PlatformFailStoreCall(0, code);
    Reply reply = call();
    PlatformFailStoreCall(-1, 0);
    return reply;
  }
};

TEST_F(BoardOutageTest, ListingIsEmptyOnlyWhenTheDatabaseIsNotThere) {
  ASSERT_EQ(AddPost("Kept").text, "Location: /cgi/board.tvx\r\n\r\n");
  WriteTemplate("boardHEAD.HTML", "<HEAD>");
  WriteTemplate("boardFOOT.HTML", "<FOOT>");
  struct Case {
    DWORD code;
    std::string page;
    DWORD outage;
  };
  std::vector<Case> cases = {
      {ERROR_FILE_NOT_FOUND, std::string(kPageHeader) + "<HEAD><FOOT>", 0},
      {ERROR_NOT_ENOUGH_MEMORY, ErrorPageText("Not enough memory"), 0},
  };
  for (const OpenFailure& failure : kFailures) {
    cases.push_back({failure.code, ErrorPageText("Other errors.") + "<FOOT>", failure.outage});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Reply reply = WithOpenFailing(c.code, [&] { return Get(); });
    EXPECT_EQ(reply.text, c.page);
    EXPECT_EQ(reply.result, static_cast<int>(reply.text.size()));
    EXPECT_EQ(PlatformTakeStoreOutage(), c.outage);
  }
  EXPECT_NE(Get().text.find("Kept"), std::string::npos);
}

TEST_F(BoardOutageTest, PostCreatesTheDatabaseOnlyWhenTheOpenFoundNone) {
  int board = 0;
  for (const OpenFailure& failure : kFailures) {
    for (bool exists : {false, true}) {
      SCOPED_TRACE(std::to_string(failure.code) + (exists ? ", database there" : ", none"));
      std::string script = "/cgi/o" + std::to_string(++board) + ".tvx";
      std::string database = "TULVAN_o" + std::to_string(board) + ".tvx";
      if (exists) {
        ASSERT_NE(CreateDatabase(database), 0u);
      }
      Reply reply = WithOpenFailing(failure.code, [&] { return AddPost("Lost", script); });
      EXPECT_EQ(reply.text, ErrorPageText("Open database Error"));
      EXPECT_EQ(PlatformTakeStoreOutage(), failure.outage);
      EXPECT_EQ(DatabaseExists(database), exists) << "a database was made after a failed open";
      EXPECT_TRUE(Records(database).empty());
      // Once the store answers again, the post goes through.
      EXPECT_EQ(AddPost("Later", script).text, "Location: " + script + "\r\n\r\n");
      EXPECT_EQ(Records(database).size(), 1u);
    }
  }

  // Out of memory: its own page, and nothing made either.
  Reply reply = WithOpenFailing(ERROR_NOT_ENOUGH_MEMORY, [&] { return AddPost("Lost"); });
  EXPECT_EQ(reply.text, ErrorPageText("Not enough memory"));
  EXPECT_FALSE(DatabaseExists("TULVAN_board.tvx"));

  // Not there: the post makes the database and is stored in it.
  reply = WithOpenFailing(ERROR_FILE_NOT_FOUND, [&] { return AddPost("First"); });
  EXPECT_EQ(reply.text, "Location: /cgi/board.tvx\r\n\r\n");
  ASSERT_EQ(Records().size(), 1u);
  EXPECT_NE(Records()[0].Html().find("First"), std::string::npos);
}

}  // namespace
}  // namespace board_test
