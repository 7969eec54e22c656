// Whole-store reads and writes on each backend: a copy answers every store
// call as the original did, a write that fails leaves the destination as it
// was, and opening a store to read it creates nothing.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "ceplatform_snapshot.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

// Everything a read hands over, as one comparable text per row.
class Everything : public SnapshotSink {
 public:
  bool Database(const SnapshotDatabase& d) override {
    std::ostringstream row;
    row << "db " << d.oid << " " << DatabaseNameUtf8(d.name) << " " << d.type << " " << d.flags
        << " " << Hex(d.sorts) << " " << d.modified << " " << d.records << " " << d.size;
    rows.push_back(row.str());
    return true;
  }
  bool Record(const SnapshotRecord& r) override {
    std::ostringstream row;
    row << "rec " << r.oid << " " << r.database << " " << r.key_count;
    for (int i = 0; i < r.key_count; ++i) row << " " << Hex(r.keys[i]);
    row << " " << Hex(r.props);
    rows.push_back(row.str());
    return true;
  }
  bool Counter(uint64_t next_oid) override {
    counter = next_oid;
    return true;
  }
  static std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
      out += kDigits[c >> 4];
      out += kDigits[c & 15];
    }
    return out;
  }
  std::vector<std::string> rows;
  uint64_t counter = 0;
};

class WholeStoreTest : public OnEachBackend<StoreTest> {
 protected:
  // A second store of the same backend, empty.
  std::string OtherStore(const std::string& name) {
    if (!postgres()) return dir_ + "/" + name + ".db";
    others_.push_back(schema_ + "_" + name);
    return server_->SchemaUri(others_.back());
  }

  void TearDown() override {
    for (const std::string& schema : others_) {
      std::string error;
      EXPECT_TRUE(server_->Sql("DROP SCHEMA IF EXISTS " + schema + " CASCADE", &error)) << error;
    }
    for (const char* name : {"/copy.db", "/target.db"}) {
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        unlink((dir_ + name + suffix).c_str());
      }
    }
    StoreTest::TearDown();
  }

  // Two boards with posts, one deleted, so that identifiers have a gap.
  void MakeBoards() {
    ASSERT_NE(0u, CreateBoard(U16("TULVAN_a.tvx")));
    ASSERT_NE(0u, CreateBoard(U16("TULVAN_b.tvx")));
    HANDLE a = OpenByName(U16("TULVAN_a.tvx"));
    HANDLE b = OpenByName(U16("TULVAN_b.tvx"));
    ASSERT_NE(INVALID_HANDLE_VALUE, a);
    ASSERT_NE(INVALID_HANDLE_VALUE, b);
    CEOID gone = 0;
    for (int i = 0; i < 6; ++i) {
      // Equal times on purpose: the order between them is by identifier.
      CEOID oid = WritePost(i % 2 ? a : b, 1000 + i / 2, "post " + std::to_string(i));
      ASSERT_NE(0u, oid);
      if (i == 2) gone = oid;
    }
    ASSERT_TRUE(CeDeleteRecord(b, gone));
    CloseHandle(a);
    CloseHandle(b);
    PlatformCloseStore();
  }

  Everything ReadWhole(const std::string& location) {
    Everything all;
    std::string error;
    auto store = WholeStore::Open(location, false, &error);
    EXPECT_TRUE(store != nullptr) << error;
    if (store != nullptr) {
      EXPECT_TRUE(store->Read(&all, &error)) << error;
    }
    return all;
  }

  std::vector<std::string> others_;
};

STORE_TEST_ON_EACH_BACKEND(WholeStoreTest);

TEST_P(WholeStoreTest, ACopyAnswersTheStoreCallsAsTheOriginalDid) {
  MakeBoards();
  Everything original = ReadWhole(path_);
  ASSERT_EQ(2u + 5u, original.rows.size());

  std::string copy = OtherStore("copy");
  std::string error;
  auto source = WholeStore::Open(path_, false, &error);
  ASSERT_TRUE(source != nullptr) << error;
  auto target = WholeStore::Open(copy, true, &error);
  ASSERT_TRUE(target != nullptr) << error;
  ASSERT_EQ(WholeStore::WriteResult::kOk,
            target->Write([&](SnapshotSink* sink) { return source->Read(sink, &error); }, false,
                          &error))
      << error;
  Everything copied = ReadWhole(copy);
  EXPECT_EQ(original.rows, copied.rows);
  EXPECT_EQ(original.counter, copied.counter);

  // Through the store calls: the same posts in the same order, and the next
  // post gets the identifier the original would have given.
  std::vector<std::vector<Post>> before, after;
  for (const std::string& location : {path_, copy}) {
    ASSERT_TRUE(PlatformSetStorePath(location.c_str()));
    auto& posts = location == path_ ? before : after;
    for (const char* name : {"TULVAN_a.tvx", "TULVAN_b.tvx"}) {
      HANDLE h = OpenByName(U16(name));
      ASSERT_NE(INVALID_HANDLE_VALUE, h);
      posts.push_back(ReadAll(h));
      CloseHandle(h);
    }
  }
  ASSERT_EQ(before.size(), after.size());
  for (size_t i = 0; i < before.size(); ++i) {
    EXPECT_EQ(Oids(before[i]), Oids(after[i]));
    for (size_t j = 0; j < before[i].size() && j < after[i].size(); ++j) {
      EXPECT_EQ(before[i][j].text, after[i][j].text);
      EXPECT_EQ(before[i][j].time, after[i][j].time);
    }
  }
  HANDLE h = OpenByName(U16("TULVAN_a.tvx"));
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(original.counter, WritePost(h, 5000, "after the move"));
  CloseHandle(h);
  PlatformCloseStore();
}

TEST_P(WholeStoreTest, AWriteThatFailsLeavesTheStoreAsItWas) {
  MakeBoards();
  Everything kept = ReadWhole(path_);
  std::string error;
  auto store = WholeStore::Open(path_, true, &error);
  ASSERT_TRUE(store != nullptr) << error;

  SnapshotDatabase database;
  database.oid = 900;
  database.name = std::string("x\0y\0", 4);
  SnapshotRecord record;
  record.oid = 901;
  record.database = 900;
  struct Case {
    const char* label;
    bool replace;
    std::function<bool(SnapshotSink*)> feed;
    WholeStore::WriteResult want;
  };
  const Case cases[] = {
      {"not empty, not replaced", false, [&](SnapshotSink* s) { return s->Database(database); },
       WholeStore::WriteResult::kNotEmpty},
      {"the source fails halfway", true,
       [&](SnapshotSink* s) { return s->Database(database) && false; },
       WholeStore::WriteResult::kFailed},
      {"an identifier fed twice", true,
       [&](SnapshotSink* s) {
         s->Database(database);
         s->Record(record);
         s->Record(record);
         return true;
       },
       WholeStore::WriteResult::kFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    error.clear();
    EXPECT_EQ(c.want, store->Write(c.feed, c.replace, &error));
    if (c.want == WholeStore::WriteResult::kFailed) {
      EXPECT_FALSE(error.empty());
    }
    Everything now = ReadWhole(path_);
    EXPECT_EQ(kept.rows, now.rows);
    EXPECT_EQ(kept.counter, now.counter);
  }
  // Replaced whole: the fed database alone, and a counter past it even when
  // a lower one is fed.
  ASSERT_EQ(WholeStore::WriteResult::kOk,
            store->Write([&](SnapshotSink* s) { return s->Database(database) && s->Counter(3); },
                         true, &error))
      << error;
  Everything replaced = ReadWhole(path_);
  ASSERT_EQ(1u, replaced.rows.size());
  EXPECT_EQ(0u, replaced.rows[0].find("db 900 xy "));
  EXPECT_EQ(901u, replaced.counter);
}

TEST_P(WholeStoreTest, OpeningAStoreToReadItCreatesNothing) {
  std::string missing = OtherStore("target");
  std::string error;
  EXPECT_EQ(nullptr, WholeStore::Open(missing, false, &error));
  EXPECT_FALSE(error.empty());
  if (postgres()) {
    EXPECT_EQ(0, SqlValue("SELECT count(*) FROM information_schema.schemata WHERE schema_name = '" +
                          others_.back() + "'"));
  } else {
    struct stat status;
    EXPECT_NE(0, stat(missing.c_str(), &status));
  }
  // Made on request, and then empty.
  auto made = WholeStore::Open(missing, true, &error);
  ASSERT_TRUE(made != nullptr) << error;
  bool empty = false;
  ASSERT_TRUE(made->Empty(&empty, &error)) << error;
  EXPECT_TRUE(empty);
  std::vector<std::string> problems;
  ASSERT_TRUE(made->CheckBackend(&problems, &error)) << error;
  EXPECT_TRUE(problems.empty()) << problems[0];
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
