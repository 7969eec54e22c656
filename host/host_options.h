// The command line of tvxhost: what the server listens on, where its files
// are, and how it protects them.
#ifndef HOST_HOST_OPTIONS_H_
#define HOST_HOST_OPTIONS_H_

#include <stddef.h>

#include <string>
#include <vector>

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
  size_t body_limit = 1048576;
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
};

enum class ParseResult { kRun, kHelp, kError };

// Parses argv (argv[0] is the program). "--name value" and "--name=value"
// are both accepted. kError puts a one-line reason into *error; kHelp means
// --help or -h was given. `default_store` is the store file when --store is
// absent. Only the syntax is checked here; files are opened by the caller.
ParseResult ParseHostOptions(int argc, const char* const* argv,
                             const std::string& default_store,
                             HostOptions* options, std::string* error);

// The text printed for --help.
std::string HostUsage();

#endif  // HOST_HOST_OPTIONS_H_
