// Pairs of client addresses and whether ClientKeyOf takes them for one
// client, for the tests of each limit kept per client.
#ifndef HOST_GUARD_CLIENT_PAIRS_TEST_H_
#define HOST_GUARD_CLIENT_PAIRS_TEST_H_

#include <vector>

struct ClientPair {
  const char* first;
  const char* second;
  bool shared;  // one client
};

inline const std::vector<ClientPair>& ClientPairs() {
  static const std::vector<ClientPair> pairs = {
      {"192.0.2.1", "192.0.2.1", true},
      {"192.0.2.1", "192.0.2.2", false},
      {"192.0.2.1", "::ffff:192.0.2.1", true},
      {"::ffff:192.0.2.1", "192.0.2.1", true},
      {"2001:db8:1:2::1", "2001:db8:1:2:ffff:ffff:ffff:ffff", true},  // one /64
      {"2001:db8:1:2::1", "2001:db8:1:3::1", false},
      {"2001:DB8:1:2::1", "2001:db8:1:2::99", true},
      {"0.0.0.1", "::1", false},  // same low bits, other family
      {"not an address", "nor this", true},
      {"not an address", "", true},
      {"not an address", "192.0.2.1", false},
  };
  return pairs;
}

#endif  // HOST_GUARD_CLIENT_PAIRS_TEST_H_
