#include "access_policy.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "htpasswd.h"
#include "temp_folder.h"

namespace {

// Made by `htpasswd -nbB owner 'corkwall pass'` and python3's crypt with the
// password "s3cret".
const char kBcrypt[] = "$2y$05$dHNtWriXeTOdI2u/mvL9gunWiPNjFd.H8m1SX1G30dbBpqFlV0u9y";
const char kSha512[] =
    "$6$saltsalt$As4wrv0kZlfch1du9WeH7qhskyLriQWySXrZzynnvi46nFnNxjdpl6ksRegrrKexvhIa/Iny8S8uF3fV"
    "WTMuC1";
const char kSha256[] = "$5$saltsalt$i1q2ZQzc.tl/BQ6CHiENAcVDvEY6nJ1OWlWXKh94b1.";

std::string Basic(const std::string& base64) { return "Basic " + base64; }

TEST(HtpasswdTest, CheckPasswordAgainstEachAcceptedKind) {
  struct Case {
    const char* password;
    const char* hash;
    bool match;
  } cases[] = {
      {"corkwall pass", kBcrypt, true},
      {"corkwall pasS", kBcrypt, false},
      {"", kBcrypt, false},
      {"s3cret", kSha512, true},
      {"s3cret ", kSha512, false},
      {"s3cret", kSha256, true},
      {"S3cret", kSha256, false},
      // Refused kinds never match, even with the right password.
      {"pw", "$apr1$OQP/DuNd$RPTCrFrmNR39u0cLoJHIG0", false},
      {"pw", "{SHA}GpHWL3ymc5liWkNopqtdSjuqYHM=", false},
      {"pw", "pw", false},
      {"pw", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Htpasswd::CheckPassword(c.password, c.hash), c.match)
        << c.password << " / " << c.hash;
  }
  // A NUL cuts the password short for crypt: refuse instead of comparing a prefix.
  EXPECT_FALSE(Htpasswd::CheckPassword(std::string("s3cret\0junk", 11), kSha512));
}

TEST(HtpasswdTest, ConstantTimeEquals) {
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  EXPECT_TRUE(ConstantTimeEquals("", ""));
  EXPECT_FALSE(ConstantTimeEquals("abc", "abd"));
  EXPECT_FALSE(ConstantTimeEquals("abc", "abcd"));
  EXPECT_FALSE(ConstantTimeEquals("xbc", "abc"));
}

TEST(HtpasswdTest, FileLinesAndReloadOnChange) {
  TempFolder folder;
  std::string path = folder.Write("users", std::string("# owners\r\n\r\nowner:") + kBcrypt +
                                               "\r\nmd5user:$apr1$OQP/DuNd$RPTCrFrmNR39u0cLoJHIG0\n"
                                               "nocolon\nsha:" + kSha512 + "\n");
  Htpasswd file(path);
  std::string error;
  ASSERT_TRUE(file.Load(&error)) << error;
  EXPECT_TRUE(file.Verify("owner", "corkwall pass"));  // CRLF line ends
  EXPECT_TRUE(file.Verify("sha", "s3cret"));
  EXPECT_FALSE(file.Verify("md5user", "pw"));
  EXPECT_FALSE(file.Verify("nobody", "corkwall pass"));
  EXPECT_FALSE(file.Verify("Owner", "corkwall pass"));

  // Rewritten with another user: the next check sees the new file.
  folder.Write("users", std::string("second:") + kSha256 + "\n");
  struct timespec times[2] = {{0, UTIME_NOW}, {12345, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  EXPECT_TRUE(file.Verify("second", "s3cret"));
  EXPECT_FALSE(file.Verify("owner", "corkwall pass"));

  // Gone: every login fails, none is let through.
  ASSERT_EQ(unlink(path.c_str()), 0);
  EXPECT_FALSE(file.Verify("second", "s3cret"));

  Htpasswd missing(path + ".none");
  EXPECT_FALSE(missing.Load(&error));
  EXPECT_NE(error.find(".none"), std::string::npos);
}

TEST(BasicAuthorizationTest, Decoding) {
  struct Case {
    std::string header;
    bool ok;
    const char* user;
    const char* password;
  } cases[] = {
      {Basic("b3duZXI6Y29ya3dhbGwgcGFzcw=="), true, "owner", "corkwall pass"},
      {"basic   b3duZXI6YTpi  ", true, "owner", "a:b"},  // owner:a:b
      {Basic("Og=="), true, "", ""},                      // ":"
      {Basic("b3duZXI="), false, "", ""},                 // no colon
      {Basic("b3duZXI6Y29ya3dhbGwgcGFzcw="), false, "", ""},  // bad length
      {Basic("b3du*XI6"), false, "", ""},
      {Basic("b3=uZXI6"), false, "", ""},
      {"Bearer b3duZXI6YTpi", false, "", ""},
      {"", false, "", ""},
      {"Basic", false, "", ""},
  };
  for (const Case& c : cases) {
    std::string user, password;
    EXPECT_EQ(ParseBasicAuthorization(c.header, &user, &password), c.ok) << c.header;
    if (c.ok) {
      EXPECT_EQ(user, c.user);
      EXPECT_EQ(password, c.password);
    }
  }
}

TEST(AddressRangeTest, Table) {
  struct Case {
    const char* range;
    const char* address;
    bool contains;
  } cases[] = {
      {"127.0.0.1", "127.0.0.1", true},
      {"127.0.0.1", "127.0.0.2", false},
      {"127.0.0.1", "::ffff:127.0.0.1", true},
      {"10.0.0.0/8", "10.200.3.4", true},
      {"10.0.0.0/8", "11.0.0.1", false},
      {"192.168.1.128/25", "192.168.1.200", true},
      {"192.168.1.128/25", "192.168.1.100", false},
      {"0.0.0.0/0", "8.8.8.8", true},
      {"0.0.0.0/0", "::1", false},
      {"::1", "::1", true},
      {"::1", "127.0.0.1", false},
      {"fd00::/8", "fd12:3456::1", true},
      {"fd00::/8", "fe80::1", false},
      {"127.0.0.1", "not an address", false},
  };
  for (const Case& c : cases) {
    AddressRange range;
    ASSERT_TRUE(AddressRange::Parse(c.range, &range)) << c.range;
    EXPECT_EQ(range.Contains(c.address), c.contains) << c.range << " " << c.address;
  }
  AddressRange range;
  for (const char* bad : {"localhost", "10.0.0.0/33", "::/129", "1.2.3.4/", "1.2.3.4/x", "1.2.3"}) {
    EXPECT_FALSE(AddressRange::Parse(bad, &range)) << bad;
  }
}

TEST(AccessPolicyTest, LongestPrefixDecides) {
  TempFolder folder;
  std::string owners = folder.Write("owners", std::string("owner:") + kBcrypt + "\n");
  std::string site = folder.Write("site", std::string("sha:") + kSha512 + "\n");
  AccessPolicy policy;
  std::string error;
  ASSERT_TRUE(policy.AddAuth("/", site, &error)) << error;
  ASSERT_TRUE(policy.AddAuth("/admin", owners, &error)) << error;
  ASSERT_TRUE(policy.AddAllow("/admin", {"127.0.0.1", "::1"}, &error)) << error;
  EXPECT_FALSE(policy.AddAllow("/x", {"example.org"}, &error));
  EXPECT_FALSE(policy.AddAuth("/y", folder.Write("dummy", "") + ".missing", &error));

  const std::string owner = Basic("b3duZXI6Y29ya3dhbGwgcGFzcw==");  // owner:corkwall pass
  const std::string sha = Basic("c2hhOnMzY3JldA==");                // sha:s3cret
  struct Case {
    const char* path;
    const char* address;
    std::string authorization;
    AccessDecision decision;
    const char* user;
  } cases[] = {
      {"/admin/corkwarden.tvx", "127.0.0.1", owner, AccessDecision::kAllow, "owner"},
      {"/ADMIN/corkwarden.tvx", "127.0.0.1", "", AccessDecision::kUnauthorized, ""},
      {"/admin/corkwarden.tvx", "127.0.0.1", sha, AccessDecision::kUnauthorized, ""},
      {"/admin/corkwarden.tvx", "10.0.0.1", owner, AccessDecision::kForbidden, ""},
      {"/admin", "::1", owner, AccessDecision::kAllow, "owner"},
      {"/administrator", "10.0.0.1", sha, AccessDecision::kAllow, "sha"},
      {"/bbs/board.tvx", "10.0.0.1", sha, AccessDecision::kAllow, "sha"},
      {"/bbs/board.tvx", "10.0.0.1", owner, AccessDecision::kUnauthorized, ""},
      {"/bbs/board.tvx", "10.0.0.1", "", AccessDecision::kUnauthorized, ""},
  };
  for (const Case& c : cases) {
    std::string user;
    EXPECT_EQ(policy.Check(c.path, c.address, c.authorization, &user), c.decision)
        << c.path << " " << c.address;
    EXPECT_EQ(user, c.user) << c.path;
  }

  AccessPolicy open;
  std::string user;
  EXPECT_EQ(open.Check("/anything", "1.2.3.4", "", &user), AccessDecision::kAllow);
  EXPECT_TRUE(open.empty());
}

}  // namespace
