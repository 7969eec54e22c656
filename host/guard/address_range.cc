#include "address_range.h"

#include <arpa/inet.h>
#include <string.h>

namespace {

const uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

// Also tells whether the text was written as IPv4, which sets the width of
// a network's /bits.
bool ParseIp(const std::string& text, uint8_t bytes[16], bool* written_v4) {
  struct in_addr v4;
  struct in6_addr v6;
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    memcpy(bytes, kMappedPrefix, 12);
    memcpy(bytes + 12, &v4, 4);
    *written_v4 = true;
    return true;
  }
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    memcpy(bytes, &v6, 16);
    *written_v4 = false;
    return true;
  }
  return false;
}

}  // namespace

bool IpAddress::Parse(const std::string& text, IpAddress* address) {
  bool written_v4;
  return ParseIp(text, address->bytes, &written_v4);
}

bool IpAddress::IsV4() const { return memcmp(bytes, kMappedPrefix, 12) == 0; }

bool IpAddress::IsLoopback() const {
  if (IsV4()) return bytes[12] == 127;
  static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return memcmp(bytes, kLoopback6, 16) == 0;
}

std::string IpAddress::ToString() const {
  char text[INET6_ADDRSTRLEN];
  const char* done = IsV4() ? inet_ntop(AF_INET, bytes + 12, text, sizeof text)
                            : inet_ntop(AF_INET6, bytes, text, sizeof text);
  return done != nullptr ? std::string(text) : std::string();
}

bool AddressRange::Parse(const std::string& text, AddressRange* range) {
  std::string address = text;
  int bits = -1;
  size_t slash = text.find('/');
  if (slash != std::string::npos) {
    address = text.substr(0, slash);
    std::string digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    bits = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      bits = bits * 10 + (c - '0');
    }
  }
  AddressRange result;
  bool written_v4 = false;
  if (!ParseIp(address, result.network_.bytes, &written_v4)) return false;
  int width = written_v4 ? 32 : 128;
  if (bits < 0) bits = width;
  if (bits > width) return false;
  result.bits_ = bits + (written_v4 ? 96 : 0);
  *range = result;
  return true;
}

bool AddressRange::Contains(const std::string& address) const {
  IpAddress parsed;
  return IpAddress::Parse(address, &parsed) && Contains(parsed);
}

bool AddressRange::Contains(const IpAddress& address) const {
  int bits = bits_;
  for (int i = 0; i < 16 && bits > 0; ++i, bits -= 8) {
    uint8_t mask = bits >= 8 ? 0xff : static_cast<uint8_t>(0xff << (8 - bits));
    if ((address.bytes[i] & mask) != (network_.bytes[i] & mask)) return false;
  }
  return true;
}
