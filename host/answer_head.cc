#include "answer_head.h"

#include "cross_site_guard.h"

const char kDefaultContentSecurityPolicy[] =
    "default-src 'self'; img-src * data:; style-src 'self' 'unsafe-inline'; "
    "object-src 'none'; base-uri 'self'; form-action 'self'; frame-ancestors 'self'";

bool AnswerHasBody(const std::string& method, int status) {
  return method != "HEAD" && status != 304 && status != 204 && status >= 200;
}

namespace {

void Put(const std::string& name, const std::string& value, std::string* head) {
  *head += name;
  *head += ": ";
  *head += value;
  *head += "\r\n";
}

}  // namespace

std::string FinishAnswer(bool keep_alive, HttpAnswer* answer, const AnswerHeaders& headers,
                         time_t now) {
  if (answer->status >= 400 && answer->BodySize() == 0) {
    answer->body = ErrorPageFor(answer->status);
    answer->headers.Set("Content-Type", "text/html; charset=utf-8");
  }
  // The server's own headers, in place of any the plug-in set. Another site
  // can neither frame a page (a board's delete button under a decoy), nor
  // learn its full address, nor reach into its window.
  HeaderList own = {
      {"Date", HttpDate(now != 0 ? now : time(nullptr))},
      {"Content-Security-Policy", headers.content_security_policy},
      {"X-Frame-Options", "SAMEORIGIN"},
      {"Referrer-Policy", "same-origin"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Permissions-Policy", "camera=(), microphone=(), geolocation=(), payment=()"},
  };
  if (answer->https && headers.hsts_seconds > 0) {
    own.emplace_back("Strict-Transport-Security", "max-age=" + std::to_string(headers.hsts_seconds));
  }
  if (answer->guarded) {
    for (const auto& guarded : GuardedPathHeaders()) {
      bool replaced = false;
      for (auto& header : own) {
        if (header.first == guarded.first) {
          header.second = guarded.second;
          replaced = true;
        }
      }
      if (!replaced) own.push_back(guarded);
    }
  }
  answer->headers.Remove("Strict-Transport-Security");
  for (const auto& header : own) answer->headers.Remove(header.first);
  // A browser never guesses another type than the one sent: a post's text
  // or an uploaded file is not run as a script.
  answer->headers.Set("X-Content-Type-Options", "nosniff");

  std::string head;
  head.reserve(768);
  head += "HTTP/1.1 ";
  head += std::to_string(answer->status);
  head += ' ';
  head += StatusText(answer->status);
  head += "\r\n";
  for (const auto& header : own) Put(header.first, header.second, &head);
  for (const HttpHeaders::Field& field : answer->headers.fields()) {
    Put(field.name, field.value, &head);
  }
  if (answer->status != 304 && answer->status != 204) {
    Put("Content-Length", std::to_string(answer->BodySize()), &head);
  }
  if (!keep_alive || answer->close) {
    answer->close = true;
    head += "Connection: close\r\n";
  }
  head += "\r\n";
  return head;
}
