#include "deny_list.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

class DenyListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/deny.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    path_ = folder_ + "/deny.txt";
  }
  void TearDown() override {
    unlink(path_.c_str());
    unlink((path_ + ".new").c_str());
    rmdir(folder_.c_str());
  }
  // Replaces the file as an editor or a script would: a new file renamed
  // over the old one.
  void Write(const std::string& text) {
    std::ofstream(path_ + ".new", std::ios::binary | std::ios::trunc) << text;
    ASSERT_EQ(rename((path_ + ".new").c_str(), path_.c_str()), 0);
  }
  DenyList::Log Logger() {
    return [this](const std::string& line) { log_.push_back(line); };
  }
  DenyList::Clock Clock() {
    return [this] { return start_ + now_; };
  }

  std::string folder_, path_;
  std::vector<std::string> log_;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::milliseconds now_{0};
};

TEST(ParseDenyTextTest, LinesCommentsAndBadLines) {
  std::vector<AddressRange> ranges;
  std::vector<DenyLineError> bad;
  ParseDenyText("# spammers\n"
                "203.0.113.7\n"
                "\n"
                "   198.51.100.0/24   # a whole network\r\n"
                "2001:db8::/32\n"
                "bad.example\n"
                "\t\n"
                "203.0.113.8 203.0.113.9\n"
                "10.0.0.0/33\n"
                "::1",
                &ranges, &bad);
  EXPECT_EQ(ranges.size(), 4u);
  ASSERT_EQ(bad.size(), 3u);
  EXPECT_EQ(bad[0].line, 6);
  EXPECT_EQ(bad[0].text, "bad.example");
  EXPECT_EQ(bad[1].line, 8);
  EXPECT_EQ(bad[1].text, "203.0.113.8 203.0.113.9");
  EXPECT_EQ(bad[2].line, 9);
}

TEST_F(DenyListTest, ListedAddressesAndNetworks) {
  Write("203.0.113.7\n198.51.100.0/24\n2001:db8::/32\n");
  DenyList list(path_, Logger(), Clock());
  std::string error;
  ASSERT_TRUE(list.Load(&error)) << error;
  struct Case {
    const char* address;
    bool denied;
  } cases[] = {
      {"203.0.113.7", true},       {"203.0.113.6", false},      {"198.51.100.200", true},
      {"198.51.101.1", false},     {"::ffff:203.0.113.7", true}, {"2001:db8:5::1", true},
      {"2001:db9::1", false},      {"not an address", false},    {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(list.Denies(c.address), c.denied) << c.address;
  EXPECT_TRUE(log_.empty());
}

TEST_F(DenyListTest, BadLinesStopTheStartWithTheirNumbers) {
  Write("203.0.113.7\nnot-an-address\n# fine\n300.1.2.3\n");
  DenyList list(path_, Logger(), Clock());
  std::string error;
  EXPECT_FALSE(list.Load(&error));
  EXPECT_NE(error.find(path_ + ":2: 'not-an-address' is not an address"), std::string::npos)
      << error;
  EXPECT_NE(error.find(path_ + ":4: '300.1.2.3'"), std::string::npos) << error;
  EXPECT_EQ(list.size(), 0u);

  DenyList missing(folder_ + "/absent.txt", Logger(), Clock());
  EXPECT_FALSE(missing.Load(&error));
  EXPECT_NE(error.find("absent.txt"), std::string::npos) << error;
}

TEST_F(DenyListTest, AChangedFileIsReadAgain) {
  Write("203.0.113.7\n");
  DenyList list(path_, Logger(), Clock());
  std::string error;
  ASSERT_TRUE(list.Load(&error)) << error;

  Write("198.51.100.9\n");
  // Looked at no more than once a second.
  now_ += std::chrono::milliseconds(500);
  EXPECT_TRUE(list.Denies("203.0.113.7"));
  now_ += std::chrono::milliseconds(600);
  EXPECT_FALSE(list.Denies("203.0.113.7"));
  EXPECT_TRUE(list.Denies("198.51.100.9"));
  ASSERT_EQ(log_.size(), 1u);
  EXPECT_NE(log_[0].find("read again: 1 networks"), std::string::npos) << log_[0];

  // While running, a bad line is logged and skipped; the rest is in force.
  Write("198.51.100.9\ntypo.\n203.0.113.0/24\n");
  now_ += std::chrono::seconds(2);
  EXPECT_TRUE(list.Denies("203.0.113.50"));
  EXPECT_TRUE(list.Denies("198.51.100.9"));
  EXPECT_EQ(list.size(), 2u);
  ASSERT_EQ(log_.size(), 3u);
  EXPECT_NE(log_[1].find(path_ + ":2: 'typo.'"), std::string::npos) << log_[1];
  EXPECT_NE(log_[1].find("skipped"), std::string::npos) << log_[1];

  // A file that goes away keeps the list, logged once.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  now_ += std::chrono::seconds(2);
  EXPECT_TRUE(list.Denies("203.0.113.50"));
  now_ += std::chrono::seconds(2);
  EXPECT_TRUE(list.Denies("203.0.113.50"));
  ASSERT_EQ(log_.size(), 4u);
  EXPECT_NE(log_[3].find("keeping the 2 networks"), std::string::npos) << log_[3];

  // Back again, emptied: nobody is denied.
  Write("# nobody for now\n");
  now_ += std::chrono::seconds(2);
  EXPECT_FALSE(list.Denies("203.0.113.50"));
  EXPECT_EQ(list.size(), 0u);
}

}  // namespace
