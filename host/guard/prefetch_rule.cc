#include "prefetch_rule.h"

#include "guard_text.h"

const char* const kPrefetchHeaders[3] = {"Sec-Purpose", "Purpose", "X-Moz"};

bool NamesPrefetch(const std::string& value) {
  for (const std::string& item : SplitCommas(value)) {
    std::string token = TrimBlanks(item.substr(0, item.find(';')));
    if (LowerAscii(token) == "prefetch") return true;
  }
  return false;
}
