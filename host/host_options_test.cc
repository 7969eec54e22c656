#include "host_options.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ParseResult Parse(std::vector<const char*> args, HostOptions* options, std::string* error) {
  args.insert(args.begin(), "tvxhost");
  return ParseHostOptions(static_cast<int>(args.size()), args.data(), "default.db", options,
                          error);
}

TEST(HostOptionsTest, DefaultsWithoutArguments) {
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({}, &options, &error), ParseResult::kRun);
  EXPECT_EQ(options.listen_host, "127.0.0.1");
  EXPECT_EQ(options.listen_port, 8080);
  EXPECT_EQ(options.root, ".");
  EXPECT_EQ(options.store, "default.db");
  EXPECT_EQ(options.threads, 8);
  EXPECT_EQ(options.body_limit, 65536u);
  EXPECT_EQ(options.keep_alive, 100);
  EXPECT_EQ(options.timeout, 10);
  EXPECT_EQ(options.keep_alive_timeout, 5);
  EXPECT_EQ(options.max_connections, 10000);
  EXPECT_EQ(options.max_connections_per_address, 64);
  EXPECT_EQ(options.realm, "corkwall");
  EXPECT_TRUE(options.auth.empty());
  EXPECT_TRUE(options.tls_cert.empty());
  // The guard is on unless turned off.
  EXPECT_EQ(options.guard.post_rate, 10);
  EXPECT_EQ(options.guard.calls_per_client, 6);
  EXPECT_TRUE(options.guard.deny_file.empty());
  EXPECT_TRUE(options.guard.trusted_proxies.empty());
  EXPECT_FALSE(options.guard.allow_plain_auth);
}

TEST(HostOptionsTest, GuardOptionsOnTheCommandLine) {
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--post-rate", "0", "--deny-file=/etc/deny", "--trust-proxy", "127.0.0.1",
                   "--trust-proxy=10.0.0.0/8, ::1", "--allow-plain-auth", "--calls-per-client",
                   "2"},
                  &options, &error),
            ParseResult::kRun)
      << error;
  EXPECT_EQ(options.guard.post_rate, 0);
  EXPECT_EQ(options.guard.calls_per_client, 2);
  EXPECT_EQ(options.guard.deny_file, "/etc/deny");
  EXPECT_EQ(options.guard.trusted_proxy_text,
            (std::vector<std::string>{"127.0.0.1", "10.0.0.0/8", "::1"}));
  ASSERT_EQ(options.guard.trusted_proxies.size(), 3u);
  EXPECT_TRUE(options.guard.trusted_proxies[1].Contains("10.200.0.1"));
  EXPECT_FALSE(options.guard.trusted_proxies[1].Contains("11.0.0.1"));
  EXPECT_TRUE(options.guard.allow_plain_auth);
}

TEST(HostOptionsTest, EveryOptionInBothForms) {
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--listen", "[::1]:0", "--root=/srv/www", "--store", "s.db", "--access-log=-",
                   "--threads", "3", "--body-limit=0", "--keep-alive", "7", "--timeout=2",
                   "--auth", "/admin/=/etc/pw", "--auth=/x=/etc/pw2", "--allow",
                   "/admin=127.0.0.1,::1", "--realm", "Board owners", "--tls-cert", "c.pem",
                   "--tls-key=k.pem", "--keep-alive-timeout", "9", "--max-connections=20",
                   "--max-connections-per-address", "3"},
                  &options, &error),
            ParseResult::kRun)
      << error;
  EXPECT_EQ(options.listen_host, "::1");
  EXPECT_EQ(options.listen_port, 0);
  EXPECT_EQ(options.root, "/srv/www");
  EXPECT_EQ(options.store, "s.db");
  EXPECT_EQ(options.access_log, "-");
  EXPECT_EQ(options.threads, 3);
  EXPECT_EQ(options.body_limit, 0u);
  EXPECT_EQ(options.keep_alive, 7);
  EXPECT_EQ(options.timeout, 2);
  ASSERT_EQ(options.auth.size(), 2u);
  EXPECT_EQ(options.auth[0].prefix, "/admin");  // trailing slash dropped
  EXPECT_EQ(options.auth[0].htpasswd_path, "/etc/pw");
  EXPECT_EQ(options.auth[1].prefix, "/x");
  ASSERT_EQ(options.allow.size(), 1u);
  EXPECT_EQ(options.allow[0].addresses, (std::vector<std::string>{"127.0.0.1", "::1"}));
  EXPECT_EQ(options.realm, "Board owners");
  EXPECT_EQ(options.tls_cert, "c.pem");
  EXPECT_EQ(options.tls_key, "k.pem");
  EXPECT_EQ(options.keep_alive_timeout, 9);
  EXPECT_EQ(options.max_connections, 20);
  EXPECT_EQ(options.max_connections_per_address, 3);
}

TEST(HostOptionsTest, HeaderOptionsAndAllowedOrigins) {
  HostOptions defaults;
  std::string error;
  ASSERT_EQ(Parse({}, &defaults, &error), ParseResult::kRun);
  EXPECT_EQ(defaults.answer_headers.hsts_seconds, 31536000);
  EXPECT_EQ(defaults.answer_headers.content_security_policy, kDefaultContentSecurityPolicy);
  EXPECT_TRUE(defaults.guard.allowed_origins.empty());

  HostOptions options;
  ASSERT_EQ(Parse({"--hsts", "0", "--csp=default-src 'self'; img-src *; script-src 'self'",
                   "--allow-origin", "https://Friend.example", "--allow-origin=http://[::1]:8080"},
                  &options, &error),
            ParseResult::kRun)
      << error;
  EXPECT_EQ(options.answer_headers.hsts_seconds, 0);
  EXPECT_EQ(options.answer_headers.content_security_policy,
            "default-src 'self'; img-src *; script-src 'self'");
  ASSERT_EQ(options.guard.allowed_origins.size(), 2u);
  EXPECT_EQ(options.guard.allowed_origins[0].ToString(), "https://friend.example:443");
  EXPECT_EQ(options.guard.allowed_origins[1].ToString(), "http://[::1]:8080");
  ASSERT_EQ(Parse({"--hsts", "600"}, &options, &error), ParseResult::kRun) << error;
  EXPECT_EQ(options.answer_headers.hsts_seconds, 600);
}

TEST(HostOptionsTest, HelpWins) {
  HostOptions options;
  std::string error;
  EXPECT_EQ(Parse({"--threads", "2", "--help"}, &options, &error), ParseResult::kHelp);
  EXPECT_EQ(Parse({"-h"}, &options, &error), ParseResult::kHelp);
  EXPECT_NE(HostUsage().find("--auth PREFIX=FILE"), std::string::npos);
  // The guard's own lines are part of --help.
  EXPECT_NE(HostUsage().find(GuardUsage()), std::string::npos);
  EXPECT_NE(HostUsage().find("(default 65536"), std::string::npos);
}

TEST(HostOptionsTest, BadOptionsAreRefusedWithAReason) {
  struct Case {
    std::vector<const char*> args;
    const char* reason_contains;
  } cases[] = {
      {{"--listen", "8080"}, "--listen"},
      {{"--listen", "127.0.0.1:"}, "--listen"},
      {{"--listen", "127.0.0.1:65536"}, "--listen"},
      {{"--listen", "::1:80"}, "--listen"},
      {{"--listen", ":80"}, "--listen"},
      {{"--listen", "127.0.0.1:-1"}, "--listen"},
      {{"--threads", "0"}, "--threads"},
      {{"--threads", "4x"}, "--threads"},
      {{"--threads", "-4"}, "--threads"},
      {{"--body-limit", "2147483648"}, "--body-limit"},
      {{"--keep-alive", "0"}, "--keep-alive"},
      {{"--timeout", "0"}, "--timeout"},
      {{"--timeout", ""}, "--timeout"},
      {{"--keep-alive-timeout", "0"}, "--keep-alive-timeout"},
      {{"--max-connections", "0"}, "--max-connections"},
      {{"--max-connections-per-address", "x"}, "--max-connections-per-address"},
      {{"--auth", "/admin"}, "--auth"},
      {{"--auth", "admin=/pw"}, "--auth"},
      {{"--auth", "/a/../b=/pw"}, "--auth"},
      {{"--auth", "/admin="}, "--auth"},
      {{"--allow", "/admin=1.2.3.4,,5.6.7.8"}, "empty address"},
      {{"--realm", "a\"b"}, "--realm"},
      {{"--tls-cert", "c.pem"}, "go together"},
      {{"--tls-key", "k.pem"}, "go together"},
      {{"--root"}, "needs a value"},
      {{"--post-rate", "-1"}, "--post-rate"},
      {{"--post-rate", "ten"}, "--post-rate"},
      {{"--post-rate", "60001"}, "--post-rate"},
      {{"--calls-per-client", "-1"}, "--calls-per-client"},
      {{"--calls-per-client", "six"}, "--calls-per-client"},
      {{"--calls-per-client", "100001"}, "--calls-per-client"},
      {{"--calls-per-client=6x"}, "--calls-per-client"},
      {{"--calls-per-client"}, "needs a value"},
      {{"--deny-file", ""}, "--deny-file"},
      {{"--trust-proxy", "proxy.example"}, "--trust-proxy"},
      {{"--trust-proxy", "10.0.0.0/33"}, "--trust-proxy"},
      {{"--trust-proxy", "127.0.0.1,"}, "empty entry"},
      {{"--allow-plain-auth=yes"}, "takes no value"},
      {{"--hsts", "-1"}, "--hsts"},
      {{"--hsts", "2147483648"}, "--hsts"},
      {{"--hsts", "1y"}, "--hsts"},
      {{"--csp", ""}, "--csp"},
      {{"--csp", "   "}, "--csp"},
      // A line break would end the header and begin one of the sender's.
      {{"--csp", "default-src 'self'\r\nSet-Cookie: a=b"}, "--csp"},
      {{"--csp", "default-src 'self'\n"}, "--csp"},
      {{"--csp", "img-src \xe2\x9c\x93"}, "--csp"},
      {{"--allow-origin", "friend.example"}, "--allow-origin"},
      {{"--allow-origin", "https://friend.example/board"}, "no path"},
      {{"--allow-origin", "https://friend.example/"}, "--allow-origin"},
      {{"--allow-origin", "ftp://friend.example"}, "--allow-origin"},
      {{"--allow-origin", "https://user@friend.example"}, "--allow-origin"},
      {{"--allow-origin", "https://friend.example:0"}, "--allow-origin"},
      {{"--allow-origin"}, "needs a value"},
      {{"--post-rate"}, "needs a value"},
      {{"--frobnicate", "1"}, "unknown option"},
      {{"--frobnicate=1"}, "unknown option"},
      {{"stray"}, "unexpected argument"},
  };
  for (const Case& c : cases) {
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse(c.args, &options, &error), ParseResult::kError) << c.args[0];
    EXPECT_NE(error.find(c.reason_contains), std::string::npos)
        << c.args[0] << ": " << error;
  }
}

TEST(HostOptionsTest, PrefixNormalization) {
  struct Case {
    const char* prefix;
    bool ok;
    const char* normalized;
  } cases[] = {
      {"/", true, "/"},
      {"/admin", true, "/admin"},
      {"/admin/", true, "/admin"},
      {"/a/b", true, "/a/b"},
      {"", false, ""},
      {"admin", false, ""},
      {"//admin", false, ""},
      {"/a//b", false, ""},
      {"/./admin", false, ""},
      {"/admin/..", false, ""},
      {"/ad\\min", false, ""},
      {"/ad\tmin", false, ""},
  };
  for (const Case& c : cases) {
    std::string normalized;
    EXPECT_EQ(NormalizePrefix(c.prefix, &normalized), c.ok) << c.prefix;
    if (c.ok) {
      EXPECT_EQ(normalized, c.normalized) << c.prefix;
    }
  }
}

TEST(HostOptionsTest, MetricsListenerIsOffUntilGivenAnAddress) {
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({}, &options, &error), ParseResult::kRun);
  EXPECT_EQ(options.metrics_port, -1);
  struct Case {
    const char* value;
    bool ok;
    const char* host;
    int port;
  } cases[] = {
      {"127.0.0.1:9108", true, "127.0.0.1", 9108}, {"[::1]:0", true, "::1", 0},
      {"9108", false, "", -1},                     {"127.0.0.1:", false, "", -1},
      {"::1:9108", false, "", -1},                 {"127.0.0.1:65536", false, "", -1},
  };
  for (const Case& c : cases) {
    HostOptions parsed;
    ParseResult result = Parse({"--metrics-listen", c.value}, &parsed, &error);
    EXPECT_EQ(result, c.ok ? ParseResult::kRun : ParseResult::kError) << c.value;
    if (!c.ok) {
      EXPECT_NE(error.find("--metrics-listen wants ADDR:PORT"), std::string::npos) << error;
      continue;
    }
    EXPECT_EQ(parsed.metrics_host, c.host);
    EXPECT_EQ(parsed.metrics_port, c.port);
  }
}

TEST(HostOptionsTest, VersionAndHelpNameWhatTheyShould) {
  HostOptions options;
  std::string error;
  EXPECT_EQ(Parse({"--threads", "2", "--version"}, &options, &error), ParseResult::kVersion);
  EXPECT_EQ(HostVersion(), std::string("tvxhost (corkwall) ") + CORKWALL_VERSION + "\n");
  std::string usage = HostUsage();
  for (const char* part : {"--metrics-listen", "--keep-alive-timeout", "postgresql://",
                           "--version", "SIGUSR2", "LISTEN_FDS", "NOTIFY_SOCKET"}) {
    EXPECT_NE(usage.find(part), std::string::npos) << part;
  }
}

}  // namespace
