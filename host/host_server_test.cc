// The server's own answer to "are the event loops alive", asked from another
// thread as the health page and the watchdog ask it, through the server's
// life: before the loops run, while they run, and after they end.
#include "host_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "request_guard.h"

namespace {

class HostServerLifeTest : public ::testing::Test {
 protected:
  HostServerLifeTest()
      : guard_(GuardOptions(), nullptr), handler_(Config(), &policy_, &plugins_, &guard_) {
    options_.listen_port = 0;
    options_.threads = 1;
  }

  static HandlerConfig Config() {
    HandlerConfig config;
    config.root_real = "/nonexistent";
    return config;
  }

  HostOptions options_;
  AccessPolicy policy_;
  PluginCache plugins_;
  RequestGuard guard_;
  RequestHandler handler_;
  AccessLog log_;
};

// The start-up line is printed, and the metrics page listens, before Run()
// starts the loops: a probe in that moment waits for them and is answered
// yes, not "dead". Once Run() has returned the answer is no, at once.
TEST_F(HostServerLifeTest, ProbeBeforeTheLoopsStartWaitsForThem) {
  HostServer server(options_, &handler_, &log_);
  std::string error;
  ASSERT_TRUE(server.Create(&error)) << error;
  ASSERT_TRUE(server.Bind(&error)) << error;

  std::future<bool> early = std::async(
      std::launch::async, [&server] { return server.LoopsAnswer(std::chrono::seconds(10)); });
  // The probe is waiting before the loops run.
  EXPECT_EQ(std::future_status::timeout, early.wait_for(std::chrono::milliseconds(200)));
  std::thread runner([&server] { EXPECT_TRUE(server.Run()); });
  EXPECT_TRUE(early.get());
  EXPECT_TRUE(server.LoopsAnswer(std::chrono::seconds(10)));

  server.Stop();
  runner.join();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server.LoopsAnswer(std::chrono::seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Stopped before it ever ran, the server is never alive, and a probe is
// not kept waiting for loops that will not start.
TEST_F(HostServerLifeTest, StoppedBeforeRunIsNotAlive) {
  HostServer server(options_, &handler_, &log_);
  EXPECT_FALSE(server.LoopsAnswer(std::chrono::milliseconds(50)));  // not even created
  std::string error;
  ASSERT_TRUE(server.Create(&error)) << error;
  ASSERT_TRUE(server.Bind(&error)) << error;
  server.Stop();
  EXPECT_TRUE(server.Run());
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server.LoopsAnswer(std::chrono::seconds(10)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

}  // namespace
