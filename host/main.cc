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
#include "plugin_cache.h"
#include "request_guard.h"
#include "request_handler.h"

namespace {

int BadOption(const std::string& message) {
  fprintf(stderr, "tvxhost: %s\nTry 'tvxhost --help'.\n", message.c_str());
  return 2;
}

// tvxhost --check: 0 when everything the server would open is good, else 2
// with every problem on stderr.
int CheckOnly(const HostOptions& options) {
  std::vector<std::string> problems, passed;
  bool ok = CheckHostOptions(options, &problems, &passed);
  for (const std::string& line : passed) printf("tvxhost: ok: %s\n", line.c_str());
  for (const std::string& line : problems) fprintf(stderr, "tvxhost: %s\n", line.c_str());
  std::string from = options.config_file.empty() ? "the command line" : options.config_file;
  if (!ok) {
    fprintf(stderr, "tvxhost: %s has %zu problem%s\n", from.c_str(), problems.size(),
            problems.size() == 1 ? "" : "s");
    return 2;
  }
  printf("tvxhost: %s is good\n", from.c_str());
  return 0;
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
// access log and loads the TLS certificate and key again, SIGUSR1 tells this
// thread that the server has stopped.
void SignalLoop(sigset_t signals, HostServer* server, AccessLog* log,
                std::atomic<bool>* finished) {
  bool stopping = false;
  std::thread stopper;
  while (true) {
    int signal_number = 0;
    if (sigwait(&signals, &signal_number) != 0) continue;
    if (signal_number == SIGUSR1 && finished->load()) break;
    if (signal_number == SIGHUP) {
      log->Reopen();
      server->ReloadTls();
      continue;
    }
    if (signal_number != SIGINT && signal_number != SIGTERM) continue;
    if (stopping) {
      LogError("second %s: exiting without waiting", strsignal(signal_number));
      _exit(1);
    }
    stopping = true;
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
  HostOptions options;
  std::string error;
  switch (ParseHostOptions(argc, argv, default_store, &options, &error)) {
    case ParseResult::kHelp:
      fputs(HostUsage().c_str(), stdout);
      return 0;
    case ParseResult::kError:
      return BadOption(error);
    case ParseResult::kRun:
      break;
  }
  if (options.check) return CheckOnly(options);

  RaiseOpenFileLimit(options.max_connections);

  // Signals are taken by one thread with sigwait; every thread started from
  // here on inherits the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR1);
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

  PluginCache plugins;
  RequestHandler handler(config, &policy, &plugins, &guard);
  HostServer server(options, &handler, &access_log);
  if (!server.Create(&error)) return BadOption(error);
  if (!server.Bind(&error)) {
    fprintf(stderr, "tvxhost: %s\n", error.c_str());
    return 1;
  }

  std::atomic<bool> finished{false};
  std::thread signal_thread(SignalLoop, signals, &server, &access_log, &finished);
  printf("tvxhost: serving %s on %s (store %s)\n", root_real.c_str(), server.Url().c_str(),
         store_shown.c_str());
  fflush(stdout);

  bool ok = server.Run();
  finished = true;
  pthread_kill(signal_thread.native_handle(), SIGUSR1);
  signal_thread.join();

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
