#include "trusted_proxy.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TrustedProxies Proxies(const std::vector<std::string>& texts) {
  std::vector<AddressRange> ranges;
  for (const std::string& text : texts) {
    AddressRange range;
    EXPECT_TRUE(AddressRange::Parse(text, &range)) << text;
    ranges.push_back(range);
  }
  return TrustedProxies(ranges);
}

TEST(TrustedProxyTest, ClientAddress) {
  TrustedProxies proxies = Proxies({"10.0.0.0/8", "::1"});
  struct Case {
    const char* name;
    const char* peer;
    std::vector<std::string> forwarded_for;
    const char* client;
    bool through_proxy;
  } cases[] = {
      {"untrusted peer: headers ignored", "203.0.113.9", {"198.51.100.7"}, "203.0.113.9", false},
      {"trusted peer", "10.0.0.1", {"198.51.100.7"}, "198.51.100.7", true},
      {"no header", "10.0.0.1", {}, "10.0.0.1", true},
      {"spaces", "10.0.0.1", {"  198.51.100.7 ,\t10.0.0.2  "}, "198.51.100.7", true},
      {"forged entries on the left", "10.0.0.1", {"6.6.6.6, 7.7.7.7, 198.51.100.7"},
       "198.51.100.7", true},
      {"several headers read as one list", "10.0.0.1", {"6.6.6.6", "198.51.100.7, 10.0.0.5"},
       "198.51.100.7", true},
      {"empty entries", "10.0.0.1", {",, 198.51.100.7 ,,", ""}, "198.51.100.7", true},
      {"all trusted: the leftmost", "10.0.0.1", {"10.0.0.7, 10.0.0.8"}, "10.0.0.7", true},
      {"garbage on the right", "10.0.0.1", {"198.51.100.7, garbage"}, "10.0.0.1", true},
      {"garbage behind a trusted hop", "10.0.0.1", {"198.51.100.7, unknown, 10.0.0.3"},
       "10.0.0.3", true},
      {"garbage on the left", "10.0.0.1", {"<script>, 198.51.100.7"}, "198.51.100.7", true},
      {"IPv4 with a port", "10.0.0.1", {"198.51.100.7:5100"}, "198.51.100.7", true},
      {"a bad port", "10.0.0.1", {"198.51.100.7:51x"}, "10.0.0.1", true},
      {"IPv6", "10.0.0.1", {"2001:db8::7"}, "2001:db8::7", true},
      {"IPv6 in capitals", "10.0.0.1", {"2001:DB8:0::7"}, "2001:db8::7", true},
      {"IPv6 in brackets", "10.0.0.1", {"[2001:db8::7]"}, "2001:db8::7", true},
      {"IPv6 with a port", "10.0.0.1", {"[2001:db8::7]:4711"}, "2001:db8::7", true},
      {"quoted", "10.0.0.1", {"\"[2001:db8::7]:4711\""}, "2001:db8::7", true},
      {"an unclosed bracket", "10.0.0.1", {"[2001:db8::7"}, "10.0.0.1", true},
      {"IPv6 peer", "::1", {"198.51.100.7"}, "198.51.100.7", true},
      {"IPv4-mapped peer", "::ffff:10.0.0.1", {"198.51.100.7"}, "198.51.100.7", true},
      {"IPv4-mapped client", "10.0.0.1", {"::ffff:198.51.100.7"}, "198.51.100.7", true},
      {"loopback not trusted here", "127.0.0.1", {"198.51.100.7"}, "127.0.0.1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResolvedClient client = proxies.Resolve(c.peer, "http", c.forwarded_for, {});
    EXPECT_EQ(client.address, c.client);
    EXPECT_EQ(client.through_proxy, c.through_proxy);
  }
}

TEST(TrustedProxyTest, Scheme) {
  TrustedProxies proxies = Proxies({"127.0.0.1"});
  struct Case {
    const char* peer;
    const char* connection;
    std::vector<std::string> proto;
    const char* scheme;
  } cases[] = {
      {"127.0.0.1", "http", {"https"}, "https"},
      {"127.0.0.1", "http", {" HTTPS "}, "https"},
      {"127.0.0.1", "https", {"http"}, "http"},
      {"127.0.0.1", "http", {"http, https"}, "https"},  // the nearest proxy's word
      {"127.0.0.1", "http", {"https", "http"}, "http"},
      {"127.0.0.1", "http", {"ftp"}, "http"},
      {"127.0.0.1", "https", {}, "https"},
      {"127.0.0.2", "http", {"https"}, "http"},  // not trusted
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + " " + (c.proto.empty() ? "(none)" : c.proto[0]));
    EXPECT_EQ(proxies.Resolve(c.peer, c.connection, {"198.51.100.7"}, c.proto).scheme, c.scheme);
  }
}

// What nginx with the README's settings passed on for a client at 127.0.0.3
// that sent X-Forwarded-For: 6.6.6.6 and X-Forwarded-Proto: https itself.
TEST(TrustedProxyTest, BehindNginxAsConfiguredInTheReadme) {
  ResolvedClient client = Proxies({"127.0.0.1"}).Resolve("127.0.0.1", "http",
                                                         {"6.6.6.6, 127.0.0.3"}, {"http"});
  EXPECT_EQ(client.address, "127.0.0.3");
  EXPECT_EQ(client.scheme, "http");
  EXPECT_TRUE(client.through_proxy);
}

TEST(TrustedProxyTest, NoProxiesTrustsNoOne) {
  TrustedProxies none;
  EXPECT_TRUE(none.empty());
  ResolvedClient client = none.Resolve("127.0.0.1", "http", {"198.51.100.7"}, {"https"});
  EXPECT_EQ(client.address, "127.0.0.1");
  EXPECT_EQ(client.scheme, "http");
  EXPECT_FALSE(client.through_proxy);
}

}  // namespace
