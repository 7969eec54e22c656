#include "request_guard.h"

#include <strings.h>

#include <optional>
#include <vector>

#include "cross_site_guard.h"
#include "error_log.h"
#include "guard_answer.h"
#include "guard_text.h"
#include "plain_auth_rule.h"
#include "prefetch_rule.h"

namespace {

std::vector<std::string> AllValues(const HttpHeaders& headers, const char* name) {
  std::vector<std::string> values;
  for (const HttpHeaders::Field& field : headers.fields()) {
    if (strcasecmp(field.name.c_str(), name) == 0) values.push_back(field.value);
  }
  return values;
}

std::optional<std::string> Optional(const HttpHeaders& headers, const char* name) {
  const HttpHeaders::Field* field = headers.Find(name);
  if (field == nullptr) return std::nullopt;
  return field->value;
}

void PutAnswer(const GuardAnswer& guard, HttpAnswer* answer) {
  answer->Refuse(guard.status);
  for (const auto& header : guard.headers) answer->headers.Set(header.first, header.second);
  answer->body = guard.body;
}

// The verdict of `rule` on where the request comes from.
CrossSiteVerdict CrossSiteVerdictOf(const HttpRequest& request, const CrossSiteRule& rule) {
  FetchContext fetch;
  fetch.sec_fetch_site = Optional(request.headers, "Sec-Fetch-Site");
  fetch.origin = Optional(request.headers, "Origin");
  fetch.referer = Optional(request.headers, "Referer");
  WebOrigin own;
  bool own_valid = OwnWebOrigin(request.scheme, request.headers.Get("Host"), &own);
  return CheckCrossSite(fetch, own, own_valid, rule);
}

// "Sec-Purpose: prefetch" (made log-safe) for the first header that names a
// prefetch; empty when none does.
std::string PrefetchHeader(const HttpRequest& request) {
  for (const char* name : kPrefetchHeaders) {
    for (const std::string& value : AllValues(request.headers, name)) {
      if (NamesPrefetch(value)) return std::string(name) + ": " + LogText(value);
    }
  }
  return std::string();
}

// "GET /admin/x.tvx from 203.0.113.7", made log-safe.
std::string Who(const HttpRequest& request) {
  std::string who = LogText(request.method, 20) + " " + LogText(request.path) + " from " +
                    request.client_addr;
  if (request.through_proxy) who += " (through " + request.peer_addr + ")";
  return who;
}

}  // namespace

RequestGuard::RequestGuard(const GuardOptions& options, std::unique_ptr<DenyList> deny,
                           FloodLimiter::Clock clock)
    : proxies_(options.trusted_proxies),
      deny_(std::move(deny)),
      flood_(options.post_rate, FloodLimiter::kDefaultCapacity, clock),
      calls_(options.calls_per_client, std::move(clock)),
      allow_plain_auth_(options.allow_plain_auth),
      post_rule_(PluginPostRule(options.allowed_origins)) {}

void RequestGuard::Identify(HttpRequest* request) const {
  const std::string connection_scheme = request->tls ? "https" : "http";
  ResolvedClient client = proxies_.Resolve(request->peer_addr, connection_scheme,
                                           AllValues(request->headers, "X-Forwarded-For"),
                                           AllValues(request->headers, "X-Forwarded-Proto"));
  request->through_proxy = client.through_proxy;
  request->scheme = client.scheme;
  request->client_addr = client.address;
  // The client's port is not passed on by the proxy.
  request->client_port = client.through_proxy ? 0 : request->peer_port;
}

bool RequestGuard::RefuseDenied(const HttpRequest& request, HttpAnswer* answer) {
  if (deny_ == nullptr || !deny_->Denies(request.client_addr)) return false;
  LogError("%s: refused, the client is listed in the deny file %s", Who(request).c_str(),
           deny_->path().c_str());
  answer->Refuse(403);
  return true;
}

bool RequestGuard::AdmitGuardedPath(const HttpRequest& request, HttpAnswer* answer) const {
  CrossSiteVerdict cross = CrossSiteVerdictOf(request, GuardedPathRule());
  if (!cross.allowed) {
    LogError("%s: refused, a request from another site to a password-protected path: %s",
             Who(request).c_str(), cross.reason.c_str());
    answer->Refuse(403);
    return false;
  }
  // A browser fetching ahead of a click would carry out the link's action.
  std::string prefetch = PrefetchHeader(request);
  if (!prefetch.empty()) {
    LogError("%s: refused with 503, a prefetch (%s) of a password-protected path is never run",
             Who(request).c_str(), prefetch.c_str());
    answer->Refuse(503);
    answer->headers.Set("Cache-Control", "no-store");
    return false;
  }

  CredentialChannel channel;
  channel.tls = request.tls;
  channel.peer = request.peer_addr;
  channel.client = ResolvedClient{request.client_addr, request.scheme, request.through_proxy};
  channel.forwarded_headers =
      request.headers.Has("X-Forwarded-For") || request.headers.Has("X-Forwarded-Proto");
  PlainAuthVerdict plain = CheckCredentialChannel(channel, allow_plain_auth_);
  if (!plain.allowed) {
    LogError("%s: refused, %s (only https, loopback or a trusted proxy that says https; "
             "--allow-plain-auth lifts this)",
             Who(request).c_str(), plain.reason.c_str());
    PutAnswer(PlainCredentialsAnswer(), answer);
    return false;
  }
  return true;
}

bool RequestGuard::AdmitCall(const HttpRequest& request, HttpAnswer* answer) {
  CallAdmission admission = calls_.Acquire(request.client_addr);
  if (admission.admitted) return true;
  if (admission.log) {
    std::string left_out;
    if (admission.unlogged > 0) {
      left_out = "; " + std::to_string(admission.unlogged) +
                 " refusals left out of this log since the last such line";
    }
    LogError("%s: refused with 503, the client already has %d plug-in calls running or "
             "waiting for a worker, the cap of --calls-per-client%s",
             Who(request).c_str(), calls_.per_client(), left_out.c_str());
  }
  answer->Refuse(503);
  answer->headers.Set("Retry-After", "1");
  return false;
}

bool RequestGuard::AdmitPost(const HttpRequest& request, HttpAnswer* answer) {
  // A hostile page could make its visitors post from their own addresses,
  // past the flood limit and the deny list: it is refused before it is
  // counted against the visitor.
  CrossSiteVerdict cross = CrossSiteVerdictOf(request, post_rule_);
  if (!cross.allowed) {
    LogError("%s: refused, a post to a plug-in from another site's page: %s "
             "(--allow-origin lets a site post)",
             Who(request).c_str(), cross.reason.c_str());
    answer->Refuse(403);
    return false;
  }
  if (!flood_.enabled()) return true;
  FloodDecision decision = flood_.Take(request.client_addr);
  if (decision.allowed) return true;
  PostKind kind = KindOfPost(request.body);
  LogError("%s: refused a %s, past the flood limit (a burst of %d, then %d a minute); may post "
           "again in %d s",
           Who(request).c_str(), kind == PostKind::kDeletion ? "deletion" : "post",
           FloodLimiter::kBurst, flood_.posts_per_minute(), decision.retry_after_seconds);
  PutAnswer(FloodAnswer(decision.retry_after_seconds, kind), answer);
  return false;
}
