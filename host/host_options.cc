#include "host_options.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "config_file.h"
#include "path_resolver.h"

namespace {

// A decimal in [low, high]; nothing else (no sign, no spaces, no suffix).
bool ParseNumber(const std::string& text, uint64_t low, uint64_t high, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  if (result < low || result > high) return false;
  *value = result;
  return true;
}

bool ParseListen(const std::string& text, std::string* host, int* port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::string address = text.substr(0, colon);
  if (address.size() >= 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  } else if (address.find(':') != std::string::npos) {
    return false;  // an IPv6 address needs its brackets
  }
  if (address.empty()) return false;
  for (char c : address) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '[' || c == ']') return false;
  }
  uint64_t number;
  if (!ParseNumber(text.substr(colon + 1), 0, 65535, &number)) return false;
  *host = address;
  *port = static_cast<int>(number);
  return true;
}

bool TrimmedEmpty(const std::string& text) {
  return text.find_first_not_of(' ') == std::string::npos;
}

bool SplitRule(const std::string& text, std::string* prefix, std::string* rest) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  if (!NormalizePrefix(text.substr(0, equals), prefix)) return false;
  *rest = text.substr(equals + 1);
  return !rest->empty();
}

// The line number of a reason that begins "FILE:LINE: ", else 0.
long LineOf(const std::string& file, const std::string& reason) {
  if (file.empty() || reason.compare(0, file.size() + 1, file + ":") != 0) return 0;
  return strtol(reason.c_str() + file.size() + 1, nullptr, 10);
}

// The reasons about lines of the configuration file in the order of the
// lines (each line is looked at twice: its form, then its option and value).
void SortByLine(const std::string& file, std::vector<std::string>* reasons) {
  std::stable_sort(reasons->begin(), reasons->end(),
                   [&file](const std::string& a, const std::string& b) {
                     return LineOf(file, a) < LineOf(file, b);
                   });
}

}  // namespace

namespace {

// A --root, --store, --tls-cert or --tls-key: a file name, not empty.
bool ApplyFileName(const std::string& name, const std::string& value, std::string* field,
                   std::string* error) {
  if (value.empty()) {
    *error = "option '" + name + "' needs a file name";
    return false;
  }
  *field = value;
  return true;
}

// A number option: a decimal in [low, high] into *field, else *error is
// "NAME wants WHAT, not 'VALUE'".
template <typename Field>
bool ApplyNumber(const std::string& value, uint64_t low, uint64_t high, const char* wants,
                 Field* field, std::string* error) {
  uint64_t number = 0;
  if (!ParseNumber(value, low, high, &number)) {
    *error = std::string(wants) + ", not '" + value + "'";
    return false;
  }
  *field = static_cast<Field>(number);
  return true;
}

// The host's own options, in the order --help shows them: the guard's come
// after --metrics-listen, then --config and --check.
std::vector<OptionRow<HostOptions>> HostRows() {
  using Row = OptionRow<HostOptions>;
  std::vector<Row> rows = {
      {"--listen", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         if (ParseListen(value, &options->listen_host, &options->listen_port)) return true;
         *error = "--listen wants ADDR:PORT (e.g. 127.0.0.1:8080 or [::1]:8080), not '" +
                  value + "'";
         return false;
       },
       "  --listen ADDR:PORT       address to listen on (default 127.0.0.1:8080;\n"
       "                           [::1]:8080 for IPv6, port 0 for any free port)\n",
       "listen"},
      {"--root", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyFileName("--root", value, &options->root, error);
       },
       "  --root DIR               document root (default .)\n", "root"},
      {"--store", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyFileName("--store", value, &options->store, error);
       },
       "  --store FILE|URI         the object store: an SQLite file, or a PostgreSQL\n"
       "                           database as a libpq URI (postgresql://USER@HOST/DB,\n"
       "                           several hosts as HOST1,HOST2, e.g. with\n"
       "                           ?target_session_attrs=read-write&connect_timeout=5),\n"
       "                           shared by several tvxhost (default\n"
       "                           $CEPLATFORM_STORE, else objectstore.db)\n",
       "store"},
      {"--access-log", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         if (value.empty()) {
           *error = "--access-log needs a file name or '-'";
           return false;
         }
         options->access_log = value;
         return true;
       },
       "  --access-log FILE        access log in the combined format; - for stderr\n"
       "                           (default stderr)\n",
       "access-log"},
      {"--threads", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 1, 1024, "--threads wants a number from 1 to 1024",
                            &options->threads, error);
       },
       "  --threads N              worker threads (default 8)\n", "threads"},
      {"--body-limit", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         // The plug-ins keep the body in a buffer with an int length.
         return ApplyNumber(value, 0, 1u << 30,
                            "--body-limit wants a byte count from 0 to 1073741824",
                            &options->body_limit, error);
       },
       "  --body-limit BYTES       largest request body, larger ones get 413\n"
       "                           (default 65536; a board post is a few KB)\n",
       "body-limit"},
      {"--keep-alive", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 1, 100000,
                            "--keep-alive wants a number of requests from 1 to 100000",
                            &options->keep_alive, error);
       },
       "  --keep-alive N           requests per connection (default 100)\n", "keep-alive"},
      {"--timeout", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 1, 3600, "--timeout wants seconds from 1 to 3600",
                            &options->timeout, error);
       },
       "  --timeout SECONDS        a request's head must arrive whole, and its body\n"
       "                           and the answer begin to move, within this time;\n"
       "                           after it they must keep moving at 4 KiB/s or more\n"
       "                           (default 10; also the TLS handshake's bound)\n",
       "timeout"},
      {"--keep-alive-timeout", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 1, 3600, "--keep-alive-timeout wants seconds from 1 to 3600",
                            &options->keep_alive_timeout, error);
       },
       "  --keep-alive-timeout SECONDS\n"
       "                           how long an open connection may wait for its next\n"
       "                           request (default 5)\n",
       "keep-alive-timeout"},
      {"--max-connections", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 1, 1000000,
                            "--max-connections wants a number from 1 to 1000000",
                            &options->max_connections, error);
       },
       "  --max-connections N      connections open at once; further ones are closed\n"
       "                           at once (default 10000)\n",
       "max-connections"},
      {"--max-connections-per-address", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 1, 1000000,
                            "--max-connections-per-address wants a number from 1 to 1000000",
                            &options->max_connections_per_address, error);
       },
       "  --max-connections-per-address N\n"
       "                           connections open at once from one client address\n"
       "                           (default 64; a --trust-proxy peer is not held to it)\n",
       "max-connections-per-address"},
      {"--auth", OptionKind::kRepeatable,
       [](const std::string& value, HostOptions* options, std::string* error) {
         std::string prefix, rest;
         if (!SplitRule(value, &prefix, &rest)) {
           *error = "--auth wants PREFIX=HTPASSWD_FILE with PREFIX a URL path such as /admin, "
                    "not '" + value + "'";
           return false;
         }
         options->auth.push_back(AuthOption{prefix, rest});
         return true;
       },
       "  --auth PREFIX=FILE       URL paths under PREFIX need HTTP Basic credentials\n"
       "                           from the htpasswd FILE (bcrypt or SHA-crypt hashes,\n"
       "                           e.g. made by 'htpasswd -B'); repeatable\n",
       "auth"},
      {"--allow", OptionKind::kRepeatable,
       [](const std::string& value, HostOptions* options, std::string* error) {
         std::string prefix, rest;
         if (!SplitRule(value, &prefix, &rest)) {
           *error = "--allow wants PREFIX=ADDR[,ADDR...] with PREFIX a URL path such as "
                    "/admin, not '" + value + "'";
           return false;
         }
         AllowOption allow{prefix, {}};
         size_t start = 0;
         while (start <= rest.size()) {
           size_t comma = rest.find(',', start);
           if (comma == std::string::npos) comma = rest.size();
           std::string address = rest.substr(start, comma - start);
           if (address.empty()) {
             *error = "--allow has an empty address in '" + value + "'";
             return false;
           }
           allow.addresses.push_back(address);
           start = comma + 1;
         }
         options->allow.push_back(allow);
         return true;
       },
       "  --allow PREFIX=ADDR[,ADDR...]\n"
       "                           URL paths under PREFIX only from these client\n"
       "                           addresses (e.g. 127.0.0.1,::1,192.168.1.0/24);\n"
       "                           repeatable\n",
       "allow"},
      {"--realm", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         if (value.empty()) {
           *error = "--realm needs a name";
           return false;
         }
         for (char c : value) {
           unsigned char byte = static_cast<unsigned char>(c);
           if (byte < 0x20 || byte == 0x7f || c == '"' || c == '\\') {
             *error = "--realm may not contain quotes, backslashes or control characters";
             return false;
           }
         }
         options->realm = value;
         return true;
       },
       "  --realm NAME             realm shown at the password prompt (default corkwall)\n",
       "realm"},
      {"--tls-cert", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyFileName("--tls-cert", value, &options->tls_cert, error);
       },
       "  --tls-cert FILE          serve HTTPS with this certificate (PEM) ...\n", "tls-cert"},
      {"--tls-key", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyFileName("--tls-key", value, &options->tls_key, error);
       },
       "  --tls-key FILE           ... and this private key (PEM); both or neither.\n"
       "                           TLS 1.2 and 1.3, forward-secret AEAD suites only;\n"
       "                           SIGHUP loads both files again\n",
       "tls-key"},
      {"--hsts", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         return ApplyNumber(value, 0, INT32_MAX,
                            "--hsts wants seconds from 0 (no Strict-Transport-Security) to "
                            "2147483647",
                            &options->answer_headers.hsts_seconds, error);
       },
       "  --hsts SECONDS           max-age of Strict-Transport-Security on answers over\n"
       "                           HTTPS (default 31536000, a year; 0: none)\n",
       "hsts"},
      {"--csp", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         // Sent as a header line: a line break would end it and start another.
         bool printable = !value.empty();
         for (char c : value) printable = printable && c >= 0x20 && c < 0x7f;
         if (!printable || TrimmedEmpty(value)) {
           *error = "--csp wants a Content-Security-Policy of printable ASCII such as "
                    "\"default-src 'self'; img-src *\", not '" + value + "'";
           return false;
         }
         options->answer_headers.content_security_policy = value;
         return true;
       },
       "  --csp POLICY             the Content-Security-Policy of every answer outside\n"
       "                           the --auth prefixes, for templates that need more\n"
       "                           than the default (see the man page)\n",
       "csp"},
      {"--metrics-listen", OptionKind::kValue,
       [](const std::string& value, HostOptions* options, std::string* error) {
         if (ParseListen(value, &options->metrics_host, &options->metrics_port)) return true;
         *error = "--metrics-listen wants ADDR:PORT (e.g. 127.0.0.1:9108), not '" + value + "'";
         return false;
       },
       "  --metrics-listen ADDR:PORT\n"
       "                           a second listener, for monitors only (e.g.\n"
       "                           127.0.0.1:9108): /metrics in the Prometheus text\n"
       "                           format, /healthz (200 while the server serves),\n"
       "                           /readyz (200 when the store answers too); off by\n"
       "                           default\n",
       "metrics-listen"},
  };
  for (const OptionRow<GuardOptions>& row : GuardOptionTable()) {
    auto apply = row.apply;
    rows.push_back(Row{row.name, row.kind,
                       [apply](const std::string& value, HostOptions* options,
                               std::string* error) { return apply(value, &options->guard, error); },
                       row.usage, row.config_key});
  }
  rows.push_back(Row{
      "--config", OptionKind::kValue,
      [](const std::string& value, HostOptions* options, std::string* error) {
        if (value.empty()) {
          *error = "--config needs a file name";
          return false;
        }
        options->config_file = value;
        return true;
      },
      "  --config FILE            read options from FILE first: one a line, the long\n"
      "                           option's name without its dashes, then its value\n"
      "                           ('listen 0.0.0.0:80'); '#' begins a comment line.\n"
      "                           An option given on the command line as well\n"
      "                           replaces the file's value; for --auth, --allow and\n"
      "                           --trust-proxy the command line's rules replace all\n"
      "                           of the file's\n",
      nullptr});
  rows.push_back(Row{
      "--check", OptionKind::kSwitch,
      [](const std::string&, HostOptions* options, std::string*) {
        options->check = true;
        return true;
      },
      "  --check                  check the options and everything they name (root,\n"
      "                           store, access log, htpasswd files, deny file, TLS\n"
      "                           files) without serving; every line of the report on\n"
      "                           the standard output, in order, every bad line of\n"
      "                           the configuration file among them; exit 0 when\n"
      "                           good, else 2\n",
      nullptr});
  return rows;
}

}  // namespace

const std::vector<OptionRow<HostOptions>>& HostOptionTable() {
  static const std::vector<OptionRow<HostOptions>> kTable = HostRows();
  return kTable;
}

OptionKind HostOptionKind(const std::string& name) {
  const OptionRow<HostOptions>* row = FindOptionRow(HostOptionTable(), name);
  return row != nullptr ? row->kind : OptionKind::kUnknown;
}

bool ApplyHostOption(const std::string& name, const std::string& value, HostOptions* options,
                     std::string* error) {
  const OptionRow<HostOptions>* row = FindOptionRow(HostOptionTable(), name);
  if (row == nullptr) {
    *error = "unknown option '" + name + "'";
    return false;
  }
  return row->apply(value, options, error);
}

ParseResult ParseHostOptions(int argc, const char* const* argv,
                             const std::string& default_store,
                             HostOptions* options, std::string* error) {
  std::vector<std::string> errors;
  ParseResult result = ParseHostOptions(argc, argv, default_store, options, &errors);
  if (result == ParseResult::kError) *error = errors.empty() ? "bad options" : errors.front();
  return result;
}

ParseResult ParseHostOptions(int argc, const char* const* argv,
                             const std::string& default_store, HostOptions* options,
                             std::vector<std::string>* errors) {
  std::vector<OptionEntry> command_line;
  std::string config_file;
  bool check = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return ParseResult::kHelp;
    if (arg == "--version") return ParseResult::kVersion;
    if (arg.compare(0, 2, "--") != 0) {
      errors->push_back("unexpected argument '" + arg + "'");
      return ParseResult::kError;
    }
    size_t equals = arg.find('=');
    OptionEntry entry{arg.substr(0, equals), "", ""};
    OptionKind kind = HostOptionKind(entry.name);
    if (kind == OptionKind::kUnknown) {
      errors->push_back("unknown option '" + entry.name + "'");
      return ParseResult::kError;
    }
    if (equals != std::string::npos) {
      if (kind == OptionKind::kSwitch) {
        errors->push_back("option '" + entry.name + "' takes no value");
        return ParseResult::kError;
      }
      entry.value = arg.substr(equals + 1);
    } else if (kind != OptionKind::kSwitch) {
      if (i + 1 >= argc) {
        errors->push_back("option '" + entry.name + "' needs a value");
        return ParseResult::kError;
      }
      entry.value = argv[++i];
    }
    if (entry.name == "--config") config_file = entry.value;
    if (entry.name == "--check") check = true;
    command_line.push_back(entry);
  }

  // --check reports every bad line at once; a start stops at the first.
  std::vector<std::string>* every = check ? errors : nullptr;
  std::vector<OptionEntry> entries = command_line;
  if (!config_file.empty()) {
    std::vector<OptionEntry> from_file;
    std::string first;
    bool read = ReadConfigFile(config_file, &from_file, &first, every);
    if (!read && !check) {
      errors->push_back(first);
      return ParseResult::kError;
    }
    // A file that could not be read at all has no line to blame.
    if (!read && errors->empty()) errors->push_back(first);
    if (!CombineWithCommandLine(from_file, command_line, &entries, &first, every)) {
      if (!check) errors->push_back(first);
      SortByLine(config_file, errors);
      return ParseResult::kError;
    }
    if (!read) return ParseResult::kError;
  }

  HostOptions result;
  result.store = default_store;
  for (const OptionEntry& entry : entries) {
    std::string error;
    if (!ApplyHostOption(entry.name, entry.value, &result, &error)) {
      errors->push_back(entry.origin.empty() ? error : entry.origin + ": " + error);
      if (!check) return ParseResult::kError;
      continue;
    }
    result.origins[entry.name].push_back(entry.origin);
  }
  if (result.tls_cert.empty() != result.tls_key.empty()) {
    std::string origin = OptionOrigin(result, result.tls_cert.empty() ? "--tls-key" : "--tls-cert");
    errors->push_back((origin.empty() ? "" : origin + ": ") +
                      "--tls-cert and --tls-key go together");
  }
  if (!errors->empty()) {
    SortByLine(config_file, errors);
    return ParseResult::kError;
  }
  *options = result;
  return ParseResult::kRun;
}

std::string OptionOrigin(const HostOptions& options, const std::string& name, size_t index) {
  auto found = options.origins.find(name);
  if (found == options.origins.end() || found->second.empty()) return std::string();
  const std::vector<std::string>& origins = found->second;
  return index < origins.size() ? origins[index] : origins.back();
}

std::string HostUsage() {
  std::string usage =
      "Usage: tvxhost [options]\n"
      "Serves a document root over HTTP: files ending in .tvx are plug-ins, called\n"
      "once per request; every other file is sent as it is.\n"
      "\n";
  for (const OptionRow<HostOptions>& row : HostOptionTable()) usage += row.usage;
  return usage +
         "  --version                the version, then exit\n"
         "  --help                   this text\n"
         "\n"
         "SIGINT or SIGTERM stops the server after the requests in flight; SIGHUP\n"
         "reopens the access log and loads the TLS certificate and key again (a pair\n"
         "that does not load is logged, and the one before kept); SIGUSR2 hands the\n"
         "listening sockets to a new copy of the program, which serves on them, and\n"
         "the old one then finishes its requests and exits. Listening sockets passed\n"
         "by systemd (LISTEN_FDS) are used instead of --listen; with NOTIFY_SOCKET set\n"
         "the server tells systemd when it is ready, reloading or stopping, and\n"
         "answers its watchdog. Exit status: 0 after a clean stop, 1 when the server\n"
         "cannot start (e.g. the port is in use), 2 for bad options or a store file\n"
         "that cannot be made or written.\n";
}
