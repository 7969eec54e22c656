#include "static_files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

namespace {

class StaticFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/static.XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/page.html";
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }

  // Writes `text` in place (same inode) and gives the file `mtime`.
  void Rewrite(const std::string& text, time_t mtime) {
    std::ofstream(path_, std::ios::in | std::ios::out | std::ios::binary) << text;
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path_.c_str(), times, 0), 0);
  }

  // The body sent for the file as it is now on disk, as the handler asks.
  std::string Serve(StaticFileCache* cache, int* status = nullptr,
                    const std::string& if_modified_since = "") {
    struct stat info;
    EXPECT_EQ(stat(path_.c_str(), &info), 0);
    HttpRequest request;
    request.method = "GET";
    if (!if_modified_since.empty()) request.headers.Add("If-Modified-Since", if_modified_since);
    HttpAnswer answer;
    EXPECT_TRUE(ServeStaticFile(request, &answer, path_, info, cache));
    if (status != nullptr) *status = answer.status;
    EXPECT_EQ(answer.headers.Get("Last-Modified").empty(), false);
    return answer.shared ? *answer.shared : answer.body;
  }

  std::string dir_, path_;
};

const time_t kLastYear = 1700000000;  // Tue, 14 Nov 2023 22:13:20 GMT

// Regression: bytes kept for a file were sent after an edit that left its
// size and modification time as they were.
TEST_F(StaticFilesTest, EditKeepingSizeAndModificationTimeIsSeen) {
  std::ofstream(path_) << "version 1";
  Rewrite("version 1", kLastYear);
  StaticFileCache cache(64 * 1024, 1024 * 1024, 0);  // keeps even fresh files
  EXPECT_EQ(Serve(&cache), "version 1");
  EXPECT_EQ(Serve(&cache), "version 1");
  // A new clock tick for the change time.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  Rewrite("version 2", kLastYear);
  EXPECT_EQ(Serve(&cache), "version 2");
}

TEST_F(StaticFilesTest, FileEditedWithinTheSameTickIsNotKept) {
  std::ofstream(path_) << "version 1";
  StaticFileCache cache;
  EXPECT_EQ(Serve(&cache), "version 1");
  // Same size, same modification time, maybe the same change time: only not
  // keeping a file changed a moment ago makes this safe.
  struct stat before;
  ASSERT_EQ(stat(path_.c_str(), &before), 0);
  Rewrite("version 2", before.st_mtim.tv_sec);
  EXPECT_EQ(Serve(&cache), "version 2");
}

TEST_F(StaticFilesTest, CachedAndUncachedAnswersAgree) {
  std::string big(100 * 1024, 'x');  // over the cache's file bound
  for (const std::string& text : {std::string("small page"), big}) {
    std::ofstream(path_, std::ios::trunc) << text;
    Rewrite(text, kLastYear);
    StaticFileCache cache(64 * 1024, 1024 * 1024, 0);
    for (StaticFileCache* use : {static_cast<StaticFileCache*>(nullptr), &cache, &cache}) {
      int status = 0;
      EXPECT_EQ(Serve(use, &status), text);
      EXPECT_EQ(status, 200);
      EXPECT_EQ(Serve(use, &status, "Tue, 14 Nov 2023 22:13:20 GMT"), "");
      EXPECT_EQ(status, 304);
      EXPECT_EQ(Serve(use, &status, "Tue, 14 Nov 2023 22:13:19 GMT"), text);
    }
  }
}

// Regression: a Range of thousands of parts was answered with every part,
// built in memory (53 MB for 2,000 parts of a 200 KB file). One range is
// honoured; anything more is the whole file.
TEST(ChooseRangeTest, OneRangeOrTheWholeFile) {
  std::string many = "bytes=";
  for (int i = 0; i < 2000; ++i) many += (i ? "," : "") + std::string("0-199999");
  struct Case {
    std::string header;
    RangeChoice choice;
    off_t start, length;
  } cases[] = {
      {many, RangeChoice::kWhole, 0, 0},
      {"bytes=0-4,5-9", RangeChoice::kWhole, 0, 0},        // several
      {"bytes=0-9,5-14", RangeChoice::kWhole, 0, 0},       // overlapping
      {"bytes=0-5", RangeChoice::kPart, 0, 6},
      {"bytes=10-", RangeChoice::kPart, 10, 990},
      {"bytes=-100", RangeChoice::kPart, 900, 100},
      {"bytes=-5000", RangeChoice::kWhole, 0, 0},          // more than the file
      {"bytes=990-5000", RangeChoice::kPart, 990, 10},     // cut at the end
      {"bytes=0-999", RangeChoice::kWhole, 0, 0},          // the whole file anyway
      {"BYTES=1-1", RangeChoice::kPart, 1, 1},
      {"bytes = 1-1", RangeChoice::kWhole, 0, 0},
      {"bytes=1000-", RangeChoice::kUnsatisfiable, 0, 0},
      {"bytes=-0", RangeChoice::kUnsatisfiable, 0, 0},
      {"bytes=5-4", RangeChoice::kWhole, 0, 0},            // does not parse
      {"bytes=a-b", RangeChoice::kWhole, 0, 0},
      {"bytes=+1-2", RangeChoice::kWhole, 0, 0},
      {"items=0-5", RangeChoice::kWhole, 0, 0},
      {"bytes=99999999999999999999-", RangeChoice::kWhole, 0, 0},
      {"", RangeChoice::kWhole, 0, 0},
  };
  for (const Case& c : cases) {
    ByteRange range;
    EXPECT_EQ(ChooseRange(c.header, 1000, &range), c.choice) << c.header.substr(0, 40);
    if (c.choice == RangeChoice::kPart) {
      EXPECT_EQ(range.start, c.start) << c.header;
      EXPECT_EQ(range.length, c.length) << c.header;
    }
  }
}

}  // namespace
