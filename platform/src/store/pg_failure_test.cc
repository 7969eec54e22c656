// The store on a PostgreSQL server that is unreachable, restarts, or keeps a
// call waiting: each call fails with its documented code within a bound,
// nothing is written twice, and the store reconnects by itself.
#include <libpq-fe.h>
#include <time.h>

#include <chrono>
#include <functional>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class PgFailureTest : public StoreTest {
 protected:
  Backend backend() const override { return Backend::kPostgres; }

  static double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
  }
};

TEST_F(PgFailureTest, UnreachableServerFailsAtOnceWithNotReady) {
  // A socket folder where no server listens.
  std::string uri = "postgresql:///postgres?host=" + dir_ + "&user=postgres";
  ASSERT_TRUE(PlatformSetStorePath(uri.c_str()));
  auto start = std::chrono::steady_clock::now();
  const struct {
    const char* call;
    bool failed;
  } calls[] = {
      {"CeOpenDatabaseEx", OpenByName(u"TULVAN_x") == INVALID_HANDLE_VALUE},
      {"CeFindFirstDatabase", CeFindFirstDatabase(0) == INVALID_HANDLE_VALUE},
      {"CeCreateDatabaseEx", CreateBoard(u"TULVAN_x") == 0},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(call.call);
    EXPECT_TRUE(call.failed);
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_FALSE(CeDeleteDatabase(5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  CEOIDINFO info;
  EXPECT_FALSE(CeOidGetInfo(5, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_LT(Seconds(start), 5.0) << "a refused connection is not waited for";
  EXPECT_EQ(0u, Store::Instance().open_connections()) << "no failed connection is kept";
}

TEST_F(PgFailureTest, RestartedServerIsReconnectedWithoutClosingTheStore) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_r"));
  HANDLE h = OpenByName(u"TULVAN_r");
  CEOID before = WritePost(h, 1, "before");
  ASSERT_NE(0u, before);
  std::string error;
  ASSERT_TRUE(server_->Restart(&error)) << error;
  // The pooled connections lost their server; the next calls open new ones.
  CEOID after = WritePost(h, 2, "after");
  EXPECT_NE(0u, after) << GetLastError();
  EXPECT_GT(after, before);
  CloseHandle(h);
  h = OpenByName(u"TULVAN_r");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  std::vector<Post> posts = ReadAll(h);
  CloseHandle(h);
  ASSERT_EQ(2u, posts.size());
  EXPECT_EQ("after", posts[0].text);
  EXPECT_EQ("before", posts[1].text);
}

// A write kept waiting (here by another session's lock) ends at the statement
// timeout that the URI sets, having written nothing; the next one works.
TEST_F(PgFailureTest, StatementTimeoutEndsAWaitingWrite) {
  std::string uri = path_ + "%20-cstatement_timeout%3D300";
  ASSERT_TRUE(PlatformSetStorePath(uri.c_str()));
  CEOID db = CreateBoard(u"TULVAN_t");
  ASSERT_NE(0u, db);
  HANDLE h = OpenByName(u"TULVAN_t");
  PGconn* other = PQconnectdb(path_.c_str());
  ASSERT_EQ(CONNECTION_OK, PQstatus(other));
  std::string lock = "BEGIN; SELECT 1 FROM databases WHERE oid = " + std::to_string(db) +
                     " FOR UPDATE";
  PGresult* locked = PQexec(other, lock.c_str());
  ASSERT_EQ(PGRES_TUPLES_OK, PQresultStatus(locked));
  PQclear(locked);

  const struct {
    const char* call;
    std::function<bool()> run;
  } writes[] = {
      {"CeWriteRecordProps", [&] { return WritePost(h, 1, "waits") != 0; }},
      {"CeDeleteDatabase", [&] { return CeDeleteDatabase(db) != FALSE; }},
  };
  for (const auto& write : writes) {
    SCOPED_TRACE(write.call);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(write.run());
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    EXPECT_LT(Seconds(start), 3.0);
  }
  PQclear(PQexec(other, "ROLLBACK"));
  PQfinish(other);
  EXPECT_EQ(0, SqlValue("SELECT count(*) FROM records"));
  EXPECT_NE(0u, WritePost(h, 2, "then")) << GetLastError();
  CloseHandle(h);
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM records"));
}

TEST_F(PgFailureTest, TablesLiveInTheNamedSchemaWithAVersion) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_s"));
  EXPECT_EQ(3, SqlValue("SELECT count(*) FROM information_schema.tables WHERE table_schema = '" +
                        schema_ + "'"));
  EXPECT_EQ(0, SqlValue("SELECT count(*) FROM information_schema.tables WHERE table_schema ="
                        " 'public'"));
  EXPECT_EQ(1, SqlValue("SELECT value FROM meta WHERE key = 'schema'"));
  // Tables of a later format are left alone.
  Sql("UPDATE meta SET value = 2 WHERE key = 'schema'");
  PlatformCloseStore();
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_s"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_other"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_FAULT), GetLastError());
  Sql("UPDATE meta SET value = 1 WHERE key = 'schema'");
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM databases"));
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
