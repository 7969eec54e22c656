#include "guard_answer.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <string>

namespace {

// The Shift_JIS (code page 932) bytes as UTF-8, through glibc's iconv.
// Fails the test on any byte that is not Shift_JIS.
std::string FromShiftJis(const std::string& sjis) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  EXPECT_NE(cd, reinterpret_cast<iconv_t>(-1));
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string();
  std::string in = sjis;
  std::string out(in.size() * 3 + 16, '\0');
  char* from = &in[0];
  size_t from_left = in.size();
  char* to = &out[0];
  size_t to_left = out.size();
  size_t done = iconv(cd, &from, &from_left, &to, &to_left);
  iconv_close(cd);
  EXPECT_NE(done, static_cast<size_t>(-1)) << "not Shift_JIS at byte " << in.size() - from_left;
  out.resize(out.size() - to_left);
  return out;
}

std::string HeaderOf(const GuardAnswer& answer, const std::string& name) {
  for (const auto& header : answer.headers) {
    if (header.first == name) return header.second;
  }
  return "(absent)";
}

TEST(GuardAnswerTest, FloodPageSaysToWaitAndPostAgainInBothLanguages) {
  struct Case {
    int seconds;
    const char* shown;
  } cases[] = {{7, "7"}, {1, "1"}, {0, "1"}, {-3, "1"}, {3600, "3600"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    GuardAnswer answer = FloodAnswer(c.seconds, PostKind::kPost);
    EXPECT_EQ(answer.status, 429);
    EXPECT_EQ(HeaderOf(answer, "Retry-After"), c.shown);
    EXPECT_EQ(HeaderOf(answer, "Content-Type"), "text/html; charset=Shift_JIS");
    EXPECT_EQ(HeaderOf(answer, "Cache-Control"), "no-store");
    std::string page = FromShiftJis(answer.body);
    EXPECT_NE(page.find(u8"投稿が多すぎます"), std::string::npos) << page;
    EXPECT_NE(page.find(std::string(c.shown) + u8" 秒ほど待ってから、もう一度投稿してください。"),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("Please wait " + std::string(c.shown) + " seconds and post again."),
              std::string::npos)
        << page;
    EXPECT_NE(page.find("<meta charset=\"Shift_JIS\">"), std::string::npos);
  }
}

// A deletion past the limit was told that "this post was not taken".
TEST(GuardAnswerTest, RegressionDeletionFloodPageSpokeOfAPost) {
  GuardAnswer answer = FloodAnswer(6, PostKind::kDeletion);
  EXPECT_EQ(answer.status, 429);
  EXPECT_EQ(HeaderOf(answer, "Retry-After"), "6");
  std::string page = FromShiftJis(answer.body);
  EXPECT_NE(page.find(u8"削除が多すぎます"), std::string::npos) << page;
  EXPECT_NE(page.find(u8"この削除は行いませんでした。6 秒ほど待ってから"), std::string::npos)
      << page;
  EXPECT_NE(page.find("so this deletion was not carried out. Please wait 6 seconds"),
            std::string::npos)
      << page;
  EXPECT_EQ(page.find(u8"投稿"), std::string::npos) << page;
  EXPECT_EQ(page.find("post"), std::string::npos) << page;
}

TEST(PostKindTest, TheDeleteButtonsFormIsADeletion) {
  struct Case {
    const char* body;
    PostKind kind;
  } cases[] = {
      {"deleteitem=%8D%ED%8F%9C&deleteitemid=12", PostKind::kDeletion},
      {"deleteitemid=12&deleteitem=x", PostKind::kDeletion},
      {"deleteitem=x", PostKind::kDeletion},
      {"name=a&subject=b&body=c&postitem=x", PostKind::kPost},
      // The board stores the post first when both are asked for.
      {"postitem=x&deleteitem=x&deleteitemid=3", PostKind::kPost},
      {"postitem=&deleteitem=x&deleteitemid=3", PostKind::kDeletion},
      {"deleteitem=&deleteitemid=3", PostKind::kPost},
      {"xdeleteitem=x", PostKind::kPost},
      {"body=deleteitem%3Dx&deleteitemx=1", PostKind::kPost},
      {"body=a&deleteitem", PostKind::kPost},
      {"", PostKind::kPost},
      {"&&deleteitem=1&", PostKind::kDeletion},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(KindOfPost(c.body), c.kind) << c.body;
  }
}

TEST(GuardAnswerTest, PlainCredentialsPageSaysWhyInBothLanguages) {
  GuardAnswer answer = PlainCredentialsAnswer();
  EXPECT_EQ(answer.status, 403);
  EXPECT_EQ(HeaderOf(answer, "Content-Type"), "text/html; charset=Shift_JIS");
  EXPECT_EQ(HeaderOf(answer, "Retry-After"), "(absent)");
  std::string page = FromShiftJis(answer.body);
  EXPECT_NE(page.find(u8"暗号化されていない接続では受け付けません。"), std::string::npos) << page;
  EXPECT_NE(page.find(u8"https:// で始まるアドレスで開いてください。"), std::string::npos) << page;
  EXPECT_NE(page.find("not accepted over a plain, unencrypted connection"), std::string::npos);
}

}  // namespace
