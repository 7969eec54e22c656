// The last step of every answer before it is sent: its headers finished and
// its status line and header block written out. Headers that every answer
// should carry are added here, in one place, so that no kind of answer (a
// plug-in's page, a file, 304, an error, a refusal of the guard) goes
// without them.
#ifndef HOST_ANSWER_HEAD_H_
#define HOST_ANSWER_HEAD_H_

#include <time.h>

#include <string>

#include "http_message.h"

// The policy of every answer outside the --auth prefixes: the plug-ins'
// pages, their templates' style sheets and images from this site (an image
// from anywhere, and inline style, as owners' templates often have), and no
// script, object or frame parent from elsewhere; forms post only here.
extern const char kDefaultContentSecurityPolicy[];
// A year: Strict-Transport-Security's usual max-age.
constexpr int kDefaultHstsSeconds = 31536000;

// The headers that the server's options choose (--csp, --hsts).
struct AnswerHeaders {
  // Content-Security-Policy of every answer outside the --auth prefixes.
  std::string content_security_policy = kDefaultContentSecurityPolicy;
  // max-age of Strict-Transport-Security on answers over HTTPS; 0: none.
  int hsts_seconds = kDefaultHstsSeconds;
};

// Whether an answer to `method` with `status` carries body bytes.
bool AnswerHasBody(const std::string& method, int status);

// Finishes *answer and returns its head (status line, header lines, empty
// line). An error status without a page of its own gets a short HTML page.
// Content-Length is the body's size (also for HEAD, where the body is not
// sent); "Connection: close" is added when the connection ends after this
// answer (`keep_alive` false, or answer->close).
//
// Every answer gets these first, in place of any the plug-in set:
//   Date (`now`, or the clock when 0)
//   Content-Security-Policy: headers.content_security_policy
//   X-Frame-Options: SAMEORIGIN
//   Referrer-Policy: same-origin
//   Cross-Origin-Opener-Policy: same-origin
//   Permissions-Policy: camera=(), microphone=(), geolocation=(), payment=()
//   Strict-Transport-Security: max-age=SECONDS, over HTTPS (answer->https)
//     when headers.hsts_seconds > 0 (never over plain HTTP)
// where a guarded answer (answer->guarded) has GuardedPathHeaders() in
// place of the same names (and of any Cache-Control); then the answer's
// own headers, and X-Content-Type-Options: nosniff.
std::string FinishAnswer(bool keep_alive, HttpAnswer* answer,
                         const AnswerHeaders& headers = AnswerHeaders(), time_t now = 0);

#endif  // HOST_ANSWER_HEAD_H_
