#include "plain_auth_rule.h"

#include "address_range.h"

namespace {

bool IsLoopback(const std::string& address) {
  IpAddress ip;
  return IpAddress::Parse(address, &ip) && ip.IsLoopback();
}

}  // namespace

PlainAuthVerdict CheckCredentialChannel(const CredentialChannel& channel, bool allow_plain_auth) {
  PlainAuthVerdict verdict;
  if (allow_plain_auth) return verdict;
  const ResolvedClient& client = channel.client;
  if (client.through_proxy) {
    // The proxy's hop to us may be plain; the client's hop to it counts.
    if (client.scheme == "https" || IsLoopback(client.address)) return verdict;
    verdict.allowed = false;
    verdict.reason = "credentials over plain http through proxy " + channel.peer + " for client " +
                     client.address;
    return verdict;
  }
  if (channel.tls) return verdict;
  if (IsLoopback(channel.peer)) {
    if (!channel.forwarded_headers) return verdict;
    verdict.allowed = false;
    verdict.reason = "credentials over plain http from " + channel.peer +
                     " with X-Forwarded headers from a proxy not named in --trust-proxy";
    return verdict;
  }
  verdict.allowed = false;
  verdict.reason = "credentials over plain http from " + channel.peer;
  return verdict;
}
