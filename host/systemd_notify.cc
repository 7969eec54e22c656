#include "systemd_notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "error_log.h"

SystemdNotifier SystemdNotifier::FromEnvironment() {
  const char* socket = getenv("NOTIFY_SOCKET");
  return SystemdNotifier(socket != nullptr ? socket : "");
}

bool SystemdNotifier::Notify(const std::string& state, std::string* error) const {
  if (!active()) return false;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (socket_.size() >= sizeof address.sun_path || (socket_[0] != '/' && socket_[0] != '@')) {
    if (error != nullptr) *error = "NOTIFY_SOCKET is not a socket path: " + socket_;
    return false;
  }
  memcpy(address.sun_path, socket_.data(), socket_.size());
  // "@name" is the abstract socket "\0name", whose length counts exactly.
  if (socket_[0] == '@') address.sun_path[0] = '\0';
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + socket_.size());
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error != nullptr) *error = strerror(errno);
    return false;
  }
  ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL,
                        reinterpret_cast<sockaddr*>(&address), length);
  int failure = errno;
  close(fd);
  if (sent != static_cast<ssize_t>(state.size())) {
    if (error != nullptr) *error = "cannot send to " + socket_ + ": " + strerror(failure);
    return false;
  }
  return true;
}

std::chrono::microseconds WatchdogInterval(const char* usec, const char* pid, pid_t self) {
  if (usec == nullptr || *usec == '\0') return std::chrono::microseconds(0);
  if (pid != nullptr && *pid != '\0') {
    char* end = nullptr;
    long long owner = strtoll(pid, &end, 10);
    if (*end != '\0' || owner != self) return std::chrono::microseconds(0);
  }
  char* end = nullptr;
  errno = 0;
  long long timeout = strtoll(usec, &end, 10);
  if (*end != '\0' || errno != 0 || timeout <= 0) return std::chrono::microseconds(0);
  return std::chrono::microseconds(timeout / 2);
}

WatchdogPinger::WatchdogPinger(const SystemdNotifier* notifier,
                               std::chrono::microseconds interval, std::function<bool()> healthy)
    : notifier_(notifier), interval_(interval), healthy_(std::move(healthy)) {
  thread_ = std::thread(&WatchdogPinger::Loop, this);
}

WatchdogPinger::~WatchdogPinger() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void WatchdogPinger::Loop() {
  bool said_stuck = false;
  std::unique_lock<std::mutex> lock(mu_);
  while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
    lock.unlock();
    bool healthy = healthy_();
    if (healthy) notifier_->Notify("WATCHDOG=1");
    if (!healthy && !said_stuck) {
      LogError("the event loops do not answer; the watchdog is not told that the server lives");
    }
    said_stuck = !healthy;
    lock.lock();
  }
}
