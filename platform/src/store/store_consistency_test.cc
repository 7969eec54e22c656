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

// A whole store held in memory, to be written back between cases.
class Held : public SnapshotSink {
 public:
  bool Database(const SnapshotDatabase& d) override {
    databases.push_back(d);
    return true;
  }
  bool Record(const SnapshotRecord& r) override {
    records.push_back(r);
    return true;
  }
  bool Counter(uint64_t next) override {
    counter = next;
    return true;
  }
  bool Feed(SnapshotSink* sink) const {
    for (const SnapshotDatabase& d : databases) {
      if (!sink->Database(d)) return false;
    }
    for (const SnapshotRecord& r : records) {
      if (!sink->Record(r)) return false;
    }
    return sink->Counter(counter);
  }
  std::vector<SnapshotDatabase> databases;
  std::vector<SnapshotRecord> records;
  uint64_t counter = 0;
};

class StoreConsistencyTest : public OnEachBackend<StoreTest> {
 protected:
  std::vector<std::string> Check(SnapshotOrder order = SnapshotOrder::kIdentifier) {
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
  PlatformCloseStore();
  Held sound;
  std::string error;
  {
    auto store = WholeStore::Open(path_, false, &error);
    ASSERT_TRUE(store != nullptr) << error;
    ASSERT_TRUE(store->Read(&sound, &error)) << error;
  }
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
  struct Case {
    const char* label;
    std::string damage;  // none: the sound store, read in the given order
    SnapshotOrder order;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"sound", "", SnapshotOrder::kIdentifier, {}},
      {"a record with its database's identifier", "UPDATE records SET oid = 1 WHERE oid = 4",
       SnapshotOrder::kIdentifier, {"record 0X1: identifier 0X1 is used twice"}},
      {"a record with identifier 0", "UPDATE records SET oid = 0 WHERE oid = 3",
       SnapshotOrder::kIdentifier, {"record 0X0 has identifier 0"}},
      // Fed the board's order, the check says what it cannot tell.
      {"read in database order", "", SnapshotOrder::kDatabase,
       {"record 0X3 comes after record 0X4: records not read in ascending identifier, so "
        "their uniqueness is unchecked"}},
      // Last: it changes the tables.
      {"two records with one identifier", postgres() ? twice_postgres : twice_sqlite,
       SnapshotOrder::kIdentifier, {"record 0X3: identifier 0X3 is used twice"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    // Each case starts from the sound store, written back through a
    // restore's path.
    auto store = WholeStore::Open(path_, true, &error);
    ASSERT_TRUE(store != nullptr) << error;
    ASSERT_EQ(WholeStore::WriteResult::kOk,
              store->Write([&](SnapshotSink* sink) { return sound.Feed(sink); }, true, &error))
        << error;
    store.reset();
    if (!c.damage.empty()) Sql(c.damage);
    EXPECT_THAT(Check(c.order), ElementsAreArray(c.want));
  }
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
