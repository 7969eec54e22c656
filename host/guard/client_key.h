// ClientKey: one client as the guard counts it, for the limits kept per
// client (the flood limit on posts, the cap on plug-in calls in flight).
// A client is what one household or one machine usually holds: an IPv4
// address by itself (an IPv4-mapped IPv6 address is the same client), an
// IPv6 address by its /64, since one subscriber is handed a whole /64.
// Text that is no address at all is one client of its own.
//
// The address is the one REMOTE_ADDR shows (request.client_addr), after
// RequestGuard::Identify has looked past a trusted proxy.
#ifndef HOST_GUARD_CLIENT_KEY_H_
#define HOST_GUARD_CLIENT_KEY_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

struct ClientKey {
  uint64_t prefix = 0;  // the IPv4 address, or the IPv6 /64
  uint8_t family = 0;   // 4, 6, or 0 for text that is no address
  bool operator==(const ClientKey& other) const {
    return prefix == other.prefix && family == other.family;
  }
};

// The client `address` belongs to. Never fails: what does not parse as an
// address ("", "unix", "1.2.3.4:80") gives the one key of family 0.
ClientKey ClientKeyOf(const std::string& address);

// A hash of `key` mixed with `seed`. Clients choose their addresses, and so
// the slots of a table keyed by them: a seed drawn when the table is made
// (RandomHashSeed) keeps them from choosing addresses that share a slot.
uint64_t HashClientKey(const ClientKey& key, uint64_t seed);
uint64_t RandomHashSeed();

// For std::unordered_map; draws its own seed when made.
struct ClientKeyHash {
  ClientKeyHash() : seed(RandomHashSeed()) {}
  size_t operator()(const ClientKey& key) const {
    return static_cast<size_t>(HashClientKey(key, seed));
  }
  uint64_t seed;
};

#endif  // HOST_GUARD_CLIENT_KEY_H_
