#include "bounded_server.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
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
    // A read after writing (an interim 100 Continue, then the body): what
    // was written must reach the client first, or it may wait for it.
    if (!Flush()) {
      read_failed_ = true;
      return -1;
    }
    if (phase_ == Phase::kAnswer) StartBody();
    if (phase_ == Phase::kHead && phase_bytes_ >= BoundedServer::kMaxHeadBytes) {
      read_failed_ = true;
      return -1;
    }
    if (begin_ == end_) {
      ssize_t got = Receive();
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

  // Writes all of [ptr, size) or fails (-1): the HTTP library sends a body
  // given whole with a single write and takes any count above zero for
  // success, so a short write would cut the answer. Small writes (the status
  // line and headers, a short body) wait in a buffer and leave with the next
  // write, or with Flush() at the end of the answer: one send per answer.
  ssize_t write(const char* ptr, size_t size) override {
    if (phase_ != Phase::kAnswer) {
      phase_ = Phase::kAnswer;
      phase_start_ = Clock::now();
      phase_bytes_ = 0;
    }
    if (pending_.size() + size <= BoundedServer::kCoalesceBytes) {
      pending_.append(ptr, size);
      return static_cast<ssize_t>(size);
    }
    if (!SendAll(ptr, size)) return -1;
    return static_cast<ssize_t>(size);
  }

  // Sends what write() kept back. False when the connection failed or the
  // client stopped reading; the answer is then incomplete.
  bool Flush() { return pending_.empty() || SendAll(nullptr, 0); }

  // The addresses of a connection never change: each is asked for once.
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    if (!remote_.known) {
      struct sockaddr_storage addr;
      socklen_t length = sizeof addr;
      if (getpeername(sock_, reinterpret_cast<struct sockaddr*>(&addr), &length) != 0) return;
      AddressOf(addr, length, &remote_);
    }
    ip = remote_.ip;
    port = remote_.port;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    if (!local_.known) {
      struct sockaddr_storage addr;
      socklen_t length = sizeof addr;
      if (getsockname(sock_, reinterpret_cast<struct sockaddr*>(&addr), &length) != 0) return;
      AddressOf(addr, length, &local_);
    }
    ip = local_.ip;
    port = local_.port;
  }
  socket_t socket() const override { return sock_; }

 private:
  enum class Phase { kHead, kBody, kAnswer };

  struct Address {
    bool known = false;
    std::string ip;
    int port = 0;
  };

  static void AddressOf(const struct sockaddr_storage& addr, socklen_t length, Address* out) {
    if (addr.ss_family == AF_INET) {
      out->port = ntohs(reinterpret_cast<const struct sockaddr_in*>(&addr)->sin_port);
    } else if (addr.ss_family == AF_INET6) {
      out->port = ntohs(reinterpret_cast<const struct sockaddr_in6*>(&addr)->sin6_port);
    }
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const struct sockaddr*>(&addr), length, host, sizeof host,
                    nullptr, 0, NI_NUMERICHOST) == 0) {
      out->ip = host;
    }
    out->known = true;
  }

  // One recv into the buffer. The socket is tried first and waited for only
  // when it has nothing, as long as the phase's deadline allows.
  ssize_t Receive() {
    if (Remaining() <= Clock::duration::zero()) return -1;
    while (true) {
      ssize_t got = recv(sock_, buffer_, sizeof buffer_, MSG_DONTWAIT);
      if (got >= 0) return got;
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
      if (!WaitFor(POLLIN, Remaining())) return -1;
    }
  }

  // Sends the pending bytes and then [ptr, size), all of them, in as few
  // sends as the socket takes. The socket is waited for only when it is
  // full, and never past the answer's deadline.
  bool SendAll(const char* ptr, size_t size) {
    size_t pending_done = 0;
    size_t done = 0;
    while (pending_done < pending_.size() || done < size) {
      struct iovec parts[2];
      int count = 0;
      if (pending_done < pending_.size()) {
        parts[count].iov_base = &pending_[pending_done];
        parts[count].iov_len = pending_.size() - pending_done;
        ++count;
      }
      if (done < size) {
        parts[count].iov_base = const_cast<char*>(ptr + done);
        parts[count].iov_len = size - done;
        ++count;
      }
      struct msghdr message = {};
      message.msg_iov = parts;
      message.msg_iovlen = static_cast<size_t>(count);
      ssize_t sent = Remaining() > Clock::duration::zero()
                         ? sendmsg(sock_, &message, MSG_NOSIGNAL | MSG_DONTWAIT)
                         : -1;
      if (sent < 0) {
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(POLLOUT, Remaining())) continue;
        pending_.clear();
        return false;
      }
      size_t moved = static_cast<size_t>(sent);
      phase_bytes_ += moved;
      size_t from_pending = std::min(moved, pending_.size() - pending_done);
      pending_done += from_pending;
      done += moved - from_pending;
    }
    pending_.clear();
    return true;
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
  std::string pending_;  // written, not yet sent
  mutable Address remote_;
  mutable Address local_;
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
    // The answer's last bytes may still wait in the stream.
    if (!stream.Flush()) ok = false;
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
