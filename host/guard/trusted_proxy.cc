#include "trusted_proxy.h"

#include <strings.h>

#include "guard_text.h"

namespace {

// The comma-separated entries of all the headers, in order, trimmed, empty
// ones left out.
std::vector<std::string> Entries(const std::vector<std::string>& headers) {
  std::vector<std::string> entries;
  for (const std::string& header : headers) {
    for (std::string& entry : SplitCommas(header)) {
      if (!entry.empty()) entries.push_back(std::move(entry));
    }
  }
  return entries;
}

bool AllDigits(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

}  // namespace

bool ParseForwardedAddress(const std::string& entry, IpAddress* address) {
  std::string text = TrimBlanks(entry);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    text = text.substr(1, text.size() - 2);
  }
  if (!text.empty() && text.front() == '[') {
    size_t close = text.find(']');
    if (close == std::string::npos) return false;
    std::string rest = text.substr(close + 1);
    if (!rest.empty() && !(rest[0] == ':' && AllDigits(rest.substr(1)))) return false;
    return IpAddress::Parse(text.substr(1, close - 1), address);
  }
  if (IpAddress::Parse(text, address)) return true;
  // IPv4 with a port; an IPv6 address without brackets has no port.
  size_t colon = text.rfind(':');
  if (colon == std::string::npos || text.find(':') != colon) return false;
  if (!AllDigits(text.substr(colon + 1))) return false;
  return IpAddress::Parse(text.substr(0, colon), address) && address->IsV4();
}

bool TrustedProxies::Trusts(const IpAddress& address) const {
  for (const AddressRange& range : ranges_) {
    if (range.Contains(address)) return true;
  }
  return false;
}

bool TrustedProxies::Trusts(const std::string& address) const {
  IpAddress ip;
  return IpAddress::Parse(address, &ip) && Trusts(ip);
}

ResolvedClient TrustedProxies::Resolve(const std::string& peer,
                                       const std::string& connection_scheme,
                                       const std::vector<std::string>& forwarded_for,
                                       const std::vector<std::string>& forwarded_proto) const {
  ResolvedClient client{peer, connection_scheme, false};
  if (!Trusts(peer)) return client;
  client.through_proxy = true;

  std::vector<std::string> entries = Entries(forwarded_for);
  for (size_t i = entries.size(); i-- > 0;) {
    IpAddress ip;
    if (!ParseForwardedAddress(entries[i], &ip)) break;
    client.address = ip.ToString();
    if (!Trusts(ip)) break;
  }

  std::vector<std::string> schemes = Entries(forwarded_proto);
  if (!schemes.empty()) {
    const std::string& last = schemes.back();
    if (strcasecmp(last.c_str(), "https") == 0) client.scheme = "https";
    if (strcasecmp(last.c_str(), "http") == 0) client.scheme = "http";
  }
  return client;
}
