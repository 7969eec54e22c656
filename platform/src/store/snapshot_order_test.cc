// The orders of a whole-store read on each backend: every record in
// ascending oid, or database by database as a handle opened with sort
// property 0 reads each, only the databases the sink wants.
#include <gmock/gmock.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "ceplatform_snapshot.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

// The databases and records of a read, in the order they came.
class Order : public SnapshotSink {
 public:
  explicit Order(CEOID only = 0) : only_(only) {}
  bool Database(const SnapshotDatabase& d) override {
    databases.push_back(d.oid);
    return true;
  }
  bool WantsRecords(const SnapshotDatabase& d) override {
    asked.push_back(d.oid);
    return only_ == 0 || d.oid == only_;
  }
  bool Record(const SnapshotRecord& r) override {
    records.push_back({r.database, r.oid});
    return true;
  }
  bool Counter(uint64_t next) override {
    counter = next;
    return true;
  }
  // Each database's records in the order they came.
  std::map<CEOID, std::vector<CEOID>> ByDatabase() const {
    std::map<CEOID, std::vector<CEOID>> by;
    for (const auto& record : records) by[record.first].push_back(record.second);
    return by;
  }
  std::vector<CEOID> databases, asked;
  std::vector<std::pair<CEOID, CEOID>> records;  // database, oid
  uint64_t counter = 0;

 private:
  CEOID only_;
};

class SnapshotOrderTest : public OnEachBackend<StoreTest> {
 protected:
  struct Kind {
    const char* name;
    std::vector<SORTORDERSPEC> sorts;
  };

  // Databases of every kind of first order, their records written in turn
  // and out of time order, equal times among them, some without a time.
  void MakeDatabases() {
    const Kind kinds[] = {
        {"TULVAN_board.tvx", {{kTimeProp, CEDB_SORT_DESCENDING}}},
        {"ascending", {{kTimeProp, 0}, {MAKEPROPID(7, CEVT_UI4), CEDB_SORT_DESCENDING}}},
        {"unknown first", {{kTimeProp, CEDB_SORT_DESCENDING | CEDB_SORT_UNKNOWNFIRST}}},
        {"creation order", {}},
    };
    const long long times[] = {5, 1, 9, 1, -1, 7, 3, 9, -1, 2};
    std::vector<HANDLE> handles;
    for (const Kind& kind : kinds) {
      CEGUID volume;
      CREATE_SYSTEMGUID(&volume);
      CEDBASEINFO info = BoardInfo(U16(kind.name));
      info.wNumSortOrder = static_cast<WORD>(kind.sorts.size());
      for (size_t i = 0; i < kind.sorts.size(); ++i) info.rgSortSpecs[i] = kind.sorts[i];
      ASSERT_NE(0u, CeCreateDatabaseEx(&volume, &info));
      names_.push_back(kind.name);
      handles.push_back(OpenByName(U16(kind.name)));
      ASSERT_NE(INVALID_HANDLE_VALUE, handles.back());
    }
    for (long long time : times) {
      for (HANDLE h : handles) {
        if (time >= 0) {
          ASSERT_NE(0u, WritePost(h, static_cast<uint64_t>(time), "at " + std::to_string(time)));
        } else {
          CEPROPVAL text;
          memset(&text, 0, sizeof(text));
          text.propid = kTextProp;
          text.val.blob.dwCount = 8;
          text.val.blob.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>("no time"));
          ASSERT_NE(0u, CeWriteRecordProps(h, 0, 1, &text));
        }
      }
    }
    for (HANDLE h : handles) CloseHandle(h);
  }

  // The identifiers of a database's records as a handle opened with sort
  // property 0 reads them, and its own identifier.
  std::vector<CEOID> HandleOrder(const std::string& name, CEOID* database) {
    HANDLE h = OpenByName(U16(name), CEDB_AUTOINCREMENT, database);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<CEOID> oids = Oids(ReadAll(h));
    CloseHandle(h);
    return oids;
  }

  Order Read(SnapshotOrder order, CEOID only = 0) {
    PlatformCloseStore();
    Order read(only);
    std::string error;
    auto store = WholeStore::Open(path_, false, &error);
    EXPECT_TRUE(store != nullptr) << error;
    if (store != nullptr) {
      EXPECT_TRUE(store->Read(&read, order, &error)) << error;
    }
    return read;
  }

  std::vector<std::string> names_;
};

STORE_TEST_ON_EACH_BACKEND(SnapshotOrderTest);

TEST_P(SnapshotOrderTest, EachOrderGivesEveryRecordOnce) {
  MakeDatabases();
  // Database by database, in ascending oid, each as a handle reads it.
  Order read = Read(SnapshotOrder::kDatabase);
  ASSERT_EQ(names_.size(), read.databases.size());
  EXPECT_EQ(read.databases, read.asked);
  std::vector<CEOID> grouped;
  for (const auto& record : read.records) {
    if (grouped.empty() || grouped.back() != record.first) grouped.push_back(record.first);
  }
  EXPECT_EQ(read.databases, grouped);
  std::map<CEOID, std::vector<CEOID>> by = read.ByDatabase();
  std::vector<CEOID> every;
  for (const std::string& name : names_) {
    SCOPED_TRACE(name);
    CEOID database = 0;
    std::vector<CEOID> want = HandleOrder(name, &database);
    EXPECT_EQ(10u, want.size());
    EXPECT_EQ(want, by[database]);
    every.insert(every.end(), want.begin(), want.end());
  }
  EXPECT_EQ(read.counter, 1 + names_.size() + 10 * names_.size());
  // Every record in ascending oid, whatever its database.
  Order all = Read(SnapshotOrder::kIdentifier);
  EXPECT_TRUE(all.asked.empty());
  std::sort(every.begin(), every.end());
  std::vector<CEOID> oids;
  for (const auto& record : all.records) oids.push_back(record.second);
  EXPECT_EQ(every, oids);
}

TEST_P(SnapshotOrderTest, OnlyTheWantedDatabasesRecordsAreRead) {
  MakeDatabases();
  CEOID board = 0;
  std::vector<CEOID> want = HandleOrder("TULVAN_board.tvx", &board);
  Order read = Read(SnapshotOrder::kDatabase, board);
  EXPECT_EQ(names_.size(), read.databases.size());
  std::vector<std::pair<CEOID, CEOID>> records;
  for (CEOID oid : want) records.push_back({board, oid});
  EXPECT_EQ(records, read.records);
  EXPECT_EQ(read.counter, 1 + names_.size() + 10 * names_.size());
}

// A damaged store: a record without its key comes after the keyed ones, and
// one of a database that is not there only in identifier order.
TEST_P(SnapshotOrderTest, RecordsWithoutTheirKeyOrDatabaseAreNotLost) {
  MakeDatabases();
  CEOID board = 0;
  std::vector<CEOID> want = HandleOrder("TULVAN_board.tvx", &board);
  CEOID unkeyed = want[3], orphan = want[5];
  Sql("UPDATE records SET k0 = NULL WHERE oid = " + std::to_string(unkeyed));
  Sql("UPDATE records SET db = 999999 WHERE oid = " + std::to_string(orphan));
  want.erase(want.begin() + 5);
  want.erase(want.begin() + 3);
  want.push_back(unkeyed);
  Order read = Read(SnapshotOrder::kDatabase);
  EXPECT_EQ(want, read.ByDatabase()[board]);
  EXPECT_EQ(0u, read.ByDatabase().count(999999));
  Order all = Read(SnapshotOrder::kIdentifier);
  EXPECT_EQ(std::vector<CEOID>{orphan}, all.ByDatabase()[999999]);
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
