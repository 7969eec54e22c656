// The administration page with the store unavailable at each of its store
// calls in turn: every command answers with its error page, nothing looks
// done that was not, and the outage is on record for the host.
#include <functional>

#include "admin_test_support.h"
#include "ceplatform.h"

namespace {

class AdminOutageTest : public AdminTest {
 protected:
  // One command under test: `prepare` sets the store up before each run,
  // `query` is the request, `done` tells the answer of a run that met no
  // failure, and `failed` checks a run that met one.
  struct Command {
    const char* name;
    std::function<void()> prepare;
    std::function<std::string()> query;
    std::function<void(const std::string&)> done;
    std::function<void(const std::string&, DWORD)> failed;
  };

  // Runs `command` with its n-th store call failing with `code`, n = 0, 1,
  // ... until a run meets no failure. Returns the number of failing runs.
  int Sweep(const Command& command, DWORD code) {
    int n = 0;
    for (; n < 20; n++) {
      SCOPED_TRACE(std::string(command.name) + ", store call " + std::to_string(n));
      if (command.prepare) command.prepare();
      PlatformTakeStoreOutage();
      PlatformFailStoreCall(n, code);
      std::string page = Admin(command.query());
      PlatformFailStoreCall(-1, 0);
      DWORD outage = PlatformTakeStoreOutage();
      if (outage == 0) {
        command.done(page);
        break;
      }
      EXPECT_EQ(outage, code);
      command.failed(page, code);
      if (HasFailure()) break;
    }
    EXPECT_LT(n, 20) << "the command never completed";
    return n;
  }
};

bool Has(const std::string& page, const std::string& piece) {
  return page.find(piece) != std::string::npos;
}

TEST_F(AdminOutageTest, EveryCommandAnswersItsErrorPageWhenTheStoreIsUnavailable) {
  CreateBoard("TULVAN_b");
  WritePost("TULVAN_b", "first", 1);
  WritePost("TULVAN_b", "second", 2);
  CEOID doomed = 0;
  CEOID gone = 0;
  const std::string catalogue = Admin("");
  const std::string listing = Admin("cmd=enum&name=TULVAN_b");
  ASSERT_TRUE(Has(catalogue, "TULVAN_b"));
  ASSERT_TRUE(Has(listing, "second"));

  const Command commands[] = {
      {"catalogue", nullptr, [] { return std::string(); },
       [&](const std::string& page) { EXPECT_EQ(page, catalogue); },
       [&](const std::string& page, DWORD code) {
         // Rows already written stay; the page ends by naming the failure.
         EXPECT_TRUE(Has(page, "failed with error (" + std::to_string(code) + ")")) << page;
       }},
      {"listing", nullptr, [] { return std::string("cmd=enum&name=TULVAN_b"); },
       [&](const std::string& page) { EXPECT_EQ(page, listing); },
       [&](const std::string& page, DWORD) {
         EXPECT_TRUE(page == ErrorPageOf("CeOpenDatabaseEx failed.") ||
                     page == ErrorPageOf("Other errors.") + kAdminFooter)
             << page;
       }},
      {"record deletion",
       [&] {
         if (doomed == 0) doomed = WritePost("TULVAN_b", "doomed", 3);
       },
       [&] { return "cmd=deleteitem&dbname=TULVAN_b&deleteitem=" + std::to_string(doomed); },
       [&](const std::string& page) {
         EXPECT_FALSE(Has(page, "doomed"));
         EXPECT_TRUE(Has(page, "second"));  // the listing that follows
         EXPECT_EQ(RecordIds("TULVAN_b").size(), 2u);
         doomed = 0;
       },
       [&](const std::string& page, DWORD code) {
         EXPECT_FALSE(Has(page, "second")) << "a listing after a failed deletion";
         if (page == ErrorPageOf("Open database Error") ||
             Has(page, "CeDeleteRecord was fail with error " + std::to_string(code))) {
           EXPECT_EQ(RecordIds("TULVAN_b").size(), 3u);
           return;
         }
         // The deletion was made and the listing after it failed: its page
         // says so, and the record is gone.
         EXPECT_TRUE(page == ErrorPageOf("CeOpenDatabaseEx failed.") ||
                     page == ErrorPageOf("Other errors."))
             << page;
         EXPECT_EQ(RecordIds("TULVAN_b").size(), 2u);
         doomed = 0;
       }},
      {"database deletion",
       [&] {
         if (gone == 0) gone = CreateBoard("TULVAN_gone");
       },
       [&] { return "cmd=deleteDB&db=" + std::to_string(gone); },
       [&](const std::string& page) {
         EXPECT_EQ(page, ErrorPageOf("Database deleted.") + kAdminFooter);
         EXPECT_FALSE(DatabaseExists("TULVAN_gone"));
         gone = 0;
       },
       [&](const std::string& page, DWORD) {
         EXPECT_TRUE(page == ErrorPageOf("CeOidGetInfo failed with error.") + kAdminFooter ||
                     page == ErrorPageOf("Database failed.") + kAdminFooter)
             << page;
         EXPECT_TRUE(DatabaseExists("TULVAN_gone"));
       }},
  };
  for (DWORD code : {static_cast<DWORD>(ERROR_NOT_READY), static_cast<DWORD>(ERROR_TIMEOUT)}) {
    for (const Command& command : commands) {
      SCOPED_TRACE(code);
      EXPECT_GT(Sweep(command, code), 0) << command.name << " met no store call";
    }
  }
  EXPECT_TRUE(DatabaseExists("TULVAN_b"));
}

}  // namespace
