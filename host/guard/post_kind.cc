#include "post_kind.h"

namespace {

// Whether the item `name`=value with a value of at least one byte is in
// the URL-encoded `body`.
bool HasValue(const std::string& body, const std::string& name) {
  size_t at = 0;
  while (at <= body.size()) {
    size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    if (end - at > name.size() + 1 && body.compare(at, name.size(), name) == 0 &&
        body[at + name.size()] == '=') {
      return true;
    }
    at = end + 1;
  }
  return false;
}

}  // namespace

PostKind KindOfPost(const std::string& body) {
  if (HasValue(body, "deleteitem") && !HasValue(body, "postitem")) return PostKind::kDeletion;
  return PostKind::kPost;
}
