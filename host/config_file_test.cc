#include "config_file.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "config_check.h"
#include "host_options.h"
#include "temp_folder.h"
#include "wince.h"

namespace {

ParseResult Parse(std::vector<std::string> args, HostOptions* options, std::string* error) {
  std::vector<const char*> argv = {"tvxhost"};
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return ParseHostOptions(static_cast<int>(argv.size()), argv.data(), "default.db", options,
                          error);
}

TEST(ConfigTextTest, LinesBecomeOptionsWithTheirLineNumbers) {
  std::vector<OptionEntry> entries;
  std::string error;
  ASSERT_TRUE(ParseConfigText("# a comment\n"
                              "\n"
                              "listen 127.0.0.1:80\r\n"
                              "   # an indented comment\n"
                              "\trealm   Board owners #1  \n"
                              "check\n"
                              "auth /admin=/etc/pw",  // no newline at the end
                              "my.conf", &entries, &error))
      << error;
  struct Expected {
    const char* name;
    const char* value;
    const char* origin;
  } expected[] = {
      {"--listen", "127.0.0.1:80", "my.conf:3"},
      {"--realm", "Board owners #1", "my.conf:5"},
      {"--check", "", "my.conf:6"},
      {"--auth", "/admin=/etc/pw", "my.conf:7"},
  };
  ASSERT_EQ(entries.size(), sizeof expected / sizeof expected[0]);
  for (size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].name, expected[i].name) << i;
    EXPECT_EQ(entries[i].value, expected[i].value) << i;
    EXPECT_EQ(entries[i].origin, expected[i].origin) << i;
  }
}

TEST(ConfigTextTest, LinesThatAreNoOptionsAreRefusedByLine) {
  struct Case {
    std::string text;
    const char* error_contains;
  } cases[] = {
      {"listen 127.0.0.1:80\n--root /srv\n", "f.conf:2: write the option's name without its dashes ('root'"},
      {"\n\nListen 127.0.0.1:80\n", "f.conf:3: 'Listen' is not an option name"},
      {"root=/srv\n", "f.conf:1: 'root=/srv' is not an option name"},
      {std::string("root /srv\0x\n", 12), "f.conf:1: a NUL byte"},
  };
  for (const Case& c : cases) {
    std::vector<OptionEntry> entries;
    std::string error;
    EXPECT_FALSE(ParseConfigText(c.text, "f.conf", &entries, &error)) << c.text;
    EXPECT_NE(error.find(c.error_contains), std::string::npos) << error;
  }
}

// Every field of the options, for comparing two of them.
std::string Describe(const HostOptions& o) {
  std::string text = o.listen_host + ":" + std::to_string(o.listen_port) + " root=" + o.root +
                     " store=" + o.store + " log=" + o.access_log +
                     " threads=" + std::to_string(o.threads) +
                     " body=" + std::to_string(o.body_limit) +
                     " keep=" + std::to_string(o.keep_alive) +
                     " timeout=" + std::to_string(o.timeout) + " realm=" + o.realm +
                     " cert=" + o.tls_cert + " key=" + o.tls_key;
  for (const AuthOption& a : o.auth) text += " auth=" + a.prefix + "=" + a.htpasswd_path;
  for (const AllowOption& a : o.allow) {
    text += " allow=" + a.prefix;
    for (const std::string& address : a.addresses) text += "," + address;
  }
  text += " post-rate=" + std::to_string(o.guard.post_rate) + " deny=" + o.guard.deny_file;
  text += " calls=" + std::to_string(o.guard.calls_per_client);
  for (const std::string& proxy : o.guard.trusted_proxy_text) text += " proxy=" + proxy;
  if (o.guard.allow_plain_auth) text += " plain-auth";
  return text;
}

TEST(ConfigFileTest, TheFileGivesWhatTheCommandLineGives) {
  // Each option once as a line and once as an argument; none at its default.
  const char* const kOptions[][2] = {
      {"listen", "[::1]:0"},        {"root", "/srv/www"},
      {"store", "s.db"},            {"access-log", "-"},
      {"threads", "3"},             {"body-limit", "0"},
      {"keep-alive", "7"},          {"timeout", "2"},
      {"auth", "/admin/=/etc/pw"},  {"auth", "/x=/etc/pw2"},
      {"allow", "/admin=127.0.0.1,::1"}, {"realm", "Board owners"},
      {"tls-cert", "c.pem"},        {"tls-key", "k.pem"},
      {"post-rate", "3"},           {"deny-file", "/etc/deny"},
      {"trust-proxy", "127.0.0.1"}, {"trust-proxy", "10.0.0.0/8,::1"},
      {"calls-per-client", "2"},
  };
  std::string text;
  std::vector<std::string> args;
  for (const auto& option : kOptions) {
    text += std::string(option[0]) + " " + option[1] + "\n";
    args.push_back(std::string("--") + option[0] + "=" + option[1]);
  }
  TempFolder dir;
  std::string file = dir.Write("host.conf", text);
  HostOptions from_file, from_arguments, defaults;
  std::string error;
  ASSERT_EQ(Parse({"--config", file}, &from_file, &error), ParseResult::kRun) << error;
  ASSERT_EQ(Parse(args, &from_arguments, &error), ParseResult::kRun) << error;
  ASSERT_EQ(Parse({}, &defaults, &error), ParseResult::kRun) << error;
  EXPECT_EQ(Describe(from_file), Describe(from_arguments));
  EXPECT_EQ(from_file.config_file, file);
  EXPECT_FALSE(from_file.check);
  // Where each came from, by line.
  EXPECT_EQ(OptionOrigin(from_file, "--threads"), file + ":5");
  EXPECT_EQ(OptionOrigin(from_file, "--auth", 0), file + ":9");
  EXPECT_EQ(OptionOrigin(from_file, "--auth", 1), file + ":10");
  EXPECT_EQ(OptionOrigin(from_arguments, "--threads"), "");
}

TEST(ConfigFileTest, TheCommandLineReplacesTheFilesValues) {
  TempFolder dir;
  std::string file = dir.Write("host.conf",
                               "threads 3\n"
                               "root /from/file\n"
                               "auth /admin=/file/pw\n"
                               "auth /owner=/file/pw2\n"
                               "allow /admin=10.0.0.0/8\n");
  HostOptions options;
  std::string error;
  // The command line comes before and after --config alike.
  ASSERT_EQ(Parse({"--threads", "5", "--config", file, "--auth=/cli=/cli/pw", "--check"},
                  &options, &error),
            ParseResult::kRun)
      << error;
  EXPECT_EQ(options.threads, 5);
  EXPECT_EQ(options.root, "/from/file");
  ASSERT_EQ(options.auth.size(), 1u);  // the file's two rules are dropped
  EXPECT_EQ(options.auth[0].prefix, "/cli");
  ASSERT_EQ(options.allow.size(), 1u);  // not given on the command line: kept
  EXPECT_TRUE(options.check);
  EXPECT_EQ(OptionOrigin(options, "--threads"), "");
  EXPECT_EQ(OptionOrigin(options, "--root"), file + ":2");
}

TEST(ConfigFileTest, GuardSwitchAndProxiesFromTheFile) {
  TempFolder dir;
  std::string file = dir.Write("host.conf",
                               "allow-plain-auth\n"
                               "trust-proxy 127.0.0.1\n"
                               "trust-proxy 10.0.0.0/8\n"
                               "post-rate 0\n");
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--config", file}, &options, &error), ParseResult::kRun) << error;
  EXPECT_TRUE(options.guard.allow_plain_auth);
  EXPECT_EQ(options.guard.post_rate, 0);
  EXPECT_EQ(options.guard.trusted_proxy_text,
            (std::vector<std::string>{"127.0.0.1", "10.0.0.0/8"}));
  // The command line's proxies replace the file's, as for --auth.
  ASSERT_EQ(Parse({"--config", file, "--trust-proxy", "::1"}, &options, &error), ParseResult::kRun)
      << error;
  EXPECT_EQ(options.guard.trusted_proxy_text, (std::vector<std::string>{"::1"}));
  ASSERT_EQ(options.guard.trusted_proxies.size(), 1u);

  // A bad value is named with its line; a switch takes no value, even in a file.
  struct Case {
    const char* text;
    const char* error_contains;
  } cases[] = {
      {"threads 2\npost-rate lots\n", "bad.conf:2: --post-rate"},
      {"trust-proxy 127.0.0.1\ntrust-proxy nginx\n", "bad.conf:2: --trust-proxy"},
      {"allow-plain-auth yes\n", "bad.conf:1: "},
      {"post-rate 5\npost-rate 6\n", "bad.conf:2: "},
      {"threads 2\n\ncalls-per-client many\n", "bad.conf:3: --calls-per-client"},
      {"calls-per-client 1\ncalls-per-client 2\n", "bad.conf:2: "},
  };
  for (const Case& c : cases) {
    std::string bad = dir.Write("bad.conf", c.text);
    EXPECT_EQ(Parse({"--config", bad}, &options, &error), ParseResult::kError) << c.text;
    EXPECT_NE(error.find(c.error_contains), std::string::npos) << error;
  }
}

TEST(ConfigFileTest, BadFilesNameTheLine) {
  TempFolder dir;
  struct Case {
    const char* text;
    std::vector<std::string> extra_args;
    const char* error_contains;  // after "FILE"
  } cases[] = {
      {"# start\nthreads 4\nfrobnicate 1\n", {}, ":3: unknown option 'frobnicate'"},
      {"threads 4x\n", {}, ":1: --threads wants a number from 1 to 1024, not '4x'"},
      {"listen 8080\n", {}, ":1: --listen wants ADDR:PORT"},
      {"threads\n", {}, ":1: 'threads' needs a value"},
      {"check yes\n", {}, ":1: 'check' belongs on the command line"},
      {"config other.conf\n", {}, ":1: 'config' belongs on the command line"},
      {"threads 4\n\nthreads 5\n", {}, ":3: 'threads' takes one value and was given at "},
      // A bad line is reported even when the command line overrides it.
      {"threads 0\n", {"--threads", "4"}, ":1: --threads wants"},
      {"auth /admin\n", {}, ":1: --auth wants PREFIX=HTPASSWD_FILE"},
      {"tls-cert c.pem\n", {}, ":1: --tls-cert and --tls-key go together"},
  };
  for (const Case& c : cases) {
    std::string file = dir.Write("bad.conf", c.text);
    std::vector<std::string> args = {"--config", file};
    args.insert(args.end(), c.extra_args.begin(), c.extra_args.end());
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse(args, &options, &error), ParseResult::kError) << c.text;
    EXPECT_EQ(error.find(file + c.error_contains), 0u) << c.text << " gave: " << error;
  }
}

TEST(ConfigFileTest, RepeatedRulesAddUpInOrder) {
  TempFolder dir;
  std::string file = dir.Write("host.conf",
                               "allow /admin=127.0.0.1\n"
                               "allow /admin=::1\n"
                               "allow /owner=10.0.0.0/8\n");
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--config", file}, &options, &error), ParseResult::kRun) << error;
  ASSERT_EQ(options.allow.size(), 3u);
  EXPECT_EQ(options.allow[1].addresses, std::vector<std::string>{"::1"});
  EXPECT_EQ(options.allow[2].prefix, "/owner");
}

TEST(ConfigFileTest, UnreadableFilesAreClearErrors) {
  TempFolder dir;
  struct Case {
    std::string path;
    const char* error_contains;
  } cases[] = {
      {dir.path() + "/missing.conf", "No such file or directory"},
      {dir.path(), "Is a directory"},
      {dir.Write("big.conf", std::string(kMaxConfigFileBytes + 1, '#')), "is larger than"},
  };
  for (const Case& c : cases) {
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse({"--config", c.path}, &options, &error), ParseResult::kError) << c.path;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
    EXPECT_NE(error.find(c.error_contains), std::string::npos) << error;
  }
  HostOptions options;
  std::string error;
  EXPECT_EQ(Parse({"--check=yes"}, &options, &error), ParseResult::kError);
  EXPECT_NE(error.find("takes no value"), std::string::npos) << error;
}

// --check reports every bad line of the file in one run, in the order of
// the lines; a start stops at the first.
TEST(ConfigFileTest, CheckFindsEveryBadLineInOrder) {
  TempFolder dir;
  std::string file = dir.Write("host.conf",
                               "threads many\n"           // 1: a bad value
                               "listen 127.0.0.1:0\n"     // 2: good
                               "--root /srv\n"            // 3: dashes
                               "colour blue\n"            // 4: no such option
                               "keep-alive-timeout 0\n"   // 5: out of range
                               "Listen x\n"               // 6: not a name
                               "listen 127.0.0.1:1\n");   // 7: given twice
  std::vector<const char*> args = {"tvxhost", "--config", file.c_str(), "--check"};
  HostOptions options;
  std::vector<std::string> errors;
  ASSERT_EQ(ParseHostOptions(static_cast<int>(args.size()), args.data(), "s.db", &options,
                             &errors),
            ParseResult::kError);
  const char* expected[] = {":1: --threads wants", ":3: write the option's name without",
                            ":4: unknown option 'colour'", ":5: --keep-alive-timeout wants",
                            ":6: 'Listen' is not an option name", ":7: 'listen' takes one value"};
  ASSERT_EQ(errors.size(), sizeof expected / sizeof expected[0]);
  for (size_t i = 0; i < errors.size(); ++i) {
    EXPECT_EQ(errors[i].find(file + expected[i]), 0u) << errors[i];
  }
  args.pop_back();  // without --check: the first only (a line's form is read first)
  errors.clear();
  ASSERT_EQ(ParseHostOptions(static_cast<int>(args.size()), args.data(), "s.db", &options,
                             &errors),
            ParseResult::kError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].find(file + ":3: write the option's name"), 0u) << errors[0];
}

// --check on real files: each case breaks one thing of a good set-up.
class ConfigCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_.path() + "/www";
    ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    htpasswd_ = dir_.Write("pw", "admin:$5$saltsalt$i1q2ZQzc.tl/BQ6CHiENAcVDvEY6nJ1OWlWXKh94b1.\n");
  }

  // Writes the lines into a file from its third line on (with the good
  // document root after them unless they name one), parses it with `extra`
  // on the command line and checks: the problems found.
  std::vector<std::string> Check(const std::string& lines, std::vector<std::string> extra = {}) {
    std::string text = "# checked\nlisten 127.0.0.1:0\n" + lines;
    if (lines.compare(0, 5, "root ") != 0) text += "root " + root_ + "\n";
    std::string file = dir_.Write("host.conf", text);
    std::vector<std::string> args = {"--config", file};
    args.insert(args.end(), extra.begin(), extra.end());
    HostOptions options;
    std::string error;
    EXPECT_EQ(Parse(args, &options, &error), ParseResult::kRun) << error;
    std::vector<std::string> problems, passed;
    bool ok = CheckHostOptions(options, &problems, &passed);
    EXPECT_EQ(ok, problems.empty());
    if (ok) {
      EXPECT_FALSE(passed.empty());
    }
    return problems;
  }

  bool MakeCertificate(const std::string& name) {
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 "
                          "-nodes -days 1 -subj /CN=127.0.0.1 -keyout '" +
                          dir_.path() + "/" + name + ".key' -out '" + dir_.path() + "/" + name +
                          ".pem' 2>/dev/null";
    return system(command.c_str()) == 0;
  }

  TempFolder dir_;
  std::string root_;
  std::string htpasswd_;
};

TEST_F(ConfigCheckTest, AGoodSetUpPasses) {
  std::string store = dir_.path() + "/store.db";
  std::string deny = dir_.Write("deny", "# bots\n203.0.113.7\n198.51.100.0/24\n");
  EXPECT_TRUE(Check("store " + store + "\naccess-log " + dir_.path() + "/access.log\nauth /admin=" +
                    htpasswd_ + "\nallow /admin=127.0.0.1\ndeny-file " + deny + "\n")
                  .empty());
  // Neither the store nor the log is made by the check.
  EXPECT_NE(access(store.c_str(), F_OK), 0);
  EXPECT_NE(access((dir_.path() + "/access.log").c_str(), F_OK), 0);
}

TEST_F(ConfigCheckTest, AStoreWithBoardsIsOpenedAndListed) {
  // A store made by the platform itself, with one database in it.
  std::string store = dir_.path() + "/store.db";
  ASSERT_TRUE(PlatformSetStorePath(store.c_str()));
  CEDBASEINFO info = {};
  info.dwFlags = CEDB_VALIDNAME;
  const WCHAR name[] = {'T', 'U', 'L', 'V', 'A', 'N', '_', 'x', 0};
  for (size_t i = 0; i < sizeof name / sizeof name[0]; ++i) info.szDbaseName[i] = name[i];
  ASSERT_NE(CeCreateDatabaseEx(nullptr, &info), 0u);
  PlatformCloseStore();
  HostOptions options;
  std::string error;
  ASSERT_EQ(Parse({"--root", root_, "--store", store}, &options, &error), ParseResult::kRun);
  std::vector<std::string> problems, passed;
  EXPECT_TRUE(CheckHostOptions(options, &problems, &passed));
  bool listed = false;
  for (const std::string& line : passed) listed = listed || line.find("(1 databases)") != std::string::npos;
  EXPECT_TRUE(listed);
}

TEST_F(ConfigCheckTest, EachBrokenPartIsNamedWithItsLine) {
  std::string not_sqlite = dir_.Write("junk.db", std::string(4096, 'x'));
  struct Case {
    std::string line;  // line 3 of the file
    const char* problem_contains;
  } cases[] = {
      {"root /no/such/folder", "document root /no/such/folder is not a folder"},
      {"store /no/such/folder/s.db", "its folder /no/such/folder does not exist"},
      {"store " + not_sqlite, "cannot be read"},
      {"store " + root_, "is not a regular file"},
      {"access-log /no/such/folder/a.log", "access log /no/such/folder/a.log cannot be created"},
      {"auth /admin=" + dir_.path() + "/missing.htpasswd", "missing.htpasswd"},
      {"allow /admin=not-an-address", "'not-an-address' is not an IP address"},
      {"deny-file " + dir_.path() + "/missing.deny", "cannot read deny file"},
      {"deny-file " + dir_.Write("typo.deny", "10.0.0.1\n10.0.0.300\n"), "typo.deny:2:"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems = Check(c.line + "\n");
    ASSERT_EQ(problems.size(), 1u) << c.line;
    EXPECT_NE(problems[0].find("host.conf:3: "), std::string::npos) << problems[0];
    EXPECT_NE(problems[0].find(c.problem_contains), std::string::npos) << problems[0];
  }
  // From the command line, a problem has no line to name.
  std::vector<std::string> problems = Check("", {"--root", "/no/such/folder"});
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "document root /no/such/folder is not a folder");
}

TEST_F(ConfigCheckTest, TlsCertificateAndKeyMustLoadAndMatch) {
  ASSERT_TRUE(MakeCertificate("a") && MakeCertificate("b")) << "openssl is needed";
  std::string a = dir_.path() + "/a", b = dir_.path() + "/b";
  EXPECT_TRUE(Check("tls-cert " + a + ".pem\ntls-key " + a + ".key\n").empty());
  struct Case {
    std::string lines;
    const char* problem_contains;
  } cases[] = {
      {"tls-cert " + a + ".pem\ntls-key " + b + ".key\n", "host.conf:4: TLS key"},
      {"tls-cert " + a + ".key\ntls-key " + a + ".key\n", "host.conf:3: TLS certificate"},
      {"tls-cert " + a + ".pem\ntls-key " + htpasswd_ + "\n", "host.conf:4: TLS key"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> problems = Check(c.lines);
    ASSERT_EQ(problems.size(), 1u) << c.lines;
    EXPECT_NE(problems[0].find(c.problem_contains), std::string::npos) << problems[0];
  }
}

}  // namespace
