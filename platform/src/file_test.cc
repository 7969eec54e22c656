#include <dirent.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ceplatform.h"
#include "handle_table.h"
#include "gtest/gtest.h"
#include "wince.h"

namespace {

// A fresh folder for each test, removed afterwards.
class FileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TEST_TMPDIR");
    std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/cefile.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(nullptr, mkdtemp(buffer.data()));
    dir_ = buffer.data();
    handles_before_ = PlatformOpenHandles();
  }
  void TearDown() override {
    EXPECT_EQ(handles_before_, PlatformOpenHandles()) << "the test left handles open";
    std::string command = "rm -rf '" + dir_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cannot remove " << dir_;
  }

  std::string Write(const std::string& name, const std::string& contents) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << contents;
    return path;
  }

  // The device's form of a Linux path: UTF-16 with backslashes.
  static std::u16string DevicePath(const std::string& path) {
    std::u16string wide(path.size() + 1, u'\0');
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.c_str(), -1, &wide[0],
                                static_cast<int>(wide.size()));
    wide.resize(n > 0 ? n - 1 : 0);
    for (char16_t& unit : wide) {
      if (unit == u'/') unit = u'\\';
    }
    return wide;
  }

  static HANDLE Open(const std::u16string& path) {
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::string dir_;
  long handles_before_ = 0;
};

TEST_F(FileTest, ReadsInBlocksThroughABackslashPath) {
  std::string contents;
  for (int i = 0; i < 600; ++i) contents += static_cast<char>('a' + i % 26);
  contents[300] = '\0';  // bytes are bytes
  std::string path = Write("boardHEAD.HTML", contents);
  HANDLE file = Open(DevicePath(path));
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  EXPECT_EQ(handles_before_ + 1, PlatformOpenHandles());

  std::string read_back;
  std::vector<DWORD> counts;
  char block[256];
  for (;;) {
    DWORD got = 12345;
    ASSERT_TRUE(ReadFile(file, block, sizeof(block), &got, nullptr));
    counts.push_back(got);
    if (got == 0) break;
    read_back.append(block, got);
  }
  EXPECT_EQ((std::vector<DWORD>{256, 256, 88, 0}), counts);
  EXPECT_EQ(contents, read_back);
  // At the end a read keeps succeeding with nothing.
  DWORD got = 1;
  EXPECT_TRUE(ReadFile(file, block, sizeof(block), &got, nullptr));
  EXPECT_EQ(0u, got);
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(FileTest, JapaneseNameReachesLinuxAsUtf8) {
  Write("\xE6\x8E\xB2\xE7\xA4\xBA\xE6\x9D\xBFHEAD.HTML", "<p>head</p>");  // 掲示板HEAD.HTML
  std::u16string path = DevicePath(dir_) + u"\\\u63B2\u793A\u677FHEAD.HTML";
  HANDLE file = Open(path);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << GetLastError();
  char buffer[32];
  DWORD got = 0;
  ASSERT_TRUE(ReadFile(file, buffer, sizeof(buffer), &got, nullptr));
  EXPECT_EQ("<p>head</p>", std::string(buffer, got));
  EXPECT_TRUE(CloseHandle(file));
}

TEST_F(FileTest, OpenFailures) {
  Write("present", "x");
  mkdir((dir_ + "/folder").c_str(), 0755);
  ASSERT_EQ(0, mkfifo((dir_ + "/fifo").c_str(), 0600));
  const std::u16string base = DevicePath(dir_);
  struct {
    std::u16string path;
    DWORD error;
  } const kCases[] = {
      {base + u"\\missing", ERROR_FILE_NOT_FOUND},
      {base + u"\\no-folder\\missing", ERROR_PATH_NOT_FOUND},
      {base + u"\\present\\below", ERROR_PATH_NOT_FOUND},
      {base + u"\\folder", ERROR_ACCESS_DENIED},
      {base, ERROR_ACCESS_DENIED},
      // A FIFO would block the reader until some writer came; it is refused
      // at once instead.
      {base + u"\\fifo", ERROR_ACCESS_DENIED},
      {base + u"\\bad\xD800name", ERROR_INVALID_NAME},
      {u"", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : kCases) {
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Open(c.path));
    EXPECT_EQ(c.error, GetLastError());
  }
}

TEST_F(FileTest, OnlyReadingExistingFilesIsSupported) {
  std::u16string path = DevicePath(Write("present", "x"));
  struct {
    DWORD access;
    DWORD disposition;
  } const kCases[] = {
      {GENERIC_WRITE, OPEN_EXISTING},  {GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING},
      {0, OPEN_EXISTING},              {GENERIC_READ, CREATE_ALWAYS},
      {GENERIC_READ, OPEN_ALWAYS},     {GENERIC_READ, CREATE_NEW},
      {GENERIC_READ, TRUNCATE_EXISTING},
  };
  for (const auto& c : kCases) {
    SetLastError(0);
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(path.c_str(), c.access, 0, nullptr,
                                                c.disposition, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_SUPPORTED), GetLastError());
  }
  std::ifstream check(dir_ + "/present");
  EXPECT_EQ('x', check.get()) << "a refused open changed the file";
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(nullptr, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                              0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_F(FileTest, UnreadableFileIsAccessDenied) {
  if (geteuid() == 0) GTEST_SKIP() << "root reads every file";
  std::string path = Write("secret", "x");
  chmod(path.c_str(), 0);
  SetLastError(0);
  EXPECT_EQ(INVALID_HANDLE_VALUE, Open(DevicePath(path)));
  EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
}

TEST_F(FileTest, StaleHandleAndDoubleClose) {
  HANDLE file = Open(DevicePath(Write("f", "abc")));
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  ASSERT_TRUE(CloseHandle(file));
  char buffer[4];
  DWORD got = 7;
  SetLastError(0);
  EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), &got, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(0u, got);
  SetLastError(0);
  EXPECT_FALSE(CloseHandle(file));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());

  // A later open gets a new handle, so the stale one still finds nothing.
  HANDLE again = Open(DevicePath(dir_ + "/f"));
  ASSERT_NE(INVALID_HANDLE_VALUE, again);
  EXPECT_NE(file, again);
  EXPECT_FALSE(ReadFile(file, buffer, sizeof(buffer), &got, nullptr));
  EXPECT_TRUE(CloseHandle(again));
}

TEST_F(FileTest, ReadFileArguments) {
  HANDLE file = Open(DevicePath(Write("f", "abc")));
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  char buffer[4];
  DWORD got = 0;
  int overlapped = 0;
  struct {
    const char* what;
    LPVOID buffer;
    DWORD size;
    LPDWORD read;
    LPOVERLAPPED overlapped;
  } const kCases[] = {
      {"no count", buffer, 4, nullptr, nullptr},
      {"overlapped", buffer, 4, &got, &overlapped},
      {"no buffer", nullptr, 4, &got, nullptr},
  };
  for (const auto& c : kCases) {
    SetLastError(0);
    EXPECT_FALSE(ReadFile(file, c.buffer, c.size, c.read, c.overlapped)) << c.what;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError()) << c.what;
  }
  EXPECT_TRUE(ReadFile(file, nullptr, 0, &got, nullptr));
  EXPECT_TRUE(ReadFile(file, buffer, 4, &got, nullptr));
  EXPECT_EQ("abc", std::string(buffer, got));
  // A database handle is not a file.
  SetLastError(0);
  EXPECT_FALSE(ReadFile(GetProcessHeap(), buffer, 4, &got, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(CloseHandle(file));
}

int OpenDescriptors() {
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

// While a read holds the file, closing its handle must not free the
// descriptor: the number could go to a file opened meanwhile, and the read
// would go on in that file.
TEST_F(FileTest, DescriptorOutlivesTheHandleWhileInUse) {
  HANDLE file = Open(DevicePath(Write("f", "abc")));
  ASSERT_NE(INVALID_HANDLE_VALUE, file);
  std::shared_ptr<ceplatform::KernelObject> in_use =
      ceplatform::HandleLookup(file, ceplatform::KernelObject::Kind::kFile);
  ASSERT_NE(nullptr, in_use);
  int open_before = OpenDescriptors();
  ASSERT_GT(open_before, 0);
  ASSERT_TRUE(CloseHandle(file));
  EXPECT_EQ(open_before, OpenDescriptors());
  in_use.reset();
  EXPECT_EQ(open_before - 1, OpenDescriptors());
}

// Readers keep reading while another thread closes the handle: each read
// either fails cleanly with ERROR_INVALID_HANDLE or returns bytes of this
// file, never of a file opened meanwhile.
TEST_F(FileTest, CloseWhileAnotherThreadReads) {
  std::string contents(1 << 16, 'r');
  std::u16string path = DevicePath(Write("shared", contents));
  std::u16string other = DevicePath(Write("other", std::string(1 << 16, 'o')));
  for (int round = 0; round < 5; ++round) {
    HANDLE file = Open(path);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    std::atomic<bool> wrong_bytes{false};
    std::atomic<bool> wrong_error{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 2; ++t) {
      readers.emplace_back([&] {
        char buffer[512];
        for (;;) {
          DWORD got = 0;
          if (!ReadFile(file, buffer, sizeof(buffer), &got, nullptr)) {
            if (GetLastError() != ERROR_INVALID_HANDLE) wrong_error = true;
            return;
          }
          for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != 'r') wrong_bytes = true;
          }
          if (got == 0) return;
        }
      });
    }
    ASSERT_TRUE(CloseHandle(file));
    // Descriptors freed by the close would be handed to these opens.
    std::vector<HANDLE> others;
    for (int i = 0; i < 4; ++i) others.push_back(Open(other));
    for (auto& reader : readers) reader.join();
    for (HANDLE h : others) EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(wrong_bytes) << "a read reached another file";
    EXPECT_FALSE(wrong_error);
  }
}

}  // namespace
