// The command line of tvxhost: what the server listens on, where its files
// are, and how it protects them.
#ifndef HOST_HOST_OPTIONS_H_
#define HOST_HOST_OPTIONS_H_

#include <stddef.h>
#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "answer_head.h"  // AnswerHeaders
#include "guard_options.h"
#include "path_resolver.h"  // NormalizePrefix

// One --auth PREFIX=FILE: that URL path prefix needs HTTP Basic credentials
// found in the htpasswd file.
struct AuthOption {
  std::string prefix;
  std::string htpasswd_path;
};

// One --allow PREFIX=ADDR[,ADDR...]: that URL path prefix only from these
// client addresses (an address or a network in CIDR form).
struct AllowOption {
  std::string prefix;
  std::vector<std::string> addresses;
};

struct HostOptions {
  std::string listen_host = "127.0.0.1";
  int listen_port = 8080;  // 0: any free port
  std::string root = ".";
  std::string store;       // object store file
  std::string access_log;  // "-" or empty: stderr
  int threads = 8;
  size_t body_limit = 65536;  // a board post is a few KB
  int keep_alive = 100;  // requests per connection
  int timeout = 10;      // read and write timeout, seconds
  int keep_alive_timeout = 5;  // seconds a connection may wait between requests
  int max_connections = 10000;
  int max_connections_per_address = 64;
  std::vector<AuthOption> auth;
  std::vector<AllowOption> allow;
  std::string realm = "corkwall";
  std::string tls_cert;
  std::string tls_key;
  // --hsts and --csp.
  AnswerHeaders answer_headers;
  // --metrics-listen: the second listener for /metrics, /healthz and /readyz;
  // off while metrics_port is -1.
  std::string metrics_host;
  int metrics_port = -1;
  // Flood limit, deny list, trusted proxies, plain credentials.
  GuardOptions guard;
  std::string config_file;  // --config: options read from this file first
  bool check = false;       // --check: validate everything, then exit
  // Where each option's values came from, one per value applied, in order:
  // "FILE:LINE" for a line of the configuration file, empty for the command
  // line. Keyed by the option's name with its dashes ("--auth").
  std::map<std::string, std::vector<std::string>> origins;
};

// One option as given: its name with the dashes ("--threads"), its value
// (empty for a switch) and where it came from ("FILE:LINE", or empty for the
// command line).
struct OptionEntry {
  std::string name;
  std::string value;
  std::string origin;
};

// Every option of tvxhost, the guard's among them, in the order --help shows
// them: the command line, the configuration file, --check and --help read an
// option from its one row here. A new option is a new row (in
// guard_options.cc for the guard's).
const std::vector<OptionRow<HostOptions>>& HostOptionTable();

// How `name` ("--threads") is written; kUnknown for no option of tvxhost.
OptionKind HostOptionKind(const std::string& name);

// Applies one option to *options: the one place where an option's value is
// read, for the command line and the configuration file alike. False with a
// one-line reason in *error (naming the option, not where it came from) for
// an unknown option or a bad value; *options may then be partly changed.
bool ApplyHostOption(const std::string& name, const std::string& value, HostOptions* options,
                     std::string* error);

enum class ParseResult { kRun, kHelp, kVersion, kError };

// Parses argv (argv[0] is the program). "--name value" and "--name=value"
// are both accepted. With --config FILE the file's options are read first
// (see config_file.h); an option given on the command line replaces every
// value the file gives it. kError puts a one-line reason into *error,
// starting with "FILE:LINE: " when a line of the file is at fault; kHelp
// means --help or -h was given, kVersion --version. `default_store` is the
// store file when --store is absent. Only the configuration file is read
// here; the files the options name are opened by the caller.
ParseResult ParseHostOptions(int argc, const char* const* argv,
                             const std::string& default_store,
                             HostOptions* options, std::string* error);
// The same, but with --check among the arguments every bad line of the
// configuration file and every bad value is found in one run: each reason,
// in the order of the lines, is appended to *errors (only the first without
// --check).
ParseResult ParseHostOptions(int argc, const char* const* argv,
                             const std::string& default_store, HostOptions* options,
                             std::vector<std::string>* errors);

// Where the value of `name` that is in effect came from ("FILE:LINE", or
// empty for the command line or a default); `index` picks one value of a
// repeatable option, the default the last one applied.
std::string OptionOrigin(const HostOptions& options, const std::string& name,
                         size_t index = SIZE_MAX);

// The text printed for --help.
std::string HostUsage();
// The line printed for --version: "tvxhost (corkwall) 0.1.0" (host_version.cc).
std::string HostVersion();

#endif  // HOST_HOST_OPTIONS_H_
