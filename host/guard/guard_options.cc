#include "guard_options.h"

#include "guard_text.h"

namespace {

const int kMaxPostRate = 60000;
// More calls than the pool takes at once (workers and queue) is no cap.
const int kMaxCallsPerClient = 100000;

// A decimal from 0 to `high`, in no more digits than `high` has; nothing
// else.
bool ParseCount(const std::string& text, int high, int* count) {
  if (text.empty() || text.size() > std::to_string(high).size()) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value > high) return false;
  *count = value;
  return true;
}

// "https://friend.example" or "http://127.0.0.1:8080": a scheme, a host and
// at most a port, as a browser's Origin header writes it.
bool ParseAllowedOrigin(const std::string& text, std::vector<WebOrigin>* origins,
                        std::string* error) {
  WebOrigin origin;
  std::string trimmed = TrimBlanks(text);
  size_t host = trimmed.find("://");
  bool bare = host != std::string::npos &&
              trimmed.find_first_of("/?#", host + 3) == std::string::npos;
  if (!bare || !ParseWebOrigin(trimmed, &origin)) {
    *error = "--allow-origin wants an origin such as https://board.example.org or "
             "http://127.0.0.1:8080 (scheme, host and port, no path), not '" + text + "'";
    return false;
  }
  origins->push_back(origin);
  return true;
}

}  // namespace

bool ParseTrustProxyList(const std::string& text, std::vector<AddressRange>* ranges,
                         std::vector<std::string>* entries, std::string* error) {
  std::vector<AddressRange> parsed;
  std::vector<std::string> texts;
  for (const std::string& entry : SplitCommas(text)) {
    AddressRange range;
    if (entry.empty()) {
      *error = "--trust-proxy has an empty entry in '" + text + "'";
      return false;
    }
    if (!AddressRange::Parse(entry, &range)) {
      *error = "--trust-proxy: '" + entry +
               "' is not an address or network (e.g. 127.0.0.1, ::1, 10.0.0.0/8)";
      return false;
    }
    parsed.push_back(range);
    texts.push_back(entry);
  }
  ranges->insert(ranges->end(), parsed.begin(), parsed.end());
  entries->insert(entries->end(), texts.begin(), texts.end());
  return true;
}

const std::vector<OptionRow<GuardOptions>>& GuardOptionTable() {
  static const std::vector<OptionRow<GuardOptions>> kTable = {
      {"--post-rate", OptionKind::kValue,
       [](const std::string& value, GuardOptions* options, std::string* error) {
         if (ParseCount(value, kMaxPostRate, &options->post_rate)) return true;
         *error = "--post-rate wants posts per minute from 0 (no limit) to " +
                  std::to_string(kMaxPostRate) + ", not '" + value + "'";
         return false;
       },
       "  --post-rate N            posts per minute from one client address (an IPv6\n"
       "                           client counts by its /64), with a burst of 5; past\n"
       "                           it, 429 (default 10; 0 turns the limit off)\n",
       "post-rate"},
      {"--calls-per-client", OptionKind::kValue,
       [](const std::string& value, GuardOptions* options, std::string* error) {
         if (ParseCount(value, kMaxCallsPerClient, &options->calls_per_client)) return true;
         *error = "--calls-per-client wants a number of calls from 0 (no cap) to " +
                  std::to_string(kMaxCallsPerClient) + ", not '" + value + "'";
         return false;
       },
       "  --calls-per-client N     plug-in calls one client address (an IPv6 client by\n"
       "                           its /64) may have running or waiting for a worker\n"
       "                           at once; past it, 503 with Retry-After: 1 (default\n"
       "                           6, the connections a browser opens to one site, so\n"
       "                           a browser never meets it; 0 turns the cap off)\n",
       "calls-per-client"},
      {"--deny-file", OptionKind::kValue,
       [](const std::string& value, GuardOptions* options, std::string* error) {
         if (value.empty()) {
           *error = "--deny-file needs a file name";
           return false;
         }
         options->deny_file = value;
         return true;
       },
       "  --deny-file FILE         client addresses and networks, one a line ('#'\n"
       "                           comments), that get 403 for everything; read again\n"
       "                           when the file changes\n",
       "deny-file"},
      {"--trust-proxy", OptionKind::kRepeatable,
       [](const std::string& value, GuardOptions* options, std::string* error) {
         return ParseTrustProxyList(value, &options->trusted_proxies,
                                    &options->trusted_proxy_text, error);
       },
       "  --trust-proxy ADDR[/BITS][,...]\n"
       "                           reverse proxies in front of the server: from them,\n"
       "                           X-Forwarded-For and X-Forwarded-Proto give the\n"
       "                           client's address and scheme; repeatable\n",
       "trust-proxy"},
      {"--allow-plain-auth", OptionKind::kSwitch,
       [](const std::string&, GuardOptions* options, std::string*) {
         options->allow_plain_auth = true;
         return true;
       },
       "  --allow-plain-auth       accept --auth credentials over plain HTTP from\n"
       "                           anywhere (default: only over HTTPS, from loopback,\n"
       "                           or through a trusted proxy that says https)\n",
       "allow-plain-auth"},
      {"--allow-origin", OptionKind::kRepeatable,
       [](const std::string& value, GuardOptions* options, std::string* error) {
         return ParseAllowedOrigin(value, &options->allowed_origins, error);
       },
       "  --allow-origin ORIGIN    a site whose pages may post to the plug-ins (e.g.\n"
       "                           https://friend.example); a post that another site's\n"
       "                           page sends gets 403 (a form or a script on this\n"
       "                           site, curl and scripts pass); repeatable\n",
       "allow-origin"},
  };
  return kTable;
}

bool ApplyGuardOption(const std::string& name, const std::string* value, GuardOptions* options,
                      std::string* error) {
  const OptionRow<GuardOptions>* row = FindOptionRow(GuardOptionTable(), name);
  if (row == nullptr) {
    *error = "unknown option '" + name + "'";
    return false;
  }
  if (row->kind == OptionKind::kSwitch && value != nullptr) {
    *error = "option '" + name + "' takes no value";
    return false;
  }
  if (row->kind != OptionKind::kSwitch && value == nullptr) {
    *error = "option '" + name + "' needs a value";
    return false;
  }
  return row->apply(value != nullptr ? *value : std::string(), options, error);
}

std::string GuardUsage() {
  std::string usage;
  for (const OptionRow<GuardOptions>& row : GuardOptionTable()) usage += row.usage;
  return usage;
}

std::vector<std::string> GuardStartWarnings(const GuardOptions& options) {
  std::vector<std::string> lines;
  if (options.allow_plain_auth) {
    lines.push_back("warning: --allow-plain-auth: passwords for --auth paths are accepted over "
                    "plain HTTP, where anyone on the way can read them");
  }
  if (options.post_rate == 0) {
    lines.push_back("warning: --post-rate 0: posts are not limited; one client can flood the boards");
  }
  if (options.calls_per_client == 0) {
    lines.push_back("warning: --calls-per-client 0: one client can hold every worker while "
                    "other visitors wait");
  }
  for (const std::string& entry : options.trusted_proxy_text) {
    size_t slash = entry.find('/');
    if (slash != std::string::npos && entry.substr(slash + 1) == "0") {
      lines.push_back("warning: --trust-proxy " + entry +
                      " trusts every address: any client can choose the address it is seen "
                      "as (access log, --allow, the deny list, the flood limit)");
    }
  }
  return lines;
}
