#include "bounded_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace {

using Clock = std::chrono::steady_clock;

// The socket of one connection, read through a small buffer (the HTTP
// library reads the head a byte at a time), with the deadlines described in
// the header. Reads and writes past a deadline fail as a timed-out one does.
class DeadlineStream : public httplib::Stream {
 public:
  DeadlineStream(socket_t sock, std::chrono::seconds timeout)
      : sock_(sock), timeout_(timeout) {}

  // A new request begins: its head must be whole by the timeout.
  void StartHead() {
    phase_ = Phase::kHead;
    phase_start_ = Clock::now();
    phase_bytes_ = 0;
    head_complete_ = false;
  }
  // The head was read whole and went to routing.
  void HeadComplete() {
    head_complete_ = true;
    StartBody();
  }
  bool head_complete() const { return head_complete_; }
  void StartBody() {
    phase_ = Phase::kBody;
    phase_start_ = Clock::now();
    phase_bytes_ = 0;
  }
  bool buffered() const { return begin_ < end_; }
  // True when a read failed: cut at kMaxHeadBytes or a deadline, an error,
  // or the end of the input. What is left of the request is unread (or
  // never came), so the connection cannot go on after the answer.
  bool read_failed() const { return read_failed_; }
  void set_close_after_answer() { close_after_answer_ = true; }
  bool close_after_answer() const { return close_after_answer_; }

  bool is_readable() const override {
    return begin_ < end_ || WaitFor(POLLIN, Remaining());
  }
  bool is_writable() const override { return WaitFor(POLLOUT, Remaining()); }

  ssize_t read(char* ptr, size_t size) override {
    if (phase_ == Phase::kAnswer) StartBody();  // a read after writing: more body
    if (phase_ == Phase::kHead && phase_bytes_ >= BoundedServer::kMaxHeadBytes) {
      read_failed_ = true;
      return -1;
    }
    if (begin_ == end_) {
      if (!WaitFor(POLLIN, Remaining())) {
        read_failed_ = true;
        return -1;
      }
      ssize_t got;
      do {
        got = recv(sock_, buffer_, sizeof buffer_, 0);
      } while (got < 0 && errno == EINTR);
      if (got <= 0) {
        read_failed_ = true;
        return got;
      }
      begin_ = 0;
      end_ = static_cast<size_t>(got);
    }
    size_t n = std::min(size, end_ - begin_);
    if (phase_ == Phase::kHead) {
      n = std::min(n, BoundedServer::kMaxHeadBytes - phase_bytes_);
    }
    memcpy(ptr, buffer_ + begin_, n);
    begin_ += n;
    phase_bytes_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (phase_ != Phase::kAnswer) {
      phase_ = Phase::kAnswer;
      phase_start_ = Clock::now();
      phase_bytes_ = 0;
    }
    if (!WaitFor(POLLOUT, Remaining())) return -1;
    ssize_t sent;
    do {
      sent = send(sock_, ptr, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent > 0) phase_bytes_ += static_cast<size_t>(sent);
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    struct sockaddr_storage addr;
    socklen_t length = sizeof addr;
    if (getpeername(sock_, reinterpret_cast<struct sockaddr*>(&addr), &length) == 0) {
      AddressOf(addr, length, &ip, &port);
    }
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    struct sockaddr_storage addr;
    socklen_t length = sizeof addr;
    if (getsockname(sock_, reinterpret_cast<struct sockaddr*>(&addr), &length) == 0) {
      AddressOf(addr, length, &ip, &port);
    }
  }
  socket_t socket() const override { return sock_; }

 private:
  enum class Phase { kHead, kBody, kAnswer };

  static void AddressOf(const struct sockaddr_storage& addr, socklen_t length, std::string* ip,
                        int* port) {
    if (addr.ss_family == AF_INET) {
      *port = ntohs(reinterpret_cast<const struct sockaddr_in*>(&addr)->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      *port = ntohs(reinterpret_cast<const struct sockaddr_in6*>(&addr)->sin6_port);
    }
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const struct sockaddr*>(&addr), length, host, sizeof host,
                    nullptr, 0, NI_NUMERICHOST) == 0) {
      *ip = host;
    }
  }

  // Time left before the current phase's deadline, at most one timeout (the
  // bound of a single read or write).
  Clock::duration Remaining() const {
    Clock::time_point deadline = phase_start_ + timeout_;
    if (phase_ != Phase::kHead) {
      deadline += std::chrono::milliseconds(phase_bytes_ * 1000 /
                                            BoundedServer::kMinBytesPerSecond);
    }
    Clock::duration left = deadline - Clock::now();
    return std::min<Clock::duration>(left, timeout_);
  }

  bool WaitFor(short events, Clock::duration left) const {
    while (left > Clock::duration::zero()) {
      struct pollfd pfd = {sock_, events, 0};
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
      int rc = poll(&pfd, 1, static_cast<int>(std::max<long long>(ms, 1)));
      if (rc > 0) return true;
      if (rc == 0) return false;
      if (errno != EINTR) return false;
      left = Remaining();
    }
    return false;
  }

  const socket_t sock_;
  const Clock::duration timeout_;
  Phase phase_ = Phase::kHead;
  Clock::time_point phase_start_ = Clock::now();
  size_t phase_bytes_ = 0;
  bool read_failed_ = false;
  bool head_complete_ = false;
  bool close_after_answer_ = false;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

thread_local DeadlineStream* t_stream = nullptr;

}  // namespace

void BoundedServer::HeadComplete() {
  if (t_stream != nullptr) t_stream->HeadComplete();
}

void BoundedServer::CloseAfterAnswer() {
  if (t_stream != nullptr) t_stream->set_close_after_answer();
}

bool BoundedServer::AwaitRequest(socket_t sock, bool buffered) {
  if (buffered) return true;
  Clock::time_point until = Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_);
  while (svr_sock_ != INVALID_SOCKET) {
    struct pollfd pfd = {sock, POLLIN, 0};
    int rc = poll(&pfd, 1, 100);  // short steps, so that a stopping server is seen
    if (rc > 0) return true;
    if (rc < 0 && errno != EINTR) return false;
    if (Clock::now() >= until) return false;
  }
  return false;
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
  DeadlineStream stream(sock, std::chrono::seconds(std::max<time_t>(read_timeout_sec_, 1)));
  t_stream = &stream;
  bool ok = false;
  for (size_t count = keep_alive_max_count_; count > 0; --count) {
    if (!AwaitRequest(sock, stream.buffered())) break;
    stream.StartHead();
    bool connection_closed = false;
    ok = process_request(stream, count == 1, connection_closed, nullptr);
    if (!ok || connection_closed || stream.read_failed() || stream.close_after_answer()) break;
    // Answered without routing: the library refused the request line or a
    // header (400, 414) and left the rest of the head unread. Those bytes are
    // no request of their own, so they are never read as one.
    if (!stream.head_complete()) break;
  }
  t_stream = nullptr;
  shutdown(sock, SHUT_RDWR);
  close(sock);
  return ok;
}
