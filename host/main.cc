// tvxhost: the web server that runs the .tvx plug-ins. See HostUsage() for
// the command line.
#include <errno.h>
#include <limits.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "access_log.h"
#include "access_policy.h"
#include "ceplatform.h"
#include "config_check.h"
#include "error_log.h"
#include "host_options.h"
#include "host_server.h"
#include "inherited_sockets.h"
#include "metrics_listener.h"
#include "plugin_cache.h"
#include "request_guard.h"
#include "request_handler.h"
#include "socket_handover.h"
#include "store_call_meter.h"
#include "store_file_check.h"
#include "store_readiness.h"
#include "systemd_notify.h"

namespace {

int BadOption(const std::string& message) {
  fprintf(stderr, "tvxhost: %s\nTry 'tvxhost --help'.\n", message.c_str());
  return 2;
}

// The last line of a --check that found `problems`.
int CheckVerdict(const std::string& config_file, size_t problems) {
  std::string from = config_file.empty() ? "the command line" : config_file;
  if (problems > 0) {
    printf("tvxhost: %s has %zu problem%s\n", from.c_str(), problems, problems == 1 ? "" : "s");
    return 2;
  }
  printf("tvxhost: %s is good\n", from.c_str());
  return 0;
}

// tvxhost --check: 0 when everything the server would open is good, else 2.
// Every line goes to the standard output in the order found, so that a pipe
// keeps the good items and the problems in their order.
int CheckOnly(const HostOptions& options) {
  std::vector<std::string> problems, passed, in_order;
  CheckHostOptions(options, &problems, &passed, &in_order);
  for (const std::string& line : in_order) printf("tvxhost: %s\n", line.c_str());
  return CheckVerdict(options.config_file, problems.size());
}

// The --config FILE of the command line, for a report on options that did
// not parse.
std::string ConfigFileArgument(int argc, char** argv) {
  std::string file;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--config" && i + 1 < argc) file = argv[i + 1];
    if (arg.rfind("--config=", 0) == 0) file = arg.substr(9);
  }
  return file;
}

bool HasCheck(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--check") == 0) return true;
  }
  return false;
}

// What the signal thread needs, and what it may act on.
struct ServiceParts {
  HostServer* server = nullptr;
  AccessLog* log = nullptr;
  const SystemdNotifier* notifier = nullptr;
  MetricsListener* metrics = nullptr;  // null without --metrics-listen
  SocketHandover* handover = nullptr;
  std::atomic<bool>* handing_over = nullptr;
};

// SIGUSR2: starts a new copy of the program on the listening sockets and,
// once it serves, drains this one. Runs on a thread of its own, so that
// SIGTERM is still heard meanwhile.
void HandOver(ServiceParts parts) {
  std::vector<InheritedSocket> sockets;
  sockets.push_back(InheritedSocket{parts.server->listener_fd(), "http"});
  if (parts.metrics != nullptr && parts.metrics->fd() >= 0) {
    sockets.push_back(InheritedSocket{parts.metrics->fd(), "metrics"});
  }
  LogError("SIGUSR2: starting %s on the listening sockets", parts.handover->program().c_str());
  pid_t pid = 0;
  std::string error;
  if (!parts.handover->Start(sockets, SocketHandover::kReadyTimeout, &pid, &error)) {
    LogError("the hand-over failed: %s; serving on", error.c_str());
    parts.handing_over->store(false);
    return;
  }
  LogError("process %d serves on the listening sockets: finishing the requests in flight, "
           "then stopping", static_cast<int>(pid));
  parts.server->Drain();
  if (parts.metrics != nullptr) parts.metrics->Stop();
}

// The real path of a file that may not exist yet: its folder resolved, its
// name kept. Empty when the folder does not exist.
std::string RealFilePath(const std::string& path) {
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer) != nullptr) return buffer;
  size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || realpath(folder.c_str(), buffer) == nullptr) return std::string();
  std::string real = buffer;
  return (real == "/" ? "" : real) + "/" + name;
}

// Waits for the signals that every other thread blocks: SIGINT and SIGTERM
// stop the server (a second one ends the process at once), SIGHUP reopens the
// access log and loads the TLS certificate and key again, SIGUSR2 hands the
// listening sockets over, SIGUSR1 tells this thread that the server has stopped.
void SignalLoop(sigset_t signals, ServiceParts parts, std::atomic<bool>* finished) {
  HostServer* server = parts.server;
  bool stopping = false;
  std::thread stopper, handing;
  while (true) {
    int signal_number = 0;
    if (sigwait(&signals, &signal_number) != 0) continue;
    if (signal_number == SIGUSR1 && finished->load()) break;
    if (signal_number == SIGHUP) {
      parts.notifier->Notify("RELOADING=1");
      parts.log->Reopen();
      server->ReloadTls();
      parts.notifier->Notify("READY=1");
      continue;
    }
    if (signal_number == SIGUSR2) {
      if (stopping || parts.handing_over->exchange(true)) {
        LogError("SIGUSR2: %s; ignored", stopping ? "stopping" : "a hand-over is under way");
        continue;
      }
      if (handing.joinable()) handing.join();
      handing = std::thread(HandOver, parts);
      continue;
    }
    if (signal_number != SIGINT && signal_number != SIGTERM) continue;
    if (stopping) {
      LogError("second %s: exiting without waiting", strsignal(signal_number));
      _exit(1);
    }
    stopping = true;
    parts.notifier->Notify("STOPPING=1");
    LogError("%s: finishing the requests in flight, then stopping", strsignal(signal_number));
    // Stop may race with the start of the server loop: repeat until it ends.
    stopper = std::thread([server, finished] {
      while (!finished->load()) {
        server->Stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  if (stopper.joinable()) stopper.join();
  if (handing.joinable()) handing.join();
}

// A store that the server cannot use stops the start with a message naming
// it (exit 2); a database server that does not answer yet does not, since
// machines boot in any order: the plug-ins answer 503 until it does.
int CheckStoreAtStart(bool store_is_server, const std::string& store_real,
                      const std::string& store_shown, StoreReadiness* readiness) {
  std::string problem;
  if (!store_is_server) problem = StoreFileProblem(store_real);
  if (!problem.empty()) {
    fprintf(stderr, "tvxhost: the store file %s %s\n", store_shown.c_str(), problem.c_str());
    return 2;
  }
  std::string reason;
  if (readiness->Check(&reason)) return 0;
  if (!store_is_server) {
    fprintf(stderr, "tvxhost: cannot open the store file %s (%s)\n", store_shown.c_str(),
            reason.c_str());
    return 2;
  }
  LogError("warning: the store %s does not answer (%s); serving anyway, and the pages that "
           "need it answer 503 until it does",
           store_shown.c_str(), reason.c_str());
  return 0;
}

// glibc gives a thread that finds the arenas busy an arena of its own, up to
// eight per core. With many worker threads, the memory freed by the
// requests then lies in many arenas, each keeping free pages of its own,
// and the resident size creeps up for a long while under load (+2 MiB over
// 100,000 board pages with 32 workers). An arena per core keeps the workers
// that run at one time apart; small blocks mostly come from each thread's own
// cache and never take an arena's lock. The price is some waiting on the lock
// for large blocks (a few per cent of the board page rate on two busy
// cores). MALLOC_ARENA_MAX in the environment still has the last word.
void BoundMallocArenas() {
  if (getenv("MALLOC_ARENA_MAX") != nullptr) return;
  long cores = sysconf(_SC_NPROCESSORS_ONLN);
  mallopt(M_ARENA_MAX, static_cast<int>(cores < 1 ? 1 : (cores > 8 ? 8 : cores)));
}

}  // namespace

int main(int argc, char** argv) {
  BoundMallocArenas();
  const char* env_store = getenv(CEPLATFORM_STORE_ENV);
  std::string default_store =
      env_store != nullptr && env_store[0] != '\0' ? env_store : CEPLATFORM_DEFAULT_STORE;
  // Taken before anything else can start a program: they are this
  // process's, not its children's.
  SocketHandover handover = SocketHandover::ThisProgram(argc, argv);
  const int handover_pipe = TakeHandoverPipe();
  std::vector<std::string> socket_problems;
  std::vector<InheritedSocket> inherited = TakeInheritedSockets(&socket_problems);

  HostOptions options;
  std::string error;
  std::vector<std::string> errors;
  switch (ParseHostOptions(argc, argv, default_store, &options, &errors)) {
    case ParseResult::kHelp:
      fputs(HostUsage().c_str(), stdout);
      return 0;
    case ParseResult::kVersion:
      fputs(HostVersion().c_str(), stdout);
      return 0;
    case ParseResult::kError:
      if (HasCheck(argc, argv)) {
        for (const std::string& line : errors) printf("tvxhost: %s\n", line.c_str());
        return CheckVerdict(ConfigFileArgument(argc, argv), errors.size());
      }
      return BadOption(errors.empty() ? "bad options" : errors.front());
    case ParseResult::kRun:
      break;
  }
  if (options.check) return CheckOnly(options);
  for (const std::string& line : socket_problems) LogError("%s", line.c_str());

  RaiseOpenFileLimit(options.max_connections);

  // Signals are taken by one thread with sigwait; every thread started from
  // here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  char buffer[PATH_MAX];
  struct stat info;
  if (realpath(options.root.c_str(), buffer) == nullptr || stat(buffer, &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    return BadOption("document root " + options.root + " is not a folder");
  }
  std::string root_real = buffer;

  // A PostgreSQL URI goes to the platform as it is: it names no file here.
  const bool store_is_server = options.store.rfind("postgresql://", 0) == 0 ||
                               options.store.rfind("postgres://", 0) == 0;
  std::string store_real = store_is_server ? options.store : RealFilePath(options.store);
  // Shown without the passwords a URI may carry.
  const std::string store_shown =
      PlatformPrintableLocation(store_real.empty() ? options.store : store_real);
  if (store_real.empty()) {
    return BadOption("the folder of the store file " + store_shown + " does not exist");
  }
  if (!PlatformSetStorePath(store_real.c_str())) {
    return BadOption("cannot use " + store_shown + " as the store");
  }
  StoreReadiness readiness;
  if (int failed = CheckStoreAtStart(store_is_server, store_real, store_shown, &readiness)) {
    return failed;
  }

  AccessLog access_log;
  if (!access_log.Open(options.access_log, &error)) return BadOption(error);

  AccessPolicy policy;
  for (const AuthOption& auth : options.auth) {
    if (!policy.AddAuth(auth.prefix, auth.htpasswd_path, &error)) return BadOption(error);
  }
  for (const AllowOption& allow : options.allow) {
    if (!policy.AddAllow(allow.prefix, allow.addresses, &error)) return BadOption(error);
  }

  // A typo in the deny file stops the start: it must not leave open an
  // address the owner meant to shut out.
  std::unique_ptr<DenyList> deny;
  if (!options.guard.deny_file.empty()) {
    deny = std::make_unique<DenyList>(options.guard.deny_file,
                                      [](const std::string& line) { LogError("%s", line.c_str()); });
    if (!deny->Load(&error)) return BadOption(error);
  }
  for (const std::string& line : GuardStartWarnings(options.guard)) LogError("%s", line.c_str());
  RequestGuard guard(options.guard, std::move(deny));

  HandlerConfig config;
  config.root_real = root_real;
  config.realm = options.realm;
  config.tls = !options.tls_cert.empty();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
    if (!store_is_server) config.private_files.insert(store_real + suffix);
  }
  for (const AuthOption& auth : options.auth) config.private_files.insert(RealFilePath(auth.htpasswd_path));
  if (!options.access_log.empty() && options.access_log != "-") {
    config.private_files.insert(RealFilePath(options.access_log));
  }
  if (config.tls) {
    config.private_files.insert(RealFilePath(options.tls_key));
  }
  if (!options.guard.deny_file.empty()) {
    config.private_files.insert(RealFilePath(options.guard.deny_file));
  }

  // Counted from before the first plug-in call.
  MetricsRegistry registry;
  ServerMetrics server_metrics(&registry);
  AttachStoreCallMeter(&registry);

  PluginCache plugins;
  RequestHandler handler(config, &policy, &plugins, &guard);
  HostServer server(options, &handler, &access_log);
  server.AddMetrics(&server_metrics);
  if (!server.Create(&error)) return BadOption(error);
  int http_fd = -1, metrics_fd = -1;
  for (const InheritedSocket& socket : inherited) {
    int* slot = socket.name == "metrics" ? &metrics_fd : &http_fd;
    if (*slot < 0 && (socket.name != "metrics" || options.metrics_port >= 0)) {
      *slot = socket.fd;
      continue;
    }
    LogError("the passed socket %d (%s, %s) is not used", socket.fd, socket.name.c_str(),
             SocketAddressText(socket.fd).c_str());
    close(socket.fd);
  }
  bool listening = http_fd >= 0 ? server.Adopt(http_fd, &error) : server.Bind(&error);
  if (!listening) {
    fprintf(stderr, "tvxhost: %s\n", error.c_str());
    return 1;
  }
  if (http_fd >= 0) {
    // The socket's address wins over --listen's; an owner who changed only
    // one of them learns it here.
    std::string passed = SocketAddressText(server.listener_fd());
    std::string host = options.listen_host.find(':') != std::string::npos
                           ? "[" + options.listen_host + "]"
                           : options.listen_host;
    std::string asked = host + ":" + std::to_string(options.listen_port);
    LogError("listening on the socket passed to this process, %s%s", passed.c_str(),
             passed == asked ? "" : (" (not --listen " + asked + ")").c_str());
  }

  std::atomic<bool> handing_over{false};
  MetricsPage::Sources sources;
  sources.registry = &registry;
  sources.alive = [&server] { return server.LoopsAnswer(std::chrono::seconds(2)); };
  sources.serving = [&server, &handing_over](std::string* why) {
    if (handing_over.load()) {
      *why = "handing the listening sockets over";
      return false;
    }
    if (!server.LoopsAnswer(std::chrono::seconds(2))) {
      *why = "the server is stopping, or its event loops do not answer";
      return false;
    }
    return true;
  };
  sources.store_ready = [&readiness](std::string* reason) { return readiness.Check(reason); };
  MetricsPage metrics_page(sources);
  std::unique_ptr<MetricsListener> metrics;
  if (options.metrics_port >= 0) {
    metrics = std::make_unique<MetricsListener>(&metrics_page);
    bool bound = metrics_fd >= 0 ? metrics->Adopt(metrics_fd, &error)
                                 : metrics->Bind(options.metrics_host, options.metrics_port,
                                                 &error);
    if (!bound || !metrics->Start(&error)) {
      fprintf(stderr, "tvxhost: %s\n", error.c_str());
      return 1;
    }
  }

  SystemdNotifier notifier = SystemdNotifier::FromEnvironment();
  ServiceParts parts;
  parts.server = &server;
  parts.log = &access_log;
  parts.notifier = &notifier;
  parts.metrics = metrics.get();
  parts.handover = &handover;
  parts.handing_over = &handing_over;
  std::atomic<bool> finished{false};
  std::thread signal_thread(SignalLoop, signals, parts, &finished);
  printf("tvxhost: serving %s on %s (store %s)\n", root_real.c_str(), server.Url().c_str(),
         store_shown.c_str());
  if (metrics) printf("tvxhost: metrics on %s\n", metrics->Url().c_str());
  fflush(stdout);

  // Listening: the connections that come now wait for the loops to start.
  if (handover_pipe >= 0 && !ReportHandoverReady(handover_pipe)) {
    LogError("the process that handed over its sockets did not hear that this one serves");
  }
  std::string notify_error;
  std::string ready = handover_pipe >= 0 ? "MAINPID=" + std::to_string(getpid()) + "\nREADY=1"
                                         : "READY=1";
  if (notifier.active() && !notifier.Notify(ready, &notify_error)) {
    LogError("cannot tell systemd that the server is ready: %s", notify_error.c_str());
  }
  std::unique_ptr<WatchdogPinger> watchdog;
  std::chrono::microseconds watchdog_interval =
      WatchdogInterval(getenv("WATCHDOG_USEC"), getenv("WATCHDOG_PID"), getpid());
  if (notifier.active() && watchdog_interval.count() > 0) {
    watchdog = std::make_unique<WatchdogPinger>(&notifier, watchdog_interval, [&server] {
      return server.LoopsAnswer(std::chrono::seconds(2));
    });
  }

  bool ok = server.Run();
  watchdog.reset();
  finished = true;
  pthread_kill(signal_thread.native_handle(), SIGUSR1);
  signal_thread.join();
  if (metrics) metrics->Stop();

  // Every worker has finished: no plug-in call is running.
  PlatformCloseStore();
  plugins.Clear();
  if (!ok) {
    LogError("the server stopped on an error");
    return 1;
  }
  LogError("stopped");
  return 0;
}
