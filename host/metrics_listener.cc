#include "metrics_listener.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "answer_head.h"
#include "inherited_sockets.h"
#include "request_reader.h"

constexpr int MetricsListener::kMaxConnections;
constexpr std::chrono::seconds MetricsListener::kDeadline;

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, at least 0.
int MillisecondsLeft(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for `fd` to be ready for `events` until `deadline`.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    struct pollfd poller = {fd, events, 0};
    int result = poll(&poller, 1, MillisecondsLeft(deadline));
    if (result > 0) return true;
    if (result == 0 || errno != EINTR) return false;
  }
}

bool SendAll(int fd, const char* data, size_t size, Clock::time_point deadline) {
  while (size > 0) {
    ssize_t sent = send(fd, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      data += sent;
      size -= static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT, deadline)) {
      continue;
    }
    return false;
  }
  return true;
}

}  // namespace

MetricsListener::MetricsListener(const MetricsPage* page) : page_(page) {}

MetricsListener::~MetricsListener() { Stop(); }

bool MetricsListener::Bind(const std::string& host, int port, std::string* error) {
  std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                      std::to_string(port);
  struct addrinfo hints = {};
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    *error = "cannot listen for metrics on " + where + ": " + gai_strerror(resolved);
    return false;
  }
  int fd = socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  bool ok = fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
            bind(fd, found->ai_addr, found->ai_addrlen) == 0 && listen(fd, 64) == 0;
  int failure = errno;
  freeaddrinfo(found);
  if (!ok) {
    if (fd >= 0) close(fd);
    *error = "cannot listen for metrics on " + where + ": " + strerror(failure);
    return false;
  }
  fd_ = fd;
  address_ = SocketAddressText(fd);
  return true;
}

bool MetricsListener::Adopt(int fd, std::string* error) {
  if (!IsListeningStream(fd)) {
    *error = "descriptor " + std::to_string(fd) + " passed for metrics is not a listening socket";
    close(fd);
    return false;
  }
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  fd_ = fd;
  address_ = SocketAddressText(fd);
  return true;
}

std::string MetricsListener::Url() const { return "http://" + address_ + "/metrics"; }

bool MetricsListener::Start(std::string* error) {
  if (pipe2(wake_, O_CLOEXEC) != 0) {
    *error = std::string("cannot start the metrics listener: ") + strerror(errno);
    return false;
  }
  fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
  try {
    acceptor_ = std::thread(&MetricsListener::AcceptLoop, this);
  } catch (const std::system_error& failure) {
    *error = std::string("cannot start the metrics listener: ") + failure.what();
    return false;
  }
  return true;
}

void MetricsListener::Stop() {
  if (acceptor_.joinable()) {
    char byte = 0;
    ssize_t ignored = write(wake_[1], &byte, 1);
    (void)ignored;
    acceptor_.join();
  }
  std::unique_lock<std::mutex> lock(mu_);
  idle_.wait(lock, [this] { return answering_ == 0; });
  lock.unlock();
  for (int* fd : {&fd_, &wake_[0], &wake_[1]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

void MetricsListener::AcceptLoop() {
  while (true) {
    struct pollfd pollers[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    if (poll(pollers, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (pollers[1].revents != 0) return;
    int connection = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) {
      // Out of files: a moment's rest instead of a spin.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        poll(nullptr, 0, 50);
      }
      continue;
    }
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (answering_ >= kMaxConnections) {
        close(connection);
        continue;
      }
      ++answering_;
    }
    try {
      std::thread(&MetricsListener::Answer, this, connection).detach();
    } catch (const std::system_error&) {
      close(connection);
      std::lock_guard<std::mutex> lock(mu_);
      --answering_;
      idle_.notify_all();
    }
  }
}

void MetricsListener::Answer(int connection) {
  Clock::time_point deadline = Clock::now() + kDeadline;
  fcntl(connection, F_SETFL, fcntl(connection, F_GETFL) | O_NONBLOCK);
  // A request to a metrics page carries no body worth reading.
  RequestReader reader(0);
  HttpRequest request;
  HttpAnswer answer;
  std::string pending;
  bool whole = false;
  char buffer[4096];
  while (!whole && WaitFor(connection, POLLIN, deadline)) {
    ssize_t got = recv(connection, buffer, sizeof buffer, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    pending.append(buffer, static_cast<size_t>(got));
    size_t used = 0;
    RequestReader::Step step = reader.Feed(pending.data(), pending.size(), &used);
    pending.erase(0, used);
    if (step == RequestReader::Step::kHead) {
      step = reader.Feed(pending.data(), pending.size(), &used);
      pending.erase(0, used);
    }
    if (step == RequestReader::Step::kDone) {
      reader.Take(&request);
      page_->Serve(request, &answer);
      whole = true;
    } else if (step == RequestReader::Step::kRefused) {
      answer.Refuse(reader.refusal());
      request.method = "GET";
      whole = true;
    }
  }
  if (whole) {
    std::string head = FinishAnswer(false, &answer);
    bool sent = SendAll(connection, head.data(), head.size(), deadline);
    if (sent && AnswerHasBody(request.method, answer.status)) {
      SendAll(connection, answer.MemoryBody(), answer.BodySize(), deadline);
    }
    shutdown(connection, SHUT_WR);
  }
  close(connection);
  std::lock_guard<std::mutex> lock(mu_);
  --answering_;
  idle_.notify_all();
}
