// The PostgreSQL store under faults of its connection, swept over every unit
// a post, a group of posts and a deletion send: a connection cut once a unit is sent, a
// commit's answer lost, a server that fails a unit because it is read-only,
// shutting down, out of connections or cut off. Whatever happens, a call
// that reports success stored (or deleted) exactly what it was asked to, a
// call that reports failure stored its post at most once, and the next call
// works on a connection of its own.
#include <functional>
#include <string>
#include <vector>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class PgSessionFaultTest : public StoreTest {
 protected:
  Backend backend() const override { return Backend::kPostgres; }

  void TearDown() override {
    PlatformFailStoreSession(-1, 0, nullptr);
    StoreTest::TearDown();
  }

  // Every post reported stored (identifier, text) is on `board` exactly
  // once, under that identifier; and the board's count is exact.
  void ExpectEachOnce(const std::u16string& board,
                      const std::vector<std::pair<CEOID, std::string>>& acknowledged) {
    HANDLE h = OpenByName(board);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<Post> posts = ReadAll(h);
    CloseHandle(h);
    for (const auto& post : acknowledged) {
      int found = 0;
      for (const Post& read : posts) {
        if (read.oid == post.first) {
          ++found;
          EXPECT_EQ(post.second, read.text);
        }
      }
      EXPECT_EQ(1, found) << post.second;
    }
    EXPECT_EQ(static_cast<long long>(posts.size()),
              SqlValue("SELECT records FROM database_totals WHERE oid = "
                       "(SELECT oid FROM databases)"));
  }
};

struct Fault {
  int kind;
  const char* state;
  const char* what;
  // Whether every post of a group (several threads' posts in one
  // transaction) that meets the fault in the group's own unit ends stored:
  // the server refused the group and each post is written alone, or the
  // group committed and each finds itself there when sent again. Only a
  // connection cut with the group on it leaves its posts unknown.
  bool group_stored;
};

const Fault kFaults[] = {
    {PLATFORM_PG_DROP_AFTER_SEND, nullptr, "connection cut after sending", false},
    {PLATFORM_PG_LOSE_ANSWER, nullptr, "commit's answer lost", true},
    {PLATFORM_PG_FAIL_WITH, "25006", "read-only server", true},
    {PLATFORM_PG_FAIL_WITH, "57P01", "administrator shutdown", true},
    {PLATFORM_PG_FAIL_WITH, "08006", "connection failure", true},
    {PLATFORM_PG_FAIL_WITH, "53300", "too many connections", true},
    {PLATFORM_PG_FAIL_WITH, "40001", "serialization failure", true},
    {PLATFORM_PG_FAIL_WITH, "40P01", "deadlock", true},
    {PLATFORM_PG_FAIL_WITH, "26000", "a prepared statement missing", true},
};

// Units a post sends at most: the insert, its resend, the check of what the
// resend found, and a new insert.
constexpr int kUnitsPerPost = 6;

TEST_F(PgSessionFaultTest, APostReportsWhatHappenedUnderEveryFault) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_f"));
  HANDLE h = OpenByName(u"TULVAN_f");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<std::pair<CEOID, std::string>> acknowledged;
  int n = 0;
  for (const Fault& fault : kFaults) {
    for (int unit = 0; unit < kUnitsPerPost; ++unit) {
      std::string text = "post" + std::to_string(++n) + "x";
      SCOPED_TRACE(std::string(fault.what) + ", unit " + std::to_string(unit) + ": " + text);
      PlatformFailStoreSession(unit, fault.kind, fault.state);
      CEOID written = WritePost(h, static_cast<uint64_t>(n), text);
      DWORD error = GetLastError();
      PlatformFailStoreSession(-1, 0, nullptr);
      long long copies = Copies(text);
      if (written != 0) {
        EXPECT_EQ(1, copies) << "a post reported stored is there once";
        acknowledged.emplace_back(written, text);
      } else {
        EXPECT_LE(copies, 1) << "a failed post is there at most once";
        EXPECT_NE(0u, error);
      }
      // The next call works, whatever the fault left behind.
      std::string next = text + "next";
      CEOID after = WritePost(h, static_cast<uint64_t>(n) + 100000, next);
      ASSERT_NE(0u, after) << GetLastError();
      acknowledged.emplace_back(after, next);
    }
  }
  CloseHandle(h);
  ExpectEachOnce(u"TULVAN_f", acknowledged);
}

// Four posts of as many threads in one group: the fault meets the group's
// own unit (0), or one of the units its posts send after it, alone or again.
constexpr int kUnitsPerGroup = 4;
constexpr int kPostsPerGroup = 4;

TEST_F(PgSessionFaultTest, AGroupReportsWhatHappenedUnderEveryFault) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_g"));
  HANDLE h = OpenByName(u"TULVAN_g");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<std::pair<CEOID, std::string>> acknowledged;
  int n = 0;
  for (const Fault& fault : kFaults) {
    for (int unit = 0; unit < kUnitsPerGroup; ++unit) {
      SCOPED_TRACE(std::string(fault.what) + ", unit " + std::to_string(unit));
      std::vector<GroupPost> answers;
      for (int i = 0; i < kPostsPerGroup; ++i) {
        answers.push_back({h, "grouped" + std::to_string(++n) + "x"});
      }
      PlatformFailStoreSession(unit, fault.kind, fault.state);
      PostAsOneGroup(&answers);
      PlatformFailStoreSession(-1, 0, nullptr);
      for (const GroupPost& answer : answers) {
        SCOPED_TRACE(answer.text);
        long long copies = Copies(answer.text);
        if (answer.written != 0) {
          EXPECT_EQ(1, copies) << "a post reported stored is there once";
          acknowledged.emplace_back(answer.written, answer.text);
        } else {
          EXPECT_LE(copies, 1) << "a failed post is there at most once";
          EXPECT_NE(0u, answer.error);
          EXPECT_FALSE(unit == 0 && fault.group_stored) << "error " << answer.error;
        }
      }
      // The next group works, whatever the fault left behind.
      std::vector<GroupPost> next = {{h, "after" + std::to_string(n) + "a"},
                                     {h, "after" + std::to_string(n) + "b"}};
      PostAsOneGroup(&next);
      for (const GroupPost& answer : next) {
        ASSERT_NE(0u, answer.written) << answer.error;
        acknowledged.emplace_back(answer.written, answer.text);
      }
    }
  }
  CloseHandle(h);
  ExpectEachOnce(u"TULVAN_g", acknowledged);
}

TEST_F(PgSessionFaultTest, ADeletionReportsWhatHappenedUnderEveryFault) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_d"));
  HANDLE h = OpenByName(u"TULVAN_d");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  int n = 0;
  for (const Fault& fault : kFaults) {
    for (int unit = 0; unit < 3; ++unit) {
      std::string text = "gone" + std::to_string(++n) + "x";
      SCOPED_TRACE(std::string(fault.what) + ", unit " + std::to_string(unit));
      CEOID oid = WritePost(h, static_cast<uint64_t>(n), text);
      ASSERT_NE(0u, oid);
      PlatformFailStoreSession(unit, fault.kind, fault.state);
      BOOL deleted = CeDeleteRecord(h, oid);
      PlatformFailStoreSession(-1, 0, nullptr);
      if (deleted) {
        EXPECT_EQ(0, Copies(text)) << "a deletion reported done is done";
      }
      // Deleting again: done now, or found done already.
      if (Copies(text) == 1) {
        EXPECT_TRUE(CeDeleteRecord(h, oid)) << GetLastError();
      } else {
        EXPECT_FALSE(CeDeleteRecord(h, oid));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
      }
      EXPECT_EQ(0, Copies(text));
    }
  }
  CloseHandle(h);
}

// The server warns during a commit when it stops waiting for a synchronous
// standby: the transaction committed there but may be lost in a failover.
// Here a trigger of the test's own warns at every insert.
TEST_F(PgSessionFaultTest, ACommitTheServerWarnsAboutIsNeverReportedAsDone) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_w"));
  HANDLE h = OpenByName(u"TULVAN_w");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Sql("CREATE FUNCTION warn_now() RETURNS trigger LANGUAGE plpgsql AS"
      " $$BEGIN RAISE WARNING 'canceling wait for synchronous replication'; RETURN NULL; END$$;"
      "CREATE TRIGGER warn_now AFTER INSERT ON records FOR EACH STATEMENT"
      " EXECUTE FUNCTION warn_now()");
  EXPECT_EQ(0u, WritePost(h, 1, "warned"));
  EXPECT_NE(0u, GetLastError());
  EXPECT_LE(Copies("warned"), 1);
  // Nor is a group's commit the success of any of its posts.
  std::vector<GroupPost> group = {{h, "warned1"}, {h, "warned2"}, {h, "warned3"}};
  PostAsOneGroup(&group);
  for (const GroupPost& post : group) {
    SCOPED_TRACE(post.text);
    EXPECT_EQ(0u, post.written);
    EXPECT_NE(0u, post.error);
    EXPECT_LE(Copies(post.text), 1);
  }
  Sql("DROP TRIGGER warn_now ON records");
  EXPECT_NE(0u, WritePost(h, 2, "calm"));
  std::vector<GroupPost> calm = {{h, "calm1"}, {h, "calm2"}};
  PostAsOneGroup(&calm);
  for (const GroupPost& post : calm) EXPECT_NE(0u, post.written) << post.error;
  CloseHandle(h);
}

// A server that took over from another may hand out again an identifier
// whose record it never received. An insert whose commit answer was lost
// sends itself again under the identifier it drew; when the record found
// there is another post (here the test's trigger rewrites the first try's
// bytes), the post is stored under a new identifier, not reported as that
// one.
TEST_F(PgSessionFaultTest, AResendThatFindsAnotherPostStoresItsOwn) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_s"));
  HANDLE h = OpenByName(u"TULVAN_s");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  Sql("CREATE TABLE swapped(done int);"
      "CREATE FUNCTION swap_post() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN"
      " IF EXISTS (SELECT 1 FROM swapped) THEN RETURN NULL; END IF;"
      " INSERT INTO swapped VALUES (1);"
      " UPDATE records SET props = overlay(props PLACING convert_to('OTHER1', 'UTF8')"
      " FROM position(convert_to('victim', 'UTF8') IN props) FOR 6) WHERE oid = NEW.oid;"
      " RETURN NULL; END$$;"
      "CREATE TRIGGER swap_post AFTER INSERT ON records FOR EACH ROW"
      " WHEN (position(convert_to('victim', 'UTF8') IN NEW.props) > 0)"
      " EXECUTE FUNCTION swap_post()");
  // The first unit is the insert: it commits, and its commit's answer is
  // lost.
  PlatformFailStoreSession(0, PLATFORM_PG_LOSE_ANSWER, nullptr);
  CEOID written = WritePost(h, 1, "victim");
  PlatformFailStoreSession(-1, 0, nullptr);
  ASSERT_NE(0u, written) << GetLastError();
  EXPECT_EQ(1, Copies("OTHER1")) << "the other post stays";
  EXPECT_EQ(1, Copies("victim")) << "the post is stored once";
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM records WHERE oid = " + std::to_string(written) +
                        " AND position(convert_to('victim', 'UTF8') IN props) > 0"))
      << "the post is reported under its own identifier";
  CloseHandle(h);
}

// A server that took over from another may hand out again identifiers that
// the other one drew for records it received only as they were sent again.
// Here the sequence is set back over records that exist: a new post and a
// new database draw past them instead of failing.
TEST_F(PgSessionFaultTest, ATakenIdentifierIsDrawnAgain) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_t"));
  HANDLE h = OpenByName(u"TULVAN_t");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CEOID first = WritePost(h, 1, "first");
  CEOID last = 0;
  for (int i = 2; i <= 4; ++i) last = WritePost(h, static_cast<uint64_t>(i), "taken");
  ASSERT_NE(0u, first);
  ASSERT_NE(0u, last);
  const struct {
    const char* what;
    std::function<CEOID()> write;
  } writes[] = {
      {"a post", [&] { return WritePost(h, 9, "new"); }},
      {"a database", [&] { return CreateBoard(u"TULVAN_u"); }},
  };
  for (const auto& write : writes) {
    SCOPED_TRACE(write.what);
    Sql("SELECT setval('oids', " + std::to_string(first - 1) + ")");
    CEOID written = write.write();
    EXPECT_GT(written, last) << GetLastError();
  }
  CloseHandle(h);
}

// The first try of a post is rolled back at its commit, whose answer is
// lost, and meanwhile the sequence is set back below its identifier, as on
// a server that took over: the post goes in again under that identifier,
// and the sequence is moved past it, so that the next post draws a new one
// at once.
TEST_F(PgSessionFaultTest, AResendOnAServerBehindMovesItsSequencePastThePost) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_b"));
  HANDLE h = OpenByName(u"TULVAN_b");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_NE(0u, WritePost(h, 1, "before"));
  Sql("CREATE SEQUENCE once;"
      "CREATE FUNCTION fail_commit() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN"
      " IF nextval('once') > 1 THEN RETURN NULL; END IF;"
      " PERFORM setval('oids', NEW.oid - 5);"
      " RAISE EXCEPTION 'the first try does not commit'; END$$;"
      "CREATE CONSTRAINT TRIGGER fail_commit AFTER INSERT ON records"
      " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION fail_commit()");
  PlatformFailStoreSession(0, PLATFORM_PG_LOSE_ANSWER, nullptr);
  CEOID written = WritePost(h, 2, "resent");
  PlatformFailStoreSession(-1, 0, nullptr);
  ASSERT_NE(0u, written) << GetLastError();
  EXPECT_EQ(1, Copies("resent"));
  EXPECT_GE(SqlValue("SELECT last_value FROM oids"), static_cast<long long>(written));
  Sql("DROP TRIGGER fail_commit ON records");
  EXPECT_GT(WritePost(h, 3, "after"), written);
  CloseHandle(h);
}

// A pooler that hands the session's units to server connections that did
// not prepare its statements: the server finds a prepared statement missing.
// The unit goes once more, unnamed, and so does every later one.
TEST_F(PgSessionFaultTest, APreparedStatementMissingSendsStatementsUnnamed) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_p"));
  HANDLE h = OpenByName(u"TULVAN_p");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  ASSERT_NE(0u, WritePost(h, 1, "prepared"));
  PlatformFailStoreSession(0, PLATFORM_PG_FAIL_WITH, "26000");
  CEOID written = WritePost(h, 2, "unnamed");
  PlatformFailStoreSession(-1, 0, nullptr);
  EXPECT_NE(0u, written) << GetLastError();
  EXPECT_EQ(1, Copies("unnamed"));
  EXPECT_NE(0u, WritePost(h, 3, "later"));
  EXPECT_EQ(1, Copies("later"));
  CloseHandle(h);
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
