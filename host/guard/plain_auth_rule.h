// The rule for credentials on plain HTTP: a path under an --auth prefix is
// served only where its password cannot be read on the way:
//  - over TLS;
//  - from loopback (the browser is on this machine);
//  - through a trusted proxy that says the client used https.
// Anything else gets 403 with PlainCredentialsAnswer(), before the 401
// prompt, so that a browser is never asked to send the password in clear.
// --allow-plain-auth turns the rule off (the server warns at start).
//
// A loopback peer that sends X-Forwarded-For or X-Forwarded-Proto without
// being a trusted proxy is refused too: that is a proxy on this machine
// passing on other machines' requests, and the owner has to name it with
// --trust-proxy before the rule can tell who is at the other end.
#ifndef HOST_GUARD_PLAIN_AUTH_RULE_H_
#define HOST_GUARD_PLAIN_AUTH_RULE_H_

#include <string>

#include "trusted_proxy.h"

// What the rule needs to know of one request on a guarded path.
struct CredentialChannel {
  bool tls = false;             // the connection itself is TLS
  std::string peer;             // the connection's remote address
  ResolvedClient client;        // TrustedProxies::Resolve for this request
  bool forwarded_headers = false;  // X-Forwarded-For or -Proto was sent
};

struct PlainAuthVerdict {
  bool allowed = true;
  std::string reason;  // when refused, for the log line
};

PlainAuthVerdict CheckCredentialChannel(const CredentialChannel& channel, bool allow_plain_auth);

#endif  // HOST_GUARD_PLAIN_AUTH_RULE_H_
