#include "request_guard.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>

#include "answer_head.h"
#include "cross_site_guard.h"
#include "temp_folder.h"

namespace {

using Clock = std::chrono::steady_clock;

// Options that trust `proxies` (as --trust-proxy takes them).
void TrustProxy(std::string proxies, GuardOptions* options) {
  std::string error;
  ASSERT_TRUE(ApplyGuardOption("--trust-proxy", &proxies, options, &error)) << error;
}

HttpRequest Request(const std::string& peer, std::vector<std::pair<std::string, std::string>> headers,
                    bool tls = false) {
  HttpRequest request;
  request.peer_addr = peer;
  request.peer_port = 40000;
  request.tls = tls;
  request.method = "GET";
  request.path = "/admin/corkwarden.tvx";
  request.headers.Add("Host", "board.example:8080");
  for (auto& header : headers) request.headers.Add(header.first, header.second);
  return request;
}

TEST(RequestGuardTest, IdentifyBelievesForwardedHeadersOnlyFromATrustedPeer) {
  GuardOptions options;
  ASSERT_NO_FATAL_FAILURE(TrustProxy("127.0.0.2", &options));
  RequestGuard guard(options, nullptr);
  struct Case {
    const char* peer;
    bool tls;
    const char* forwarded_for;  // nullptr: none sent
    const char* forwarded_proto;
    const char* client;
    int port;
    const char* scheme;
    bool through_proxy;
  } cases[] = {
      {"127.0.0.2", false, "203.0.113.7", "https", "203.0.113.7", 0, "https", true},
      {"127.0.0.2", false, "6.6.6.6, 203.0.113.7", "http", "203.0.113.7", 0, "http", true},
      {"127.0.0.2", false, nullptr, nullptr, "127.0.0.2", 0, "http", true},
      // Anyone else may write the headers; they change nothing.
      {"127.0.0.1", false, "203.0.113.7", "https", "127.0.0.1", 40000, "http", false},
      {"198.51.100.4", true, "203.0.113.7", "http", "198.51.100.4", 40000, "https", false},
  };
  for (const Case& c : cases) {
    std::vector<std::pair<std::string, std::string>> headers;
    if (c.forwarded_for != nullptr) headers.emplace_back("X-Forwarded-For", c.forwarded_for);
    if (c.forwarded_proto != nullptr) headers.emplace_back("X-Forwarded-Proto", c.forwarded_proto);
    HttpRequest request = Request(c.peer, headers, c.tls);
    guard.Identify(&request);
    EXPECT_EQ(request.client_addr, c.client) << c.peer << " " << (c.forwarded_for ? c.forwarded_for : "");
    EXPECT_EQ(request.client_port, c.port) << c.peer;
    EXPECT_EQ(request.scheme, c.scheme) << c.peer;
    EXPECT_EQ(request.through_proxy, c.through_proxy) << c.peer;
  }
  EXPECT_TRUE(guard.TrustsPeer("127.0.0.2"));
  EXPECT_FALSE(guard.TrustsPeer("127.0.0.1"));
}

TEST(RequestGuardTest, GuardedPathRefusalsAndWhatPasses) {
  GuardOptions options;
  ASSERT_NO_FATAL_FAILURE(TrustProxy("127.0.0.2", &options));
  RequestGuard guard(options, nullptr);
  struct Case {
    const char* name;
    const char* peer;
    bool tls;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;  // 0: admitted
    bool explains;  // the refusal carries the page that says why
  } cases[] = {
      {"curl from loopback", "127.0.0.1", false, {}, 0, false},
      {"same-origin", "127.0.0.1", false,
       {{"Sec-Fetch-Site", "same-origin"}, {"Origin", "http://board.example:8080"},
        {"Referer", "http://board.example:8080/admin/corkwarden.tvx"}}, 0, false},
      {"typed in", "127.0.0.1", false, {{"Sec-Fetch-Site", "none"}}, 0, false},
      {"cross-site", "127.0.0.1", false, {{"Sec-Fetch-Site", "cross-site"}}, 403, false},
      {"same-site", "127.0.0.1", false, {{"Sec-Fetch-Site", "same-site"}}, 403, false},
      {"foreign Origin", "127.0.0.1", false, {{"Origin", "http://evil.example"}}, 403, false},
      {"other port", "127.0.0.1", false, {{"Origin", "http://board.example:8081"}}, 403, false},
      {"foreign Referer", "127.0.0.1", false, {{"Referer", "http://evil.example/x"}}, 403, false},
      {"https page to http", "127.0.0.1", false,
       {{"Referer", "https://board.example:8080/admin/"}}, 403, false},
      {"over TLS from afar", "198.51.100.4", true, {}, 0, false},
      {"plain from afar", "198.51.100.4", false, {}, 403, true},
      {"unnamed proxy on loopback", "127.0.0.1", false, {{"X-Forwarded-For", "203.0.113.7"}},
       403, true},
      {"trusted proxy, https", "127.0.0.2", false,
       {{"X-Forwarded-For", "203.0.113.7"}, {"X-Forwarded-Proto", "https"}}, 0, false},
      {"trusted proxy, http", "127.0.0.2", false,
       {{"X-Forwarded-For", "203.0.113.7"}, {"X-Forwarded-Proto", "http"}}, 403, true},
      // A prefetch is never run, whoever sends it.
      {"Sec-Purpose prefetch", "127.0.0.1", false, {{"Sec-Purpose", "prefetch"}}, 503, false},
      {"prerender", "198.51.100.4", true, {{"Sec-Purpose", "prefetch;prerender"}}, 503, false},
      {"Purpose prefetch", "127.0.0.1", false, {{"Purpose", "prefetch"}}, 503, false},
      {"X-Moz prefetch", "127.0.0.1", false, {{"X-Moz", "prefetch"}}, 503, false},
      {"second Purpose line", "127.0.0.1", false,
       {{"Purpose", "preview"}, {"Purpose", "prefetch"}}, 503, false},
      {"prefetch from another site", "127.0.0.1", false,
       {{"Sec-Purpose", "prefetch"}, {"Sec-Fetch-Site", "cross-site"}}, 403, false},
      {"other purpose", "127.0.0.1", false, {{"Purpose", "preview"}}, 0, false},
  };
  for (const Case& c : cases) {
    HttpRequest request = Request(c.peer, c.headers, c.tls);
    guard.Identify(&request);
    HttpAnswer answer;
    bool admitted = guard.AdmitGuardedPath(request, &answer);
    EXPECT_EQ(admitted, c.status == 0) << c.name;
    if (c.status == 0) continue;
    EXPECT_EQ(answer.status, c.status) << c.name;
    bool explains = answer.body.find("https://") != std::string::npos;
    EXPECT_EQ(explains, c.explains) << c.name;
    if (c.status == 503) {
      EXPECT_EQ(answer.headers.Get("Cache-Control"), "no-store") << c.name;
    }
  }

  // --allow-plain-auth lifts the channel rule, not the cross-site one.
  options.allow_plain_auth = true;
  RequestGuard lenient(options, nullptr);
  HttpRequest plain = Request("198.51.100.4", {});
  lenient.Identify(&plain);
  HttpAnswer answer;
  EXPECT_TRUE(lenient.AdmitGuardedPath(plain, &answer));
  HttpRequest cross = Request("198.51.100.4", {{"Sec-Fetch-Site", "cross-site"}});
  lenient.Identify(&cross);
  EXPECT_FALSE(lenient.AdmitGuardedPath(cross, &answer));
  EXPECT_EQ(answer.status, 403);
}

TEST(RequestGuardTest, DenyListRefusesTheClientBehindAProxyToo) {
  TempFolder dir;
  std::string path = dir.path() + "/deny";
  std::ofstream(path) << "203.0.113.0/24\n";
  auto deny = std::make_unique<DenyList>(path, [](const std::string&) {});
  std::string error;
  ASSERT_TRUE(deny->Load(&error)) << error;
  GuardOptions options;
  ASSERT_NO_FATAL_FAILURE(TrustProxy("127.0.0.2", &options));
  RequestGuard guard(options, std::move(deny));
  struct Case {
    const char* peer;
    const char* forwarded_for;
    bool denied;
  } cases[] = {
      {"203.0.113.9", "", true},
      {"127.0.0.2", "203.0.113.9", true},
      {"127.0.0.2", "198.51.100.1", false},
      // A listed client cannot hide behind a header it writes itself.
      {"203.0.113.9", "198.51.100.1", true},
      {"127.0.0.1", "203.0.113.9", false},
  };
  for (const Case& c : cases) {
    HttpRequest request = Request(c.peer, {});
    if (c.forwarded_for[0] != '\0') request.headers.Add("X-Forwarded-For", c.forwarded_for);
    guard.Identify(&request);
    HttpAnswer answer;
    EXPECT_EQ(guard.RefuseDenied(request, &answer), c.denied) << c.peer << " " << c.forwarded_for;
    if (c.denied) {
      EXPECT_EQ(answer.status, 403);
    }
  }
}

TEST(RequestGuardTest, PostsPastTheBurstGet429WithRetryAfter) {
  Clock::time_point now = Clock::now();
  GuardOptions options;  // 10 a minute, burst 5
  RequestGuard guard(options, nullptr, [&now] { return now; });
  HttpRequest request = Request("198.51.100.4", {});
  request.method = "POST";
  guard.Identify(&request);
  HttpAnswer answer;
  for (int i = 0; i < FloodLimiter::kBurst; ++i) {
    EXPECT_TRUE(guard.AdmitPost(request, &answer)) << i;
  }
  EXPECT_FALSE(guard.AdmitPost(request, &answer));
  EXPECT_EQ(answer.status, 429);
  EXPECT_EQ(answer.headers.Get("Retry-After"), "6");  // one post per 6 s at 10 a minute
  // Another client is not held back by the first.
  HttpRequest other = Request("198.51.100.5", {});
  guard.Identify(&other);
  EXPECT_TRUE(guard.AdmitPost(other, &answer));
  now += std::chrono::seconds(6);
  EXPECT_TRUE(guard.AdmitPost(request, &answer));

  options.post_rate = 0;
  RequestGuard off(options, nullptr);
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(off.AdmitPost(request, &answer)) << i;
}

TEST(RequestGuardTest, PostsFromOtherSitesAreRefusedBeforeTheFloodLimitCountsThem) {
  Clock::time_point now = Clock::now();
  GuardOptions options;  // 10 a minute, burst 5
  std::string friendly = "https://friend.example";
  std::string error;
  ASSERT_TRUE(ApplyGuardOption("--allow-origin", &friendly, &options, &error)) << error;
  RequestGuard guard(options, nullptr, [&now] { return now; });
  const std::string own = "http://board.example:8080";
  struct Case {
    const char* name;
    std::vector<std::pair<std::string, std::string>> headers;
    int status;  // 0: admitted
  } cases[] = {
      {"cross-site form", {{"Sec-Fetch-Site", "cross-site"}, {"Origin", "http://evil.example"}},
       403},
      {"same-site form", {{"Sec-Fetch-Site", "same-site"}, {"Origin", "http://a.board.example"}},
       403},
      {"old browser", {{"Origin", "http://evil.example"}}, 403},
      {"sandboxed frame", {{"Sec-Fetch-Site", "cross-site"}, {"Origin", "null"}}, 403},
      {"other port", {{"Origin", "http://board.example:8081"}}, 403},
      {"own form", {{"Sec-Fetch-Site", "same-origin"}, {"Origin", own}}, 0},
      {"curl", {}, 0},
      {"named site", {{"Sec-Fetch-Site", "cross-site"}, {"Origin", friendly}}, 0},
      {"named site over http", {{"Sec-Fetch-Site", "cross-site"}, {"Origin", "http://friend.example"}},
       403},
  };
  // From one address: three admitted posts, so that refusals counted by
  // the flood limit would show as a 429 before the end.
  for (int round = 0; round < 2; ++round) {
    for (const Case& c : cases) {
      if (round == 1 && c.status == 0) continue;
      HttpRequest request = Request("198.51.100.4", c.headers);
      request.method = "POST";
      request.path = "/bbs/board.tvx";
      guard.Identify(&request);
      HttpAnswer answer;
      EXPECT_EQ(guard.AdmitPost(request, &answer), c.status == 0) << c.name;
      if (c.status != 0) {
        EXPECT_EQ(answer.status, c.status) << c.name;
      }
    }
  }
  // Twelve refusals and three posts: the burst of 5 still has two left.
  HttpRequest own_post = Request("198.51.100.4", {{"Origin", own}});
  own_post.method = "POST";
  guard.Identify(&own_post);
  HttpAnswer answer;
  EXPECT_TRUE(guard.AdmitPost(own_post, &answer));
  EXPECT_TRUE(guard.AdmitPost(own_post, &answer));
  EXPECT_FALSE(guard.AdmitPost(own_post, &answer));
  EXPECT_EQ(answer.status, 429);
}

TEST(AnswerHeadTest, EveryAnswerIsNosniffAndGuardedOnesAreNeverFramedOrCached) {
  struct Case {
    int status;
    bool guarded;
  } cases[] = {{200, false}, {404, false}, {200, true}, {401, true}, {403, true}, {302, true}};
  for (const Case& c : cases) {
    HttpAnswer answer;
    answer.status = c.status;
    answer.guarded = c.guarded;
    answer.headers.Set("Cache-Control", "max-age=3600");  // as a plug-in might
    std::string head = FinishAnswer(true, &answer);
    EXPECT_NE(head.find("\r\nX-Content-Type-Options: nosniff\r\n"), std::string::npos) << c.status;
    for (const auto& header : GuardedPathHeaders()) {
      std::string line = "\r\n" + header.first + ": " + header.second + "\r\n";
      // Every answer names only its origin to other sites now; the rest is
      // the guarded paths' own.
      bool everywhere = header.first == "Referrer-Policy";
      EXPECT_EQ(head.find(line) != std::string::npos, c.guarded || everywhere)
          << c.status << " " << line;
    }
    EXPECT_EQ(head.find("max-age=3600") == std::string::npos, c.guarded) << c.status;
  }
}

}  // namespace
