// The answers the guard gives in place of a page: a status, the headers to
// send with it (besides the server's own Date, Content-Length and the like)
// and a short page in Shift_JIS, like the boards' pages, that says in
// Japanese and in English what happened and what to do.
#ifndef HOST_GUARD_GUARD_ANSWER_H_
#define HOST_GUARD_GUARD_ANSWER_H_

#include <string>
#include <utility>
#include <vector>

#include "post_kind.h"

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct GuardAnswer {
  int status = 200;
  HeaderList headers;  // Content-Type and Cache-Control always among them
  std::string body;    // Shift_JIS HTML
};

// 429 for a post over the flood limit: Retry-After is the given seconds
// (at least 1), and the page asks to wait that long and post again; for a
// deletion it says that the deletion was not carried out.
GuardAnswer FloodAnswer(int retry_after_seconds, PostKind kind);

// 403 for a request that would send a password over a plain connection:
// the page says that the password is only accepted over https.
GuardAnswer PlainCredentialsAnswer();

#endif  // HOST_GUARD_GUARD_ANSWER_H_
