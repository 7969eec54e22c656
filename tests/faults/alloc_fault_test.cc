// The plug-ins' own short-lived allocations (malloc, new) failing at the
// n-th one, n = 0, 1, 2 ..., until a request completes: every run answers
// with the right page or the plug-in's out-of-memory page, leaks nothing,
// and stores a post, or deletes one, exactly when it says so.
#include <stdio.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "alloc_countdown.h"
#include "ceplatform.h"
#include "plugin_fixture.h"

namespace faults {
namespace {

class AllocFaultTest : public PluginFixture {
 protected:
  AllocFaultTest() : PluginFixture(CORKWALL_TVX, CORKWARDEN_TVX) {}
  void TearDown() override {
    AllocFaultAfter(-1);
    PluginFixture::TearDown();
  }

  // Runs `run` with the allocations failing after n = 0, 1, 2 ... until a
  // run meets no failure; `prepare` (if any) sets each run up first, and
  // `check` judges every answer. Returns the number of failure points.
  int Sweep(const char* name, const std::function<void()>& prepare,
            const std::function<Answer()>& run,
            const std::function<void(const Answer&)>& check) {
    int n = 0;
    for (; n < 200; n++) {
      if (prepare) prepare();
      long blocks = PlatformLiveHeapBlocks();
      long handles = PlatformOpenHandles();
      long own = AllocFaultLiveBlocks();
      AllocFaultAfter(n);
      Answer answer = run();
      bool fired = AllocFaultFired() != 0;
      AllocFaultAfter(-1);
      SCOPED_TRACE(std::string(name) + ", allocation " + std::to_string(n + 1) + " fails");
      EXPECT_TRUE(answer.length_ok);
      EXPECT_EQ(AllocFaultLiveBlocks(), own);
      EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
      EXPECT_EQ(PlatformOpenHandles(), handles);
      if (fired) messages_.insert(ErrorMessageOf(answer.text));
      check(answer);
      if (!fired || ::testing::Test::HasFailure()) break;
    }
    EXPECT_LT(n, 200);
    printf("%s: %d allocation failure points; answers:", name, n);
    for (const std::string& message : messages_) printf(" \"%s\"", message.c_str());
    printf("\n");
    return n;
  }

  std::set<std::string> messages_;
};

TEST_F(AllocFaultTest, BoardPostIsStoredExactlyWhenRedirected) {
  ASSERT_EQ(Post("OLD").text, kRedirect);
  std::vector<std::string> stored = Subjects();
  int serial = 0;
  std::string subject;
  int points = Sweep(
      "board post", nullptr,
      [&]() {
        subject = "P" + std::to_string(serial++);
        return Post(subject);
      },
      [&](const Answer& answer) {
        if (answer.text != kRedirect) {
          EXPECT_EQ(answer.text, ErrorPageOf("Not enough memory"));
        } else {
          stored.insert(stored.begin(), subject);
        }
        EXPECT_EQ(Subjects(), stored);
      });
  EXPECT_GT(points, 0);
  EXPECT_EQ(messages_.count("Not enough memory"), 1u);
}

TEST_F(AllocFaultTest, BoardPageIsWholeOrOutOfMemory) {
  for (int i = 0; i < 3; i++) ASSERT_EQ(Post("P" + std::to_string(i)).text, kRedirect);
  // The first page, and one the store seeks to.
  for (const char* query : {"", "row=1"}) {
    std::string reference = Board("GET", query, "").text;
    Sweep(*query != '\0' ? "board page at a row" : "board page", nullptr,
          [&]() { return Board("GET", query, ""); },
          [&](const Answer& answer) {
            if (answer.text != reference) {
              EXPECT_EQ(answer.text, ErrorPageOf("Not enough memory"));
            }
          });
  }
}

TEST_F(AllocFaultTest, BoardDeletionRemovesExactlyWhenRedirected) {
  ASSERT_EQ(Post("KEPT").text, kRedirect);
  std::vector<CEOID> ids;
  Sweep(
      "board deletion",
      [&]() {
        EXPECT_EQ(Post("DOOMED").text, kRedirect);
        ids = RecordIds();
      },
      [&]() {
        return Board("POST", "", "deleteitem=x&deleteitemid=" + std::to_string(ids.front()));
      },
      [&](const Answer& answer) {
        std::vector<std::string> now = Subjects();
        if (answer.text == kRedirect) {
          EXPECT_EQ(now, std::vector<std::string>{"KEPT"});
        } else {
          EXPECT_EQ(answer.text, ErrorPageOf("Not enough memory"));
          EXPECT_EQ(now, (std::vector<std::string>{"DOOMED", "KEPT"}));
          EXPECT_EQ(Board("POST", "", "deleteitem=x&deleteitemid=" + std::to_string(ids.front())).text,
                    kRedirect);
        }
      });
}

// The admin page's answers when its own allocations fail: the catalogue,
// a board's listing and a database's deletion.
TEST_F(AllocFaultTest, AdminPagesAreWholeOrSayTheMemoryFailed) {
  for (int i = 0; i < 3; i++) ASSERT_EQ(Post("L" + std::to_string(i)).text, kRedirect);
  // Under a script name this long, each board row of the catalogue outgrows
  // its work area and moves to the process heap (whose failures the heap
  // sweeps cover), and each line of a listing is formatted in an area of its
  // own.
  const std::string longScript = "/admin/" + std::string(600, 'a') + "/corkwarden.tvx";
  struct Case {
    const char* name;
    std::string query;
    std::string script;
  };
  const Case cases[] = {
      {"catalogue", "", kAdminScript},
      {"listing", "cmd=enum&name=TULVAN_board.tvx", kAdminScript},
      {"catalogue, long script name", "", longScript},
      {"listing, long script name", "cmd=enum&name=TULVAN_board.tvx", longScript},
  };
  for (const Case& c : cases) {
    messages_.clear();
    std::string reference = Admin(c.query, c.script).text;
    int outOfMemory = 0;
    int points = Sweep(c.name, nullptr, [&]() { return Admin(c.query, c.script); },
                       [&](const Answer& answer) {
                         if (answer.text == reference) return;
                         // Never the page with rows or links left out.
                         EXPECT_EQ(answer.text, ErrorPageOf("Not enough memory"));
                         outOfMemory++;
                       });
    EXPECT_EQ(outOfMemory, points);
    printf("%s: %d allocation failure points\n", c.name, points);
    printf("%s: %d out-of-memory pages\n", c.name, outOfMemory);
  }
  EXPECT_EQ(Subjects().size(), 3u);

  messages_.clear();
  CEOID gone = 0;
  Sweep(
      "database deletion",
      [&]() {
        TvxRequest request;
        EXPECT_TRUE(request.Set("SCRIPT_NAME", "/cgi/gone.tvx") &&
                    request.Set("DOCUMENT_ROOT", root_) &&
                    request.Set("REQUEST_METHOD", "POST") && request.Set("QUERY_STRING", "") &&
                    request.Set("CONTENT_TYPE", "application/x-www-form-urlencoded") &&
                    request.SetBody("name=Taro&email=&subject=GONE&body=Hello&postitem=x"));
        if (DatabaseId("TULVAN_gone.tvx") == 0) request.Run(*board_);
        gone = DatabaseId("TULVAN_gone.tvx");
      },
      [&]() {
        return Admin("cmd=deleteDB&db=" + std::to_string(gone));
      },
      [&](const Answer& answer) {
        std::string message = ErrorMessageOf(answer.text);
        bool exists = DatabaseId("TULVAN_gone.tvx") != 0;
        if (message == "Database deleted.") {
          EXPECT_FALSE(exists);
        } else {
          EXPECT_EQ(message, "Memory alloc failed.") << answer.text.substr(0, 300);
          EXPECT_TRUE(exists);
        }
      });
  EXPECT_EQ(messages_.count("Memory alloc failed."), 1u);
}

}  // namespace
}  // namespace faults
