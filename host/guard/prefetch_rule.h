// Prefetches of the paths under an --auth prefix. A browser that fetches a
// link ahead of a click (speculation rules, <link rel=prefetch>, a preview
// of the link) sends the owner's credentials with it, and a link on the
// admin page is an action (?cmd=deleteDB): the prefetch would carry it out
// unseen. Such requests say what they are:
//
//   Sec-Purpose: prefetch   (also "prefetch;prerender",
//                            "prefetch;anonymous-client-ip")
//   Purpose: prefetch       (older Chromium and Safari)
//   X-Moz: prefetch         (Firefox)
//
// The server answers such a request on a guarded path 503 with
// Cache-Control: no-store, and runs nothing: a browser drops a prefetch
// that failed and asks again when the owner really opens the link.
#ifndef HOST_GUARD_PREFETCH_RULE_H_
#define HOST_GUARD_PREFETCH_RULE_H_

#include <string>

// The request headers that name a prefetch.
extern const char* const kPrefetchHeaders[3];  // Sec-Purpose, Purpose, X-Moz

// True when one of those headers' values names a prefetch: a list of items,
// comma-separated, of which one is the token "prefetch" (letter case
// ignored), with or without parameters after ';'.
bool NamesPrefetch(const std::string& value);

#endif  // HOST_GUARD_PREFETCH_RULE_H_
