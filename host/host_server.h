// The HTTP side of tvxhost: a listening socket on event loops (one per
// core, each connection on one of them), HTTPS when a certificate is given,
// the connection limits, and a bounded pool of workers for the plug-in
// calls. What a connection does is in connection.cc.
#ifndef HOST_HOST_SERVER_H_
#define HOST_HOST_SERVER_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "access_log.h"
#include "host_options.h"
#include "metrics_registry.h"
#include "request_handler.h"
#include "server_metrics.h"

class HostServer {
 public:
  // How many jobs may wait for a worker, beyond the ones running: more are
  // answered 503 at once.
  static constexpr size_t kQueuedPerWorker = 16;
  // Bytes a client must take of an answer (and send of a body) per second
  // once the grace of --timeout has passed.
  static constexpr size_t kMinBytesPerSecond = 4096;

  HostServer(const HostOptions& options, RequestHandler* handler, AccessLog* log);
  ~HostServer();

  // Sets up the loop and, for HTTPS, the certificate. False with the reason
  // when the certificate or key cannot be loaded.
  bool Create(std::string* error);
  // Binds the listening socket. False with the reason (e.g. the port is in
  // use). On success port() is the port bound (useful with port 0).
  bool Bind(std::string* error);
  // Listens on a socket that listens already (passed by systemd or by the
  // process that handed over), instead of Bind. False with the reason; the
  // socket is closed then.
  bool Adopt(int fd, std::string* error);
  int port() const { return port_; }
  // "http://127.0.0.1:8080/".
  std::string Url() const;
  // The listening socket, to hand over; -1 before Bind or Adopt.
  int listener_fd();

  // Counts every answer in `metrics` and adds the server's gauges to its
  // registry: connections open by scheme, the worker queue's depth, workers
  // busy. Before Run(); `metrics` must outlive the server.
  void AddMetrics(ServerMetrics* metrics);

  // Serves until Stop(); the requests in flight are finished before it
  // returns. False when the server failed rather than being stopped.
  bool Run();
  // Loads the TLS certificate and key from their files again (SIGHUP), for
  // the connections that start from now on; logs the outcome. A pair that
  // does not load is logged and the one before is kept. Nothing for plain
  // HTTP. Any thread, after Create.
  void ReloadTls();

  // Stops accepting connections, closes the idle ones, lets the others
  // finish their answer, and makes Run() return. Any thread, any number of
  // times; before Run() has started, Run() then returns at once.
  void Stop();
  // For a hand-over to a process that accepts on the same socket: stops
  // accepting and lets each connection end after its next answer (which
  // says "Connection: close"); an idle one ends at its keep-alive timeout.
  // Run() returns once all have ended. Any thread.
  void Drain();
  // Whether every event loop runs a task posted to it within `within`: the
  // server is alive and not stuck. Asked after Create() and before Run(), it
  // waits for Run() to start the loops. False once Run() has ended. Any
  // thread.
  bool LoopsAnswer(std::chrono::milliseconds within);

 private:
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  struct Loop;  // the Asio side, kept out of this header

  // Has the loop stop accepting and the connections stop; once.
  void PostStop();
  // Has the loop stop accepting, then the connections stop (StopAll) or
  // drain (Drain).
  void PostEnd(bool drain);

  const HostOptions options_;
  RequestHandler* handler_;
  AccessLog* log_;
  std::unique_ptr<Loop> loop_;
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_posted_{false};
  std::atomic<bool> drain_posted_{false};
  std::atomic<bool> finished_{false};
  int port_ = 0;
  std::string bound_host_;  // the address listened on, when not --listen's
  ServerMetrics* metrics_ = nullptr;
  std::mutex pool_mu_;  // held while the pool goes, so that no gauge reads it then
};

// Raises the limit of open files to its hard limit. Logs when even that is
// lower than `connections` (plus the files of the server itself) needs.
void RaiseOpenFileLimit(int connections);

#endif  // HOST_HOST_SERVER_H_
