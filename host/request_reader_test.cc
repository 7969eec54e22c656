#include "request_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What a connection makes of `bytes`: the requests read whole, in order, and
// the refusal that ended it (0 when none). `piece` bytes are given at a time,
// as a slow client sends them.
struct Outcome {
  std::vector<HttpRequest> requests;
  int refusal = 0;
  bool waiting = false;  // stopped in the middle of a request
};

Outcome Read(const std::string& bytes, size_t piece = 0, uint64_t body_limit = 1024) {
  RequestReader reader(body_limit);
  Outcome outcome;
  std::string buffered;
  size_t given = 0;
  while (true) {
    size_t step = piece == 0 ? bytes.size() : piece;
    if (given < bytes.size()) {
      buffered += bytes.substr(given, step);
      given += std::min(step, bytes.size() - given);
    }
    bool progress = true;
    while (progress) {
      size_t used = 0;
      RequestReader::Step result = reader.Feed(buffered.data(), buffered.size(), &used);
      buffered.erase(0, used);
      progress = false;
      if (result == RequestReader::Step::kRefused) {
        outcome.refusal = reader.refusal();
        return outcome;
      }
      if (result == RequestReader::Step::kDone) {
        outcome.requests.emplace_back();
        reader.Take(&outcome.requests.back());
        progress = true;
      } else if (result == RequestReader::Step::kHead) {
        progress = true;
      }
    }
    if (given >= bytes.size()) break;
  }
  outcome.waiting = reader.started();
  return outcome;
}

const std::string kNext = "GET /admin/x.tvx HTTP/1.1\r\nHost: h\r\nAuthorization: Basic c2VjcmV0\r\n\r\n";

// Every fault of framing a request, named after the fault: each is refused,
// and what follows it is never read as a request.
TEST(RequestReaderTest, FramingFaultsAreRefused) {
  std::string filler;
  while (filler.size() < 70000) filler += "X-Filler: ffffffffffffffff\r\n";
  struct Case {
    const char* fault;
    std::string request;
    int status;
  } cases[] = {
      {"chunk size 0x5", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n0x5\r\nhello\r\n0\r\n\r\n", 400},
      {"chunk size +5", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n+5\r\nhello\r\n0\r\n\r\n", 400},
      {"chunk size with a leading space", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n 5\r\nhello\r\n0\r\n\r\n", 400},
      {"chunk size 5zz", "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n5zz\r\nhello\r\n0\r\n\r\n", 400},
      {"obs-fold", "GET / HTTP/1.1\r\nHost: h\r\nX-Long: a\r\n  folded\r\n\r\n", 400},
      {"obs-fold with a tab", "GET / HTTP/1.1\r\nHost: h\r\nX-Long: a\r\n\tfolded\r\n\r\n", 400},
      {"header line without a colon", "GET / HTTP/1.1\r\nHost: h\r\nno colon here\r\n\r\n", 400},
      {"space before the colon", "GET / HTTP/1.1\r\nHost : h\r\n\r\n", 400},
      {"Content-Length with Transfer-Encoding", "POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400},
      {"Transfer-Encoding with Content-Length", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n\r\n0\r\n\r\n", 400},
      {"two differing Content-Lengths", "POST / HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"two equal Content-Lengths", "POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello", 400},
      {"Content-Length list", "POST / HTTP/1.1\r\nContent-Length: 5, 5\r\n\r\nhello", 400},
      {"signed Content-Length", "POST / HTTP/1.1\r\nContent-Length: +5\r\n\r\nhello", 400},
      {"Transfer-Encoding not chunked", "POST / HTTP/1.1\r\nTransfer-Encoding: xchunked\r\n\r\n0\r\n\r\n", 501},
      {"chunked not last", "POST / HTTP/1.1\r\nTransfer-Encoding: chunked, gzip\r\n\r\n0\r\n\r\n", 501},
      {"bare line feed", "GET / HTTP/1.1\nHost: h\r\n\r\n", 400},
      {"bare carriage return", "GET / HTTP/1.1\r\nHost: h\rX: y\r\n\r\n", 400},
      {"NUL in a value", std::string("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 26), 400},
      {"control byte in the target", "GET /a\x01 HTTP/1.1\r\n\r\n", 400},
      {"unknown version", "GET / HTTP/9.9\r\nHost: h\r\n\r\n", 505},
      {"HTTP/2.0 on an HTTP/1 connection", "GET / HTTP/2.0\r\nHost: h\r\n\r\n", 505},
      // The line ends before eight bytes of version: it was left waiting
      // for bytes past the head when they came in pieces.
      {"version shorter than a version", "GET /Content-Length: 30\r\n\r\n", 400},
      {"no version", "GET /x\r\nHost: h\r\n\r\n", 400},
      {"version with a letter", "GET / HTTP/1.x\r\nHost: h\r\n\r\n", 400},
      {"lower-case version", "GET / http/1.1\r\nHost: h\r\n\r\n", 400},
      {"request line of one word", "GET\r\nHost: h\r\n\r\n", 400},
      {"target over 8 KiB", "GET /" + std::string(9000, 'a') + " HTTP/1.1\r\n\r\n", 414},
      {"head over 64 KiB", "GET / HTTP/1.1\r\n" + filler + "\r\n", 431},
  };
  for (const Case& c : cases) {
    for (size_t piece : {size_t{0}, size_t{1}}) {
      Outcome outcome = Read(c.request + kNext, piece);
      EXPECT_EQ(outcome.refusal, c.status) << c.fault << ", piece " << piece;
      for (const HttpRequest& request : outcome.requests) {
        EXPECT_NE(request.target, "/admin/x.tvx") << c.fault;
      }
    }
  }
}

// A body announced over the limit is refused before a byte of it comes: a
// client that trickles it never holds the connection for it.
TEST(RequestReaderTest, ContentLengthOverTheLimitIsRefusedAtTheHead) {
  RequestReader reader(1024);
  std::string head = "POST / HTTP/1.1\r\nHost: h\r\nContent-Length: 999999999999999\r\n\r\n";
  size_t used = 0;
  EXPECT_EQ(reader.Feed(head.data(), head.size(), &used), RequestReader::Step::kRefused);
  EXPECT_EQ(reader.refusal(), 413);
  // Exactly at the limit is fine.
  Outcome outcome = Read("POST / HTTP/1.1\r\nContent-Length: 1024\r\n\r\n" + std::string(1024, 'b'));
  ASSERT_EQ(outcome.requests.size(), 1u);
  EXPECT_EQ(outcome.requests[0].body.size(), 1024u);
}

// Regression (found by fuzzing): a request line whose version is shorter
// than a version was left waiting when nothing followed it, since the
// parser asks for eight bytes of version before it judges; the client then
// waited for its deadline instead of getting its answer at once.
TEST(RequestReaderTest, AHeadWithAShortVersionIsRefusedAtOnce) {
  for (const char* head : {"GET /x 30\r\n\r\n", "GET /x H\r\n\r\n", "GET / HTTP/1\r\n\r\n"}) {
    for (size_t piece : {size_t{0}, size_t{1}}) {
      Outcome outcome = Read(head, piece);
      EXPECT_EQ(outcome.refusal, 400) << head << ", piece " << piece;
      EXPECT_FALSE(outcome.waiting) << head << ", piece " << piece;
    }
  }
}

// Regression (found by fuzzing): the parser took a chunk's size off the
// body limit each time it looked at a chunk line that was not whole yet, so
// a small chunk whose line came byte by byte was refused as too large while
// the same bytes at once were not. Whole or byte by byte, each of these
// comes out the same.
TEST(RequestReaderTest, ChunkLinesComeOutTheSameWholeOrByteByByte) {
  const std::string head = "POST / HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n";
  const char* bodies[] = {
      "5;a=\"b\r\nhello\r\n0\r\n\r\n",       // a quoted extension left open
      "5;a=\"b\"c\r\nhello\r\n0\r\n\r\n",   // text after the quoted one
      "5;t=\"x\" \r\nhello\r\n0\r\n\r\n",   // a space after it
      "5;a=b;c\r\nhello\r\n0\r\n\r\n",       // two extensions
      "10\r\n0123456789abcdef\r\n1\r\nx\r\n0\r\n\r\n",  // one byte past 16
  };
  for (const char* body : bodies) {
    Outcome whole = Read(head + body, 0, 16);
    Outcome pieces = Read(head + body, 1, 16);
    EXPECT_EQ(whole.refusal, pieces.refusal) << body;
    EXPECT_EQ(whole.requests.size(), pieces.requests.size()) << body;
    EXPECT_EQ(whole.waiting, pieces.waiting) << body;
  }
  // The limit still holds for chunks: 16 bytes pass, 17 do not.
  EXPECT_EQ(Read(head + "10\r\n0123456789abcdef\r\n0\r\n\r\n", 1, 16).requests.size(), 1u);
  EXPECT_EQ(Read(head + bodies[4], 1, 16).refusal, 413);
}

TEST(RequestReaderTest, ChunkedBodyIsCutAtTheLimit) {
  std::string request = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (int i = 0; i < 3; ++i) request += "200\r\n" + std::string(512, 'c') + "\r\n";
  Outcome outcome = Read(request + "0\r\n\r\n", 0, 1024);
  EXPECT_EQ(outcome.refusal, 413);
  EXPECT_TRUE(outcome.requests.empty());
}

// The body of a GET, HEAD or OPTIONS with a Content-Length is read as its
// body, never as the next request.
TEST(RequestReaderTest, GetWithABodyKeepsTheBodyOutOfTheNextRequest) {
  for (const char* method : {"GET", "HEAD", "OPTIONS"}) {
    std::string smuggled = "GET /smuggled HTTP/1.1\r\nHost: h\r\n\r\n";
    std::string request = std::string(method) + " / HTTP/1.1\r\nHost: h\r\nContent-Length: " +
                          std::to_string(smuggled.size()) + "\r\n\r\n" + smuggled;
    Outcome outcome = Read(request + kNext);
    ASSERT_EQ(outcome.requests.size(), 2u) << method;
    EXPECT_EQ(outcome.requests[0].body, smuggled) << method;
    EXPECT_EQ(outcome.requests[1].target, "/admin/x.tvx") << method;
  }
}

// A POST with neither Content-Length nor Transfer-Encoding has an empty
// body: the next request (and its credentials) is never taken for it.
TEST(RequestReaderTest, PostWithoutLengthHasAnEmptyBody) {
  Outcome outcome = Read("POST /bbs/board.tvx HTTP/1.1\r\nHost: h\r\n\r\n" + kNext);
  ASSERT_EQ(outcome.requests.size(), 2u);
  EXPECT_EQ(outcome.requests[0].method, "POST");
  EXPECT_EQ(outcome.requests[0].body, "");
  EXPECT_EQ(outcome.requests[1].headers.Get("Authorization"), "Basic c2VjcmV0");
}

// Requests back to back, whole or a byte at a time, come out the same.
TEST(RequestReaderTest, PipelinedRequestsInAnyPieces) {
  std::string bytes =
      "POST /a?x=%41 HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: Chunked\r\nX-Dup: 1\r\n"
      "x-dup: 2\r\n\r\n3;ext=1\r\nabc\r\n2\r\nde\r\n0\r\n\r\n"
      "GET /b%2Fc%zz HTTP/1.0\r\n\r\n"
      "POST /c HTTP/1.1\r\nContent-Length: 3\r\nExpect: 100-continue\r\n\r\nxyz";
  for (size_t piece : {size_t{0}, size_t{1}, size_t{7}}) {
    Outcome outcome = Read(bytes, piece);
    ASSERT_EQ(outcome.requests.size(), 3u) << piece;
    EXPECT_EQ(outcome.refusal, 0);
    const HttpRequest& first = outcome.requests[0];
    EXPECT_EQ(first.body, "abcde");
    EXPECT_EQ(first.path, "/a");
    EXPECT_EQ(first.query, "x=%41");
    EXPECT_EQ(first.headers.Count("X-DUP"), 2u);
    EXPECT_EQ(first.headers.fields()[3].value, "2");
    const HttpRequest& second = outcome.requests[1];
    EXPECT_EQ(second.version, "HTTP/1.0");
    EXPECT_EQ(second.path, "/b/c%zz");
    EXPECT_EQ(outcome.requests[2].body, "xyz");
  }
}

TEST(RequestReaderTest, AHeadCutShortWaitsForMore) {
  Outcome outcome = Read("GET / HTTP/1.1\r\nHost: h\r\n");
  EXPECT_TRUE(outcome.requests.empty());
  EXPECT_EQ(outcome.refusal, 0);
  EXPECT_TRUE(outcome.waiting);
}

TEST(RequestReaderTest, CheckHeadCollectsFieldsInOrder) {
  std::string head = "GET / HTTP/1.1\r\nA: 1\r\nB:\t two \r\nA: 3\r\n\r\n";
  HttpHeaders headers;
  ASSERT_EQ(CheckHead(head.data(), head.size(), &headers), 0);
  ASSERT_EQ(headers.fields().size(), 3u);
  EXPECT_EQ(headers.fields()[1].value, "two");
  EXPECT_EQ(headers.Get("a"), "1");
  EXPECT_EQ(headers.Count("A"), 2u);
}

}  // namespace
