// Helpers of the store tests: a fresh store per test (an SQLite file, or a
// schema of its own on a PostgreSQL server that the test program starts),
// and a board-like database of posts (property 64: FILETIME, property
// 65601: NUL-terminated text as a BLOB).
#ifndef CEPLATFORM_STORE_STORE_TEST_UTIL_H_
#define CEPLATFORM_STORE_STORE_TEST_UTIL_H_

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ceplatform.h"
#include "pg_server.h"
#include "store.h"
#include "wince.h"

namespace ceplatform {
namespace store {

constexpr CEPROPID kTimeProp = MAKEPROPID(0, CEVT_FILETIME);  // 64
constexpr CEPROPID kTextProp = MAKEPROPID(1, CEVT_BLOB);      // 65601

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

// A UTF-16 copy of ASCII text.
inline std::u16string U16(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

inline CEDBASEINFO BoardInfo(const std::u16string& name) {
  CEDBASEINFO info;
  memset(&info, 0, sizeof(info));
  info.dwFlags = 0x17;
  size_t n = name.size() < CEDB_MAXDBASENAMELEN ? name.size() : CEDB_MAXDBASENAMELEN;
  memcpy(info.szDbaseName, name.data(), n * sizeof(WCHAR));
  info.wNumSortOrder = 1;
  info.rgSortSpecs[0].propid = kTimeProp;
  info.rgSortSpecs[0].dwFlags = CEDB_SORT_DESCENDING;
  return info;
}

inline CEOID CreateBoard(const std::u16string& name) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEDBASEINFO info = BoardInfo(name);
  return CeCreateDatabaseEx(&volume, &info);
}

// Opens by name with sort property 0; flags as given.
inline HANDLE OpenByName(const std::u16string& name, DWORD flags = CEDB_AUTOINCREMENT,
                         CEOID* oid = nullptr) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID id = 0;
  std::u16string copy = name;
  HANDLE handle = CeOpenDatabaseEx(&volume, &id, &copy[0], 0, flags, nullptr);
  if (oid != nullptr) *oid = id;
  return handle;
}

inline CEOID WritePost(HANDLE database, uint64_t time, const std::string& text) {
  CEPROPVAL values[2];
  memset(values, 0, sizeof(values));
  values[0].propid = kTimeProp;
  values[0].val.filetime.dwLowDateTime = static_cast<DWORD>(time);
  values[0].val.filetime.dwHighDateTime = static_cast<DWORD>(time >> 32);
  values[1].propid = kTextProp;
  values[1].val.blob.dwCount = static_cast<DWORD>(text.size() + 1);
  values[1].val.blob.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(text.c_str()));
  return CeWriteRecordProps(database, 0, 2, values);
}

struct Post {
  CEOID oid;
  uint64_t time;
  std::string text;
};

// Reads the next record as the board does (store-allocated buffer, freed at
// once). Returns false at the end; *error then holds the last error.
inline bool ReadPost(HANDLE database, Post* post, DWORD* error = nullptr) {
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  CEOID oid = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
  if (oid == 0) {
    if (error != nullptr) *error = GetLastError();
    return false;
  }
  post->oid = oid;
  post->time = 0;
  post->text.clear();
  const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
  for (WORD i = 0; i < count; ++i) {
    if (values[i].propid == kTimeProp) {
      post->time = static_cast<uint64_t>(values[i].val.filetime.dwHighDateTime) << 32 |
                   values[i].val.filetime.dwLowDateTime;
    } else if (values[i].propid == kTextProp) {
      post->text = reinterpret_cast<const char*>(values[i].val.blob.lpb);
    }
  }
  LocalFree(buffer);
  return true;
}

// Every post from the handle's position to the end.
inline std::vector<Post> ReadAll(HANDLE database, DWORD* end = nullptr) {
  std::vector<Post> posts;
  Post post;
  while (ReadPost(database, &post, end)) posts.push_back(post);
  return posts;
}

inline std::vector<CEOID> Oids(const std::vector<Post>& posts) {
  std::vector<CEOID> oids;
  for (const Post& post : posts) oids.push_back(post.oid);
  return oids;
}

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_TEST_UTIL_H_
