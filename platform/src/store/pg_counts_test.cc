// PostgreSQL's counts in slots and its top blocks kept apart: writers to one
// board do not wait for each other, and the counts and blocks stay exact
// through concurrent posts and deletions, a cut put off while writers hold
// the top block, and the step up from a store of format 2.
#include <gmock/gmock.h>
#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ceplatform_snapshot.h"
#include "pg_counts.h"
#include "rank_blocks.h"
#include "store_schema.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class PgCountsTest : public StoreTest {
 protected:
  Backend backend() const override { return Backend::kPostgres; }

  // What `tvxstore verify` finds: the backend's check and the records
  // against their databases' counts.
  std::vector<std::string> Verify() {
    std::string error;
    std::unique_ptr<WholeStore> store = WholeStore::Open(path_, false, &error);
    EXPECT_NE(nullptr, store) << error;
    if (store == nullptr) return {"no store"};
    std::vector<std::string> problems;
    EXPECT_TRUE(store->CheckBackend(&problems, &error)) << error;
    StoreConsistency consistency;
    EXPECT_TRUE(store->Read(&consistency, &error)) << error;
    consistency.Finish();
    for (const std::string& problem : consistency.problems()) problems.push_back(problem);
    return problems;
  }

  // The database's figures as CeOidGetInfo gives them, against the records.
  void ExpectInfoCounts(CEOID db) {
    Sql("SELECT 1");  // this process's copies age out
    CEOIDINFO info;
    ASSERT_TRUE(CeOidGetInfo(db, &info));
    std::string of = " FROM records WHERE db = " + std::to_string(db);
    EXPECT_EQ(SqlValue("SELECT count(*)" + of), info.infDatabase.wNumRecords);
    EXPECT_EQ(SqlValue("SELECT sum(length(props))" + of), info.infDatabase.dwSize);
  }

  // Seeks to places spread over the board land where a walk from the top
  // does.
  void ExpectSeeksAgree(const std::u16string& name) {
    HANDLE walk = OpenByName(name);
    ASSERT_NE(INVALID_HANDLE_VALUE, walk);
    std::vector<CEOID> all = Oids(ReadAll(walk));
    CloseHandle(walk);
    for (size_t place = 0; place <= all.size(); place += all.size() / 7 + 1) {
      HANDLE h = OpenByName(name);
      DWORD index = 0;
      CEOID found = CeSeekDatabase(h, CEDB_SEEK_BEGINNING, static_cast<DWORD>(place), &index);
      EXPECT_EQ(place < all.size() ? all[place] : 0u, found) << "place " << place;
      CloseHandle(h);
    }
  }

  long long TopBlocks(CEOID db) {
    return SqlValue("SELECT count(*) FROM blocks WHERE db = " + std::to_string(db));
  }

  // A libpq session of its own on the test's store.
  PGconn* Session() {
    PGconn* conn = PQconnectdb(path_.c_str());
    EXPECT_EQ(CONNECTION_OK, PQstatus(conn)) << PQerrorMessage(conn);
    return conn;
  }

  // Waits until `count` sessions of the server wait for a lock.
  void WaitForLockWaiters(long long count) {
    long long waiting = -1;
    for (int i = 0; i < 1000 && waiting != count; ++i) {
      if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
      waiting = SqlValue(
          "SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'"
          " AND datname = current_database()");
    }
    ASSERT_EQ(count, waiting) << "sessions waiting for a lock";
  }

  // Runs `sql` on `conn`: whether it succeeded, with the error in *error.
  static bool Exec(PGconn* conn, const std::string& sql, std::string* error = nullptr) {
    PGresult* result = PQexec(conn, sql.c_str());
    ExecStatusType status = PQresultStatus(result);
    bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    if (!ok && error != nullptr) *error = PQresultErrorMessage(result);
    PQclear(result);
    return ok;
  }
};

// Several hosts' writers on one board, each posting and deleting some of its
// own recent posts; every cut of the top block races with them.
TEST_F(PgCountsTest, ConcurrentPostsAndDeletionsLeaveCountsAndBlocksExact) {
  CEOID db = CreateBoard(u"TULVAN_busy");
  ASSERT_NE(0u, db);
  constexpr int kThreads = 6;
  constexpr int kPosts = 220;
  std::atomic<uint64_t> clock{100};
  std::atomic<int> failures{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&]() {
      HANDLE h = OpenByName(u"TULVAN_busy");
      std::vector<CEOID> mine;
      for (int i = 0; i < kPosts; ++i) {
        CEOID oid = WritePost(h, clock.fetch_add(1), "post " + std::to_string(i));
        if (oid == 0) failures++;
        mine.push_back(oid);
        // One in four: the post three back goes again.
        if (i % 4 == 3 && !CeDeleteRecord(h, mine[mine.size() - 3])) failures++;
      }
      CloseHandle(h);
    });
  }
  for (std::thread& writer : writers) writer.join();
  ASSERT_EQ(0, failures.load());
  EXPECT_EQ(kThreads * (kPosts - kPosts / 4),
            SqlValue("SELECT count(*) FROM records WHERE db = " + std::to_string(db)));
  EXPECT_GE(TopBlocks(db), 2) << "the top block was never cut";
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ExpectInfoCounts(db);
  ExpectSeeksAgree(u"TULVAN_busy");
}

// A host's posts that come at once go in as one statement. All of them in
// their board's top block take the blocks' short way; an old post (a key
// below the top block) or a second board in the same group take the long
// one. Either way the counts and blocks stay exact, and the top block is cut
// as the groups pass its limit.
TEST_F(PgCountsTest, GroupsOfPostsLeaveCountsAndBlocksExact) {
  CEOID main_db = CreateBoard(u"TULVAN_groups");
  CEOID other_db = CreateBoard(u"TULVAN_beside");
  ASSERT_NE(0u, main_db);
  ASSERT_NE(0u, other_db);
  HANDLE main_board = OpenByName(u"TULVAN_groups");
  HANDLE other_board = OpenByName(u"TULVAN_beside");
  constexpr int kRounds = 90;
  constexpr int kGroup = 8;
  uint64_t clock = 1000000;
  int expected_main = 0;
  int expected_other = 0;
  std::vector<unsigned long long> before = GroupSizes();
  for (int round = 0; round < kRounds; ++round) {
    std::vector<GroupPost> posts;
    for (int i = 0; i < kGroup; ++i) posts.push_back({main_board, "group post", clock++});
    if (round % 5 == 4) posts[3].time = 100 + round;  // far below the top block
    if (round % 3 == 2) posts[5].board = other_board;
    PostAsOneGroup(&posts);
    for (size_t i = 0; i < posts.size(); ++i) {
      ASSERT_NE(0u, posts[i].written) << "round " << round << ", post " << i;
      (posts[i].board == main_board ? expected_main : expected_other)++;
    }
  }
  EXPECT_EQ(static_cast<unsigned long long>(kRounds), GroupSizes()[kGroup - 1] - before[kGroup - 1])
      << "the posts did not go as groups";
  const std::string of = " FROM records WHERE db = ";
  EXPECT_EQ(expected_main, SqlValue("SELECT count(*)" + of + std::to_string(main_db)));
  EXPECT_EQ(expected_other, SqlValue("SELECT count(*)" + of + std::to_string(other_db)));
  EXPECT_GE(TopBlocks(main_db), 2) << "the top block was never cut";
  CloseHandle(main_board);
  CloseHandle(other_board);
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ExpectInfoCounts(main_db);
  ExpectInfoCounts(other_db);
  ExpectSeeksAgree(u"TULVAN_groups");
}

// A cut that cannot have the top block while a writer holds it gives up, and
// the next post makes it.
TEST_F(PgCountsTest, ACutPutOffByAWriterInTheTopBlockIsMadeByALaterPost) {
  CEOID db = CreateBoard(u"TULVAN_full");
  ASSERT_NE(0u, db);
  HANDLE h = OpenByName(u"TULVAN_full");
  for (int i = 0; i < kMaxBlockRecords; ++i) ASSERT_NE(0u, WritePost(h, 10 + i, "p"));
  ASSERT_EQ(1, TopBlocks(db));
  PGconn* writer = Session();
  // What a writer inside the top block holds until it commits.
  ASSERT_TRUE(Exec(writer, "BEGIN; SELECT 1 FROM blocks WHERE db = " + std::to_string(db) +
                               " ORDER BY bkey DESC, boid DESC LIMIT 1 FOR KEY SHARE"));
  ASSERT_NE(0u, WritePost(h, 5000, "past the limit"));
  EXPECT_EQ(1, TopBlocks(db)) << "cut while a writer held the block";
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ASSERT_TRUE(Exec(writer, "COMMIT"));
  PQfinish(writer);
  ASSERT_NE(0u, WritePost(h, 5001, "and one more"));
  EXPECT_EQ(2, TopBlocks(db));
  EXPECT_EQ(kMaxBlockRecords + 2 - (kMaxBlockRecords + 2) / 2,
            SqlValue("SELECT below FROM blocks WHERE db = " + std::to_string(db) +
                     " AND boid <> 0"));
  CloseHandle(h);
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ExpectSeeksAgree(u"TULVAN_full");
}

// A writer that waited for the top block while a cut put a new one above it
// holds the old block once it has it. If it then waited for the new one,
// which another writer may hold while it waits for the old (to count an
// older post), each would wait for the other until the server undid one of
// them: here the other session, since the store's sessions look for such
// circles only after longer than a statement may run.
TEST_F(PgCountsTest, AWriterHoldingACutTopBlockDoesNotWaitForTheNewTop) {
  ASSERT_TRUE(PlatformSetStorePath((path_ + "%20-cdeadlock_timeout%3D60s").c_str()));
  CEOID db = CreateBoard(u"TULVAN_cut");
  ASSERT_NE(0u, db);
  std::string d = std::to_string(db);
  const std::string blocks = " FROM blocks WHERE db = " + d + " ORDER BY bkey DESC, boid DESC";
  const std::string in_top =
      "SELECT (SELECT count(*) FROM records WHERE db = " + d + ") - below" + blocks + " LIMIT 1";
  // Two blocks, the top one full to the limit.
  HANDLE h = OpenByName(u"TULVAN_cut");
  uint64_t time = 100;
  for (int i = 0; i <= kMaxBlockRecords; ++i) ASSERT_NE(0u, WritePost(h, time++, "p"));
  for (long long i = SqlValue(in_top); i < kMaxBlockRecords; ++i) {
    ASSERT_NE(0u, WritePost(h, time++, "p"));
  }
  CloseHandle(h);
  ASSERT_EQ(2, TopBlocks(db));
  ASSERT_EQ(kMaxBlockRecords, SqlValue(in_top));

  // A cut in the making: one more post and the cut, not committed yet.
  PGconn* cutter = Session();
  std::string error;
  ASSERT_TRUE(Exec(cutter,
                   "BEGIN; INSERT INTO records(oid, db, k0, props) SELECT nextval('oids'), db,"
                   " k0, props FROM records WHERE db = " + d + " ORDER BY k0 DESC, oid DESC"
                   " LIMIT 1; SELECT cut_top_block(" + d + ", 0)",
                   &error))
      << error;
  // The old top block's next holder, queued behind the cut.
  PGconn* holder = Session();
  ASSERT_EQ(1, PQsendQuery(holder, ("BEGIN; SELECT 1" + blocks + " LIMIT 1 FOR UPDATE").c_str()));
  WaitForLockWaiters(1);
  // The writer's post is older than both top blocks: it reads the old top
  // block as the top and queues for it. From here on nothing returns before
  // the writer is joined.
  std::atomic<CEOID> written{0};
  std::thread writer([&] {
    HANDLE w = OpenByName(u"TULVAN_cut");
    written = WritePost(w, 5, "old");
    CloseHandle(w);
  });
  WaitForLockWaiters(2);
  EXPECT_TRUE(Exec(cutter, "COMMIT"));
  PQfinish(cutter);
  for (PGresult* result; (result = PQgetResult(holder)) != nullptr;) PQclear(result);
  EXPECT_EQ(3, TopBlocks(db));
  // Another holds the new top block; the old one passes to the writer,
  // which waits for the new one.
  PGconn* other = Session();
  EXPECT_TRUE(Exec(other, "BEGIN; SELECT 1" + blocks + " LIMIT 1 FOR UPDATE"));
  EXPECT_TRUE(Exec(holder, "COMMIT"));
  PQfinish(holder);
  WaitForLockWaiters(1);
  // The other now wants the old one.
  EXPECT_TRUE(Exec(other, "SELECT 1" + blocks + " LIMIT 1 OFFSET 1 FOR UPDATE", &error)) << error;
  EXPECT_TRUE(Exec(other, "COMMIT"));
  PQfinish(other);
  writer.join();
  EXPECT_NE(0u, written.load()) << "the post was lost";
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ExpectInfoCounts(db);
  ExpectSeeksAgree(u"TULVAN_cut");
}

// Two sessions adding to one board at once, neither committed: the second
// does not wait for the first.
TEST_F(PgCountsTest, TwoInsertsIntoOneBoardDoNotWaitForEachOther) {
  CEOID db = CreateBoard(u"TULVAN_pair");
  ASSERT_NE(0u, db);
  HANDLE h = OpenByName(u"TULVAN_pair");
  ASSERT_NE(0u, WritePost(h, 10, "first"));
  CloseHandle(h);
  // Sessions in different count slots (one slot is one session's at a time).
  PGconn* one = Session();
  PGconn* two = Session();
  while (PQbackendPID(one) % kCountSlots == PQbackendPID(two) % kCountSlots) {
    PQfinish(two);
    two = Session();
  }
  // A copy of the newest post, just above it, as a post's insert writes it:
  // the database's row shared, the time in the session's slot.
  std::string d = std::to_string(db);
  std::string insert =
      "BEGIN; SET LOCAL statement_timeout = '2s';"
      "SELECT 1 FROM databases WHERE oid = " + d + " FOR KEY SHARE;"
      "INSERT INTO database_counts AS c(db, slot, modified) VALUES (" + d +
      ", pg_backend_pid() % " + std::to_string(kCountSlots) + ", 99) ON CONFLICT (db, slot)"
      " DO UPDATE SET modified = GREATEST(c.modified, EXCLUDED.modified);"
      "INSERT INTO records(oid, db, k0, props) SELECT nextval('oids'), db,"
      " k0 || '\\xff'::bytea, props FROM records WHERE db = " + d +
      " ORDER BY k0 DESC, oid DESC LIMIT 1";
  std::string error;
  ASSERT_TRUE(Exec(one, insert, &error)) << error;
  EXPECT_TRUE(Exec(two, insert, &error)) << "the second insert waited: " << error;
  EXPECT_TRUE(Exec(one, "ROLLBACK"));
  EXPECT_TRUE(Exec(two, "ROLLBACK"));
  PQfinish(one);
  PQfinish(two);
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
}

// A store of format 2 keeps every count in its databases' rows and the top
// block's n in its column; brought up to format 3 it gives the same figures.
TEST_F(PgCountsTest, AStoreOfFormatTwoKeepsEveryCountAsItComesUpToDate) {
  CEOID db = CreateBoard(u"TULVAN_two");
  ASSERT_NE(0u, db);
  HANDLE h = OpenByName(u"TULVAN_two");
  std::vector<CEOID> written;
  for (int i = 0; i < 700; ++i) written.push_back(WritePost(h, 10 + i, std::string(i % 9, 'x')));
  for (int i = 0; i < 700; i += 5) ASSERT_TRUE(CeDeleteRecord(h, written[i]));
  CloseHandle(h);
  CEOIDINFO before;
  ASSERT_TRUE(CeOidGetInfo(db, &before));
  PlatformCloseStore();
  Sql("UPDATE databases d SET records = t.records, size = t.size, modified = t.modified"
      " FROM database_totals t WHERE t.oid = d.oid;"
      "DROP VIEW database_totals; DROP TABLE database_counts;"
      "DROP FUNCTION database_counts_removed, top_block_held, top_block_due, cut_top_block"
      " CASCADE;" + RebuildBlocksSql(Dialect::kPostgres) +
      "UPDATE meta SET value = 2 WHERE key = 'schema'");
  // A reading tool takes it as it is.
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  EXPECT_EQ(2, SqlValue("SELECT value FROM meta WHERE key = 'schema'"));

  ASSERT_TRUE(PlatformSetStorePath(path_.c_str()));
  CEOIDINFO after;
  ASSERT_TRUE(CeOidGetInfo(db, &after));
  EXPECT_EQ(kStoreFormat, SqlValue("SELECT value FROM meta WHERE key = 'schema'"));
  EXPECT_EQ(before.infDatabase.wNumRecords, after.infDatabase.wNumRecords);
  EXPECT_EQ(before.infDatabase.dwSize, after.infDatabase.dwSize);
  EXPECT_EQ(before.infDatabase.ftLastModified.dwLowDateTime,
            after.infDatabase.ftLastModified.dwLowDateTime);
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ExpectSeeksAgree(u"TULVAN_two");
  // Writes go on under the new rules.
  h = OpenByName(u"TULVAN_two");
  for (int i = 0; i < 300; ++i) ASSERT_NE(0u, WritePost(h, 1000 + i, "later"));
  ASSERT_TRUE(CeDeleteRecord(h, written[1]));
  CloseHandle(h);
  EXPECT_THAT(Verify(), ::testing::IsEmpty());
  ExpectInfoCounts(db);
  ExpectSeeksAgree(u"TULVAN_two");
}

// A store whose block functions an older build made gets this build's when
// a program that writes opens it; a reading tool leaves them as they are.
TEST_F(PgCountsTest, AnOlderBuildsBlockFunctionsArePutAnewByAWriter) {
  const struct {
    const char* function;  // as to_regprocedure takes it
    std::string sql;       // this build's text of it (and maybe others)
  } functions[] = {
      {"top_block_held(bigint,integer,bytea,bigint,boolean)", TopBlockHeldFunctionSql()},
      {"blocks_added()", PostgresRecordFunctionsSql()},
  };
  for (const auto& made : functions) {
    SCOPED_TRACE(made.function);
    std::u16string board = u"TULVAN_" + U16(std::string(made.function).substr(0, 6));
    ASSERT_NE(0u, CreateBoard(board));
    PlatformCloseStore();
    const std::string function = std::string(" FROM pg_proc WHERE oid = to_regprocedure('") +
                                 made.function + "')";
    const std::string older = "SELECT count(*)" + function + " AND prosrc LIKE '%an older build%'";
    std::string made_before = made.sql;
    size_t name = made_before.find(std::string(made.function).substr(0, 8));
    ASSERT_NE(std::string::npos, name);
    made_before.insert(made_before.find("$$", name) + 2, " -- an older build\n");
    Sql(made_before);
    ASSERT_EQ(1, SqlValue(older));
    EXPECT_THAT(Verify(), ::testing::IsEmpty());
    EXPECT_EQ(1, SqlValue(older)) << "a reading tool changed the store";

    ASSERT_TRUE(PlatformSetStorePath(path_.c_str()));
    HANDLE h = OpenByName(board);
    EXPECT_NE(0u, WritePost(h, 10, "p"));
    CloseHandle(h);
    EXPECT_EQ(0, SqlValue(older));
    EXPECT_EQ(1, SqlValue("SELECT count(*)" + function));
  }
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
