// The options of the guard, as rows of the host's option table (the host's
// table takes GuardOptionTable in as its own):
//
// --post-rate N             posts per minute per client address (default 10, burst 5; 0: off)
// --calls-per-client N      plug-in calls one client may have in flight (default 6; 0: off)
// --deny-file FILE          addresses and networks that get 403 (DenyList)
// --trust-proxy ADDR[/BITS][,...]  reverse proxies whose X-Forwarded-* are believed; repeatable
// --allow-plain-auth        accept credentials over plain HTTP from anywhere
// --allow-origin ORIGIN     a site whose pages may post to the plug-ins; repeatable
#ifndef HOST_GUARD_GUARD_OPTIONS_H_
#define HOST_GUARD_GUARD_OPTIONS_H_

#include <string>
#include <vector>

#include "address_range.h"
#include "cross_site_guard.h"
#include "option_table.h"

struct GuardOptions {
  int post_rate = 10;     // posts per minute per address; 0: no limit
  int calls_per_client = 6;  // plug-in calls in flight per client; 0: no cap
  std::string deny_file;  // empty: none
  std::vector<AddressRange> trusted_proxies;
  std::vector<std::string> trusted_proxy_text;  // as given, for the start-up log
  bool allow_plain_auth = false;
  // Sites whose pages may post to the plug-ins (a board's form on another
  // site of the owner's).
  std::vector<WebOrigin> allowed_origins;
};

// The guard's options, in the order --help shows them; the host's table
// (HostOptionTable) takes them in as its own.
const std::vector<OptionRow<GuardOptions>>& GuardOptionTable();

// Applies one option. `value` is NULL when none was written; an option of
// kind kValue or kRepeatable needs one, a kSwitch takes none. False with a
// one-line reason in *error (options unchanged) for a bad or missing value
// or an unknown name.
bool ApplyGuardOption(const std::string& name, const std::string* value, GuardOptions* options,
                      std::string* error);

// "10.0.0.1,10.1.0.0/16, ::1" into networks; spaces around entries are
// allowed. False with *error naming the first bad entry, or an empty one.
bool ParseTrustProxyList(const std::string& text, std::vector<AddressRange>* ranges,
                         std::vector<std::string>* entries, std::string* error);

// The lines of these options for --help, in the host's layout (their rows'
// usage, in order).
std::string GuardUsage();

// Lines for the log at start, for settings that weaken the guard: plain
// credentials allowed, the flood limit or the cap on calls off, a proxy rule
// that trusts every address.
std::vector<std::string> GuardStartWarnings(const GuardOptions& options);

#endif  // HOST_GUARD_GUARD_OPTIONS_H_
