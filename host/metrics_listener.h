// The second listener of --metrics-listen: a few loopback requests a minute
// from a monitor, answered by MetricsPage on threads of its own, apart from
// the server's event loops and workers, so that a server whose loops are
// stuck can still say so. Each connection carries one request (the answer
// says "Connection: close") within kDeadline; at most kMaxConnections are
// answered at once and further ones are closed at once. Nothing is logged
// to the access log.
#ifndef HOST_METRICS_LISTENER_H_
#define HOST_METRICS_LISTENER_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "metrics_page.h"

class MetricsListener {
 public:
  static constexpr int kMaxConnections = 4;
  static constexpr std::chrono::seconds kDeadline{10};

  // `page` must outlive the listener.
  explicit MetricsListener(const MetricsPage* page);
  // Stop()s.
  ~MetricsListener();

  // Binds and listens on `host`:`port` (port 0: any free port). False with
  // the reason.
  bool Bind(const std::string& host, int port, std::string* error);
  // Listens on a socket that is listening already (passed by systemd or the
  // process that handed over). False with the reason; the socket is then
  // closed.
  bool Adopt(int fd, std::string* error);
  // The listening socket (for a hand-over), or -1.
  int fd() const { return fd_; }
  // "http://127.0.0.1:9108/metrics".
  std::string Url() const;

  // Starts answering. False with the reason when the thread cannot start.
  bool Start(std::string* error);
  // Stops accepting, closes the listening socket, and waits for the
  // requests being answered (each within kDeadline). Any number of times.
  void Stop();

 private:
  MetricsListener(const MetricsListener&) = delete;
  MetricsListener& operator=(const MetricsListener&) = delete;

  void AcceptLoop();
  void Answer(int connection);

  const MetricsPage* page_;
  int fd_ = -1;
  int wake_[2] = {-1, -1};  // written to at the stop
  std::string address_;     // "127.0.0.1:9108"
  std::thread acceptor_;
  std::mutex mu_;
  std::condition_variable idle_;
  int answering_ = 0;  // guarded by mu_
};

#endif  // HOST_METRICS_LISTENER_H_
