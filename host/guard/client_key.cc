#include "client_key.h"

#include <random>

#include "address_range.h"

namespace {

uint64_t Mix(uint64_t x) {
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

}  // namespace

ClientKey ClientKeyOf(const std::string& address) {
  ClientKey key;
  IpAddress ip;
  if (!IpAddress::Parse(address, &ip)) return key;
  int first = ip.IsV4() ? 12 : 0;
  int count = ip.IsV4() ? 4 : 8;
  for (int i = 0; i < count; ++i) key.prefix = (key.prefix << 8) | ip.bytes[first + i];
  key.family = ip.IsV4() ? 4 : 6;
  return key;
}

uint64_t HashClientKey(const ClientKey& key, uint64_t seed) {
  return Mix(Mix(key.prefix ^ seed) ^ key.family);
}

uint64_t RandomHashSeed() {
  std::random_device device;
  return (static_cast<uint64_t>(device()) << 32) ^ device();
}
