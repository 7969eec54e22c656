// The plug-ins with the disk failing below SQLite: each operation runs with a
// read, write, sync or truncate failing at its n-th call, n = 1, 2, 3 ...,
// until it completes. Every run answers with the right page or an error
// page, leaves no heap block, handle or transaction behind, leaves the file
// sound, and a post is stored (or gone) exactly when the client was told so.
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "fault_vfs.h"
#include "plugin_fixture.h"
#include "sqlite_memory_faults.h"

namespace faults {
namespace {

// Before anything starts SQLite, so that a sweep can fail its heap.
const bool kSqliteMemoryCounted = SqliteMemoryFaults::Install();

std::string Numbered(const char* prefix, int n) {
  char text[16];
  snprintf(text, sizeof(text), "%s%04d", prefix, n);
  return text;
}

std::string Hex(CEOID id) {
  char text[16];
  snprintf(text, sizeof(text), "%X", static_cast<unsigned>(id));
  return text;
}

class StoreFaultTest : public PluginFixture {
 protected:
  StoreFaultTest() : PluginFixture(CORKWALL_TVX, CORKWARDEN_TVX) {}

  void SetUp() override {
    PluginFixture::SetUp();
    FaultVfs::Instance();
    ASSERT_TRUE(PlatformSetStoreVfs(FaultVfs::kName));
  }
  void TearDown() override {
    FaultVfs::Instance().Disarm();
    PluginFixture::TearDown();
  }

  // One operation under test: `prepare` sets the store up before each run
  // (faults off), `run` is the call, `check` judges its answer (faults off).
  struct Operation {
    std::function<void()> prepare;
    std::function<Answer()> run;
    std::function<void(const Answer&)> check;
  };

  // Runs `operation` with `fault` at n = 1, 2, ... until a run meets none;
  // with `cold`, the store's connections are closed before each run, so the
  // run opens the file too. Returns the number of fault points.
  int Sweep(const Operation& operation, Fault fault, bool cold) {
    FaultVfs& vfs = FaultVfs::Instance();
    int n = 1;
    for (; n < 500; n++) {
      if (operation.prepare) operation.prepare();
      if (cold) PlatformCloseStore();
      long blocks = PlatformLiveHeapBlocks();
      long handles = PlatformOpenHandles();
      vfs.Arm(fault, n);
      Answer answer = operation.run();
      bool fired = vfs.fired();
      vfs.Disarm();
      SCOPED_TRACE("fault at call " + std::to_string(n));
      EXPECT_TRUE(answer.length_ok);
      EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
      EXPECT_EQ(PlatformOpenHandles(), handles);
      EXPECT_EQ(Integrity(), "ok");
      EXPECT_TRUE(WriteLockFree()) << "a transaction was left open";
      if (fired) messages_.insert(ErrorMessageOf(answer.text));
      operation.check(answer);
      if (!fired) break;
      if (::testing::Test::HasFailure()) break;  // one broken run tells enough
    }
    EXPECT_LT(n, 500) << "the operation never completed";
    return n - 1;
  }

  // Sweeps every fault, cold and warm, and prints the counts.
  void SweepAll(const char* name, const Operation& operation) {
    for (int cold = 0; cold < 2; cold++) {
      for (int i = 0; i < 6; i++) {
        SCOPED_TRACE(std::string(kFaultNames[i]) + (cold ? ", cold" : ", warm"));
        int points = Sweep(operation, kFaults[i], cold != 0);
        printf("%s, %s, %s: %d fault points\n", name, kFaultNames[i], cold ? "cold" : "warm",
               points);
        if (::testing::Test::HasFailure()) return;
      }
    }
  }

  // Posts `count` posts without faults.
  void Fill(int count) {
    for (int i = 0; i < count; i++) ASSERT_EQ(Post(Numbered("Q", i)).text, kRedirect);
  }

  // The store's identifier counter, read from the file.
  long long NextOid() {
    sqlite3* db = nullptr;
    long long next = -1;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_open_v2(store_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT value FROM meta WHERE key = 'next_oid'", -1, &statement,
                           nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      next = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return next;
  }

  // How a sweep over a group fails it at its n-th point: `arm` before the
  // group goes, `disarm` after, `fired` whether it met the failure.
  struct GroupFault {
    std::function<void(long n)> arm;
    std::function<void()> disarm;
    std::function<bool()> fired;
    // Whether any failure fails the whole group (a sync's): none of its
    // writes may then be stored or answered as stored.
    bool whole_group;
  };

  // Posts `size` posts from a thread each, gathered into one group, with
  // `fault` at n = 1, 2, ... until a run meets none (cold: the store closed
  // before each run). Every run answers each post with the redirect or an
  // error page, leaks nothing, leaves the file sound and unlocked, stores
  // exactly the posts it redirected, and fails no post but the one a
  // failure met, unless the failure met the group's transaction itself
  // (its start, its commit, its sync): then every post of the group fails.
  // Returns the number of fault points.
  int SweepGroup(size_t size, const GroupFault& fault, bool cold) {
    int n = 1;
    for (; n < 2000; n++) {
      std::vector<std::string> stored = Subjects();
      if (cold) PlatformCloseStore();
      long blocks = PlatformLiveHeapBlocks();
      long handles = PlatformOpenHandles();
      std::vector<std::string> subjects;
      for (size_t i = 0; i < size; i++) subjects.push_back(Numbered("G", serial_++));
      std::vector<Answer> answers(size);
      RunAsOneGroup(size, [&](size_t i) { answers[i] = Post(subjects[i]); },
                    [&]() { fault.arm(n); });
      bool fired = fault.fired();
      fault.disarm();
      SCOPED_TRACE("group of " + std::to_string(size) + ", fault at " + std::to_string(n));
      EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
      EXPECT_EQ(PlatformOpenHandles(), handles);
      EXPECT_EQ(Integrity(), "ok");
      EXPECT_TRUE(WriteLockFree()) << "a transaction was left open";
      size_t failed = 0;
      for (size_t i = 0; i < size; i++) {
        EXPECT_TRUE(answers[i].length_ok);
        if (answers[i].text == kRedirect) {
          stored.push_back(subjects[i]);
          continue;
        }
        failed++;
        std::string message = ErrorMessageOf(answers[i].text);
        messages_.insert(message);
        EXPECT_TRUE(message == "Write Record Error" || message == "Open database Error")
            << answers[i].text.substr(0, 300);
      }
      if (fault.whole_group) {
        EXPECT_TRUE(failed == 0 || failed == size) << failed << " of " << size << " failed";
      } else {
        EXPECT_TRUE(failed <= 1 || failed == size) << failed << " of " << size << " failed";
      }
      EXPECT_TRUE(failed == 0 || fired) << "a post failed with no fault";
      std::vector<std::string> now = Subjects();
      std::sort(now.begin(), now.end());
      std::sort(stored.begin(), stored.end());
      EXPECT_EQ(now, stored) << "stored and redirected posts differ";
      if (!fired || ::testing::Test::HasFailure()) break;
    }
    EXPECT_LT(n, 2000) << "the group never completed";
    return n - 1;
  }

  // The error messages met by runs that met a fault.
  std::set<std::string> messages_;
  int serial_ = 0;
};

// The disk failing under a group of posts from several threads.
TEST_F(StoreFaultTest, GroupOfPostsIsStoredExactlyWhenRedirected) {
  Fill(2);
  FaultVfs& vfs = FaultVfs::Instance();
  for (size_t size : {2, 5, 8}) {
    for (int cold = 0; cold < 2; cold++) {
      for (int i = 0; i < 6; i++) {
        SCOPED_TRACE(std::string(kFaultNames[i]) + (cold ? ", cold" : ", warm"));
        GroupFault fault{[&, i](long n) { vfs.Arm(kFaults[i], n); }, [&] { vfs.Disarm(); },
                         [&] { return vfs.fired(); }, kFaults[i] == Fault::kSyncError};
        int points = SweepGroup(size, fault, cold != 0);
        printf("group of %zu, %s, %s: %d fault points\n", size, kFaultNames[i],
               cold ? "cold" : "warm", points);
        if (::testing::Test::HasFailure()) return;
      }
    }
  }
}

// SQLite's heap failing while the leader of a group writes it: the post
// whose write met the failure fails alone (or the whole group, when the
// failure met the group's transaction), and nothing else is lost.
TEST_F(StoreFaultTest, HeapFailureInsideAGroupFailsOnlyThePostItMet) {
  ASSERT_TRUE(kSqliteMemoryCounted) << "SQLite started before its heap could be counted";
  Fill(2);
  GroupFault fault{[](long n) { SqliteMemoryFaults::Arm(n); },
                   [] { SqliteMemoryFaults::Disarm(); },
                   [] { return SqliteMemoryFaults::fired(); }, false};
  int points = SweepGroup(3, fault, false);
  printf("group of 3, SQLite heap: %d failure points\n", points);
  EXPECT_GT(points, 0);
}

// A page is one of `allowed` error pages (or their start, for a listing that
// ends in one), or exactly `right`.
void ExpectAnswer(const Answer& answer, const std::string& right,
                  const std::set<std::string>& allowed) {
  if (answer.text == right) return;
  std::string message = ErrorMessageOf(answer.text);
  EXPECT_TRUE(allowed.count(message) == 1) << "unexpected answer: " << answer.text.substr(0, 300);
}

TEST_F(StoreFaultTest, PostIsStoredExactlyWhenRedirected) {
  Fill(3);
  std::vector<std::string> before = Subjects();
  std::string subject;
  Operation post;
  post.run = [&]() {
    subject = Numbered("P", serial_++);
    return Post(subject);
  };
  post.check = [&](const Answer& answer) {
    ExpectAnswer(answer, kRedirect,
                 {"Write Record Error", "Open database Error",
                  "ERROR: CeCreateDatabaseEx failed.", "ERROR: CeOpenDatabaseEx failed."});
    if (answer.text == kRedirect) before.insert(before.begin(), subject);
    EXPECT_EQ(Subjects(), before);
  };
  SweepAll("post", post);
}

TEST_F(StoreFaultTest, FirstPostOfABoardCreatesItOrNothing) {
  std::string subject;
  Operation first;
  first.prepare = [&]() {
    CEOID id = DatabaseId(kBoardDatabase);
    if (id != 0) {
      ASSERT_TRUE(CeDeleteDatabase(id));
    }
  };
  first.run = [&]() {
    subject = Numbered("F", serial_++);
    return Post(subject);
  };
  first.check = [&](const Answer& answer) {
    ExpectAnswer(answer, kRedirect,
                 {"Write Record Error", "Open database Error",
                  "ERROR: CeCreateDatabaseEx failed.", "ERROR: CeOpenDatabaseEx failed."});
    std::vector<std::string> expected;
    if (answer.text == kRedirect) expected.push_back(subject);
    EXPECT_EQ(Subjects(), expected);
  };
  SweepAll("first post", first);
}

TEST_F(StoreFaultTest, BoardDeletionRemovesExactlyWhenRedirected) {
  Fill(3);
  std::vector<std::string> kept = Subjects();
  CEOID id = 0;
  Operation deletion;
  deletion.prepare = [&]() {
    ASSERT_EQ(Post("DOOMED").text, kRedirect);
    id = RecordIds().front();
  };
  deletion.run = [&]() { return Board("POST", "", "deleteitem=x&deleteitemid=" + std::to_string(id)); };
  deletion.check = [&](const Answer& answer) {
    // A failed deletion answers with the post's identifier in hexadecimal.
    ExpectAnswer(answer, kRedirect, {Hex(id)});
    std::vector<std::string> now = Subjects();
    if (answer.text == kRedirect) {
      EXPECT_EQ(now, kept);
    } else {
      ASSERT_FALSE(now.empty());
      EXPECT_EQ(now.front(), "DOOMED");
      now.erase(now.begin());
      EXPECT_EQ(now, kept);
      // Tidy up without faults, so that the next run deletes a fresh post.
      Answer tidy = Board("POST", "", "deleteitem=x&deleteitemid=" + std::to_string(id));
      EXPECT_EQ(tidy.text, kRedirect);
    }
  };
  SweepAll("board deletion", deletion);
}

TEST_F(StoreFaultTest, BoardPageIsWholeOrAnError) {
  Fill(45);
  // The first page, and a deeper one that the store seeks to.
  for (const char* query : {"", "row=22"}) {
    SCOPED_TRACE(query);
    std::string reference = Board("GET", query, "").text;
    ASSERT_EQ(ErrorMessageOf(reference), "");
    Operation page;
    page.run = [&]() { return Board("GET", query, ""); };
    page.check = [&](const Answer& answer) {
      if (answer.text == reference) return;
      // A listing that cannot be read ends in an error page and the footer.
      EXPECT_EQ(ErrorMessageOf(answer.text), "Other errors.") << answer.text.substr(0, 300);
    };
    SweepAll(*query != '\0' ? "board page at a row" : "board page", page);
  }
  EXPECT_EQ(Subjects().size(), 45u);
}

TEST_F(StoreFaultTest, CatalogueIsWholeOrAnError) {
  Fill(4);
  ASSERT_EQ(Board("POST", "", "").text, kRedirect);
  std::string reference = Admin("").text;
  ASSERT_NE(reference.find("TULVAN_board.tvx"), std::string::npos);
  Operation catalogue;
  catalogue.run = [&]() { return Admin(""); };
  catalogue.check = [&](const Answer& answer) {
    if (answer.text == reference) return;
    // The catalogue names the call that failed and its error, in its frame.
    EXPECT_NE(answer.text.find("CeFindFirstDatabase failed with error (30)"), std::string::npos)
        << answer.text.substr(0, 400);
  };
  SweepAll("catalogue", catalogue);
}

TEST_F(StoreFaultTest, DatabaseDeletionIsWholeOrNothing) {
  Fill(2);
  std::vector<std::string> kept = Subjects();
  const char kGone[] = "TULVAN_gone.tvx";
  CEOID id = 0;
  std::string deleted;  // the answer to a deletion that worked
  Operation deletion;
  deletion.prepare = [&]() {
    if (DatabaseId(kGone) == 0) {
      TvxRequest request;
      ASSERT_TRUE(request.Set("SCRIPT_NAME", "/cgi/gone.tvx") &&
                  request.Set("DOCUMENT_ROOT", root_) && request.Set("REQUEST_METHOD", "POST") &&
                  request.Set("QUERY_STRING", "") &&
                  request.Set("CONTENT_TYPE", "application/x-www-form-urlencoded") &&
                  request.SetBody("name=Taro&email=&subject=GONE&body=Hello&postitem=x"));
      request.Run(*board_);
      ASSERT_EQ(request.Response(), "Location: /cgi/gone.tvx\r\n\r\n");
    }
    id = DatabaseId(kGone);
    ASSERT_NE(id, 0u);
    if (deleted.empty()) {
      deleted = Admin("cmd=deleteDB&db=" + std::to_string(id)).text;
      ASSERT_EQ(ErrorMessageOf(deleted), "Database deleted.");
      deletion.prepare();
    }
  };
  deletion.run = [&]() { return Admin("cmd=deleteDB&db=" + std::to_string(id)); };
  deletion.check = [&](const Answer& answer) {
    ExpectAnswer(answer, deleted, {"Database failed.", "CeOidGetInfo failed with error."});
    bool gone = DatabaseId(kGone) == 0;
    EXPECT_EQ(gone, answer.text == deleted);
    if (!gone) {
      EXPECT_EQ(Subjects(kGone), std::vector<std::string>{"GONE"});
    }
    EXPECT_EQ(Subjects(), kept);
  };
  SweepAll("database deletion", deletion);
}

TEST_F(StoreFaultTest, AdminRecordDeletionReportsTheStoreError) {
  Fill(2);
  std::vector<std::string> kept = Subjects();
  CEOID id = 0;
  Operation deletion;
  deletion.prepare = [&]() {
    if (Subjects().size() == kept.size()) {
      ASSERT_EQ(Post("DOOMED").text, kRedirect);
    }
    id = RecordIds().front();
  };
  deletion.run = [&]() {
    return Admin("cmd=deleteitem&dbname=TULVAN_board.tvx&deleteitem=" + std::to_string(id));
  };
  deletion.check = [&](const Answer& answer) {
    std::string message = ErrorMessageOf(answer.text);
    std::vector<std::string> now = Subjects();
    if (message.empty()) {
      EXPECT_EQ(now, kept);  // deleted, and the listing follows
      EXPECT_EQ(answer.text.find("deleteitem=" + std::to_string(id) + "\""), std::string::npos);
    } else {
      EXPECT_TRUE(message == "Open database Error" ||
                  message.rfind("CeDeleteRecord was fail with error ", 0) == 0)
          << message;
      ASSERT_EQ(now.size(), kept.size() + 1);
      EXPECT_EQ(now.front(), "DOOMED");
    }
  };
  SweepAll("admin record deletion", deletion);
}

// A full disk reaches the plug-in as ERROR_DISK_FULL, and the failed write
// leaves nothing: no record, no identifier used, no transaction open.
TEST_F(StoreFaultTest, DiskFullReachesThePlugInAsDiskFull) {
  Fill(2);
  CEOID id = RecordIds().front();
  FaultVfs& vfs = FaultVfs::Instance();
  vfs.Arm(Fault::kDiskFull, 1, true);
  Answer answer =
      Admin("cmd=deleteitem&dbname=TULVAN_board.tvx&deleteitem=" + std::to_string(id));
  EXPECT_EQ(Post("FULL").text, ErrorPageOf("Write Record Error"));
  vfs.Disarm();
  EXPECT_TRUE(vfs.fired());
  EXPECT_EQ(ErrorMessageOf(answer.text).rfind("CeDeleteRecord was fail with error 112<BR>", 0), 0u)
      << answer.text;
  EXPECT_EQ(RecordIds().size(), 2u);
  EXPECT_TRUE(WriteLockFree());

  // The same at the platform: the write fails with ERROR_DISK_FULL and its
  // transaction is rolled back: the identifier counter has not moved.
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = 0;
  WCHAR name[] = {'T', 'U', 'L', 'V', 'A', 'N', '_', 'b', 'o', 'a', 'r', 'd', '.', 't', 'v', 'x', 0};
  HANDLE handle = CeOpenDatabaseEx(&volume, &oid, name, 0, 0, nullptr);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  CEPROPVAL value;
  memset(&value, 0, sizeof(value));
  value.propid = 0x40;
  long long next = NextOid();
  for (Fault fault : {Fault::kDiskFull, Fault::kShortWrite}) {
    vfs.Arm(fault, 1, true);
    SetLastError(0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(CeWriteRecordProps(handle, 0, 1, &value), 0u);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
    vfs.Disarm();
    // The log line names the full disk, not what the rollback met after it.
    EXPECT_NE(log.find("CeWriteRecordProps: store "), std::string::npos) << log;
    EXPECT_NE(log.find("database or disk is full (13)"), std::string::npos) << log;
    EXPECT_EQ(NextOid(), next);
    EXPECT_TRUE(WriteLockFree());
  }
  EXPECT_EQ(CeWriteRecordProps(handle, 0, 1, &value), static_cast<CEOID>(next));
  CloseHandle(handle);
}

}  // namespace
}  // namespace faults
