// The access rules as tvxhost reads them. Each line of the input is one
// command-line argument after the program's name ("--allow", "/admin=::1,
// 10.0.0.0/8", ...); a line "@ADDR" is instead an address to try against
// every rule, and "@@HEADER" an Authorization header to decode.
//
// Properties: options that parse build a policy whose every --allow rule
// admits, on its own prefix and below, each address it lists (the address
// part of a network, and an IPv4 address also as IPv4-mapped IPv6); an
// address admitted by no rule of the path's prefix is refused; a decoded
// header encodes back to one that decodes the same.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "access_policy.h"
#include "fuzz_check.h"
#include "host_options.h"

namespace {

std::string Base64(const std::string& bytes) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (i + 1 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

void CheckHeader(const std::string& header) {
  std::string user, password;
  if (!ParseBasicAuthorization(header, &user, &password)) return;
  FUZZ_CHECK(user.find(':') == std::string::npos);
  std::string again_user, again_password;
  FUZZ_CHECK(ParseBasicAuthorization("Basic " + Base64(user + ":" + password), &again_user,
                                     &again_password));
  FUZZ_CHECK(again_user == user && again_password == password);
}

// The address part of "ADDR/bits".
std::string AddressOf(const std::string& range) { return range.substr(0, range.find('/')); }

bool IsIpv4(const std::string& address) { return address.find(':') == std::string::npos; }

}  // namespace

// The host's error log is not wanted here.
void LogError(const char*, ...) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> args = {"tvxhost"};
  std::vector<std::string> probes;
  size_t at = 0;
  while (at <= text.size() && args.size() < 64) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (line.compare(0, 2, "@@") == 0) {
      CheckHeader(line.substr(2));
    } else if (!line.empty() && line[0] == '@') {
      probes.push_back(line.substr(1));
    } else {
      args.push_back(line);
    }
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());

  HostOptions options;
  std::string error;
  ParseResult result = ParseHostOptions(static_cast<int>(argv.size()), argv.data(),
                                        "objectstore.db", &options, &error);
  FUZZ_CHECK(result != ParseResult::kError || !error.empty());
  if (result != ParseResult::kRun) return 0;

  AccessPolicy policy;
  std::vector<bool> parsed;
  for (const AllowOption& allow : options.allow) {
    std::string normalized;
    FUZZ_CHECK(NormalizePrefix(allow.prefix, &normalized) && normalized == allow.prefix);
    bool ok = policy.AddAllow(allow.prefix, allow.addresses, &error);
    bool each = true;
    for (const std::string& address : allow.addresses) {
      AddressRange range;
      each = each && AddressRange::Parse(address, &range);
    }
    FUZZ_CHECK(ok == each);
    parsed.push_back(ok);
  }
  for (size_t i = 0; i < options.allow.size(); i++) {
    if (!parsed[i]) continue;
    const AllowOption& allow = options.allow[i];
    // No prefix can hold a control byte, so no longer rule decides below.
    std::string below = allow.prefix == "/" ? "/\x01" : allow.prefix + "/\x01";
    for (const std::string& range : allow.addresses) {
      std::string address = AddressOf(range);
      std::string user;
      for (const std::string& path : {allow.prefix, below}) {
        FUZZ_CHECK(policy.Check(path, address, "", &user) == AccessDecision::kAllow);
        if (IsIpv4(address)) {
          FUZZ_CHECK(policy.Check(path, "::ffff:" + address, "", &user) == AccessDecision::kAllow);
        }
      }
    }
    // A probe that no range of this prefix (or a longer one) admits is refused.
    for (const std::string& probe : probes) {
      bool admitted = false;
      for (size_t j = 0; j < options.allow.size(); j++) {
        if (!parsed[j] || options.allow[j].prefix.size() < allow.prefix.size()) continue;
        for (const std::string& text_range : options.allow[j].addresses) {
          AddressRange range;
          if (AddressRange::Parse(text_range, &range) && range.Contains(probe)) admitted = true;
        }
      }
      std::string user;
      if (!admitted) {
        FUZZ_CHECK(policy.Check(allow.prefix, probe, "", &user) == AccessDecision::kForbidden);
      }
    }
  }
  return 0;
}
