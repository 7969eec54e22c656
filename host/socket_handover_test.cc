// The hand-over's new process, played by small shell scripts: what it is
// given (the sockets at 3 and on, their names, its own LISTEN_PID, the ready
// pipe, nothing else of ours), and what the old process makes of a new one
// that is ready, fails, goes quiet or never answers.
#include "socket_handover.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

int ListeningSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string SocketLink(int fd) {
  struct stat info;
  fstat(fd, &info);
  return "socket:[" + std::to_string(info.st_ino) + "]";
}

// Checks in the new process what it was given (descriptor 50 is one of the
// old process's that must not go along); exits with the number of the first
// thing wrong, else says it is ready.
const char kChecks[] =
    "[ \"$LISTEN_PID\" = \"$$\" ] || exit 11\n"
    "[ \"$LISTEN_FDS\" = 2 ] || exit 12\n"
    "[ \"$LISTEN_FDNAMES\" = http:metrics ] || exit 13\n"
    "[ -z \"$WATCHDOG_PID\" ] || exit 14\n"
    "[ \"$TVXHOST_HANDOVER_FD\" = 5 ] || exit 15\n"
    "[ \"$(readlink /proc/$$/fd/3)\" = \"$1\" ] || exit 16\n"
    "[ \"$(readlink /proc/$$/fd/4)\" = \"$2\" ] || exit 17\n"
    "[ -e /proc/$$/fd/50 ] && exit 18\n"
    "[ \"$KEPT\" = yes ] || exit 19\n"
    "echo \"READY $$\" >&5\n";

class SocketHandoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    http_ = ListeningSocket();
    metrics_ = ListeningSocket();
    ASSERT_GE(http_, 0);
    ASSERT_GE(metrics_, 0);
    // What the old process was given itself is not passed on as it was.
    setenv("WATCHDOG_PID", "1", 1);
    setenv("LISTEN_FDS", "9", 1);
    setenv("KEPT", "yes", 1);
    // A descriptor of ours that a child would inherit unless it is closed.
    int null = open("/dev/null", O_RDONLY);
    ASSERT_EQ(50, dup2(null, 50));
    close(null);
  }
  void TearDown() override {
    close(http_);
    close(metrics_);
    unsetenv("WATCHDOG_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("KEPT");
    close(50);
  }

  bool Start(const std::string& script, std::chrono::milliseconds timeout, pid_t* pid,
             std::string* error) {
    SocketHandover handover("/bin/sh", {"sh", "-c", script, "sh", SocketLink(http_),
                                        SocketLink(metrics_)});
    return handover.Start({{http_, "http"}, {metrics_, "metrics"}}, timeout, pid, error);
  }

  int http_ = -1;
  int metrics_ = -1;
};

TEST_F(SocketHandoverTest, TheNewProcessGetsTheSocketsAndNothingElse) {
  pid_t pid = 0;
  std::string error;
  ASSERT_TRUE(Start(std::string(kChecks) + "exit 0\n", std::chrono::seconds(20), &pid, &error))
      << error << "\n(exit 1x: check x of the script failed)";
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(SocketHandoverTest, ANewProcessThatIsNotReadyIsEndedAndSaysWhy) {
  struct Case {
    std::string script;
    int timeout_ms;
    const char* error_contains;
  } cases[] = {
      {"exit 3", 20000, "ended before it was ready (exit status 3)"},
      {"echo NOT READY >&5; exit 0", 20000, "ended before it was ready (exit status 0)"},
      {"exec 5>&-; sleep 30", 20000, "closed its ready pipe without a word"},
      {"sleep 30", 300, "was not ready within"},
  };
  for (const Case& c : cases) {
    pid_t pid = 0;
    std::string error;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Start(c.script, std::chrono::milliseconds(c.timeout_ms), &pid, &error))
        << c.script;
    EXPECT_NE(std::string::npos, error.find(c.error_contains)) << c.script << ": " << error;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15)) << c.script;
    // Ended and reaped: no child of ours is left.
    EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << c.script;
  }
}

TEST_F(SocketHandoverTest, AProgramThatCannotRunFails) {
  // Executable, but no program the system can run.
  char path[] = "/tmp/handover-test.XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(2, write(fd, "\x7f\x01", 2));
  close(fd);
  chmod(path, 0755);
  SocketHandover handover(path, {"tvxhost"});
  pid_t pid = 0;
  std::string error;
  EXPECT_FALSE(handover.Start({{http_, "http"}}, std::chrono::seconds(20), &pid, &error));
  EXPECT_NE(std::string::npos, error.find("exit status 127")) << error;
  unlink(path);
}

TEST(HandoverPipeTest, ThePipeIsTakenOnceAndOnlyWhenOpen) {
  int ends[2];
  ASSERT_EQ(0, pipe(ends));
  int high = fcntl(ends[1], F_DUPFD, 40);
  close(ends[1]);
  setenv(kHandoverEnv, std::to_string(high).c_str(), 1);
  EXPECT_EQ(high, TakeHandoverPipe());
  EXPECT_EQ(nullptr, getenv(kHandoverEnv));
  EXPECT_EQ(-1, TakeHandoverPipe());
  EXPECT_TRUE(ReportHandoverReady(high));
  char line[64] = {};
  ASSERT_GT(read(ends[0], line, sizeof line - 1), 0);
  EXPECT_EQ("READY " + std::to_string(getpid()) + "\n", std::string(line));
  close(ends[0]);
  for (const char* value : {"", "x", "2", "999"}) {
    setenv(kHandoverEnv, value, 1);
    EXPECT_EQ(-1, TakeHandoverPipe()) << value;
  }
}

}  // namespace
