#include "host_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/executor_work_guard.hpp>

#include "connection.h"
#include "error_log.h"
#include "inherited_sockets.h"
#include "worker_pool.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using boost::system::error_code;

constexpr size_t HostServer::kQueuedPerWorker;
constexpr size_t HostServer::kMinBytesPerSecond;

// One io_context per loop thread, each run by that thread alone, as nginx
// runs one event loop per worker: a connection lives on one of them from
// accept to close, so its handlers never need a strand, and no thread is
// woken to take work that its own loop would have done. The acceptor lives
// on the first; accepted connections go to each in turn.
struct HostServer::Loop {
  explicit Loop(int io_threads)
      : contexts(MakeContexts(io_threads)),
        acceptor(*contexts[0]),
        retry(*contexts[0]) {
    for (auto& context : contexts) keep_running.push_back(asio::make_work_guard(*context));
  }

  static std::vector<std::unique_ptr<asio::io_context>> MakeContexts(int count) {
    std::vector<std::unique_ptr<asio::io_context>> made;
    for (int i = 0; i < count; ++i) made.push_back(std::make_unique<asio::io_context>(1));
    return made;
  }

  asio::io_context& first() { return *contexts[0]; }
  asio::any_io_executor NextExecutor() {
    next = (next + 1) % contexts.size();
    return contexts[next]->get_executor();
  }

  void Accept();

  std::vector<std::unique_ptr<asio::io_context>> contexts;
  // Keeps each loop running while it has no connection; let go at the stop,
  // so that each loop ends with its last connection.
  std::vector<asio::executor_work_guard<asio::io_context::executor_type>> keep_running;
  size_t next = 0;  // the loop of the last accepted connection
  tcp::acceptor acceptor;
  asio::steady_timer retry;  // after an accept that failed for want of files
  std::unique_ptr<TlsContextSlot> tls;  // null for plain HTTP
  std::unique_ptr<WorkerPool> pool;
  std::unique_ptr<ConnectionHub> hub;
  int max_connections = 0;
  int max_per_address = 0;
  bool accept_failing = false;
};

void HostServer::Loop::Accept() {
  acceptor.async_accept(NextExecutor(), [this](const error_code& error, tcp::socket socket) {
    if (error == asio::error::operation_aborted) return;
    // A connection accepted just before a hand-over closed the acceptor is
    // served (the drain ends it after its answer): dropping it would reset
    // a client that the other process never saw.
    if (!acceptor.is_open() && (error || hub->stopping())) return;
    if (error) {
      // Out of files or memory: say so once, and try again in a moment
      // rather than spinning.
      if (!accept_failing) LogError("cannot accept a connection: %s", error.message().c_str());
      accept_failing = true;
      retry.expires_after(std::chrono::milliseconds(50));
      retry.async_wait([this](const error_code& wait_error) {
        if (!wait_error) Accept();
      });
      return;
    }
    accept_failing = false;
    error_code peer_error;
    tcp::endpoint peer = socket.remote_endpoint(peer_error);
    if (!peer_error && !hub->stopping()) {
      asio::ip::address address = peer.address();
      if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
      }
      std::string text = address.to_string();
      // A trusted proxy brings the connections of many clients: only the
      // total limit holds it.
      int per_address = hub->handler()->TrustsPeer(text) ? max_connections : max_per_address;
      // Past a limit the connection is closed at once: it costs nothing more.
      if (hub->Admit(text, max_connections, per_address)) {
        StartConnection(hub.get(), std::move(socket), static_cast<int>(next), text, peer.port());
      }
    }
    if (acceptor.is_open()) Accept();
  });
}

HostServer::HostServer(const HostOptions& options, RequestHandler* handler, AccessLog* log)
    : options_(options), handler_(handler), log_(log) {}

HostServer::~HostServer() = default;

bool HostServer::Create(std::string* error) {
  unsigned cores = std::thread::hardware_concurrency();
  loop_ = std::make_unique<Loop>(static_cast<int>(cores == 0 ? 1 : cores));
  if (!options_.tls_cert.empty()) {
    loop_->tls = std::make_unique<TlsContextSlot>(options_.tls_cert, options_.tls_key);
    TlsLoadError failure;
    if (!loop_->tls->Load(&failure)) {
      *error = failure.text;
      return false;
    }
  }
  ConnectionLimits limits;
  limits.handshake = std::chrono::seconds(options_.timeout);
  limits.head = std::chrono::seconds(options_.timeout);
  limits.grace = std::chrono::seconds(options_.timeout);
  limits.keep_alive = std::chrono::seconds(options_.keep_alive_timeout);
  limits.min_bytes_per_second = kMinBytesPerSecond;
  limits.body_limit = options_.body_limit;
  limits.requests_per_connection = options_.keep_alive;
  loop_->pool = std::make_unique<WorkerPool>(
      options_.threads, kQueuedPerWorker * static_cast<size_t>(options_.threads),
      static_cast<int>(loop_->contexts.size()));
  loop_->hub = std::make_unique<ConnectionHub>(limits, handler_, log_, loop_->pool.get(),
                                               loop_->tls.get(), options_.answer_headers,
                                               metrics_);
  loop_->max_connections = options_.max_connections;
  loop_->max_per_address = options_.max_connections_per_address;
  return true;
}

bool HostServer::Bind(std::string* error) {
  std::string where = options_.listen_host + ":" + std::to_string(options_.listen_port);
  error_code failure;
  tcp::resolver resolver(loop_->first());
  auto found = resolver.resolve(options_.listen_host, std::to_string(options_.listen_port),
                                tcp::resolver::passive | tcp::resolver::numeric_service,
                                failure);
  if (failure || found.empty()) {
    *error = "cannot listen on " + where + ": cannot resolve the address: " +
             (failure ? failure.message() : std::string("no address"));
    return false;
  }
  tcp::endpoint endpoint = found.begin()->endpoint();
  tcp::acceptor& acceptor = loop_->acceptor;
  acceptor.open(endpoint.protocol(), failure);
  if (!failure) acceptor.set_option(tcp::acceptor::reuse_address(true), failure);
  if (!failure) acceptor.bind(endpoint, failure);
  if (!failure) acceptor.listen(asio::socket_base::max_listen_connections, failure);
  if (failure) {
    *error = "cannot listen on " + where + ": " + failure.message();
    return false;
  }
  port_ = acceptor.local_endpoint().port();
  return true;
}

bool HostServer::Adopt(int fd, std::string* error) {
  sockaddr_storage address = {};
  socklen_t size = sizeof address;
  if (!IsListeningStream(fd) ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      (address.ss_family != AF_INET && address.ss_family != AF_INET6)) {
    *error = "descriptor " + std::to_string(fd) +
             " passed to listen on is not a listening TCP socket";
    close(fd);
    return false;
  }
  error_code failure;
  loop_->acceptor.assign(address.ss_family == AF_INET ? tcp::v4() : tcp::v6(), fd, failure);
  if (failure) {
    *error = "cannot listen on descriptor " + std::to_string(fd) + ": " + failure.message();
    close(fd);
    return false;
  }
  tcp::endpoint local = loop_->acceptor.local_endpoint(failure);
  port_ = failure ? 0 : local.port();
  bound_host_ = failure ? std::string() : local.address().to_string();
  return true;
}

int HostServer::listener_fd() {
  return loop_ && loop_->acceptor.is_open() ? loop_->acceptor.native_handle() : -1;
}

std::string HostServer::Url() const {
  std::string host = bound_host_.empty() ? options_.listen_host : bound_host_;
  if (host.find(':') != std::string::npos) host = "[" + host + "]";
  return std::string(options_.tls_cert.empty() ? "http" : "https") + "://" + host + ":" +
         std::to_string(port_) + "/";
}

void HostServer::AddMetrics(ServerMetrics* metrics) {
  metrics_ = metrics;
  MetricsRegistry* registry = metrics->registry();
  const bool tls = !options_.tls_cert.empty();
  for (const char* scheme : {"http", "https"}) {
    bool mine = tls == (std::string(scheme) == "https");
    registry->Gauge("tvxhost_connections_open", "Client connections open, by scheme.",
                    MetricLabel("scheme", scheme), [this, mine] {
                      return mine && loop_ && loop_->hub ? loop_->hub->open_connections() : 0;
                    });
  }
  registry->Gauge("tvxhost_worker_queue_depth",
                  "Plug-in calls waiting for a worker (past a limit they are answered 503).", "",
                  [this] {
                    std::lock_guard<std::mutex> lock(pool_mu_);
                    return loop_ && loop_->pool ? static_cast<double>(loop_->pool->queued_jobs())
                                                : 0.0;
                  });
  registry->Gauge("tvxhost_workers_busy", "Workers running a plug-in call.", "", [this] {
    std::lock_guard<std::mutex> lock(pool_mu_);
    return loop_ && loop_->pool
               ? static_cast<double>(options_.threads) - loop_->pool->idle_workers()
               : 0.0;
  });
  registry->Gauge("tvxhost_workers", "Worker threads (--threads).", "",
                  [this] { return static_cast<double>(options_.threads); });
}

bool HostServer::Run() {
  if (stop_requested_) {
    finished_ = true;
    return true;
  }
  Loop* loop = loop_.get();
  loop->Accept();
  running_ = true;
  // A Stop() that did not see the loop running yet is carried out here.
  if (stop_requested_) PostStop();
  std::vector<std::thread> threads;
  for (size_t i = 1; i < loop->contexts.size(); ++i) {
    asio::io_context* context = loop->contexts[i].get();
    threads.emplace_back([context] { context->run(); });
  }
  loop->first().run();
  for (std::thread& thread : threads) thread.join();
  finished_ = true;
  // Every connection has ended; the workers have nothing left to do.
  std::unique_ptr<WorkerPool> pool;
  {
    std::lock_guard<std::mutex> lock(pool_mu_);
    pool = std::move(loop->pool);
  }
  pool.reset();
  return true;
}

void HostServer::ReloadTls() {
  if (loop_ == nullptr || loop_->tls == nullptr) return;
  TlsLoadError failure;
  if (!loop_->tls->Load(&failure)) {
    LogError("SIGHUP: %s; the certificate and key loaded before are kept", failure.text.c_str());
    return;
  }
  LogError("SIGHUP: TLS certificate %s and key %s loaded; connections open before keep the "
           "ones they began with",
           options_.tls_cert.c_str(), options_.tls_key.c_str());
}

void HostServer::Stop() {
  stop_requested_ = true;
  if (running_) PostStop();
}

void HostServer::PostStop() {
  if (stop_posted_.exchange(true)) return;
  PostEnd(false);
}

void HostServer::PostEnd(bool drain) {
  Loop* loop = loop_.get();
  asio::post(loop->first(), [loop, drain] {
    error_code ignored;
    loop->acceptor.close(ignored);
    loop->retry.cancel();
    if (drain) {
      loop->hub->Drain();
    } else {
      loop->hub->StopAll();
    }
    for (auto& guard : loop->keep_running) guard.reset();
  });
}

void HostServer::Drain() {
  stop_requested_ = true;
  if (!running_ || stop_posted_ || drain_posted_.exchange(true)) return;
  PostEnd(true);
}

bool HostServer::LoopsAnswer(std::chrono::milliseconds within) {
  // Between the start-up line and Run() the loops are about to start: a
  // probe then waits for them rather than calling the server dead.
  if (loop_ == nullptr || finished_) return false;
  struct Answers {
    std::mutex mu;
    std::condition_variable done;
    size_t left;
  };
  auto answers = std::make_shared<Answers>();
  answers->left = loop_->contexts.size();
  for (auto& context : loop_->contexts) {
    asio::post(*context, [answers] {
      std::lock_guard<std::mutex> lock(answers->mu);
      if (--answers->left == 0) answers->done.notify_all();
    });
  }
  std::unique_lock<std::mutex> lock(answers->mu);
  return answers->done.wait_for(lock, within, [&answers] { return answers->left == 0; });
}

void RaiseOpenFileLimit(int connections) {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  // Each connection is one file; the store, the log and the plug-ins want
  // a few more.
  rlim_t wanted = static_cast<rlim_t>(connections) + 64;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
    LogError("the open-file limit is %llu, lower than the %llu that --max-connections %d "
             "needs; connections past it are refused",
             static_cast<unsigned long long>(limit.rlim_cur),
             static_cast<unsigned long long>(wanted), connections);
  }
}
