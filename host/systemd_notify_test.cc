// What the service manager hears: datagrams on a socket of the test's own,
// by path and in the abstract namespace, and the watchdog's interval.
#include "systemd_notify.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>

#include "temp_folder.h"

namespace {

// A datagram socket bound to `name` ("/path" or "@abstract").
int Listen(const std::string& name) {
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, name.data(), name.size());
  if (name[0] == '@') address.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string Receive(int fd, int timeout_ms = 2000) {
  struct pollfd poller = {fd, POLLIN, 0};
  if (poll(&poller, 1, timeout_ms) != 1) return "(nothing)";
  char buffer[512];
  ssize_t got = recv(fd, buffer, sizeof buffer, 0);
  return got < 0 ? "(error)" : std::string(buffer, static_cast<size_t>(got));
}

TEST(SystemdNotifyTest, StateReachesThePathOrAbstractSocket) {
  TempFolder dir;
  std::string abstract = "@corkwall-notify-test-" + std::to_string(getpid());
  for (const std::string& name : {dir.path() + "/notify", abstract}) {
    int fd = Listen(name);
    ASSERT_GE(fd, 0) << name;
    SystemdNotifier notifier(name);
    EXPECT_TRUE(notifier.active());
    EXPECT_TRUE(notifier.Notify("READY=1")) << name;
    EXPECT_EQ("READY=1", Receive(fd)) << name;
    EXPECT_TRUE(notifier.Notify("MAINPID=7\nREADY=1"));
    EXPECT_EQ("MAINPID=7\nREADY=1", Receive(fd));
    close(fd);
  }
}

TEST(SystemdNotifyTest, WithoutASocketNothingIsSentAndFailuresSaySo) {
  TempFolder dir;
  struct Case {
    std::string socket;
    bool active;
    const char* error_contains;
  } cases[] = {
      {"", false, ""},
      {dir.path() + "/nobody-listens", true, "cannot send"},
      {"relative/path", true, "not a socket path"},
      {"/" + std::string(200, 'x'), true, "not a socket path"},
  };
  for (const Case& c : cases) {
    SystemdNotifier notifier(c.socket);
    EXPECT_EQ(c.active, notifier.active()) << c.socket;
    std::string error;
    EXPECT_FALSE(notifier.Notify("READY=1", &error)) << c.socket;
    EXPECT_NE(std::string::npos, error.find(c.error_contains)) << c.socket << ": " << error;
  }
}

TEST(SystemdNotifyTest, WatchdogIntervalIsHalfTheTimeoutForThisProcess) {
  struct Case {
    const char* usec;
    const char* pid;
    long long interval;
  } cases[] = {
      {"30000000", nullptr, 15000000}, {"30000000", "77", 15000000}, {"30000000", "78", 0},
      {nullptr, nullptr, 0},           {"", nullptr, 0},             {"0", nullptr, 0},
      {"-4", nullptr, 0},              {"12s", nullptr, 0},          {"3", "77x", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.interval, WatchdogInterval(c.usec, c.pid, 77).count())
        << (c.usec ? c.usec : "(unset)") << " " << (c.pid ? c.pid : "(unset)");
  }
}

TEST(SystemdNotifyTest, WatchdogIsFedOnlyWhileHealthy) {
  TempFolder dir;
  int fd = Listen(dir.path() + "/notify");
  ASSERT_GE(fd, 0);
  SystemdNotifier notifier(dir.path() + "/notify");
  std::atomic<bool> healthy{true};
  {
    WatchdogPinger pinger(&notifier, std::chrono::milliseconds(20), [&] { return healthy.load(); });
    EXPECT_EQ("WATCHDOG=1", Receive(fd));
    EXPECT_EQ("WATCHDOG=1", Receive(fd));
    healthy = false;
    // What was sent before the change may still be queued.
    while (Receive(fd, 100) != "(nothing)") {
    }
    EXPECT_EQ("(nothing)", Receive(fd, 200));
    healthy = true;
    EXPECT_EQ("WATCHDOG=1", Receive(fd));
  }
  while (Receive(fd, 50) != "(nothing)") {
  }
  EXPECT_EQ("(nothing)", Receive(fd, 100)) << "a destroyed pinger sent on";
  close(fd);
}

}  // namespace
