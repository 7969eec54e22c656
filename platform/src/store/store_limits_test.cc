// Identifiers at the edges of their 32 bits, and counts past the 16 bits of
// wNumRecords.
#include <gmock/gmock.h>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

using ::testing::ElementsAre;

class StoreLimitsTest : public OnEachBackend<StoreTest> {};

STORE_TEST_ON_EACH_BACKEND(StoreLimitsTest);

TEST_P(StoreLimitsTest, IdentifiersWithTheTopBitSet) {
  HANDLE e = CeFindFirstDatabase(0);  // creates the file and its schema
  ASSERT_NE(INVALID_HANDLE_VALUE, e);
  CloseHandle(e);
  SetNextOid(0x7FFFFFFF);
  CEOID db = CreateBoard(u"TULVAN_top");
  ASSERT_EQ(0x7FFFFFFFu, db);
  HANDLE h = OpenByName(u"TULVAN_top");
  CEOID a = WritePost(h, 1, "a");
  CEOID b = WritePost(h, 2, "b");
  EXPECT_EQ(0x80000000u, a);
  EXPECT_EQ(0x80000001u, b);
  CloseHandle(h);

  // Open by the identifier, read, describe, delete: all with the top bit.
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID id = db;
  h = CeOpenDatabaseEx(&volume, &id, nullptr, 0, CEDB_AUTOINCREMENT, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_THAT(Oids(ReadAll(h)), ElementsAre(b, a));
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(b, &info));
  EXPECT_EQ(OBJTYPE_RECORD, info.wObjType);
  EXPECT_EQ(db, info.infRecord.oidParent);
  EXPECT_TRUE(CeDeleteRecord(h, b));
  CloseHandle(h);
  // A later database, above the records, comes after in the enumeration.
  CEOID later = CreateBoard(u"TULVAN_later");
  EXPECT_EQ(0x80000002u, later);
  e = CeFindFirstDatabase(0);
  EXPECT_EQ(db, CeFindNextDatabase(e));
  EXPECT_EQ(later, CeFindNextDatabase(e));
  EXPECT_EQ(0u, CeFindNextDatabase(e));
  CloseHandle(e);
  EXPECT_TRUE(CeDeleteDatabase(db));
}

// The last identifier is handed out once; then writes and creations fail
// with ERROR_DISK_FULL and write nothing, and never wrap to 0.
TEST_P(StoreLimitsTest, IdentifierSpaceUsedUp) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_full"));
  SetNextOid(0xFFFFFFFE);
  HANDLE h = OpenByName(u"TULVAN_full");
  EXPECT_EQ(0xFFFFFFFEu, WritePost(h, 1, "a"));
  EXPECT_EQ(0xFFFFFFFFu, WritePost(h, 2, "b"));
  EXPECT_EQ(0u, WritePost(h, 3, "c"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_more"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), GetLastError());
  CloseHandle(h);
  EXPECT_EQ(2, SqlValue("SELECT count(*) FROM records"));
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM databases"));
}

TEST_P(StoreLimitsTest, IdentifiersAreNeverReused) {
  CEOID db = CreateBoard(u"TULVAN_r");
  HANDLE h = OpenByName(u"TULVAN_r");
  CEOID a = WritePost(h, 1, "a");
  ASSERT_TRUE(CeDeleteRecord(h, a));
  CEOID b = WritePost(h, 1, "b");
  CloseHandle(h);
  ASSERT_TRUE(CeDeleteDatabase(db));
  PlatformCloseStore();  // the counter lives in the file, not the process
  CEOID db2 = CreateBoard(u"TULVAN_r");
  EXPECT_GT(b, a);
  EXPECT_GT(db2, b);
}

// wNumRecords is 16 bits: a database of 65535 records or more reports
// 0xFFFF, and reading it still works.
TEST_P(StoreLimitsTest, RecordCountSaturatesAtSixtyFiveThousand) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEDBASEINFO plain = BoardInfo(u"many");
  plain.wNumSortOrder = 0;
  CEOID db = CeCreateDatabaseEx(&volume, &plain);
  ASSERT_NE(0u, db);
  // Rows of an empty record, added straight through SQL.
  auto insert = [&](long long from, long long to) {
    Sql("WITH RECURSIVE n(i) AS (SELECT " + std::to_string(from) +
        " UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(to) +
        ") INSERT INTO records(oid, db, props) SELECT 1000000 + i, " + std::to_string(db) +
        ", " + BlobLiteral("") + " FROM n");
  };
  SetNextOid(2000000);
  const struct {
    long long rows;
    WORD reported;
  } steps[] = {{65534, 65534}, {65535, 65535}, {65536, 0xFFFF}, {70000, 0xFFFF}};
  long long have = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.rows);
    insert(have + 1, step.rows);
    have = step.rows;
    EXPECT_EQ(step.rows, SqlValue("SELECT count(*) FROM records"));
    CEOIDINFO info;
    ASSERT_TRUE(CeOidGetInfo(db, &info));
    EXPECT_EQ(step.reported, info.infDatabase.wNumRecords);
  }
  HANDLE h = OpenByName(u"many");
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  EXPECT_EQ(1000001u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  EXPECT_EQ(0, count);
  LocalFree(buffer);
  CEOID oid = WritePost(h, 1, "one more");
  EXPECT_EQ(2000000u, oid);
  CloseHandle(h);
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
