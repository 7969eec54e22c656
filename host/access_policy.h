// Who may reach which URL paths: a path prefix may be limited to listed
// client addresses (--allow) and may need HTTP Basic credentials from an
// htpasswd file (--auth). For each kind of rule the longest matching prefix
// decides; rules given twice for the same prefix add up (any listed address,
// any of the files). Paths are compared with ASCII letter case ignored.
#ifndef HOST_ACCESS_POLICY_H_
#define HOST_ACCESS_POLICY_H_

#include <memory>
#include <string>
#include <vector>

#include "address_range.h"
#include "htpasswd.h"

// Decodes "Basic base64(user:password)" (scheme in any letter case). False
// for another scheme, bad base64 or no colon.
bool ParseBasicAuthorization(const std::string& header, std::string* user, std::string* password);

enum class AccessDecision { kAllow, kForbidden, kUnauthorized };

class AccessPolicy {
 public:
  AccessPolicy() = default;

  // The prefix is normalized here (NormalizePrefix). False with *error when
  // it is no URL path prefix, the file cannot be read or an address does not
  // parse.
  bool AddAuth(const std::string& prefix, const std::string& htpasswd_path, std::string* error);
  bool AddAllow(const std::string& prefix, const std::vector<std::string>& addresses,
                std::string* error);

  // True when some --auth rule covers `path`: checking it may cost a slow
  // password hash.
  bool NeedsCredentials(const std::string& path) const;

  // The decision for `path` (a normalized path below the root) from a client
  // at `remote_addr` that sent `authorization` (empty when none). An address
  // outside the allowed ones is kForbidden before credentials are looked at.
  // On kAllow with credentials checked, *user is the user name.
  AccessDecision Check(const std::string& path, const std::string& remote_addr,
                       const std::string& authorization, std::string* user) const;

  bool empty() const { return auth_.empty() && allow_.empty(); }

 private:
  struct AuthRule {
    std::string prefix;
    std::shared_ptr<Htpasswd> file;
  };
  struct AllowRule {
    std::string prefix;
    std::vector<AddressRange> ranges;
  };

  std::vector<AuthRule> auth_;
  std::vector<AllowRule> allow_;
};

#endif  // HOST_ACCESS_POLICY_H_
