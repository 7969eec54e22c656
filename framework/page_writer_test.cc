// PageWriter over a buffer that the heap will not grow past a limit: the page
// is reported failed exactly when it needs a larger block, whatever the size
// of its pieces, and a page that fits reaches the buffer whole.
#include "page_writer.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>

#include "ceplatform.h"

namespace {

class PageWriterTest : public ::testing::Test {
 protected:
  void TearDown() override { PlatformLimitHeapBlock(0); }
};

TEST_F(PageWriterTest, FailsExactlyWhenThePageNeedsABlockPastTheLimit) {
  const SIZE_T kLimit = 16384;
  struct Case {
    int piece;  // bytes per Put: below, at and above the staging area
    int total;
    bool fits;
  } cases[] = {
      {7, 16383, true},  // the bytes and their NUL fill the largest block
      {7, 16384, false},
      {4096, 16383, true},
      {4096, 16384, false},
      {10000, 16383, true},
      {10000, 30000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.piece) + " / " + std::to_string(c.total));
    TextBuffer out;
    std::string page;
    PlatformLimitHeapBlock(kLimit);
    {
      PageWriter writer(&out);
      for (int put = 0; put < c.total; put += c.piece) {
        std::string bytes(c.total - put < c.piece ? c.total - put : c.piece,
                          static_cast<char>('a' + put % 26));
        writer.Put(bytes.data(), static_cast<int>(bytes.size()));
        page += bytes;
      }
      EXPECT_EQ(c.fits ? 0 : 1, writer.failed());
    }
    PlatformLimitHeapBlock(0);
    if (c.fits) {
      EXPECT_EQ(page, std::string(out.data, out.length));
    }
  }
}

TEST_F(PageWriterTest, EveryKindOfPieceArrivesWhenTheWriterGoesAway) {
  TextBuffer out;
  {
    PageWriter writer(&out);
    writer.Put("row ");
    writer.PutInt(INT_MIN);
    writer.Put(NULL);
    writer.Put("");
    writer.Put("x\0y", 3);
    writer.PutInt(7);
  }
  EXPECT_EQ(std::string("row -2147483648x\0y7", 19), std::string(out.data, out.length));
}

}  // namespace
