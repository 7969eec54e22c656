// The connections of a running server: what they share (settings, handler,
// access log, worker pool, counts) and how one is started. Only the listener
// (host_server.cc) and the connection code include this header: it brings
// in Asio.
#ifndef HOST_CONNECTION_H_
#define HOST_CONNECTION_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "access_log.h"
#include "answer_head.h"
#include "request_handler.h"
#include "tls_context.h"
#include "server_metrics.h"
#include "worker_pool.h"

// The deadlines and limits of every connection.
struct ConnectionLimits {
  std::chrono::seconds handshake{10};   // TLS handshake, whole
  std::chrono::seconds head{10};        // a request's head, from its first byte
  std::chrono::seconds grace{10};       // before the body and answer rates apply
  std::chrono::seconds keep_alive{5};   // waiting for the next request
  size_t min_bytes_per_second = 4096;   // body and answer, after the grace
  size_t body_limit = 65536;
  int requests_per_connection = 100;
};

class Connection;

// What every connection of one server shares. Thread-safe.
class ConnectionHub {
 public:
  // `tls` is null for plain HTTP; `headers` are those every answer carries;
  // `metrics`, when not null, counts every answer.
  ConnectionHub(ConnectionLimits limits, RequestHandler* handler, AccessLog* log,
                WorkerPool* pool, TlsContextSlot* tls, AnswerHeaders headers,
                ServerMetrics* metrics = nullptr);

  const ConnectionLimits& limits() const { return limits_; }
  RequestHandler* handler() const { return handler_; }
  AccessLog* log() const { return log_; }
  WorkerPool* pool() const { return pool_; }
  TlsContextSlot* tls() const { return tls_; }
  const AnswerHeaders& answer_headers() const { return answer_headers_; }
  bool stopping() const { return stopping_.load(std::memory_order_relaxed); }
  ServerMetrics* metrics() const { return metrics_; }
  // False once the server stops or drains: answers then end their connection.
  bool keeps_alive() const {
    return !stopping_.load(std::memory_order_relaxed) && !draining_.load(std::memory_order_relaxed);
  }

  // Counts a new connection from `address`; false (nothing counted) when it
  // would pass either limit.
  bool Admit(const std::string& address, int max_total, int max_per_address);
  // Forgets a connection counted by Admit.
  void Release(const std::string& address);
  int open_connections();

  void Register(Connection* connection);
  void Unregister(Connection* connection);
  // From now on no connection is kept alive after its answer; the idle ones
  // are closed at once.
  void StopAll();
  // From now on no connection is kept alive after its answer; idle ones are
  // left to their next request or their keep-alive deadline (a hand-over:
  // closing them now could meet a request already on its way).
  void Drain() { draining_ = true; }

 private:
  ConnectionHub(const ConnectionHub&) = delete;
  ConnectionHub& operator=(const ConnectionHub&) = delete;

  const ConnectionLimits limits_;
  RequestHandler* const handler_;
  AccessLog* const log_;
  WorkerPool* const pool_;
  TlsContextSlot* const tls_;
  const AnswerHeaders answer_headers_;
  ServerMetrics* const metrics_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> draining_{false};

  std::mutex mu_;
  int total_ = 0;                                     // guarded by mu_
  std::unordered_map<std::string, int> per_address_;  // guarded by mu_
  std::unordered_set<Connection*> connections_;       // guarded by mu_
};

// One accepted connection: a small object on one loop thread (the socket's
// executor, run by that thread alone) that reads requests, has them answered, and writes the answers,
// each phase under its deadline.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  virtual ~Connection() = default;
  // Called on the connection's loop thread when the server stops.
  virtual void OnStop() = 0;
  virtual boost::asio::any_io_executor executor() = 0;
};

// Starts serving `socket` (its executor the thread of event loop `loop`),
// counted by hub->Admit for `peer_addr` already. The connection's plug-in
// calls go to that loop's workers first. Over TLS the connection keeps the
// context that is current now to its end.
void StartConnection(ConnectionHub* hub, boost::asio::ip::tcp::socket socket, int loop,
                     const std::string& peer_addr, int peer_port);

#endif  // HOST_CONNECTION_H_
