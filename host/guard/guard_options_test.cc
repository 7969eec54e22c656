#include "guard_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Arg {
  const char* name;
  const char* value;  // nullptr: written without a value
};

// Applies the options in turn; the error of the first that fails, or "".
std::string Apply(const std::vector<Arg>& args, GuardOptions* options) {
  for (const Arg& arg : args) {
    std::string value = arg.value != nullptr ? arg.value : "";
    std::string error;
    if (!ApplyGuardOption(arg.name, arg.value != nullptr ? &value : nullptr, options, &error)) {
      return error;
    }
  }
  return "";
}

TEST(GuardOptionsTest, Defaults) {
  GuardOptions options;
  EXPECT_EQ(options.post_rate, 10);
  EXPECT_EQ(options.calls_per_client, 6);
  EXPECT_TRUE(options.deny_file.empty());
  EXPECT_TRUE(options.trusted_proxies.empty());
  EXPECT_FALSE(options.allow_plain_auth);
  EXPECT_TRUE(GuardStartWarnings(options).empty());
}

TEST(GuardOptionsTest, GoodValues) {
  GuardOptions options;
  ASSERT_EQ(Apply({{"--post-rate", "0"},
                   {"--calls-per-client", "0"},
                   {"--deny-file", "/etc/corkwall/deny.txt"},
                   {"--trust-proxy", "127.0.0.1, ::1"},
                   {"--trust-proxy", "10.0.0.0/8"},
                   {"--allow-plain-auth", nullptr}},
                  &options),
            "");
  EXPECT_EQ(options.post_rate, 0);
  EXPECT_EQ(options.calls_per_client, 0);
  EXPECT_EQ(options.deny_file, "/etc/corkwall/deny.txt");
  EXPECT_EQ(options.trusted_proxy_text, (std::vector<std::string>{"127.0.0.1", "::1", "10.0.0.0/8"}));
  ASSERT_EQ(options.trusted_proxies.size(), 3u);
  EXPECT_TRUE(options.trusted_proxies[1].Contains("::1"));
  EXPECT_TRUE(options.trusted_proxies[2].Contains("10.200.0.1"));
  EXPECT_TRUE(options.allow_plain_auth);
  // Plain credentials, no flood limit, no cap on calls.
  EXPECT_EQ(GuardStartWarnings(options).size(), 3u);
  ASSERT_EQ(Apply({{"--calls-per-client", "100000"}}, &options), "");
  EXPECT_EQ(options.calls_per_client, 100000);
}

TEST(GuardOptionsTest, BadValuesAreRefusedWithTheirReason) {
  struct Case {
    Arg arg;
    const char* error;
  } cases[] = {
      {{"--post-rate", "-1"}, "--post-rate wants posts per minute from 0 (no limit) to 60000, not '-1'"},
      {{"--post-rate", "60001"}, "not '60001'"},
      {{"--post-rate", "ten"}, "not 'ten'"},
      {{"--post-rate", ""}, "not ''"},
      {{"--post-rate", nullptr}, "option '--post-rate' needs a value"},
      {{"--calls-per-client", "100001"},
       "--calls-per-client wants a number of calls from 0 (no cap) to 100000, not '100001'"},
      {{"--calls-per-client", "-6"}, "not '-6'"},
      {{"--calls-per-client", "6 "}, "not '6 '"},
      {{"--calls-per-client", "0000006"}, "not '0000006'"},
      {{"--calls-per-client", nullptr}, "option '--calls-per-client' needs a value"},
      {{"--deny-file", ""}, "--deny-file needs a file name"},
      {{"--trust-proxy", "nginx.local"}, "--trust-proxy: 'nginx.local' is not an address or network"},
      {{"--trust-proxy", "127.0.0.1,,::1"}, "--trust-proxy has an empty entry"},
      {{"--trust-proxy", "10.0.0.0/40"}, "'10.0.0.0/40'"},
      {{"--trust-proxy", ""}, "empty entry"},
      {{"--allow-plain-auth", "yes"}, "option '--allow-plain-auth' takes no value"},
      {{"--listen", "x"}, "unknown option '--listen'"},
      {{"--allow-origin", "friend.example"}, "--allow-origin wants an origin"},
      {{"--allow-origin", "https://friend.example/?x"}, "not 'https://friend.example/?x'"},
      {{"--allow-origin", nullptr}, "option '--allow-origin' needs a value"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.arg.name) + " " + (c.arg.value ? c.arg.value : "(none)"));
    GuardOptions options;
    std::string error = Apply({c.arg}, &options);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    // Nothing is half applied.
    EXPECT_EQ(options.post_rate, 10);
    EXPECT_EQ(options.calls_per_client, 6);
    EXPECT_TRUE(options.trusted_proxies.empty());
    EXPECT_FALSE(options.allow_plain_auth);
    EXPECT_TRUE(options.allowed_origins.empty());
  }
}

TEST(GuardOptionsTest, TrustingEveryAddressIsWarnedAbout) {
  GuardOptions options;
  ASSERT_EQ(Apply({{"--trust-proxy", "0.0.0.0/0"}}, &options), "");
  std::vector<std::string> warnings = GuardStartWarnings(options);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("0.0.0.0/0 trusts every address"), std::string::npos) << warnings[0];
}

}  // namespace
