#include "access_log.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(AccessLogTest, CombinedFormat) {
  setenv("TZ", "UTC", 1);
  tzset();
  AccessLogEntry entry;
  entry.remote_addr = "127.0.0.1";
  entry.time = 1700000000;  // 2023-11-14 22:13:20 UTC
  entry.method = "GET";
  entry.target = "/bbs/board.tvx?row=20";
  entry.version = "HTTP/1.1";
  entry.status = 200;
  entry.bytes = 1234;
  entry.referer = "http://x/";
  entry.user_agent = "curl/7.88";
  EXPECT_EQ(FormatAccessLogLine(entry),
            "127.0.0.1 - - [14/Nov/2023:22:13:20 +0000] \"GET /bbs/board.tvx?row=20 HTTP/1.1\" "
            "200 1234 \"http://x/\" \"curl/7.88\"\n");

  entry.user = "owner";
  entry.bytes = 0;
  entry.referer.clear();
  entry.user_agent = "a\"b\\c\n\x82";
  EXPECT_EQ(FormatAccessLogLine(entry),
            "127.0.0.1 - owner [14/Nov/2023:22:13:20 +0000] \"GET /bbs/board.tvx?row=20 "
            "HTTP/1.1\" 200 - \"-\" \"a\\x22b\\x5Cc\\x0A\\x82\"\n");
}

TEST(AccessLogTest, LinesFromManyThreadsStayWhole) {
  char dir[] = "/tmp/accesslog.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/access.log";
  {
    AccessLog log;
    std::string error;
    ASSERT_TRUE(log.Open(path, &error)) << error;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&log, t] {
        for (int i = 0; i < 200; ++i) {
          AccessLogEntry entry;
          entry.remote_addr = "10.0.0." + std::to_string(t);
          entry.method = "GET";
          entry.target = "/" + std::string(100, static_cast<char>('a' + t));
          entry.version = "HTTP/1.1";
          entry.status = 200;
          log.Write(entry);
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  std::ifstream in(path);
  std::string line;
  int lines = 0;
  while (std::getline(in, line)) {
    ++lines;
    char letter = static_cast<char>('a' + (line[7] - '0'));
    EXPECT_NE(line.find("\"GET /" + std::string(100, letter) + " HTTP/1.1\" 200 -"),
              std::string::npos)
        << line;
  }
  EXPECT_EQ(lines, 800);
  AccessLog bad;
  std::string error;
  EXPECT_FALSE(bad.Open(std::string(dir) + "/missing/access.log", &error));
  EXPECT_NE(error.find("missing/access.log"), std::string::npos);
  std::string command = "rm -rf '" + std::string(dir) + "'";
  EXPECT_EQ(system(command.c_str()), 0);
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

AccessLogEntry EntryFor(const std::string& target) {
  AccessLogEntry entry;
  entry.remote_addr = "127.0.0.1";
  entry.method = "GET";
  entry.target = target;
  entry.version = "HTTP/1.1";
  entry.status = 200;
  return entry;
}

TEST(AccessLogTest, LinesReachTheFileWithoutAStopAndReopenKeepsTheirOrder) {
  char dir[] = "/tmp/accesslog.XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  std::string path = std::string(dir) + "/access.log";
  AccessLog log;
  std::string error;
  ASSERT_TRUE(log.Open(path, &error)) << error;
  log.Write(EntryFor("/first"));
  // Written by the log's own thread, soon after.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (ReadAll(path).find("/first") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_NE(ReadAll(path).find("\"GET /first HTTP/1.1\" 200 -"), std::string::npos);

  // Rotation: lines added before the reopen belong to the old file.
  ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
  log.Write(EntryFor("/second"));
  log.Reopen();
  log.Write(EntryFor("/third"));
  log.Flush();
  std::string old_file = ReadAll(path + ".1");
  std::string new_file = ReadAll(path);
  EXPECT_NE(old_file.find("/first"), std::string::npos) << old_file;
  EXPECT_NE(old_file.find("/second"), std::string::npos) << old_file;
  EXPECT_EQ(old_file.find("/third"), std::string::npos) << old_file;
  EXPECT_EQ(new_file.find("/second"), std::string::npos) << new_file;
  EXPECT_NE(new_file.find("\"GET /third HTTP/1.1\" 200 -"), std::string::npos) << new_file;
  std::string command = "rm -rf '" + std::string(dir) + "'";
  EXPECT_EQ(system(command.c_str()), 0);
}

}  // namespace
