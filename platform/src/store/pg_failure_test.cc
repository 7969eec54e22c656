// The store on a PostgreSQL server that is unreachable, restarts, or keeps a
// call waiting: each call fails with its documented code within a bound,
// nothing is written twice, and the store reconnects by itself.
#include <libpq-fe.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <thread>

#include "store_schema.h"
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

  // The server process of the store's connection that waits as `condition`
  // says (a pg_stat_activity condition), or 0 after 10 s.
  long long WaitingBackend(const std::string& condition) {
    auto start = std::chrono::steady_clock::now();
    while (Seconds(start) < 10.0) {
      long long pid = SqlValue(
          "SELECT coalesce(max(pid), 0) FROM pg_stat_activity"
          " WHERE application_name = 'corkwall' AND " + condition);
      if (pid != 0) return pid;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
  }

  // Ends the session of server process `backend`, as an administrator would.
  void EndSession(long long backend) {
    if (backend == 0) return;
    EXPECT_EQ(1, SqlValue("SELECT pg_terminate_backend(" + std::to_string(backend) + ")::int"));
  }
};

// A post written on a thread of its own while the test acts on the server.
class PostOnAThread {
 public:
  PostOnAThread(HANDLE database, const char* text)
      : thread_([this, database, text] {
          written_ = WritePost(database, 1, text);
          error_ = GetLastError();
        }) {}
  // Waits for the write; its identifier, or 0 with *error.
  CEOID Written(DWORD* error) {
    thread_.join();
    *error = error_;
    return written_;
  }

 private:
  CEOID written_ = 0;
  DWORD error_ = 0;
  std::thread thread_;
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
// timeout that the URI sets, having written nothing, and is on record as an
// outage; the next one works.
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
    PlatformTakeStoreOutage();
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(write.run());
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), GetLastError());
    EXPECT_LT(Seconds(start), 3.0);
    // The host learns of it as an outage.
    EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), PlatformTakeStoreOutage());
  }
  PQclear(PQexec(other, "ROLLBACK"));
  PQfinish(other);
  EXPECT_EQ(0, SqlValue("SELECT count(*) FROM records"));
  EXPECT_NE(0u, WritePost(h, 2, "then")) << GetLastError();
  CloseHandle(h);
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM records"));
}

// The server sends a new record's identifier before it commits. A session
// that ends after it came, with the commit's answer lost, leaves the write to
// be sent again with that identifier: it is made once and reported made.
TEST_F(PgFailureTest, PostWhoseSessionEndsAtTheCommitIsMadeOnce) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_c"));
  HANDLE h = OpenByName(u"TULVAN_c");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  // A check at the commit that waits while `hold` says so.
  Sql("CREATE TABLE hold(at_commit boolean); INSERT INTO hold VALUES (true)");
  Sql("CREATE FUNCTION held() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
      " IF (SELECT at_commit FROM hold) THEN PERFORM pg_sleep(30); END IF;"
      " RETURN NULL; END $$");
  Sql("CREATE CONSTRAINT TRIGGER held AFTER INSERT ON records"
      " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE FUNCTION held()");
  PostOnAThread post(h, "once");
  long long backend = WaitingBackend("wait_event = 'PgSleep'");
  EXPECT_NE(0, backend) << "the commit never waited";
  Sql("UPDATE hold SET at_commit = false");
  EndSession(backend);
  DWORD error = 0;
  CEOID written = post.Written(&error);
  CloseHandle(h);
  EXPECT_NE(0u, written) << error;
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM records"));
  EXPECT_EQ(static_cast<long long>(written), SqlValue("SELECT max(oid) FROM records"));
}

// A session that the server ends while the write waits, before it ran, said
// so: the write is sent once more on a new connection.
TEST_F(PgFailureTest, PostWhoseSessionEndsBeforeItRanIsSentAgain) {
  CEOID db = CreateBoard(u"TULVAN_w");
  ASSERT_NE(0u, db);
  HANDLE h = OpenByName(u"TULVAN_w");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  PGconn* other = PQconnectdb(path_.c_str());
  ASSERT_EQ(CONNECTION_OK, PQstatus(other));
  std::string lock = "BEGIN; SELECT 1 FROM databases WHERE oid = " + std::to_string(db) +
                     " FOR UPDATE";
  PQclear(PQexec(other, lock.c_str()));
  PostOnAThread post(h, "again");
  long long backend = WaitingBackend("wait_event_type = 'Lock'");
  EXPECT_NE(0, backend) << "the write never waited for the lock";
  EndSession(backend);
  // The write sent again waits for the same lock, then goes through.
  long long again =
      WaitingBackend("wait_event_type = 'Lock' AND pid <> " + std::to_string(backend));
  EXPECT_NE(0, again) << "the write was not sent again";
  PQclear(PQexec(other, "ROLLBACK"));
  PQfinish(other);
  DWORD error = 0;
  CEOID written = post.Written(&error);
  CloseHandle(h);
  EXPECT_NE(0u, written) << error;
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM records"));
}

TEST_F(PgFailureTest, TablesLiveInTheNamedSchemaWithAVersion) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_s"));
  // meta, databases, records, blocks, database_counts and the view database_totals.
  EXPECT_EQ(6, SqlValue("SELECT count(*) FROM information_schema.tables WHERE table_schema = '" +
                        schema_ + "'"));
  EXPECT_EQ(0, SqlValue("SELECT count(*) FROM information_schema.tables WHERE table_schema ="
                        " 'public'"));
  EXPECT_EQ(kStoreFormat, SqlValue("SELECT value FROM meta WHERE key = 'schema'"));
  // Tables of a later format are left alone.
  Sql("UPDATE meta SET value = " + std::to_string(kStoreFormat + 1) + " WHERE key = 'schema'");
  PlatformCloseStore();
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_s"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_other"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_FAULT), GetLastError());
  Sql("UPDATE meta SET value = " + std::to_string(kStoreFormat) + " WHERE key = 'schema'");
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM databases"));
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
