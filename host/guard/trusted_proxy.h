// TrustedProxies: the reverse proxies in front of the server
// (--trust-proxy), and who the client of a request is when one of them
// passed it on.
//
// Only a request whose peer (the address the connection comes from) is
// trusted has its X-Forwarded-For and X-Forwarded-Proto read; from any other
// peer they are ignored, since any client can write them.
//
// X-Forwarded-For is a list that each proxy extends with the address it got
// the request from, so only its right end was written by proxies we trust.
// The client is the rightmost entry that is not itself a trusted proxy.
// Entries may carry spaces, IPv6 brackets, ports ("203.0.113.7:5100",
// "[2001:db8::1]:443") and quotes; empty entries are skipped. An entry that
// is no address ("unknown", garbage) ends the walk: nothing left of it can be
// believed, so the client is the trusted hop that passed it on (the nearest
// trusted entry to its right, or the peer). When every entry is trusted, the
// leftmost one is the client.
//
// X-Forwarded-Proto gives the scheme the client used; when the header holds
// a list, its rightmost value (written by the nearest proxy) counts. Values
// other than http and https (any letter case) are ignored.
//
// The server resolves every request first, and uses the result in place of
// the peer from then on; `through_proxy` exempts the connection from the
// per-address connection limit.
#ifndef HOST_GUARD_TRUSTED_PROXY_H_
#define HOST_GUARD_TRUSTED_PROXY_H_

#include <string>
#include <vector>

#include "address_range.h"

// Who a request is from, for REMOTE_ADDR, the access log, --allow, the deny
// list, the flood limit and the per-address connection cap.
struct ResolvedClient {
  std::string address;  // the client's address (canonical text when read from a header)
  std::string scheme;   // "http" or "https": as the client connected
  bool through_proxy = false;  // the peer is a trusted proxy
};

class TrustedProxies {
 public:
  TrustedProxies() = default;  // trusts no one
  explicit TrustedProxies(std::vector<AddressRange> ranges) : ranges_(std::move(ranges)) {}

  bool empty() const { return ranges_.empty(); }
  bool Trusts(const std::string& address) const;
  bool Trusts(const IpAddress& address) const;

  // `peer` is the connection's remote address, `connection_scheme` "http" or
  // "https" as the connection itself is; `forwarded_for` and
  // `forwarded_proto` hold each X-Forwarded-For and X-Forwarded-Proto header
  // of the request in the order received (several headers of one name are
  // read as one list). From an untrusted peer the result is the peer and the
  // connection's scheme.
  ResolvedClient Resolve(const std::string& peer, const std::string& connection_scheme,
                         const std::vector<std::string>& forwarded_for,
                         const std::vector<std::string>& forwarded_proto) const;

 private:
  std::vector<AddressRange> ranges_;
};

// One X-Forwarded-For entry as an address: spaces, quotes, brackets and a
// port taken off. False when what remains is no address.
bool ParseForwardedAddress(const std::string& entry, IpAddress* address);

#endif  // HOST_GUARD_TRUSTED_PROXY_H_
