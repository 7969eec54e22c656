#include "answer_head.h"

#include "cross_site_guard.h"

bool AnswerHasBody(const std::string& method, int status) {
  return method != "HEAD" && status != 304 && status != 204 && status >= 200;
}

std::string FinishAnswer(bool keep_alive, HttpAnswer* answer) {
  if (answer->status >= 400 && answer->BodySize() == 0) {
    answer->body = ErrorPageFor(answer->status);
    answer->headers.Set("Content-Type", "text/html; charset=utf-8");
  }
  // A browser never guesses another type than the one sent: a post's text
  // or an uploaded file is not run as a script.
  answer->headers.Set("X-Content-Type-Options", "nosniff");
  if (answer->guarded) {
    for (const auto& header : GuardedPathHeaders()) answer->headers.Set(header.first, header.second);
  }
  std::string head;
  head.reserve(256);
  head += "HTTP/1.1 ";
  head += std::to_string(answer->status);
  head += ' ';
  head += StatusText(answer->status);
  head += "\r\n";
  for (const HttpHeaders::Field& field : answer->headers.fields()) {
    head += field.name;
    head += ": ";
    head += field.value;
    head += "\r\n";
  }
  if (answer->status != 304 && answer->status != 204) {
    head += "Content-Length: ";
    head += std::to_string(answer->BodySize());
    head += "\r\n";
  }
  if (!keep_alive || answer->close) {
    answer->close = true;
    head += "Connection: close\r\n";
  }
  head += "\r\n";
  return head;
}
