#include "file_status_cache.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "wince.h"

namespace {

// A missing file is remembered after its first failed open, and every way
// the owner can make it appear is seen by the very next open.
class FileStatusCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ceplatform::FileStatusCache::Instance().Reset();
    const char* base = getenv("TEST_TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/cestat.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buffer.data()));
    // Through links the cache remembers nothing, so the tests work on the
    // folder's real name.
    char* real = realpath(buffer.data(), nullptr);
    ASSERT_NE(nullptr, real);
    top_ = real;
    free(real);
    dir_ = top_ + "/www/bbs";
    ASSERT_EQ(0, mkdir((top_ + "/www").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0755));
  }
  void TearDown() override {
    std::string command = "rm -rf '" + top_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << top_;
    ceplatform::FileStatusCache::Instance().Reset();
  }

  static void Write(const std::string& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
  }

  // CreateFileW on a Linux path; the bytes read, or "" with *error set.
  static std::string Read(const std::string& path, DWORD* error) {
    std::u16string wide(path.begin(), path.end());
    for (char16_t& unit : wide) {
      if (unit == u'/') unit = u'\\';
    }
    SetLastError(0);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    *error = file == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (file == INVALID_HANDLE_VALUE) return "";
    char block[256];
    DWORD got = 0;
    std::string text;
    while (ReadFile(file, block, sizeof(block), &got, nullptr) && got > 0) text.append(block, got);
    CloseHandle(file);
    return text;
  }

  // Opens `path` twice while it is missing (the second answer comes from
  // the cache), and checks that the cache now holds it.
  void MissTwice(const std::string& path) {
    for (int i = 0; i < 2; ++i) {
      DWORD error = 0;
      EXPECT_EQ("", Read(path, &error));
      EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
    }
    EXPECT_TRUE(ceplatform::FileStatusCache::Instance().KnownMissing(path)) << path;
  }

  std::string top_;
  std::string dir_;
};

TEST_F(FileStatusCacheTest, EveryWayAFileAppearsIsSeenByTheNextOpen) {
  struct Case {
    const char* what;
    std::function<void(const std::string& top, const std::string& dir, const std::string& file)>
        make;
  } const kCases[] = {
      {"written", [](const std::string&, const std::string&, const std::string& file) {
         Write(file, "head");
       }},
      {"renamed into the folder",
       [](const std::string& top, const std::string&, const std::string& file) {
         Write(top + "/draft", "head");
         ASSERT_EQ(0, rename((top + "/draft").c_str(), file.c_str()));
       }},
      {"hard link", [](const std::string& top, const std::string&, const std::string& file) {
         Write(top + "/other", "head");
         ASSERT_EQ(0, link((top + "/other").c_str(), file.c_str()));
       }},
      {"symbolic link", [](const std::string& top, const std::string&, const std::string& file) {
         Write(top + "/other", "head");
         ASSERT_EQ(0, symlink((top + "/other").c_str(), file.c_str()));
       }},
      {"folder replaced", [](const std::string& top, const std::string& dir,
                             const std::string& file) {
         ASSERT_EQ(0, mkdir((top + "/new").c_str(), 0755));
         Write(top + "/new/boardHEAD.HTML", "head");
         ASSERT_EQ(0, rename(dir.c_str(), (top + "/old").c_str()));
         ASSERT_EQ(0, rename((top + "/new").c_str(), dir.c_str()));
         (void)file;
       }},
      {"folder above replaced", [](const std::string& top, const std::string&,
                                   const std::string& file) {
         ASSERT_EQ(0, rename((top + "/www").c_str(), (top + "/www.old").c_str()));
         ASSERT_EQ(0, mkdir((top + "/www").c_str(), 0755));
         ASSERT_EQ(0, mkdir((top + "/www/bbs").c_str(), 0755));
         Write(file, "head");
       }},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::string file = dir_ + "/boardHEAD.HTML";
    MissTwice(file);
    c.make(top_, dir_, file);
    DWORD error = 0;
    EXPECT_EQ("head", Read(file, &error));
    EXPECT_EQ(0u, error);
    // Back to a missing file for the next case.
    std::string command = "rm -rf '" + top_ + "'/*";
    ASSERT_EQ(0, system(command.c_str()));
    ASSERT_EQ(0, mkdir((top_ + "/www").c_str(), 0755));
    ASSERT_EQ(0, mkdir(dir_.c_str(), 0755));
    MissTwice(file);
  }
}

TEST_F(FileStatusCacheTest, RemovedFileIsMissingAtOnce) {
  const std::string file = dir_ + "/boardFOOT.HTML";
  Write(file, "foot");
  DWORD error = 0;
  EXPECT_EQ("foot", Read(file, &error));
  ASSERT_EQ(0, unlink(file.c_str()));
  EXPECT_EQ("", Read(file, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), error);
  // Changed contents of an existing file are read afresh each time.
  Write(file, "one");
  EXPECT_EQ("one", Read(file, &error));
  Write(file, "two");
  EXPECT_EQ("two", Read(file, &error));
}

// Names the cache must not remember: a dangling link (its target may appear
// anywhere), a missing folder, paths that depend on the working folder or
// on links.
TEST_F(FileStatusCacheTest, NamesThatAreNotRemembered) {
  ASSERT_EQ(0, symlink((top_ + "/target").c_str(), (dir_ + "/linkHEAD.HTML").c_str()));
  ASSERT_EQ(0, symlink(dir_.c_str(), (top_ + "/alias").c_str()));
  const std::string kPaths[] = {
      dir_ + "/linkHEAD.HTML",
      dir_ + "/no-folder/HEAD.HTML",
      top_ + "/alias/HEAD.HTML",
      dir_ + "/../bbs/HEAD.HTML",
      dir_ + "//HEAD.HTML",
  };
  ceplatform::FileStatusCache& cache = ceplatform::FileStatusCache::Instance();
  for (const std::string& path : kPaths) {
    SCOPED_TRACE(path);
    cache.NoteMissing(path);
    EXPECT_FALSE(cache.KnownMissing(path));
  }
  cache.NoteMissing("relative/HEAD.HTML");
  EXPECT_FALSE(cache.KnownMissing("relative/HEAD.HTML"));

  // The dangling link's target appears: the link reads it.
  DWORD error = 0;
  EXPECT_EQ("", Read(dir_ + "/linkHEAD.HTML", &error));
  Write(top_ + "/target", "via link");
  EXPECT_EQ("via link", Read(dir_ + "/linkHEAD.HTML", &error));
}

// A child made by fork shares the parent's inotify queue; if it read that
// queue, the parent would miss the events it took.
TEST_F(FileStatusCacheTest, ForkedChildLeavesTheParentsEventsAlone) {
  const std::string file = dir_ + "/boardHEAD.HTML";
  MissTwice(file);
  Write(file, "head");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    DWORD error = 0;
    std::string text = Read(file, &error);
    _exit(text == "head" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  DWORD error = 0;
  EXPECT_EQ("head", Read(file, &error));
}

}  // namespace
