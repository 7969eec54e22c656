// RequestGuard: what the server checks of a request before it routes it, so
// that it can face the open internet: who the client is behind a trusted
// proxy, the cap on a client's plug-in calls in flight, the deny list, the
// rules of the paths under an --auth prefix (no other site may drive them,
// no password over a plain connection), and the flood limit on posts. The
// rules themselves live in guard/; this class holds their state for one
// server and turns their verdicts into answers and log lines.
//
// The order, as the server applies it to each request:
//  1. Identify (on the connection, before anything is logged): the client's
//     address and scheme.
//     AdmitCall (on the connection, for a request that goes to a worker,
//     before it is handed over): past the client's cap of calls in flight,
//     503 with Retry-After. ReleaseCall when the worker is done with it.
//  2. RefuseDenied: a listed client gets 403 for everything.
//  3. AdmitGuardedPath, for a path under an --auth prefix, before its
//     credentials are looked at: a cross-site request gets 403, a prefetch
//     503, credentials over a plain channel 403 with a page that says why.
//  4. AdmitPost, for a POST to a plug-in outside the --auth prefixes: one
//     that another site's page sent gets 403 (the --allow-origin sites
//     excepted); past the flood limit, 429 with Retry-After.
// Every answer on a guarded path carries GuardedPathHeaders() (see
// HttpAnswer::guarded and FinishAnswer).
//
// Thread-safe: the deny list, the flood limiter and the cap lock for
// themselves.
#ifndef HOST_REQUEST_GUARD_H_
#define HOST_REQUEST_GUARD_H_

#include <memory>
#include <string>

#include "client_call_cap.h"
#include "cross_site_guard.h"
#include "deny_list.h"
#include "flood_limiter.h"
#include "guard_options.h"
#include "http_message.h"
#include "trusted_proxy.h"

class RequestGuard {
 public:
  // `deny` may be null (no --deny-file); when given it has been Loaded.
  // `clock` times the flood limit and the log lines of the cap on calls.
  RequestGuard(const GuardOptions& options, std::unique_ptr<DenyList> deny,
               FloodLimiter::Clock clock = std::chrono::steady_clock::now);

  // Sets request->client_addr, client_port, scheme and through_proxy from
  // its peer and, when the peer is a trusted proxy, from X-Forwarded-For and
  // X-Forwarded-Proto. REQUIRES: peer_addr, peer_port and tls are set.
  void Identify(HttpRequest* request) const;

  // True when connections from `peer` come through a trusted proxy and are
  // not held to the per-address connection limit.
  bool TrustsPeer(const std::string& peer) const { return proxies_.Trusts(peer); }

  // True, with the 403 in *answer and a line in the error log, when the
  // client is on the deny list.
  bool RefuseDenied(const HttpRequest& request, HttpAnswer* answer);

  // For a request on a path under an --auth prefix: false, with the refusal
  // in *answer and a line in the error log, when another site sent it, it
  // is a prefetch (prefetch_rule.h), or its credentials would cross a plain
  // connection.
  bool AdmitGuardedPath(const HttpRequest& request, HttpAnswer* answer) const;

  // For a request that will wait for a worker: counts it as one of its
  // client's calls in flight. False, with the 503 and Retry-After in
  // *answer (and, now and then, a line in the error log), when the client
  // already has --calls-per-client of them; nothing is counted then.
  bool AdmitCall(const HttpRequest& request, HttpAnswer* answer);
  // Ends a call that AdmitCall counted. REQUIRES: once for each admitted
  // call, with the request as AdmitCall saw it.
  void ReleaseCall(const HttpRequest& request) { calls_.Release(request.client_addr); }

  // For a POST to a plug-in outside the --auth prefixes: false, with the 403
  // in *answer and a line in the error log, when another site's page sent
  // it (PluginPostRule); else counts it against the client's flood limit
  // (a refused post is not counted), and false, with the 429 in *answer and
  // a line in the error log, when the client is past it.
  bool AdmitPost(const HttpRequest& request, HttpAnswer* answer);

  const FloodLimiter& flood_limiter() const { return flood_; }
  const ClientCallCap& call_cap() const { return calls_; }

 private:
  RequestGuard(const RequestGuard&) = delete;
  RequestGuard& operator=(const RequestGuard&) = delete;

  const TrustedProxies proxies_;
  const std::unique_ptr<DenyList> deny_;
  FloodLimiter flood_;
  ClientCallCap calls_;
  const bool allow_plain_auth_;
  const CrossSiteRule post_rule_;
};

#endif  // HOST_REQUEST_GUARD_H_
