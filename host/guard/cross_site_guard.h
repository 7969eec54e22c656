// The cross-site guard: a browser sends its cookies and the owner's
// credentials with any request to the site, also one that another site's
// page makes it send (an <img>, a link, a form, a frame). Such requests are
// refused by what the browser says of where they come from:
//
//  - Sec-Fetch-Site: "same-origin" and "none" (typed, bookmarked) pass;
//    "cross-site", "same-site" and any other value are refused.
//  - Origin: passes when it is the request's own origin; another origin,
//    "null" (sandboxed frames, some redirects) or text that is no origin is
//    refused.
//  - Referer (only where the rule says so): passes when its origin is the
//    request's own; another origin, or text that is no http(s) URL, is
//    refused.
//  An Origin or Referer header that is empty counts as absent.
//
// Every header looked at must pass; a request with none of them (curl,
// scripts, older browsers) passes. Origins are compared by scheme, host
// (letter case ignored) and port, 80 and 443 standing for themselves when
// not written. A rule may name origins that are let through (an Origin
// among them passes whatever Sec-Fetch-Site says).
//
// The server applies two rules:
//  - every request under an --auth prefix, before credentials are looked
//    at: all three headers, no origin let through (GuardedPathRule);
//  - every POST to a plug-in outside them (a board's post or delete):
//    Sec-Fetch-Site and Origin, the --allow-origin sites let through
//    (PluginPostRule).
// A refusal is answered 403 and logged with the reason. Every answer on the
// guarded paths (refusals, 401 and the page itself) carries
// GuardedPathHeaders().
#ifndef HOST_GUARD_CROSS_SITE_GUARD_H_
#define HOST_GUARD_CROSS_SITE_GUARD_H_

#include <optional>
#include <string>
#include <vector>

#include "guard_answer.h"

// scheme://host:port, scheme and host in small letters, IPv6 hosts in
// brackets as URLs write them.
struct WebOrigin {
  std::string scheme;
  std::string host;
  int port = 0;
  bool operator==(const WebOrigin& other) const {
    return scheme == other.scheme && host == other.host && port == other.port;
  }
  std::string ToString() const;
};

// The origin of an http or https URL ("https://example.com:8443/admin?x" or
// an Origin header's "https://example.com:8443"). False for anything else:
// another scheme, no host, a bad port, user:password@ before the host.
bool ParseWebOrigin(const std::string& url, WebOrigin* origin);

// The request's own origin from its scheme ("http" or "https", as the client
// connected: through a trusted proxy, the proxy's word) and its Host header
// ("example.com", "example.com:8080", "[::1]:8080"). False when the Host
// header is empty or malformed; the guard then refuses every request that
// carries an Origin or a Referer.
bool OwnWebOrigin(const std::string& scheme, const std::string& host_header, WebOrigin* origin);

// The request's headers that tell where it comes from; nullopt when absent.
struct FetchContext {
  std::optional<std::string> sec_fetch_site;
  std::optional<std::string> origin;
  std::optional<std::string> referer;
};

struct CrossSiteVerdict {
  bool allowed = true;
  // When refused: why, for the log line (request text made log-safe), e.g.
  // "Sec-Fetch-Site is cross-site" or "Origin http://evil.example is not
  // http://127.0.0.1:8080".
  std::string reason;
};

// Which headers a check looks at, and which other origins it lets through.
struct CrossSiteRule {
  bool check_referer = true;
  std::vector<WebOrigin> allowed_origins;
};

// The rule of the paths under an --auth prefix: all three headers, no
// other origin.
CrossSiteRule GuardedPathRule();
// The rule of POSTs to the plug-ins outside them: Sec-Fetch-Site and
// Origin (a post's Referer is left to the browser's Referrer-Policy), with
// `allowed` let through.
CrossSiteRule PluginPostRule(std::vector<WebOrigin> allowed);

// `own_valid` false: OwnWebOrigin failed for this request.
CrossSiteVerdict CheckCrossSite(const FetchContext& request, const WebOrigin& own, bool own_valid,
                                const CrossSiteRule& rule = GuardedPathRule());

// The headers every answer on a guarded path carries: no framing by any
// site, no script at all, nothing loaded or posted elsewhere, no caching,
// no full address of the page sent to other sites.
//   X-Frame-Options: DENY
//   Content-Security-Policy: default-src 'self'; script-src 'none';
//     object-src 'none'; base-uri 'none'; form-action 'self';
//     frame-ancestors 'none'
//   Cache-Control: no-store
//   Referrer-Policy: same-origin
const HeaderList& GuardedPathHeaders();

#endif  // HOST_GUARD_CROSS_SITE_GUARD_H_
