// The store's own check on damaged stores of each backend: identifiers used
// twice or 0 are found while nothing is kept per record.
#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "ceplatform_snapshot.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

using ::testing::ElementsAreArray;

class StoreConsistencyTest : public OnEachBackend<StoreTest> {
 protected:
  std::vector<std::string> Check(SnapshotOrder order) {
    PlatformCloseStore();
    std::string error;
    auto store = WholeStore::Open(path_, false, &error);
    EXPECT_TRUE(store != nullptr) << error;
    if (store == nullptr) return {error};
    StoreConsistency consistency;
    EXPECT_TRUE(store->Read(&consistency, order, &error)) << error;
    consistency.Finish();
    return consistency.problems();
  }
};

STORE_TEST_ON_EACH_BACKEND(StoreConsistencyTest);

TEST_P(StoreConsistencyTest, IdentifiersUsedTwiceOrZeroAreFound) {
  // A board (identifier 1) with posts 2, 3 and 4, each newer than the one
  // before, so that the board's order is identifier order backwards.
  ASSERT_NE(0u, CreateBoard(U16("TULVAN_a.tvx")));
  HANDLE h = OpenByName(U16("TULVAN_a.tvx"));
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(2u + i, WritePost(h, 100 + i, "post"));
  CloseHandle(h);
  // Two records of one identifier need a records table without its key.
  const std::string twice_sqlite =
      "CREATE TABLE copy(oid INTEGER, db INTEGER NOT NULL, k0 BLOB, k1 BLOB, k2 BLOB, k3 BLOB,"
      " props BLOB NOT NULL);"
      "INSERT INTO copy SELECT * FROM records; INSERT INTO copy SELECT * FROM records"
      " WHERE oid = 3; DROP TABLE records; ALTER TABLE copy RENAME TO records;"
      "UPDATE databases SET records = records + 1,"
      " size = size + (SELECT length(props) FROM records WHERE oid = 3 LIMIT 1)";
  const std::string twice_postgres =
      "ALTER TABLE records DROP CONSTRAINT records_pkey;"
      "INSERT INTO records SELECT * FROM records WHERE oid = 3";
  // Each damage adds to those before it.
  struct Case {
    const char* label;
    std::string damage;
    SnapshotOrder order;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"sound", "", SnapshotOrder::kIdentifier, {}},
      // Fed the board's order, the check says what it cannot tell.
      {"read in database order", "", SnapshotOrder::kDatabase,
       {"record 0X3 comes after record 0X4: records not read in ascending identifier, so "
        "their uniqueness is unchecked"}},
      {"a record with its database's identifier", "UPDATE records SET oid = 1 WHERE oid = 4",
       SnapshotOrder::kIdentifier, {"record 0X1: identifier 0X1 is used twice"}},
      {"a record with identifier 0", "UPDATE records SET oid = 0 WHERE oid = 2",
       SnapshotOrder::kIdentifier,
       {"record 0X0 has identifier 0", "record 0X1: identifier 0X1 is used twice"}},
      {"two records with one identifier", postgres() ? twice_postgres : twice_sqlite,
       SnapshotOrder::kIdentifier,
       {"record 0X0 has identifier 0", "record 0X1: identifier 0X1 is used twice",
        "record 0X3: identifier 0X3 is used twice"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    if (!c.damage.empty()) Sql(c.damage);
    EXPECT_THAT(Check(c.order), ElementsAreArray(c.want));
  }
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
