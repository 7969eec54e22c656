#include "socket_handover.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

constexpr std::chrono::seconds SocketHandover::kReadyTimeout;

namespace {

using Clock = std::chrono::steady_clock;

bool IsHandoverVariable(const char* entry) {
  for (const char* name : {"LISTEN_FDS=", "LISTEN_PID=", "LISTEN_FDNAMES=", "WATCHDOG_PID=",
                           "TVXHOST_HANDOVER_FD="}) {
    if (strncmp(entry, name, strlen(name)) == 0) return true;
  }
  return false;
}

// Writes the decimal digits of `value` after `out` (async-signal-safe: the
// child of fork may call nothing else).
void WriteNumber(char* out, long value) {
  char digits[24];
  int count = 0;
  do {
    digits[count++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0);
  while (count > 0) *out++ = digits[--count];
  *out = '\0';
}

// Waits for `pid` up to `within`; true once it is reaped, with its status.
bool ReapWithin(pid_t pid, std::chrono::milliseconds within, int* status = nullptr) {
  Clock::time_point deadline = Clock::now() + within;
  while (true) {
    if (waitpid(pid, status, WNOHANG) != 0) return true;
    if (Clock::now() >= deadline) return false;
    poll(nullptr, 0, 20);
  }
}

void EndChild(pid_t pid) {
  kill(pid, SIGTERM);
  if (!ReapWithin(pid, std::chrono::seconds(5))) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

}  // namespace

SocketHandover SocketHandover::ThisProgram(int argc, const char* const* argv) {
  char path[PATH_MAX];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::vector<std::string> arguments(argv, argv + argc);
  return SocketHandover(
      length > 0 ? std::string(path, static_cast<size_t>(length)) : "/proc/self/exe",
      arguments);
}

bool SocketHandover::Start(const std::vector<InheritedSocket>& sockets,
                           std::chrono::milliseconds timeout, pid_t* pid, std::string* error) {
  const int count = static_cast<int>(sockets.size());
  const int ready_fd = kFirstListenFd + count;
  // The binary replaced by an upgrade is at the path again; one that was
  // removed is still this process's file.
  std::string program = access(program_.c_str(), X_OK) == 0 ? program_ : "/proc/self/exe";

  // Everything the child needs is made here: after fork it may only call
  // async-signal-safe functions.
  std::vector<std::string> variables;
  std::string names;
  for (const InheritedSocket& socket : sockets) names += (names.empty() ? "" : ":") + socket.name;
  variables.push_back("LISTEN_FDS=" + std::to_string(count));
  variables.push_back("LISTEN_FDNAMES=" + names);
  variables.push_back(std::string(kHandoverEnv) + "=" + std::to_string(ready_fd));
  std::vector<char*> envp;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!IsHandoverVariable(*entry)) envp.push_back(*entry);
  }
  for (std::string& variable : variables) envp.push_back(&variable[0]);
  char pid_variable[40] = "LISTEN_PID=";
  envp.push_back(pid_variable);
  envp.push_back(nullptr);
  std::vector<char*> argv;
  for (std::string& argument : arguments_) argv.push_back(&argument[0]);
  argv.push_back(nullptr);

  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) {
    *error = std::string("cannot make a pipe: ") + strerror(errno);
    return false;
  }
  // Copies above the descriptors the child moves them to, so that no move
  // overwrites a socket still to be moved.
  std::vector<int> high;
  for (const InheritedSocket& socket : sockets) {
    high.push_back(fcntl(socket.fd, F_DUPFD_CLOEXEC, ready_fd + 1));
  }
  high.push_back(fcntl(ready[1], F_DUPFD_CLOEXEC, ready_fd + 1));
  close(ready[1]);
  auto close_high = [&high] {
    for (int fd : high) {
      if (fd >= 0) close(fd);
    }
  };
  for (int fd : high) {
    if (fd < 0) {
      *error = std::string("cannot copy a socket: ") + strerror(errno);
      close_high();
      close(ready[0]);
      return false;
    }
  }
  struct rlimit files;
  int last_fd = getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
                        files.rlim_cur < INT_MAX
                    ? static_cast<int>(files.rlim_cur)
                    : 65536;

  pid_t child = fork();
  if (child == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int i = 0; i <= count; ++i) {
      if (dup2(high[static_cast<size_t>(i)], kFirstListenFd + i) < 0) _exit(127);
    }
    // Nothing else of this process goes along: no client connection, no
    // store connection, no log file.
    if (close_range(static_cast<unsigned>(ready_fd + 1), ~0U, 0) != 0) {
      for (int fd = ready_fd + 1; fd < last_fd; ++fd) close(fd);
    }
    WriteNumber(pid_variable + strlen("LISTEN_PID="), static_cast<long>(getpid()));
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int fork_errno = errno;
  close_high();
  if (child < 0) {
    close(ready[0]);
    *error = std::string("cannot start a new process: ") + strerror(fork_errno);
    return false;
  }

  Clock::time_point deadline = Clock::now() + timeout;
  std::string said;
  bool closed = false;
  while (said.find('\n') == std::string::npos && !closed) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    struct pollfd poller = {ready[0], POLLIN, 0};
    int result = poll(&poller, 1, static_cast<int>(left.count()));
    if (result < 0 && errno == EINTR) continue;
    if (result <= 0) break;
    char buffer[64];
    ssize_t got = read(ready[0], buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      closed = true;
      break;
    }
    said.append(buffer, static_cast<size_t>(got));
  }
  close(ready[0]);
  if (said.rfind("READY ", 0) == 0 && said.find('\n') != std::string::npos) {
    *pid = child;
    return true;
  }
  // Anything else said is no readiness: the process is ended as one that
  // went quiet.
  if (!said.empty()) closed = true;
  int status = 0;
  if (closed && ReapWithin(child, std::chrono::seconds(5), &status)) {
    *error = "the new process " + std::to_string(child) + " ended before it was ready (" +
             (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                : "signal " + std::to_string(WTERMSIG(status))) +
             ")";
  } else if (closed) {
    *error = "the new process " + std::to_string(child) + " closed its ready pipe without a word";
    EndChild(child);
  } else {
    *error = "the new process " + std::to_string(child) + " was not ready within " +
             std::to_string(timeout.count() / 1000) + " s";
    EndChild(child);
  }
  return false;
}

int TakeHandoverPipe() {
  const char* value = getenv(kHandoverEnv);
  if (value == nullptr) return -1;
  char* end = nullptr;
  long fd = strtol(value, &end, 10);
  unsetenv(kHandoverEnv);
  if (end == value || *end != '\0' || fd < kFirstListenFd || fd > 1024 ||
      fcntl(static_cast<int>(fd), F_GETFD) < 0) {
    return -1;
  }
  fcntl(static_cast<int>(fd), F_SETFD, FD_CLOEXEC);
  return static_cast<int>(fd);
}

bool ReportHandoverReady(int fd) {
  std::string line = "READY " + std::to_string(getpid()) + "\n";
  ssize_t written = write(fd, line.data(), line.size());
  close(fd);
  return written == static_cast<ssize_t>(line.size());
}
