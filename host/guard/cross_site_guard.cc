#include "cross_site_guard.h"

#include <utility>

#include "guard_text.h"

namespace {

int DefaultPort(const std::string& scheme) { return scheme == "https" ? 443 : 80; }

// "host", "host:port", "[v6]", "[v6]:port" into host and port.
bool SplitHostPort(const std::string& authority, const std::string& scheme, WebOrigin* origin) {
  std::string host = authority;
  std::string port;
  if (!authority.empty() && authority[0] == '[') {
    size_t close = authority.find(']');
    if (close == std::string::npos) return false;
    host = authority.substr(0, close + 1);
    std::string rest = authority.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      port = rest.substr(1);
      if (port.empty()) return false;
    }
  } else {
    size_t colon = authority.find(':');
    if (colon != std::string::npos) {
      host = authority.substr(0, colon);
      port = authority.substr(colon + 1);
      if (port.empty()) return false;
    }
  }
  if (host.empty() || host == "[]") return false;
  for (char c : host) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f || c == '@' || c == '/' || c == '\\') return false;
  }
  int number = DefaultPort(scheme);
  if (!port.empty()) {
    if (port.size() > 5) return false;
    number = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return false;
      number = number * 10 + (c - '0');
    }
    if (number < 1 || number > 65535) return false;
  }
  origin->scheme = scheme;
  origin->host = LowerAscii(host);
  origin->port = number;
  return true;
}

}  // namespace

std::string WebOrigin::ToString() const {
  return scheme + "://" + host + ":" + std::to_string(port);
}

bool ParseWebOrigin(const std::string& url, WebOrigin* origin) {
  std::string text = TrimBlanks(url);
  size_t colon = text.find("://");
  if (colon == std::string::npos) return false;
  std::string scheme = LowerAscii(text.substr(0, colon));
  if (scheme != "http" && scheme != "https") return false;
  size_t start = colon + 3;
  size_t end = text.find_first_of("/?#", start);
  if (end == std::string::npos) end = text.size();
  return SplitHostPort(text.substr(start, end - start), scheme, origin);
}

bool OwnWebOrigin(const std::string& scheme, const std::string& host_header, WebOrigin* origin) {
  std::string lower = LowerAscii(scheme);
  if (lower != "http" && lower != "https") return false;
  return SplitHostPort(TrimBlanks(host_header), lower, origin);
}

CrossSiteRule GuardedPathRule() { return CrossSiteRule(); }

CrossSiteRule PluginPostRule(std::vector<WebOrigin> allowed) {
  CrossSiteRule rule;
  rule.check_referer = false;
  rule.allowed_origins = std::move(allowed);
  return rule;
}

CrossSiteVerdict CheckCrossSite(const FetchContext& request, const WebOrigin& own, bool own_valid,
                                const CrossSiteRule& rule) {
  CrossSiteVerdict verdict;
  if (request.origin && !rule.allowed_origins.empty()) {
    WebOrigin origin;
    if (ParseWebOrigin(*request.origin, &origin)) {
      for (const WebOrigin& allowed : rule.allowed_origins) {
        if (origin == allowed) return verdict;
      }
    }
  }
  auto refuse = [&verdict](const std::string& reason) {
    verdict.allowed = false;
    verdict.reason = reason;
    return verdict;
  };
  const std::string own_text = own_valid ? own.ToString() : "(no valid Host)";

  if (request.sec_fetch_site) {
    std::string site = LowerAscii(TrimBlanks(*request.sec_fetch_site));
    if (site != "same-origin" && site != "none") {
      return refuse("Sec-Fetch-Site is " + LogText(*request.sec_fetch_site));
    }
  }
  if (request.origin && !TrimBlanks(*request.origin).empty()) {
    std::string text = TrimBlanks(*request.origin);
    if (text == "null") return refuse("Origin is null");
    WebOrigin origin;
    if (!ParseWebOrigin(text, &origin) || !own_valid || !(origin == own)) {
      return refuse("Origin " + LogText(text) + " is not " + own_text);
    }
  }
  if (rule.check_referer && request.referer && !TrimBlanks(*request.referer).empty()) {
    WebOrigin origin;
    if (!ParseWebOrigin(*request.referer, &origin)) {
      return refuse("Referer " + LogText(*request.referer) + " is no http(s) URL");
    }
    if (!own_valid || !(origin == own)) {
      return refuse("Referer from " + LogText(origin.ToString()) + " is not " + own_text);
    }
  }
  return verdict;
}

const HeaderList& GuardedPathHeaders() {
  static const HeaderList headers = {
      {"X-Frame-Options", "DENY"},
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'none'; object-src 'none'; base-uri 'none'; "
       "form-action 'self'; frame-ancestors 'none'"},
      {"Cache-Control", "no-store"},
      {"Referrer-Policy", "same-origin"},
  };
  return headers;
}
