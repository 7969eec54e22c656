#include "plain_auth_rule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(PlainAuthRuleTest, WhereCredentialsAreAccepted) {
  std::vector<AddressRange> ranges(1);
  ASSERT_TRUE(AddressRange::Parse("10.0.0.1", &ranges[0]));
  TrustedProxies proxies(ranges);
  struct Case {
    const char* name;
    bool tls;
    const char* peer;
    std::vector<std::string> forwarded_for;
    std::vector<std::string> forwarded_proto;
    bool allow_plain;
    const char* refusal;  // nullptr: accepted; else a piece of the reason
  } cases[] = {
      {"TLS from afar", true, "203.0.113.5", {}, {}, false, nullptr},
      {"plain from afar", false, "203.0.113.5", {}, {}, false, "plain http from 203.0.113.5"},
      {"plain from afar, forged proto", false, "203.0.113.5", {}, {"https"}, false, "plain http"},
      {"plain from loopback", false, "127.0.0.1", {}, {}, false, nullptr},
      {"plain from 127.5.6.7", false, "127.5.6.7", {}, {}, false, nullptr},
      {"plain from ::1", false, "::1", {}, {}, false, nullptr},
      {"plain from mapped loopback", false, "::ffff:127.0.0.1", {}, {}, false, nullptr},
      {"an unnamed proxy on loopback", false, "127.0.0.1", {"203.0.113.5"}, {}, false,
       "not named in --trust-proxy"},
      {"an unnamed proxy saying https", false, "127.0.0.1", {}, {"https"}, false,
       "not named in --trust-proxy"},
      {"trusted proxy says https", false, "10.0.0.1", {"203.0.113.5"}, {"https"}, false, nullptr},
      {"trusted proxy says http", false, "10.0.0.1", {"203.0.113.5"}, {"http"}, false,
       "through proxy 10.0.0.1 for client 203.0.113.5"},
      {"trusted proxy says nothing", false, "10.0.0.1", {"203.0.113.5"}, {}, false, "through proxy"},
      {"TLS to the proxy hop, client on http", true, "10.0.0.1", {"203.0.113.5"}, {"http"}, false,
       "through proxy"},
      {"through a proxy from its own machine", false, "10.0.0.1", {"127.0.0.1"}, {"http"}, false,
       nullptr},
      {"--allow-plain-auth", false, "203.0.113.5", {}, {}, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CredentialChannel channel;
    channel.tls = c.tls;
    channel.peer = c.peer;
    channel.client = proxies.Resolve(c.peer, c.tls ? "https" : "http", c.forwarded_for,
                                     c.forwarded_proto);
    channel.forwarded_headers = !c.forwarded_for.empty() || !c.forwarded_proto.empty();
    PlainAuthVerdict verdict = CheckCredentialChannel(channel, c.allow_plain);
    EXPECT_EQ(verdict.allowed, c.refusal == nullptr) << verdict.reason;
    if (c.refusal != nullptr) {
      EXPECT_NE(verdict.reason.find(c.refusal), std::string::npos) << verdict.reason;
    }
  }
}

}  // namespace
