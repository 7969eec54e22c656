// Helpers of the store tests: a fresh store per test (an SQLite file, or a
// schema of its own on a PostgreSQL server that the test program starts),
// and the board-like databases of store_test_board.h.
#ifndef CEPLATFORM_STORE_STORE_TEST_UTIL_H_
#define CEPLATFORM_STORE_STORE_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "ceplatform.h"
#include "pg_server.h"
#include "store.h"
#include "store_test_board.h"
#include "wince.h"
#include "write_queue.h"

namespace ceplatform {
namespace store {

enum class Backend { kSqlite, kPostgres };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
}

// A test with its own store: a file in a new temporary folder, or a schema
// of its own on the shared test server.
class StoreTest : public ::testing::Test {
 protected:
  virtual Backend backend() const { return Backend::kSqlite; }
  bool postgres() const { return backend() == Backend::kPostgres; }

  void SetUp() override {
    const char* base = getenv("TEST_TMPDIR");
    if (base == nullptr || base[0] == '\0') base = getenv("TMPDIR");
    if (base == nullptr || base[0] == '\0') base = "/tmp";
    std::string pattern = std::string(base) + "/store_test.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buffer.data()));
    dir_ = buffer.data();
    if (postgres()) {
      std::string error;
      server_ = corkwall::testing::PgServer::Shared(&error);
      ASSERT_NE(nullptr, server_) << error;
      static int count = 0;
      schema_ = "s" + std::to_string(getpid()) + "_" + std::to_string(++count);
      path_ = server_->SchemaUri(schema_);
    } else {
      path_ = dir_ + "/objectstore.db";
    }
    ASSERT_TRUE(PlatformSetStorePath(path_.c_str()));
    handles_before_ = PlatformOpenHandles();
  }

  void TearDown() override {
    PlatformFailStoreCall(-1, 0);
    PlatformFailHeapAfter(-1);
    EXPECT_EQ(handles_before_, PlatformOpenHandles()) << "a test left a handle open";
    PlatformCloseStore();
    if (server_ != nullptr) {
      std::string error;
      EXPECT_TRUE(server_->Sql("DROP SCHEMA IF EXISTS " + schema_ + " CASCADE", &error)) << error;
    }
    for (const char* suffix : {"", "-wal", "-shm"}) unlink((dir_ + "/objectstore.db" + suffix).c_str());
    rmdir(dir_.c_str());
  }

  // Runs SQL on the store directly, as another program (or host) would, and
  // waits until this process's copies of stored data no longer stand for the
  // store (other programs' writes show within kStampLifetimeNs).
  void Sql(const std::string& sql) {
    if (postgres()) {
      std::string error;
      EXPECT_TRUE(server_->SqlOn(path_, sql, &error)) << error;
    } else {
      sqlite3* db = nullptr;
      ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
      sqlite3_busy_timeout(db, 10000);
      char* error = nullptr;
      int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
      EXPECT_EQ(SQLITE_OK, rc) << sql << ": " << (error ? error : "");
      sqlite3_free(error);
      sqlite3_close(db);
    }
    struct timespec pause = {0, 2 * kStampLifetimeNs};
    nanosleep(&pause, nullptr);
  }

  // The first column of the first row of a query, as an integer.
  long long SqlValue(const std::string& sql) {
    long long value = -1;
    if (postgres()) {
      std::string error, text;
      if (server_->SqlOn(path_, sql, &error, &text)) value = atoll(text.c_str());
      return value;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open(path_.c_str(), &db) == SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        value = sqlite3_column_int64(statement, 0);
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return value;
  }

  // How many stored records hold `text` in their bytes.
  long long Copies(const std::string& text) {
    return SqlValue(postgres() ? "SELECT count(*) FROM records WHERE position(convert_to('" +
                                     text + "', 'UTF8') IN props) > 0"
                               : "SELECT count(*) FROM records WHERE instr(props, CAST('" +
                                     text + "' AS BLOB)) > 0");
  }

  // What one post of a group came to (PostAsOneGroup).
  struct GroupPost {
    HANDLE board;
    std::string text;
    uint64_t time = 0;  // its key; 0: one after the text's length
    CEOID written = 0;
    DWORD error = 0;
  };
  // Posts each text to its board, every post on a thread of its own, as one
  // group in this order.
  static void PostAsOneGroup(std::vector<GroupPost>* posts) {
    std::vector<std::function<void()>> actions;
    for (GroupPost& post : *posts) {
      actions.push_back([&post] {
        SetLastError(0);
        uint64_t time = post.time != 0 ? post.time : 1000 + post.text.size();
        post.written = WritePost(post.board, time, post.text);
        post.error = GetLastError();
      });
    }
    RunAsOneGroup(actions);
  }

  // A literal of bytes given in hex, in the backend's SQL.
  std::string BlobLiteral(const std::string& hex) const {
    return postgres() ? "'\\x" + hex + "'::bytea" : "x'" + hex + "'";
  }

  // Makes `next` the next identifier the store hands out.
  void SetNextOid(unsigned long long next) {
    if (postgres()) {
      Sql("SELECT setval('oids', " + std::to_string(next) + ", false)");
    } else {
      Sql("UPDATE meta SET value = " + std::to_string(next) + " WHERE key = 'next_oid'");
    }
  }

  // Runs each action on a thread of its own, all of their writes held in the
  // queue until every one is there, so that they form one group in this
  // order. Each action makes exactly one write that queues (on a server, a
  // new record).
  static void RunAsOneGroup(const std::vector<std::function<void()>>& actions) {
    std::vector<std::thread> threads;
    PlatformHoldStoreWrites(TRUE);
    for (const std::function<void()>& action : actions) {
      long before = PlatformQueuedStoreWrites();
      threads.emplace_back(action);
      while (PlatformQueuedStoreWrites() == before) std::this_thread::yield();
    }
    PlatformHoldStoreWrites(FALSE);
    for (std::thread& thread : threads) thread.join();
  }

  // Groups written so far, by size.
  static std::vector<unsigned long long> GroupSizes() {
    std::vector<unsigned long long> sizes(kMaxGroupWrites);
    PlatformStoreGroupSizes(sizes.data(), static_cast<int>(sizes.size()));
    return sizes;
  }
  // Writes in the groups written since `before` was taken.
  static unsigned long long WritesSince(const std::vector<unsigned long long>& before) {
    std::vector<unsigned long long> now = GroupSizes();
    unsigned long long writes = 0;
    for (size_t i = 0; i < now.size(); ++i) writes += (now[i] - before[i]) * (i + 1);
    return writes;
  }

  std::string dir_;
  std::string path_;
  std::string schema_;
  corkwall::testing::PgServer* server_ = nullptr;
  long handles_before_ = 0;
};

// A fixture run once per backend: TEST_P and STORE_TEST_ON_EACH_BACKEND.
template <typename Base>
class OnEachBackend : public Base, public ::testing::WithParamInterface<Backend> {
 protected:
  Backend backend() const override { return this->GetParam(); }
};

#define STORE_TEST_ON_EACH_BACKEND(Fixture)                                      \
  INSTANTIATE_TEST_SUITE_P(Backends, Fixture,                                    \
                           ::testing::Values(Backend::kSqlite, Backend::kPostgres), \
                           BackendName)

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_TEST_UTIL_H_
