// systemd's notification protocol, written out rather than taken from
// libsystemd: a datagram of "KEY=VALUE" lines to the socket named by
// NOTIFY_SOCKET (a path, or "@name" for an abstract socket). tvxhost sends
//   READY=1                  once it listens (with MAINPID=<pid> when it took
//                            the sockets over from another process)
//   STOPPING=1               when SIGINT or SIGTERM stops it
//   RELOADING=1, READY=1     around what SIGHUP reloads
//   WATCHDOG=1               every half of WATCHDOG_USEC while its event
//                            loops answer (WatchdogPinger)
// Without NOTIFY_SOCKET nothing is sent.
#ifndef HOST_SYSTEMD_NOTIFY_H_
#define HOST_SYSTEMD_NOTIFY_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

class SystemdNotifier {
 public:
  // The socket NOTIFY_SOCKET names; inactive when it is unset or empty.
  static SystemdNotifier FromEnvironment();
  // `socket` as NOTIFY_SOCKET gives it; empty: inactive.
  explicit SystemdNotifier(std::string socket) : socket_(std::move(socket)) {}

  bool active() const { return !socket_.empty(); }
  // Sends `state` (lines of KEY=VALUE, '\n' between them) as one datagram.
  // False when inactive, or with the reason in *error when the socket cannot
  // be reached (a path longer than a socket address takes, say).
  bool Notify(const std::string& state, std::string* error = nullptr) const;

 private:
  std::string socket_;
};

// How often to send WATCHDOG=1 for WATCHDOG_USEC `usec` and WATCHDOG_PID `pid`
// (nullptr: unset) in process `self`: half of the timeout, when the timeout
// is a positive number of microseconds and `pid` is unset or `self`; zero
// (no watchdog) otherwise.
std::chrono::microseconds WatchdogInterval(const char* usec, const char* pid, pid_t self);

// A thread that sends WATCHDOG=1 every `interval` while `healthy()` (asked
// each time) is true; a server that stops answering is then restarted by
// the service manager. Stops when destroyed.
class WatchdogPinger {
 public:
  WatchdogPinger(const SystemdNotifier* notifier, std::chrono::microseconds interval,
                 std::function<bool()> healthy);
  ~WatchdogPinger();

 private:
  WatchdogPinger(const WatchdogPinger&) = delete;
  WatchdogPinger& operator=(const WatchdogPinger&) = delete;

  void Loop();

  const SystemdNotifier* const notifier_;
  const std::chrono::microseconds interval_;
  const std::function<bool()> healthy_;
  std::mutex mu_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mu_
  std::thread thread_;
};

#endif  // HOST_SYSTEMD_NOTIFY_H_
