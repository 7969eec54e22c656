#include "access_policy.h"

#include <string.h>
#include <strings.h>

#include "path_resolver.h"

namespace {

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

bool DecodeBase64(const std::string& text, std::string* out) {
  if (text.empty() || text.size() % 4 != 0) return false;
  std::string result;
  for (size_t i = 0; i < text.size(); i += 4) {
    int v[4];
    int padding = 0;
    for (int j = 0; j < 4; ++j) {
      char c = text[i + j];
      if (c == '=' && i + 4 == text.size() && j >= 2) {
        v[j] = 0;
        ++padding;
        continue;
      }
      if (padding > 0) return false;  // data after '='
      v[j] = Base64Value(c);
      if (v[j] < 0) return false;
    }
    uint32_t triple = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
    result.push_back(static_cast<char>((triple >> 16) & 0xff));
    if (padding < 2) result.push_back(static_cast<char>((triple >> 8) & 0xff));
    if (padding < 1) result.push_back(static_cast<char>(triple & 0xff));
  }
  *out = result;
  return true;
}

}  // namespace

bool ParseBasicAuthorization(const std::string& header, std::string* user, std::string* password) {
  if (header.size() < 6 || strncasecmp(header.c_str(), "basic ", 6) != 0) return false;
  size_t start = header.find_first_not_of(' ', 6);
  if (start == std::string::npos) return false;
  size_t end = header.find_last_not_of(' ');
  std::string decoded;
  if (!DecodeBase64(header.substr(start, end + 1 - start), &decoded)) return false;
  size_t colon = decoded.find(':');
  if (colon == std::string::npos) return false;
  *user = decoded.substr(0, colon);
  *password = decoded.substr(colon + 1);
  return true;
}

namespace {

bool PrefixOf(const std::string& text, std::string* prefix, std::string* error) {
  if (NormalizePrefix(text, prefix)) return true;
  *error = "'" + text + "' is not a URL path prefix such as /admin";
  return false;
}

}  // namespace

bool AccessPolicy::AddAuth(const std::string& path_prefix, const std::string& htpasswd_path,
                           std::string* error) {
  std::string prefix;
  if (!PrefixOf(path_prefix, &prefix, error)) return false;
  std::shared_ptr<Htpasswd> file;
  for (const AuthRule& rule : auth_) {
    if (rule.file->path() == htpasswd_path) file = rule.file;
  }
  if (!file) {
    file = std::make_shared<Htpasswd>(htpasswd_path);
    if (!file->Load(error)) return false;
  }
  auth_.push_back(AuthRule{prefix, file});
  return true;
}

bool AccessPolicy::AddAllow(const std::string& path_prefix,
                            const std::vector<std::string>& addresses, std::string* error) {
  std::string prefix;
  if (!PrefixOf(path_prefix, &prefix, error)) return false;
  AllowRule rule{prefix, {}};
  for (const std::string& text : addresses) {
    AddressRange range;
    if (!AddressRange::Parse(text, &range)) {
      *error = "'" + text + "' is not an IP address or network (e.g. 127.0.0.1, ::1, 10.0.0.0/8)";
      return false;
    }
    rule.ranges.push_back(range);
  }
  allow_.push_back(rule);
  return true;
}

AccessDecision AccessPolicy::Check(const std::string& path, const std::string& remote_addr,
                                   const std::string& authorization, std::string* user) const {
  size_t longest = 0;
  bool limited = false;
  for (const AllowRule& rule : allow_) {
    if (PathHasPrefix(path, rule.prefix) && rule.prefix.size() >= longest) {
      longest = rule.prefix.size();
      limited = true;
    }
  }
  if (limited) {
    bool allowed = false;
    for (const AllowRule& rule : allow_) {
      if (rule.prefix.size() != longest || !PathHasPrefix(path, rule.prefix)) continue;
      for (const AddressRange& range : rule.ranges) allowed = allowed || range.Contains(remote_addr);
    }
    if (!allowed) return AccessDecision::kForbidden;
  }

  longest = 0;
  bool guarded = false;
  for (const AuthRule& rule : auth_) {
    if (PathHasPrefix(path, rule.prefix) && rule.prefix.size() >= longest) {
      longest = rule.prefix.size();
      guarded = true;
    }
  }
  if (!guarded) return AccessDecision::kAllow;
  std::string name, password;
  if (!ParseBasicAuthorization(authorization, &name, &password)) {
    return AccessDecision::kUnauthorized;
  }
  for (const AuthRule& rule : auth_) {
    if (rule.prefix.size() != longest || !PathHasPrefix(path, rule.prefix)) continue;
    if (rule.file->Verify(name, password)) {
      *user = name;
      return AccessDecision::kAllow;
    }
  }
  return AccessDecision::kUnauthorized;
}

bool AccessPolicy::NeedsCredentials(const std::string& path) const {
  for (const AuthRule& rule : auth_) {
    if (PathHasPrefix(path, rule.prefix)) return true;
  }
  return false;
}
