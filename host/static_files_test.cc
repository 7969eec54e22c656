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

}  // namespace
