// PlatformProbeStore, which a host's readiness check asks: true while the
// store answers, false with the reason while it cannot be reached, and true
// again once it can, with nothing written and no handle left behind.
#include <string.h>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class StoreProbeTest : public OnEachBackend<StoreTest> {};

TEST_P(StoreProbeTest, AnswersWhileTheStoreDoesAndWritesNothing) {
  char reason[256] = "left over";
  ASSERT_TRUE(PlatformProbeStore(reason, sizeof reason));
  EXPECT_STREQ("", reason);
  // A probe on an empty store leaves it without a database, and counts as no
  // injected failure's call.
  PlatformFailStoreCall(0, ERROR_READ_FAULT);
  EXPECT_TRUE(PlatformProbeStore(nullptr, 0));
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_probe")) << "the injected failure was still pending";
  PlatformFailStoreCall(-1, 0);
  HANDLE none = CeFindFirstDatabase(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, none);
  EXPECT_EQ(0u, CeFindNextDatabase(none));
  CloseHandle(none);
}

TEST_P(StoreProbeTest, AStoreThatCannotBeReachedSaysWhyAndComesBack) {
  // A server that is not there, or a file in a folder that is not there.
  std::string gone = postgres() ? "postgresql:///postgres?host=" + dir_ + "/none&user=postgres"
                                : dir_ + "/none/objectstore.db";
  ASSERT_TRUE(PlatformSetStorePath(gone.c_str()));
  char reason[256] = "";
  PlatformTakeStoreOutage();
  EXPECT_FALSE(PlatformProbeStore(reason, sizeof reason));
  EXPECT_EQ(static_cast<DWORD>(postgres() ? ERROR_NOT_READY : ERROR_READ_FAULT), GetLastError());
  EXPECT_NE(0u, strlen(reason));
  EXPECT_EQ(static_cast<DWORD>(postgres() ? ERROR_NOT_READY : 0), PlatformTakeStoreOutage());
  // A reason cut to the room given, with its NUL.
  char small[4] = {'x', 'x', 'x', 'x'};
  EXPECT_FALSE(PlatformProbeStore(small, sizeof small));
  EXPECT_EQ('\0', small[3]);
  EXPECT_EQ(3u, strlen(small));

  ASSERT_TRUE(PlatformSetStorePath(path_.c_str()));
  EXPECT_TRUE(PlatformProbeStore(reason, sizeof reason)) << reason;
}

STORE_TEST_ON_EACH_BACKEND(StoreProbeTest);

}  // namespace
}  // namespace store
}  // namespace ceplatform
