// The board's templates with the file system failing under them: an open
// that fails, a read that fails half-way, reads that return a few bytes at a
// time. The page is the template's page whole, or the built-in texts in
// place of the template that could not be read; never half a template.
#include <errno.h>
#include <string.h>

#include <atomic>
#include <fstream>
#include <string>

#include "ceplatform.h"
#include "file_system_calls.h"
#include "plugin_fixture.h"

namespace faults {
namespace {

using ceplatform::FileSystemCalls;
using ceplatform::LinuxFileSystemCalls;
using ceplatform::SystemCalls;

// What the replaced calls do; set by a test before the call under test.
std::atomic<int> fail_open_errno{0};  // opens fail with it
std::atomic<const char*> fail_open_part{""};  // only those of paths holding this
std::atomic<long> reads_before_failure{-1};  // reads that work before the one that fails
std::atomic<size_t> read_limit{0};  // most bytes one read returns; 0: no limit
std::atomic<long> reads{0};  // reads made

int FailingOpen(const char* path, int flags, mode_t mode) {
  if (fail_open_errno != 0 && strstr(path, fail_open_part.load()) != nullptr) {
    errno = fail_open_errno;
    return -1;
  }
  return LinuxFileSystemCalls().open(path, flags, mode);
}

ssize_t FailingRead(int fd, void* buffer, size_t size) {
  reads++;
  long before = reads_before_failure.load();
  if (before == 0) {  // this read fails, the later ones work
    reads_before_failure = -1;
    errno = EIO;
    return -1;
  }
  if (before > 0) reads_before_failure = before - 1;
  size_t limit = read_limit.load();
  return LinuxFileSystemCalls().read(fd, buffer, limit != 0 && size > limit ? limit : size);
}

class TemplateFaultTest : public PluginFixture {
 protected:
  TemplateFaultTest() : PluginFixture(CORKWALL_TVX, CORKWARDEN_TVX) {}

  void SetUp() override {
    PluginFixture::SetUp();
    for (int i = 0; i < 3; i++) ASSERT_EQ(Post("T" + std::to_string(i)).text, kRedirect);
    SystemCalls().open = FailingOpen;
    SystemCalls().read = FailingRead;
    Reset();
  }
  void TearDown() override {
    SystemCalls() = LinuxFileSystemCalls();
    PluginFixture::TearDown();
  }
  static void Reset() {
    fail_open_errno = 0;
    fail_open_part = "";
    reads_before_failure = -1;
    read_limit = 0;
    reads = 0;
  }

  void WriteTemplate(const std::string& file, const std::string& bytes) {
    std::ofstream out(dir_ / "www" / "cgi" / file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  // The page with the heap and handles checked.
  std::string Page() {
    long blocks = PlatformLiveHeapBlocks();
    long handles = PlatformOpenHandles();
    Answer answer = Board("GET", "", "");
    EXPECT_TRUE(answer.length_ok);
    EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
    EXPECT_EQ(PlatformOpenHandles(), handles);
    return answer.text;
  }
};

// A header of 700 bytes (three reads of 256 and an end) and a footer of 300.
const std::string kHeader = "<HTML><BODY>$HIDE_DELETE_FLAG$" + std::string(670, 'h');
const std::string kFooter = std::string(299, 'f') + "\n";

TEST_F(TemplateFaultTest, OpenThatFailsGivesTheBuiltInTexts) {
  std::string missing = Page();  // no templates: the built-in texts
  WriteTemplate("boardHEAD.HTML", kHeader);
  WriteTemplate("boardFOOT.HTML", kFooter);
  std::string whole = Page();
  ASSERT_NE(whole.find(kHeader), std::string::npos);
  ASSERT_NE(whole.find(kFooter), std::string::npos);
  for (int error : {EACCES, EIO, EMFILE, ENFILE}) {
    SCOPED_TRACE(strerror(error));
    fail_open_errno = error;
    std::string page = Page();
    fail_open_errno = 0;
    // The built-in header and form, a comment naming the header, no delete
    // buttons, the built-in footer.
    EXPECT_NE(page.find("<!-- ERROR READ FILE "), std::string::npos);
    EXPECT_EQ(page.find(kHeader.substr(0, 30)), std::string::npos);
    EXPECT_EQ(page.find("deleteitem"), std::string::npos);
    EXPECT_EQ(page.find('f' + kFooter), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 40), missing.substr(missing.size() - 40));
  }
  // The system out of memory is the board out of memory.
  fail_open_errno = ENOMEM;
  EXPECT_EQ(Page(), ErrorPageOf("Not enough memory"));
  fail_open_errno = 0;
  EXPECT_EQ(Page(), whole);
}

TEST_F(TemplateFaultTest, ReadThatFailsHalfWayTakesTheTemplateBack) {
  WriteTemplate("boardHEAD.HTML", kHeader);
  WriteTemplate("boardFOOT.HTML", kFooter);
  Page();
  long needed = reads.load();
  // The reads of the header alone, and the page without a footer.
  Reset();
  fail_open_errno = EIO;
  fail_open_part = "FOOT";
  std::string headerOnly = Page();
  long header = reads.load();
  ASSERT_GT(header, 3);  // 700 bytes: three blocks and the end at least
  ASSERT_GT(needed, header + 1);
  for (long n = 0; n < needed; n++) {
    SCOPED_TRACE("read " + std::to_string(n + 1) + " fails");
    Reset();
    reads_before_failure = n;
    std::string page = Page();
    if (n < header) {
      // The header's read failed: none of it shows, the built-in one does,
      // and the footer follows whole.
      EXPECT_EQ(page.find(std::string(10, 'h')), std::string::npos);
      EXPECT_NE(page.find("<!-- ERROR READ FILE "), std::string::npos);
      EXPECT_NE(page.find(kFooter), std::string::npos);
    } else {
      // The footer's: the header whole, the built-in footer in its place.
      EXPECT_NE(page.find(kHeader), std::string::npos);
      EXPECT_EQ(page.find(std::string(10, 'f')), std::string::npos);
      EXPECT_EQ(page, headerOnly);
    }
  }
}

TEST_F(TemplateFaultTest, ShortReadsStillGiveTheWholeTemplate) {
  WriteTemplate("boardHEAD.HTML", kHeader);
  WriteTemplate("boardFOOT.HTML", kFooter);
  std::string whole = Page();
  for (size_t limit : {1u, 7u, 255u}) {
    SCOPED_TRACE("at most " + std::to_string(limit) + " bytes a read");
    Reset();
    read_limit = limit;
    EXPECT_EQ(Page(), whole);
  }
}

}  // namespace
}  // namespace faults
