// The readiness probe's sharing: one probe at a time, its result reused for
// a moment, a failure's reason passed on; and which store files the start
// refuses.
#include "store_readiness.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "store_file_check.h"
#include "temp_folder.h"

namespace {

TEST(StoreReadinessTest, CallersAtOnceShareOneProbe) {
  std::atomic<int> probes{0};
  StoreReadiness readiness([&probes](std::string*) {
    ++probes;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return true;
  });
  std::atomic<int> ready{0};
  std::vector<std::thread> callers;
  for (int i = 0; i < 6; ++i) {
    callers.emplace_back([&] {
      std::string reason;
      if (readiness.Check(&reason)) ++ready;
    });
  }
  for (std::thread& caller : callers) caller.join();
  EXPECT_EQ(6, ready.load());
  EXPECT_LE(probes.load(), 2) << "each caller probed for itself";
}

TEST(StoreReadinessTest, AResultIsReusedForAMomentThenProbedAgain) {
  int probes = 0;
  bool up = false;
  StoreReadiness readiness([&](std::string* reason) {
    ++probes;
    if (!up) *reason = "unreachable, error 21";
    return up;
  });
  std::string reason;
  EXPECT_FALSE(readiness.Check(&reason));
  EXPECT_EQ("unreachable, error 21", reason);
  up = true;
  reason.clear();
  EXPECT_FALSE(readiness.Check(&reason)) << "reused within its moment";
  EXPECT_EQ("unreachable, error 21", reason);
  EXPECT_EQ(1, probes);
  std::this_thread::sleep_for(StoreReadiness::kReuse + std::chrono::milliseconds(50));
  EXPECT_TRUE(readiness.Check(&reason));
  EXPECT_EQ(2, probes);
}

TEST(StoreFileCheckTest, AFileTheServerCannotKeepIsNamed) {
  TempFolder dir;
  std::string existing = dir.Write("store.db", "");
  mkdir((dir.path() + "/folder").c_str(), 0755);
  struct Case {
    std::string path;
    std::string problem;  // empty: usable
  } cases[] = {
      {existing, ""},
      {dir.path() + "/new.db", ""},
      {dir.path() + "/folder", "is not a regular file"},
      {dir.path() + "/none/store.db", "cannot be made: its folder " + dir.path() + "/none does not exist"},
      {existing + "/store.db", "does not exist"},
  };
  for (const Case& c : cases) {
    std::string problem = StoreFileProblem(c.path);
    if (c.problem.empty()) {
      EXPECT_EQ("", problem) << c.path;
    } else {
      EXPECT_NE(std::string::npos, problem.find(c.problem)) << c.path << ": " << problem;
    }
  }
  // Permissions bind every user but root, whom the server should not run as.
  if (geteuid() != 0) {
    std::string locked = dir.path() + "/locked";
    mkdir(locked.c_str(), 0755);
    std::string inside = dir.Write("locked/store.db", "");
    chmod(locked.c_str(), 0555);
    EXPECT_NE(std::string::npos, StoreFileProblem(inside).find("its folder")) << inside;
    EXPECT_NE(std::string::npos, StoreFileProblem(locked + "/new.db").find("cannot be made"));
    chmod(locked.c_str(), 0755);
    chmod(inside.c_str(), 0444);
    EXPECT_EQ("cannot be written by this user", StoreFileProblem(inside));
  }
}

}  // namespace
