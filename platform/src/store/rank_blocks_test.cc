// Seeking by place and the counted blocks behind it: a seek lands where
// reading and skipping would, at any place, and the blocks stay exact
// through writes anywhere in a database, loads in bulk and the step up from
// a store of the first format.
#include <gmock/gmock.h>

#include <algorithm>
#include <random>

#include "ceplatform_snapshot.h"
#include "rank_blocks.h"
#include "store_call.h"
#include "store_schema.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

constexpr CEPROPID kNumberProp = MAKEPROPID(2, CEVT_UI4);

class RankBlocksTest : public OnEachBackend<StoreTest> {
 protected:
  // A board, and beside it a second sort order on an ascending number.
  CEOID CreateTwoOrders(const std::u16string& name) {
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEDBASEINFO info = BoardInfo(name);
    info.wNumSortOrder = 2;
    info.rgSortSpecs[1].propid = kNumberProp;
    info.rgSortSpecs[1].dwFlags = 0;
    return CeCreateDatabaseEx(&volume, &info);
  }

  // A board of `posts` posts, a time unit apart from 50 on; its identifier
  // (0 after a failure).
  CEOID BoardOfPosts(const std::u16string& name, int posts) {
    CEOID db = CreateBoard(name);
    HANDLE h = Open(name);
    for (int i = 0; db != 0 && i < posts; ++i) {
      if (WritePost(h, 50 + i, "p") == 0) db = 0;
    }
    CloseHandle(h);
    return db;
  }

  CEOID CreatePlain(const std::u16string& name) {
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEDBASEINFO info = BoardInfo(name);
    info.wNumSortOrder = 0;
    return CeCreateDatabaseEx(&volume, &info);
  }

  // A post with a time and a number (the second order's key).
  CEOID WriteTimed(HANDLE h, CEOID record, uint64_t time, DWORD number) {
    CEPROPVAL values[3];
    memset(values, 0, sizeof(values));
    values[0].propid = kTimeProp;
    values[0].val.filetime.dwLowDateTime = static_cast<DWORD>(time);
    values[0].val.filetime.dwHighDateTime = static_cast<DWORD>(time >> 32);
    values[1].propid = kNumberProp;
    values[1].val.ulVal = number;
    std::string text = "post " + std::to_string(time);
    values[2].propid = kTextProp;
    values[2].val.blob.dwCount = static_cast<DWORD>(text.size() + 1);
    values[2].val.blob.lpb = reinterpret_cast<LPBYTE>(&text[0]);
    return CeWriteRecordProps(h, record, 3, values);
  }

  HANDLE Open(const std::u16string& name, CEPROPID sortProperty = 0,
              DWORD flags = CEDB_AUTOINCREMENT) {
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEOID id = 0;
    std::u16string copy = name;
    return CeOpenDatabaseEx(&volume, &id, &copy[0], sortProperty, flags, nullptr);
  }

  // Every record in the order of `sortProperty`, read from the top.
  std::vector<CEOID> ReadOrder(const std::u16string& name, CEPROPID sortProperty = 0) {
    HANDLE h = Open(name, sortProperty);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<CEOID> oids = Oids(ReadAll(h));
    CloseHandle(h);
    return oids;
  }

  // Seeks a fresh handle to each of `places` and checks that it lands where
  // reading `all` from the top would, and reads on from there.
  void ExpectSeeksAgree(const std::u16string& name, const std::vector<CEOID>& all,
                        std::vector<DWORD> places, CEPROPID sortProperty = 0) {
    for (DWORD place : places) {
      SCOPED_TRACE("place " + std::to_string(place));
      HANDLE h = Open(name, sortProperty);
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      DWORD index = 12345;
      SetLastError(0);
      CEOID found = CeSeekDatabase(h, CEDB_SEEK_BEGINNING, place, &index);
      if (place < all.size()) {
        EXPECT_EQ(all[place], found);
        EXPECT_EQ(place, index);
        std::vector<CEOID> rest(all.begin() + place, all.end());
        EXPECT_EQ(rest, Oids(ReadAll(h)));
      } else {
        EXPECT_EQ(0u, found);
        EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
        EXPECT_EQ(12345u, index);
        EXPECT_EQ(all, Oids(ReadAll(h))) << "a failed seek moved the position";
      }
      CloseHandle(h);
    }
  }

  // How the blocks of one order of a database disagree with its records:
  // empty when they are exact.
  std::string BlockProblems(CEOID db, int order) {
    bool creation = order == kCreationOrder;
    std::string k = "r.k" + std::to_string(order);
    std::string tuple = creation ? "r.oid" : "(" + k + ", r.oid)";
    std::string start = creation ? "b.boid" : "(b.bkey, b.boid)";
    std::string later = creation ? "c.boid" : "(c.bkey, c.boid)";
    std::string present = creation ? "r.k0 IS NULL" : k + " IS NOT NULL";
    std::string of = "b.db = " + std::to_string(db) + " AND b.ord = " + std::to_string(order);
    std::string problems;
    long long first = SqlValue("SELECT count(*) FROM blocks b WHERE " + of +
                               " AND b.bkey = " + BlobLiteral("") + " AND b.boid = 0");
    if (first != 1) problems += " first blocks: " + std::to_string(first);
    // On PostgreSQL the top block's n is what its database's count leaves it.
    long long wrong = SqlValue(
        "SELECT count(*) FROM " + CountedBlocksSql(postgres()) + " b WHERE " + of +
        " AND (b.below <> (SELECT count(*) FROM records r WHERE r.db = b.db AND " + present +
        " AND " + tuple + " < " + start +
        ") OR b.n <> (SELECT count(*) FROM records r WHERE r.db = b.db AND " + present +
        " AND " + tuple + " >= " + start +
        " AND NOT EXISTS (SELECT 1 FROM blocks c WHERE c.db = b.db AND c.ord = b.ord"
        " AND " + later + " > " + start + " AND " + later + " <= " + tuple + ")))");
    if (wrong != 0) problems += " miscounted blocks: " + std::to_string(wrong);
    long long largest = SqlValue("SELECT max(b.n) FROM blocks b WHERE " + of);
    if (largest > kMaxBlockRecords) problems += " a block of " + std::to_string(largest);
    return problems;
  }

  long long BlockCount(CEOID db, int order) {
    return SqlValue("SELECT count(*) FROM blocks WHERE db = " + std::to_string(db) +
                    " AND ord = " + std::to_string(order));
  }

  // The steps SQLite's machine takes, triggers and all, to add a record above
  // every other of database `db` (SQLite only); -1 when it failed.
  long long StepsOfATopRecord(CEOID db) {
    long long oid = SqlValue("SELECT max(oid) FROM records") + 1;
    long long steps = -1;
    sqlite3* handle = nullptr;
    sqlite3_stmt* top = nullptr;
    sqlite3_stmt* insert = nullptr;
    // The highest key with a byte more sorts above it.
    std::string highest = "SELECT hex(max(k0)) FROM records WHERE db = " + std::to_string(db) +
                          " AND k0 IS NOT NULL";
    if (sqlite3_open(path_.c_str(), &handle) == SQLITE_OK &&
        sqlite3_prepare_v2(handle, highest.c_str(), -1, &top, nullptr) == SQLITE_OK &&
        sqlite3_step(top) == SQLITE_ROW) {
      std::string text = "INSERT INTO records(oid, db, k0, props) VALUES(" +
                         std::to_string(oid) + ", " + std::to_string(db) + ", x'" +
                         reinterpret_cast<const char*>(sqlite3_column_text(top, 0)) +
                         "01', x'00')";
      if (sqlite3_prepare_v2(handle, text.c_str(), -1, &insert, nullptr) == SQLITE_OK &&
          sqlite3_step(insert) == SQLITE_DONE) {
        steps = sqlite3_stmt_status(insert, SQLITE_STMTSTATUS_VM_STEP, 0);
      }
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(top);
    sqlite3_close(handle);
    SetNextOid(oid + 1);
    return steps;
  }
};

STORE_TEST_ON_EACH_BACKEND(RankBlocksTest);

TEST_P(RankBlocksTest, SeekLandsWhereReadingWouldAtEveryKindOfPlace) {
  const int sizes[] = {0, 1, 20, 21, 1000};
  for (int size : sizes) {
    SCOPED_TRACE("board of " + std::to_string(size));
    std::u16string name = U16("TULVAN_s" + std::to_string(size));
    ASSERT_NE(0u, CreateBoard(name));
    HANDLE h = Open(name);
    for (int i = 0; i < size; ++i) {
      // Every seventh post shares its time with the one before.
      ASSERT_NE(0u, WritePost(h, 1000 + i - (i % 7 == 6 ? 1 : 0), "p" + std::to_string(i)));
    }
    CloseHandle(h);
    std::vector<CEOID> all = ReadOrder(name);
    ASSERT_EQ(static_cast<size_t>(size), all.size());
    std::vector<DWORD> places = {0, 19, 20, 21, 100, 0x7FFFFFFF, 0xFFFFFFFF};
    for (int delta : {-1, 0, 100}) {
      if (size + delta >= 0) places.push_back(static_cast<DWORD>(size + delta));
    }
    ExpectSeeksAgree(name, all, places);
  }
}

TEST_P(RankBlocksTest, BlocksStayExactThroughWritesAnywhere) {
  CEOID db = CreateTwoOrders(u"TULVAN_mixed");
  ASSERT_NE(0u, db);
  HANDLE h = Open(u"TULVAN_mixed");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  // Times and numbers in a scrambled order, so that records land all over
  // both orders and blocks are cut in the middle of each.
  std::mt19937 random(7);
  std::vector<uint64_t> times(700);
  for (size_t i = 0; i < times.size(); ++i) times[i] = 10 + i / 2;  // pairs of equal times
  std::shuffle(times.begin(), times.end(), random);
  std::vector<CEOID> written;
  for (uint64_t time : times) {
    CEOID oid = WriteTimed(h, 0, time, static_cast<DWORD>(random() % 5000));
    ASSERT_NE(0u, oid);
    written.push_back(oid);
  }
  const std::vector<DWORD> places = {0, 1, 255, 256, 511, 512, 513, 600, 699, 700};
  auto check = [&](const char* phase) {
    SCOPED_TRACE(phase);
    EXPECT_EQ("", BlockProblems(db, 0));
    EXPECT_EQ("", BlockProblems(db, 1));
    ExpectSeeksAgree(u"TULVAN_mixed", ReadOrder(u"TULVAN_mixed"), places);
    ExpectSeeksAgree(u"TULVAN_mixed", ReadOrder(u"TULVAN_mixed", kNumberProp), places,
                     kNumberProp);
  };
  check("after the writes");
  EXPECT_GE(BlockCount(db, 0), 2) << "no block was cut";
  EXPECT_GE(BlockCount(db, 1), 2) << "no block was cut";

  // New keys for some records: each moves in both orders.
  for (size_t i = 0; i < written.size(); i += 11) {
    ASSERT_EQ(written[i], WriteTimed(h, written[i], 5 + i, static_cast<DWORD>(random() % 5000)));
  }
  check("after records moved");

  std::shuffle(written.begin(), written.end(), random);
  for (size_t i = 0; i < 100; ++i) ASSERT_TRUE(CeDeleteRecord(h, written[i]));
  check("after deletions here and there");

  // The newest records go, so that the blocks at the top empty and fold
  // into the ones below.
  std::vector<CEOID> newest = ReadOrder(u"TULVAN_mixed");
  for (size_t i = 0; i < 500; ++i) ASSERT_TRUE(CeDeleteRecord(h, newest[i]));
  check("after the newest went");
  // On PostgreSQL the top block stays, emptied (pg_counts.h); below it they fold.
  EXPECT_EQ(postgres() ? 2 : 1, BlockCount(db, 0)) << "the emptied blocks were not folded";
  CloseHandle(h);
}

TEST_P(RankBlocksTest, CreationOrderIsCountedToo) {
  CEOID db = CreatePlain(u"plain");
  ASSERT_NE(0u, db);
  HANDLE h = Open(u"plain");
  std::vector<CEOID> written;
  for (int i = 0; i < 600; ++i) written.push_back(WritePost(h, i, "r"));
  for (size_t i = 3; i < written.size(); i += 4) ASSERT_TRUE(CeDeleteRecord(h, written[i]));
  CloseHandle(h);
  EXPECT_EQ("", BlockProblems(db, kCreationOrder));
  std::vector<CEOID> all = ReadOrder(u"plain");
  ASSERT_EQ(450u, all.size());
  ExpectSeeksAgree(u"plain", all, {0, 1, 300, 449, 450});
}

// The position a seek leaves is a key, as a read's is: a record deleted
// before it is read gives way to the next; a handle that does not move on
// reads the sought record again and again; a seek that fails leaves the
// position where it was.
TEST_P(RankBlocksTest, ASeekLeavesAPositionAsAReadDoes) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_pos"));
  HANDLE writer = Open(u"TULVAN_pos");
  for (int i = 0; i < 30; ++i) ASSERT_NE(0u, WritePost(writer, 100 + i, "p"));
  std::vector<CEOID> all = ReadOrder(u"TULVAN_pos");

  HANDLE h = Open(u"TULVAN_pos");
  ASSERT_EQ(all[5], CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 5, nullptr));
  ASSERT_TRUE(CeDeleteRecord(writer, all[5]));
  Post post;
  ASSERT_TRUE(ReadPost(h, &post));
  EXPECT_EQ(all[6], post.oid);
  CloseHandle(h);

  HANDLE still = Open(u"TULVAN_pos", 0, 0);
  ASSERT_EQ(all[9], CeSeekDatabase(still, CEDB_SEEK_BEGINNING, 8, nullptr));
  for (int i = 0; i < 2; ++i) {
    ASSERT_TRUE(ReadPost(still, &post));
    EXPECT_EQ(all[9], post.oid);
  }
  CloseHandle(still);

  h = Open(u"TULVAN_pos");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(ReadPost(h, &post));
  EXPECT_EQ(0u, CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 29, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ(0u, CeSeekDatabase(h, CEDB_SEEK_END, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
  ASSERT_TRUE(ReadPost(h, &post));
  EXPECT_EQ(all[3], post.oid);
  CloseHandle(h);

  CEOID gone = 0;
  h = OpenByName(u"TULVAN_pos", CEDB_AUTOINCREMENT, &gone);
  ASSERT_TRUE(CeDeleteDatabase(gone));
  EXPECT_EQ(0u, CeSeekDatabase(h, CEDB_SEEK_BEGINNING, 1, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), GetLastError());
  CloseHandle(h);
  CloseHandle(writer);
  EXPECT_EQ(0u, CeSeekDatabase(writer, CEDB_SEEK_BEGINNING, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// A store written in bulk (a copy, a restore) has its blocks made once at
// the end, full enough to grow; the triggers keep them after it.
TEST_P(RankBlocksTest, ALoadInBulkHasItsBlocksMadeAtTheEnd) {
  std::string error;
  std::unique_ptr<WholeStore> store = WholeStore::Open(path_, true, &error);
  ASSERT_NE(nullptr, store) << error;
  const int kRecords = 3 * kBlockRecords + 5;
  WholeStore::WriteResult result = store->Write(
      [&](SnapshotSink* sink) {
        SnapshotDatabase board;
        board.oid = 1;
        std::u16string name = u"TULVAN_bulk";
        board.name.assign(reinterpret_cast<const char*>(name.data()), name.size() * 2);
        CEDBASEINFO info = BoardInfo(name);
        SortOrders sorts;
        sorts.count = 1;
        sorts.specs[0] = info.rgSortSpecs[0];
        sorts.Encode(&board.sorts);
        if (!sink->Database(board)) return false;
        for (int i = 0; i < kRecords; ++i) {
          SnapshotRecord record;
          record.oid = static_cast<uint32_t>(10 + i);
          record.database = 1;
          record.key_count = 1;
          record.keys[0] = std::string("\x02", 1) + std::string(7, '\0') + char(i / 256) +
                           char(i % 256);
          record.props = "";
          if (!sink->Record(record)) return false;
        }
        return sink->Counter(100000);
      },
      false, &error);
  ASSERT_EQ(WholeStore::WriteResult::kOk, result) << error;
  store.reset();
  EXPECT_EQ("", BlockProblems(1, 0));
  EXPECT_EQ(4, BlockCount(1, 0));
  std::vector<CEOID> all = ReadOrder(u"TULVAN_bulk");
  ASSERT_EQ(static_cast<size_t>(kRecords), all.size());
  ExpectSeeksAgree(u"TULVAN_bulk", all, {0, 5, 6, 300, 700, static_cast<DWORD>(kRecords)});
  HANDLE h = Open(u"TULVAN_bulk");
  ASSERT_NE(0u, WritePost(h, 3, "after the load"));
  CloseHandle(h);
  EXPECT_EQ("", BlockProblems(1, 0));
}

// The owner's check (tvxstore verify) finds blocks that no longer count the
// records as they are, and finds nothing once they are made anew.
TEST_P(RankBlocksTest, TheOwnersCheckFindsBlocksThatMiscount) {
  CEOID db = BoardOfPosts(u"TULVAN_checked", 600);
  ASSERT_NE(0u, db);
  std::string of = " WHERE db = " + std::to_string(db);
  std::string first = " AND bkey = " + BlobLiteral("") + " AND boid = 0";
  const char* const kSoundDamage = "";
  const struct {
    std::string damage;
    const char* order;  // as the problem names it
  } cases[] = {
      {kSoundDamage, nullptr},
      {"UPDATE blocks SET n = n + 1" + of + first, "sort order 0"},
      {"UPDATE blocks SET below = below - 1" + of + " AND boid <> 0", "sort order 0"},
      {"UPDATE blocks SET boid = boid + 1" + of + " AND boid <> 0", "sort order 0"},
      {"DELETE FROM blocks" + of + first, "sort order 0"},
      {"INSERT INTO blocks VALUES (" + std::to_string(db) + ", 4, " + BlobLiteral("") +
           ", 0, 0, 0)",
       "creation order"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    if (!c.damage.empty()) Sql(c.damage);
    std::string error;
    std::unique_ptr<WholeStore> store = WholeStore::Open(path_, false, &error);
    ASSERT_NE(nullptr, store) << error;
    std::vector<std::string> problems;
    ASSERT_TRUE(store->CheckBackend(&problems, &error)) << error;
    if (c.order == nullptr) {
      EXPECT_THAT(problems, ::testing::IsEmpty());
    } else {
      ASSERT_EQ(1u, problems.size());
      EXPECT_NE(std::string::npos, problems[0].find("blocks that count the records in " +
                                                    std::string(c.order)))
          << problems[0];
    }
    Sql(RebuildBlocksSql(postgres() ? Dialect::kPostgres : Dialect::kSqlite));
  }
}

// A store of the first format (every key column indexed whole, no blocks) is
// brought to the current one when a writing program opens it; a reading
// tool leaves it as it is.
TEST_P(RankBlocksTest, AStoreOfTheFirstFormatIsBroughtUpToDate) {
  CEOID db = BoardOfPosts(u"TULVAN_old", 600);
  ASSERT_NE(0u, db);
  std::vector<CEOID> all = ReadOrder(u"TULVAN_old");
  PlatformCloseStore();
  std::string downgrade;
  if (postgres()) {
    // The counts go back into the databases' rows (the record triggers are
    // replaced again as the store comes up to date).
    downgrade =
        "UPDATE databases d SET records = t.records, size = t.size, modified = t.modified"
        " FROM database_totals t WHERE t.oid = d.oid;"
        "DROP VIEW database_totals; DROP TABLE database_counts;"
        "DROP FUNCTION database_counts_removed, top_block_held, top_block_due, cut_top_block"
        " CASCADE;"
        "DROP TABLE blocks; DROP FUNCTION blocks_added, blocks_removed, blocks_moved,"
        " databases_blocks_added, databases_blocks_removed CASCADE;";
  } else {
    downgrade = "DROP TABLE blocks;" + DropSqliteRecordBlockTriggersSql() +
                "DROP TRIGGER databases_blocks_insert; DROP TRIGGER databases_blocks_delete;";
  }
  for (int i = 0; i < 4; ++i) {
    std::string k = "k" + std::to_string(i);
    downgrade += "DROP INDEX records_" + k + "; CREATE INDEX records_" + k + " ON records(db, " +
                 k + ", oid);";
  }
  Sql(downgrade + "UPDATE meta SET value = 1 WHERE key = 'schema'");

  std::string error;
  std::unique_ptr<WholeStore> reader = WholeStore::Open(path_, false, &error);
  ASSERT_NE(nullptr, reader) << error;
  std::vector<std::string> problems;
  ASSERT_TRUE(reader->CheckBackend(&problems, &error)) << error;
  EXPECT_THAT(problems, ::testing::IsEmpty());
  reader.reset();
  EXPECT_EQ(1, SqlValue("SELECT value FROM meta WHERE key = 'schema'"));

  EXPECT_EQ(all, ReadOrder(u"TULVAN_old"));
  EXPECT_EQ(kStoreFormat, SqlValue("SELECT value FROM meta WHERE key = 'schema'"));
  EXPECT_EQ("", BlockProblems(db, 0));
  ExpectSeeksAgree(u"TULVAN_old", all, {0, 299, 599, 600});
  // The key indexes hold only records that have the key.
  std::string partial =
      postgres() ? "SELECT count(*) FROM pg_indexes WHERE indexname LIKE 'records_k_'"
                   " AND schemaname = current_schema() AND indexdef LIKE '%IS NOT NULL%'"
                 : "SELECT count(*) FROM sqlite_master WHERE name LIKE 'records_k_'"
                   " AND sql LIKE '%IS NOT NULL%'";
  EXPECT_EQ(4, SqlValue(partial));
}

// A post costs the same on a board whose newest block is nearly full as on
// one with a few posts: the trigger that may cut the block does not walk it
// when there is nothing to cut. A store whose triggers an older build made
// (which walked it) gets this build's when a program that writes opens it.
TEST_P(RankBlocksTest, APostDoesNotWalkItsBlockAndOlderTriggersArePutAnew) {
  if (postgres()) GTEST_SKIP() << "SQLite's triggers";
  CEOID few = BoardOfPosts(u"TULVAN_few", 20);
  CEOID many = BoardOfPosts(u"TULVAN_many", kMaxBlockRecords - 12);
  ASSERT_NE(0u, few);
  ASSERT_NE(0u, many);
  PlatformCloseStore();

  // The cut as an older build wrote it: its limit tested on each record.
  RecordRef added{"NEW.db", "NEW.oid", "NEW.k0"};
  std::string older = "CREATE TRIGGER blocks_insert_0 AFTER INSERT ON records WHEN NEW.k0 IS NOT"
                      " NULL BEGIN " + CountRecordSql(Dialect::kSqlite, 0, added, +1) +
                      SplitBlockSql(Dialect::kPostgres, 0, added) + " END";
  Sql("DROP TRIGGER blocks_insert_0;" + older);
  long long few_steps = StepsOfATopRecord(few);
  long long many_steps = StepsOfATopRecord(many);
  ASSERT_GT(few_steps, 0);
  EXPECT_GT(many_steps, few_steps + kMaxBlockRecords) << "the older triggers walk the block";

  // Opened by a program that writes, and read.
  ReadOrder(u"TULVAN_few");
  PlatformCloseStore();
  few_steps = StepsOfATopRecord(few);
  many_steps = StepsOfATopRecord(many);
  ASSERT_GT(few_steps, 0);
  EXPECT_LT(many_steps, few_steps + 20) << "a post walks its block";

  // The blocks stay exact, through the cut the next posts bring.
  HANDLE h = Open(u"TULVAN_many");
  for (int i = 0; i < 20; ++i) ASSERT_NE(0u, WritePost(h, 10000 + i, "p"));
  CloseHandle(h);
  EXPECT_EQ(2, BlockCount(many, 0));
  EXPECT_EQ("", BlockProblems(many, 0));
  EXPECT_EQ("", BlockProblems(few, 0));
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
