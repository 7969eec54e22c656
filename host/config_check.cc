#include "config_check.h"

#include <limits.h>
#include <netdb.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "access_policy.h"
#include "deny_list.h"
#include "ceplatform.h"
#include "store_file_check.h"
#include "tls_context.h"
#include "wince.h"

namespace {

// Collects the results under the option each one is about.
class Findings {
 public:
  Findings(const HostOptions& options, std::vector<std::string>* problems,
           std::vector<std::string>* passed, std::vector<std::string>* in_order)
      : options_(options), problems_(problems), passed_(passed), in_order_(in_order) {}

  void Problem(const std::string& option, const std::string& text, size_t index = SIZE_MAX) {
    std::string origin = OptionOrigin(options_, option, index);
    problems_->push_back((origin.empty() ? "" : origin + ": ") + text);
    if (in_order_ != nullptr) in_order_->push_back(problems_->back());
    ok_ = false;
  }
  void Passed(const std::string& text) {
    passed_->push_back(text);
    if (in_order_ != nullptr) in_order_->push_back("ok: " + text);
  }
  bool ok() const { return ok_; }

 private:
  const HostOptions& options_;
  std::vector<std::string>* problems_;
  std::vector<std::string>* passed_;
  std::vector<std::string>* in_order_;
  bool ok_ = true;
};

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A file the server will create or append to: an existing regular file it
// may write, or a writable folder to make it in. Empty when good, else why.
std::string WritableFileProblem(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) return "is not a regular file";
    if (access(path.c_str(), R_OK | W_OK) != 0) return "cannot be written by this user";
    return "";
  }
  std::string folder = FolderOf(path);
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "cannot be created: its folder " + folder + " does not exist";
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return "cannot be created: its folder " + folder + " cannot be written by this user";
  }
  return "";
}

void CheckListen(const HostOptions& options, Findings* findings) {
  struct addrinfo hints = {};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* found = nullptr;
  int result = getaddrinfo(options.listen_host.c_str(), nullptr, &hints, &found);
  if (result != 0) {
    findings->Problem("--listen", "listening address " + options.listen_host +
                                      " does not resolve: " + gai_strerror(result));
    return;
  }
  freeaddrinfo(found);
  findings->Passed("listen " + options.listen_host + " port " +
                   std::to_string(options.listen_port));
}

void CheckRoot(const HostOptions& options, Findings* findings) {
  char buffer[PATH_MAX];
  struct stat info;
  if (realpath(options.root.c_str(), buffer) == nullptr || stat(buffer, &info) != 0 ||
      !S_ISDIR(info.st_mode)) {
    findings->Problem("--root", "document root " + options.root + " is not a folder");
    return;
  }
  if (access(buffer, R_OK | X_OK) != 0) {
    findings->Problem("--root", "document root " + options.root + " cannot be read by this user");
    return;
  }
  findings->Passed("document root " + std::string(buffer));
}

// Opens the store through the platform and walks its list of databases,
// which reads the store the way the plug-ins do.
bool EnumerateStore(const std::string& location, int* databases, DWORD* failure) {
  if (!PlatformSetStorePath(location.c_str())) {
    *failure = GetLastError();
    return false;
  }
  HANDLE enumeration = CeFindFirstDatabase(0);
  if (enumeration == INVALID_HANDLE_VALUE) {
    *failure = GetLastError();
    PlatformCloseStore();
    return false;
  }
  int count = 0;
  while (CeFindNextDatabase(enumeration) != 0) ++count;
  DWORD last = GetLastError();
  CloseHandle(enumeration);
  PlatformCloseStore();
  if (last != ERROR_NO_MORE_ITEMS) {
    *failure = last;
    return false;
  }
  *databases = count;
  return true;
}

void CheckStore(const HostOptions& options, Findings* findings) {
  const std::string& store = options.store;
  const std::string shown = PlatformPrintableLocation(store);
  std::string location = store;
  // A URI names a database server; only a plain path is a file here.
  bool is_file = store.find("://") == std::string::npos;
  if (is_file) {
    std::string problem = StoreFileProblem(store);
    if (!problem.empty()) {
      findings->Problem("--store", "store file " + shown + " " + problem);
      return;
    }
    char buffer[PATH_MAX];
    if (realpath(store.c_str(), buffer) == nullptr) {
      // Opening it would make it; the first post does that.
      findings->Passed("store " + shown + " (to be made at the first post)");
      return;
    }
    location = buffer;
  }
  int databases = 0;
  DWORD failure = 0;
  if (!EnumerateStore(location, &databases, &failure)) {
    findings->Problem("--store", "store " + shown + " cannot be read (error " +
                                     std::to_string(failure) + ")");
    return;
  }
  findings->Passed("store " + shown + " (" + std::to_string(databases) + " databases)");
}

void CheckAccessLog(const HostOptions& options, Findings* findings) {
  if (options.access_log.empty() || options.access_log == "-") {
    findings->Passed("access log on the error output");
    return;
  }
  std::string problem = WritableFileProblem(options.access_log);
  if (!problem.empty()) {
    findings->Problem("--access-log", "access log " + options.access_log + " " + problem);
    return;
  }
  findings->Passed("access log " + options.access_log);
}

void CheckAccessRules(const HostOptions& options, Findings* findings) {
  AccessPolicy policy;
  std::string error;
  for (size_t i = 0; i < options.auth.size(); ++i) {
    const AuthOption& auth = options.auth[i];
    if (!policy.AddAuth(auth.prefix, auth.htpasswd_path, &error)) {
      findings->Problem("--auth", error, i);
    } else {
      findings->Passed("auth " + auth.prefix + " with " + auth.htpasswd_path);
    }
  }
  for (size_t i = 0; i < options.allow.size(); ++i) {
    const AllowOption& allow = options.allow[i];
    if (!policy.AddAllow(allow.prefix, allow.addresses, &error)) {
      findings->Problem("--allow", error, i);
    } else {
      findings->Passed("allow " + allow.prefix);
    }
  }
}

void CheckDenyFile(const HostOptions& options, Findings* findings) {
  if (options.guard.deny_file.empty()) return;
  DenyList deny(options.guard.deny_file, [](const std::string&) {});
  std::string error;
  if (!deny.Load(&error)) {
    findings->Problem("--deny-file", error);
  } else {
    findings->Passed("deny file " + options.guard.deny_file + " (" + std::to_string(deny.size()) +
                     " address" + (deny.size() == 1 ? " or network)" : "es or networks)"));
  }
}

void CheckTls(const HostOptions& options, Findings* findings) {
  if (options.tls_cert.empty()) return;
  // The very context the server would serve with.
  TlsLoadError failure;
  SSL_CTX* context = NewServerTlsContext(options.tls_cert, options.tls_key, &failure);
  if (context == nullptr) {
    findings->Problem(failure.option, failure.text);
    return;
  }
  SSL_CTX_free(context);
  findings->Passed("TLS certificate " + options.tls_cert + " and key " + options.tls_key);
}

// What every answer will carry: shown, since a policy mistyped in the file
// is otherwise found only by a page that stops working.
void ShowAnswerHeaders(const HostOptions& options, Findings* findings) {
  const AnswerHeaders& headers = options.answer_headers;
  findings->Passed("Content-Security-Policy: " + headers.content_security_policy);
  if (options.tls_cert.empty()) return;
  findings->Passed(headers.hsts_seconds > 0
                       ? "Strict-Transport-Security: max-age=" +
                             std::to_string(headers.hsts_seconds)
                       : std::string("no Strict-Transport-Security (--hsts 0)"));
}

}  // namespace

bool CheckHostOptions(const HostOptions& options, std::vector<std::string>* problems,
                      std::vector<std::string>* passed, std::vector<std::string>* in_order) {
  Findings findings(options, problems, passed, in_order);
  CheckListen(options, &findings);
  CheckRoot(options, &findings);
  CheckStore(options, &findings);
  CheckAccessLog(options, &findings);
  CheckAccessRules(options, &findings);
  CheckDenyFile(options, &findings);
  CheckTls(options, &findings);
  ShowAnswerHeaders(options, &findings);
  return findings.ok();
}
