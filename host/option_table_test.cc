#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "host_options.h"
#include "temp_folder.h"

namespace {

// A good value of every option (empty for a switch). An option added to the
// table without a case here fails EveryRowIsReadFromBothPlaces.
const std::map<std::string, std::string>& GoodValues() {
  static const std::map<std::string, std::string> kValues = {
      {"--listen", "[::1]:0"}, {"--root", "/srv/www"}, {"--store", "s.db"},
      {"--access-log", "-"}, {"--threads", "3"}, {"--body-limit", "0"},
      {"--keep-alive", "7"}, {"--timeout", "2"}, {"--keep-alive-timeout", "9"},
      {"--max-connections", "11"}, {"--max-connections-per-address", "4"},
      {"--auth", "/admin=/etc/pw"}, {"--allow", "/admin=127.0.0.1,::1"},
      {"--realm", "Board owners"}, {"--tls-cert", "c.pem"}, {"--tls-key", "k.pem"},
      {"--hsts", "0"}, {"--csp", "default-src 'self'"}, {"--metrics-listen", "127.0.0.1:0"},
      {"--post-rate", "3"}, {"--calls-per-client", "2"}, {"--deny-file", "/etc/deny"},
      {"--trust-proxy", "10.0.0.0/8"}, {"--allow-plain-auth", ""},
      {"--allow-origin", "https://friend.example"}, {"--config", ""}, {"--check", ""},
  };
  return kValues;
}

ParseResult Parse(std::vector<std::string> args, HostOptions* options,
                  std::vector<std::string>* errors) {
  std::vector<const char*> argv = {"tvxhost"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return ParseHostOptions(static_cast<int>(argv.size()), argv.data(), "default.db", options,
                          errors);
}

TEST(OptionTableTest, EveryRowIsReadFromBothPlaces) {
  TempFolder dir;
  for (const OptionRow<HostOptions>& row : HostOptionTable()) {
    SCOPED_TRACE(row.name);
    auto good = GoodValues().find(row.name);
    ASSERT_NE(good, GoodValues().end()) << "no good value for this option in the test";
    const std::string name = row.name;
    std::string value = good->second;
    std::string empty_file = dir.Write("empty.conf", "");
    if (name == "--config") value = empty_file;
    ASSERT_EQ(row.kind == OptionKind::kSwitch, value.empty());
    ASSERT_EQ(HostOptionKind(name), row.kind);
    // The certificate and the key go together: the other of the two on the
    // command line.
    std::vector<std::string> pair;
    if (name == "--tls-cert") pair = {"--tls-key=k.pem"};
    if (name == "--tls-key") pair = {"--tls-cert=c.pem"};

    std::vector<std::string> args = pair;
    args.push_back(value.empty() ? name : name + "=" + value);
    HostOptions options;
    std::vector<std::string> errors;
    EXPECT_EQ(Parse(args, &options, &errors), ParseResult::kRun)
        << (errors.empty() ? "" : errors.front());
    EXPECT_EQ(options.origins[name].size(), 1u);

    // In the file under its key, or refused there: only --config and --check
    // belong on the command line alone.
    EXPECT_EQ(row.config_key == nullptr, name == "--config" || name == "--check");
    std::string key = row.config_key != nullptr ? row.config_key : name.substr(2);
    std::string file = dir.Write("one.conf", key + (value.empty() ? "" : " " + value) + "\n");
    args = pair;
    args.push_back("--config=" + file);
    HostOptions from_file;
    errors.clear();
    ParseResult result = Parse(args, &from_file, &errors);
    if (row.config_key != nullptr) {
      EXPECT_EQ(key, name.substr(2));
      EXPECT_EQ(result, ParseResult::kRun) << (errors.empty() ? "" : errors.front());
      EXPECT_EQ(OptionOrigin(from_file, name), file + ":1");
    } else {
      EXPECT_EQ(result, ParseResult::kError);
      ASSERT_EQ(errors.size(), 1u);
      EXPECT_EQ(errors[0], file + ":1: '" + key + "' belongs on the command line, not in the file");
    }
  }
}

TEST(OptionTableTest, HelpShowsEveryRowOnceInTheTablesOrder) {
  const std::string help = HostUsage();
  size_t at = 0;
  std::map<std::string, int> names;
  for (const OptionRow<HostOptions>& row : HostOptionTable()) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(++names[row.name], 1) << "two rows of one name";
    const std::string usage = row.usage;
    EXPECT_EQ(usage.compare(0, 2 + strlen(row.name), std::string("  ") + row.name), 0);
    ASSERT_FALSE(usage.empty());
    EXPECT_EQ(usage.back(), '\n');
    size_t found = help.find(usage, at);
    ASSERT_NE(found, std::string::npos) << "missing from --help, or out of order";
    at = found + usage.size();
  }
}

TEST(OptionTableTest, TheGuardsRowsAreTheHostsRows) {
  for (const OptionRow<GuardOptions>& guard_row : GuardOptionTable()) {
    SCOPED_TRACE(guard_row.name);
    const OptionRow<HostOptions>* row = FindOptionRow(HostOptionTable(), guard_row.name);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->kind, guard_row.kind);
    EXPECT_STREQ(row->usage, guard_row.usage);
    EXPECT_STREQ(row->config_key, guard_row.config_key);

    // Applied through the host's row, the value lands in the host's guard
    // options as the guard's own row puts it; a bad one is refused alike.
    const std::string value = GoodValues().at(guard_row.name);
    for (const std::string& given : {value, std::string()}) {
      if (guard_row.kind == OptionKind::kSwitch && given != value) continue;
      HostOptions host;
      GuardOptions guard;
      std::string host_error, guard_error;
      bool host_took = ApplyHostOption(guard_row.name, given, &host, &host_error);
      bool guard_took = guard_row.apply(given, &guard, &guard_error);
      EXPECT_EQ(host_took, given == value);
      EXPECT_EQ(host_took, guard_took);
      EXPECT_EQ(host_error, guard_error);
      EXPECT_EQ(host.guard.post_rate, guard.post_rate);
      EXPECT_EQ(host.guard.calls_per_client, guard.calls_per_client);
      EXPECT_EQ(host.guard.deny_file, guard.deny_file);
      EXPECT_EQ(host.guard.trusted_proxy_text, guard.trusted_proxy_text);
      EXPECT_EQ(host.guard.allow_plain_auth, guard.allow_plain_auth);
      EXPECT_EQ(host.guard.allowed_origins.size(), guard.allowed_origins.size());
    }
  }
}

}  // namespace
