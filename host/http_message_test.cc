#include "http_message.h"

#include <gtest/gtest.h>

#include "answer_head.h"

namespace {

TEST(HttpMessageTest, SplitTargetDecodesThePathOnly) {
  struct Case {
    const char* target;
    const char* path;
    const char* query;
  } cases[] = {
      {"/a/b", "/a/b", ""},
      {"/a%2Fb?x=%41", "/a/b", "x=%41"},
      {"/%e6%8e%b2?", "/\xe6\x8e\xb2", ""},
      {"/%00x", std::string("/\0x", 3).c_str(), ""},
      {"/100%", "/100%", ""},        // no hex digits: kept
      {"/%4", "/%4", ""},
      {"/%zz%41", "/%zzA", ""},
      {"/a?b?c", "/a", "b?c"},
  };
  for (const Case& c : cases) {
    std::string path, query;
    SplitTarget(c.target, &path, &query);
    if (std::string(c.target) == "/%00x") {
      EXPECT_EQ(path, std::string("/\0x", 3));
    } else {
      EXPECT_EQ(path, c.path) << c.target;
    }
    EXPECT_EQ(query, c.query) << c.target;
  }
}

TEST(HttpMessageTest, HeadersIgnoreCaseAndKeepOrderAndRepeats) {
  HttpHeaders headers;
  headers.Add("Set-Cookie", "a=1");
  headers.Add("X-Other", "o");
  headers.Add("set-cookie", "b=2");
  EXPECT_EQ(headers.Count("SET-COOKIE"), 2u);
  EXPECT_EQ(headers.Get("Set-Cookie"), "a=1");
  EXPECT_EQ(headers.Get("Missing"), "");
  headers.Set("SET-COOKIE", "c=3");
  ASSERT_EQ(headers.fields().size(), 2u);
  EXPECT_EQ(headers.fields()[0].name, "X-Other");
  EXPECT_EQ(headers.fields()[1].value, "c=3");
  headers.Remove("x-other");
  EXPECT_FALSE(headers.Has("X-Other"));
}

TEST(HttpMessageTest, TokensAreWhatRfc9110Allows) {
  for (const char* good : {"GET", "Content-Length", "x!#$%&'*+-.^_`|~1"}) {
    EXPECT_TRUE(IsHttpToken(good)) << good;
  }
  for (const char* bad : {"", "Content Length", "a:b", "a\"b", "caf\xc3\xa9", "a(b)", "a/b"}) {
    EXPECT_FALSE(IsHttpToken(bad)) << bad;
  }
}

// Every status the server itself answers with goes out with its own reason
// phrase; a client or a log reader sees no bare "Error".
TEST(HttpMessageTest, StatusesTheServerSendsHaveTheirReasonPhrase) {
  const struct {
    int status;
    const char* text;
  } cases[] = {
      {400, "Bad Request"},       {403, "Forbidden"},
      {408, "Request Timeout"},   {413, "Payload Too Large"},
      {429, "Too Many Requests"}, {431, "Request Header Fields Too Large"},
      {500, "Internal Server Error"}, {503, "Service Unavailable"},
  };
  for (const auto& c : cases) EXPECT_STREQ(StatusText(c.status), c.text) << c.status;
}

TEST(AnswerHeadTest, ErrorsGetAPageAndFramingIsOurs) {
  HttpAnswer refused;
  refused.Refuse(413);
  std::string head = FinishAnswer(true, &refused);
  EXPECT_EQ(head.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << head;
  EXPECT_NE(refused.body.find("<title>413 Payload Too Large</title>"), std::string::npos);
  EXPECT_NE(head.find("Content-Length: " + std::to_string(refused.body.size()) + "\r\n"),
            std::string::npos);
  EXPECT_EQ(head.find("Connection: close"), std::string::npos);
  EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");

  HttpAnswer page;
  page.body = "page";
  page.headers.Add("Content-Type", "text/plain");
  head = FinishAnswer(false, &page);
  EXPECT_TRUE(page.close);
  EXPECT_NE(head.find("\r\nContent-Type: text/plain\r\nX-Content-Type-Options: nosniff\r\n"
                      "Content-Length: 4\r\nConnection: close\r\n"),
            std::string::npos)
      << head;

  HttpAnswer not_modified;
  not_modified.Refuse(304);
  head = FinishAnswer(true, &not_modified);
  EXPECT_EQ(head.find("Content-Length"), std::string::npos);
  EXPECT_TRUE(not_modified.body.empty());
  EXPECT_FALSE(AnswerHasBody("GET", 304));
  EXPECT_FALSE(AnswerHasBody("HEAD", 200));
  EXPECT_TRUE(AnswerHasBody("POST", 404));
}

}  // namespace
