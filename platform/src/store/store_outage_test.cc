// The outage record that a host reads around each plug-in call: set by a
// store call that failed because the store was unavailable, kept (the first
// one) until taken, cleared by the take, and each thread's own. (A statement
// timeout's record: pg_failure_test.)
#include <thread>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class StoreOutageTest : public StoreTest {
 protected:
  // Names a PostgreSQL store whose socket folder has no server in it.
  void UseUnreachableServer() {
    std::string uri = "postgresql:///postgres?host=" + dir_ + "&user=postgres";
    ASSERT_TRUE(PlatformSetStorePath(uri.c_str()));
  }
};

TEST_F(StoreOutageTest, UnreachableServerIsOnRecordUntilTakenOnItsThreadAlone) {
  PlatformTakeStoreOutage();
  UseUnreachableServer();
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_x"));
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_x"));
  // Another thread neither sees this thread's record nor clears it, and has
  // its own.
  DWORD elsewhere = 1;
  DWORD own = 0;
  std::thread other([&] {
    elsewhere = PlatformTakeStoreOutage();
    CEOIDINFO info;
    CeOidGetInfo(5, &info);
    own = PlatformTakeStoreOutage();
  });
  other.join();
  EXPECT_EQ(0u, elsewhere);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), own);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), PlatformTakeStoreOutage());
  EXPECT_EQ(0u, PlatformTakeStoreOutage()) << "the take clears the record";
}

TEST_F(StoreOutageTest, FirstOutageIsKeptAndOtherFailuresAreNone) {
  PlatformTakeStoreOutage();
  ASSERT_NE(0u, CreateBoard(u"TULVAN_b"));
  HANDLE h = OpenByName(u"TULVAN_b");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  // Failures that are no outage: the store answered.
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_none"));
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_b"));  // a taken name
  for (DWORD code : {ERROR_READ_FAULT, ERROR_WRITE_FAULT, ERROR_DISK_FULL,
                     ERROR_NOT_ENOUGH_MEMORY}) {
    PlatformFailStoreCall(0, code);
    EXPECT_EQ(0u, WritePost(h, 1, "refused"));
    EXPECT_EQ(code, GetLastError());
  }
  EXPECT_EQ(0u, PlatformTakeStoreOutage());

  // An injected timeout, then the real unreachable server: the first counts,
  // and a call that works meanwhile does not clear it.
  PlatformFailStoreCall(0, ERROR_TIMEOUT);
  EXPECT_EQ(0u, WritePost(h, 1, "timed out"));
  EXPECT_NE(0u, WritePost(h, 2, "stored"));
  CloseHandle(h);
  UseUnreachableServer();
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_b"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  EXPECT_EQ(static_cast<DWORD>(ERROR_TIMEOUT), PlatformTakeStoreOutage());
  EXPECT_EQ(0u, PlatformTakeStoreOutage());
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
