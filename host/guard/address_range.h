// IP addresses and networks as the server's access rules compare them:
// "127.0.0.1", "::1", "192.168.1.0/24", "fd00::/8". IPv4 addresses are kept
// as IPv4-mapped IPv6, so a client that arrives on an IPv6 socket as
// ::ffff:127.0.0.1 matches 127.0.0.1.
#ifndef HOST_GUARD_ADDRESS_RANGE_H_
#define HOST_GUARD_ADDRESS_RANGE_H_

#include <stdint.h>

#include <string>

// One address, IPv4 or IPv6, as 16 bytes (IPv4 as ::ffff:a.b.c.d).
struct IpAddress {
  uint8_t bytes[16] = {};

  // False for anything but a bare address ("1.2.3.4", "::1"; no brackets, no
  // port, no zone).
  static bool Parse(const std::string& text, IpAddress* address);

  // True for IPv4 and IPv4-mapped IPv6 addresses.
  bool IsV4() const;
  // 127.0.0.0/8 (also IPv4-mapped) and ::1.
  bool IsLoopback() const;
  // The usual text: dotted quad for IPv4 (mapped ones included), the short
  // IPv6 form otherwise ("2001:db8::1").
  std::string ToString() const;
};

// An address or a network.
class AddressRange {
 public:
  // False for anything that is not an address with an optional /bits (at
  // most 32 for IPv4, 128 for IPv6).
  static bool Parse(const std::string& text, AddressRange* range);
  // False too when `address` is not an address.
  bool Contains(const std::string& address) const;
  bool Contains(const IpAddress& address) const;

 private:
  IpAddress network_;
  int bits_ = 0;  // of the 16-byte form
};

#endif  // HOST_GUARD_ADDRESS_RANGE_H_
