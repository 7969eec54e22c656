// The HTTP side of tvxhost: an HTTP (or HTTPS) server from cpp-httplib with
// the connection settings of the command line, every GET, HEAD and POST
// handed to the RequestHandler, other methods answered 405, error pages, and
// one access-log line per answer.
#ifndef HOST_HOST_SERVER_H_
#define HOST_HOST_SERVER_H_

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>

#include "access_log.h"
#include "host_options.h"
#include "request_handler.h"

// 0 when the request's headers say unambiguously where its body ends; else
// the status to refuse it with: 400 for a header name that is not a token, a
// Content-Length given twice or not made of digits, or one beside a
// Transfer-Encoding; 501 for a Transfer-Encoding other than one "chunked".
int CheckFraming(const httplib::Headers& headers);

class HostServer {
 public:
  HostServer(const HostOptions& options, RequestHandler* handler, AccessLog* log);

  // Builds the server (HTTPS when a certificate is given). False with the
  // reason when the certificate or key cannot be loaded.
  bool Create(std::string* error);
  // Binds the listening socket. False with the reason (e.g. the port is in
  // use). On success port() is the port bound (useful with port 0).
  bool Bind(std::string* error);
  int port() const { return port_; }
  // "http://127.0.0.1:8080/".
  std::string Url() const;

  // Serves until Stop(); the requests in flight are finished before it
  // returns. False when the server failed rather than being stopped.
  bool Run();
  // Stops accepting connections and makes Run() return. Any thread; safe to
  // call before Run() has started (Run() then returns at once).
  void Stop();

 private:
  HostServer(const HostServer&) = delete;
  HostServer& operator=(const HostServer&) = delete;

  void Configure();

  const HostOptions options_;
  RequestHandler* handler_;
  AccessLog* log_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<int> listen_fd_{-1};
  std::atomic<bool> stop_requested_{false};
  std::atomic<bool> stop_sent_{false};
  int port_ = 0;
};

#endif  // HOST_HOST_SERVER_H_
