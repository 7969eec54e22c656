#include "answer_head.h"

#include <gtest/gtest.h>
#include <strings.h>

#include <string>
#include <utility>
#include <vector>

#include "cross_site_guard.h"

namespace {

// The header lines of a head, in order.
std::vector<std::pair<std::string, std::string>> Lines(const std::string& head) {
  std::vector<std::pair<std::string, std::string>> lines;
  size_t start = head.find("\r\n") + 2;
  while (start < head.size()) {
    size_t end = head.find("\r\n", start);
    if (end == std::string::npos || end == start) break;
    std::string line = head.substr(start, end - start);
    size_t colon = line.find(": ");
    lines.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    start = end + 2;
  }
  return lines;
}

// The values of `name` among the lines (letter case ignored).
std::vector<std::string> Values(const std::vector<std::pair<std::string, std::string>>& lines,
                                const std::string& name) {
  std::vector<std::string> values;
  for (const auto& line : lines) {
    if (strcasecmp(line.first.c_str(), name.c_str()) == 0) values.push_back(line.second);
  }
  return values;
}

std::string GuardedValue(const std::string& name) {
  for (const auto& header : GuardedPathHeaders()) {
    if (header.first == name) return header.second;
  }
  return "";
}

TEST(AnswerHeadTest, EveryKindOfAnswerCarriesTheServersHeadersOnce) {
  const time_t now = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
  AnswerHeaders configured;
  configured.content_security_policy = "default-src 'self'; img-src *";
  configured.hsts_seconds = 600;
  AnswerHeaders no_hsts;
  no_hsts.hsts_seconds = 0;
  struct Case {
    const char* name;
    int status;
    bool guarded;
    bool https;
    const AnswerHeaders* headers;  // nullptr: the defaults
    const char* hsts;              // nullptr: none
  } cases[] = {
      {"page", 200, false, false, nullptr, nullptr},
      {"page over https", 200, false, true, nullptr, "max-age=31536000"},
      {"not modified", 304, false, true, nullptr, "max-age=31536000"},
      {"not found", 404, false, false, nullptr, nullptr},
      {"too large", 413, false, true, &configured, "max-age=600"},
      {"flood", 429, false, false, &configured, nullptr},
      {"busy", 503, false, true, &no_hsts, nullptr},
      {"admin page", 200, true, true, nullptr, "max-age=31536000"},
      {"admin prompt", 401, true, false, nullptr, nullptr},
      {"admin prefetch", 503, true, true, &configured, "max-age=600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const AnswerHeaders headers = c.headers != nullptr ? *c.headers : AnswerHeaders();
    HttpAnswer answer;
    answer.status = c.status;
    answer.guarded = c.guarded;
    answer.https = c.https;
    // What a plug-in might have written: the server's own values win.
    answer.headers.Add("Content-Security-Policy", "default-src *");
    answer.headers.Add("X-Frame-Options", "ALLOWALL");
    answer.headers.Add("Strict-Transport-Security", "max-age=1");
    answer.headers.Add("date", "yesterday");
    answer.headers.Add("Content-Type", "text/html");
    answer.body = "the page";
    auto lines = Lines(FinishAnswer(true, &answer, headers, now));

    EXPECT_EQ(Values(lines, "Date"), std::vector<std::string>{"Sun, 06 Nov 1994 08:49:37 GMT"});
    EXPECT_EQ(Values(lines, "X-Content-Type-Options"), std::vector<std::string>{"nosniff"});
    EXPECT_EQ(Values(lines, "Content-Type"), std::vector<std::string>{"text/html"});
    EXPECT_EQ(Values(lines, "Referrer-Policy"), std::vector<std::string>{"same-origin"});
    EXPECT_EQ(Values(lines, "Cross-Origin-Opener-Policy"), std::vector<std::string>{"same-origin"});
    EXPECT_EQ(Values(lines, "Permissions-Policy").size(), 1u);
    std::string csp = c.guarded ? GuardedValue("Content-Security-Policy")
                                : headers.content_security_policy;
    EXPECT_EQ(Values(lines, "Content-Security-Policy"), std::vector<std::string>{csp});
    EXPECT_EQ(Values(lines, "X-Frame-Options"),
              std::vector<std::string>{c.guarded ? "DENY" : "SAMEORIGIN"});
    EXPECT_EQ(Values(lines, "Cache-Control"),
              c.guarded ? std::vector<std::string>{"no-store"} : std::vector<std::string>{});
    EXPECT_EQ(Values(lines, "Strict-Transport-Security"),
              c.hsts != nullptr ? std::vector<std::string>{c.hsts} : std::vector<std::string>{});
  }
}

TEST(AnswerHeadTest, TheDefaultPolicyShutsOutScriptsObjectsAndFramesFromElsewhere) {
  const std::string policy = kDefaultContentSecurityPolicy;
  for (const char* directive :
       {"default-src 'self'", "object-src 'none'", "base-uri 'self'", "form-action 'self'",
        "frame-ancestors 'self'"}) {
    EXPECT_NE(policy.find(directive), std::string::npos) << directive;
  }
  // Scripts fall back to default-src: nothing but the site's own files.
  EXPECT_EQ(policy.find("script-src"), std::string::npos);
  EXPECT_EQ(policy.find("unsafe-eval"), std::string::npos);
  const std::string admin = GuardedValue("Content-Security-Policy");
  for (const char* directive : {"default-src 'self'", "script-src 'none'", "object-src 'none'",
                                "base-uri 'none'", "form-action 'self'", "frame-ancestors 'none'"}) {
    EXPECT_NE(admin.find(directive), std::string::npos) << directive;
  }
}

}  // namespace
