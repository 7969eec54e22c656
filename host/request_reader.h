// Reading requests out of the bytes of one connection: where each head and
// body ends, and which requests are refused before they are routed. It
// works on bytes in memory only, so the framing can be tested and fuzzed
// without sockets; the connection code feeds it what it reads.
//
// A head must end with an empty line within kMaxHeadBytes. It is refused
// (400, and the connection closes) when a header line has no colon, a name
// that is not a token, or begins with a space or tab (a folded line); when
// Content-Length is given twice, is not a plain number, or stands beside a
// Transfer-Encoding; when a chunk size is not hex digits (optionally
// followed by ';' extensions). Transfer-Encoding other than one "chunked"
// is 501; a target over kMaxTargetBytes is 414. A Content-Length body is
// read for every method, or refused with 413 before any of it is read when
// it is over the limit; a chunked body is cut at the limit with 413. No
// Content-Length and no Transfer-Encoding means an empty body.
#ifndef HOST_REQUEST_READER_H_
#define HOST_REQUEST_READER_H_

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <string>

#include "http_message.h"

// 0 when the header fields say unambiguously where the body ends; else the
// status to refuse the request with: 400 for a name that is not a token, a
// Content-Length given twice or not made of digits, or one beside a
// Transfer-Encoding; 501 for a Transfer-Encoding other than one "chunked".
int CheckFraming(const HttpHeaders& headers);

// Checks the header lines of a whole head (from the request line to the
// empty line, CRLF line ends) and collects them into *headers. 0, or the
// status to refuse it with: 400 for a bare CR or LF, a folded line, a line
// without a colon or with a name that is not a token, then CheckFraming's.
int CheckHead(const char* head, size_t size, HttpHeaders* headers);

class RequestReader {
 public:
  static constexpr size_t kMaxHeadBytes = 64 * 1024;
  static constexpr size_t kMaxTargetBytes = 8192;

  enum class Step {
    kNeedMore,  // feed more bytes (after the unused ones)
    kHead,      // the head is whole (once per request); the body may follow
    kDone,      // the request is whole: Take() it
    kRefused,   // refuse with refusal() and close the connection
  };

  explicit RequestReader(uint64_t body_limit);
  ~RequestReader();

  // Reads from data[0, size), the bytes the connection has not yet given:
  // *used of them were taken (the caller drops them and gives the rest
  // again with the next bytes). Stops after the head (kHead), at the end of
  // a request (kDone; bytes of the next request are left unused), or at a
  // refusal.
  Step Feed(const char* data, size_t size, size_t* used);

  // True once a byte of the current request has been taken.
  bool started() const { return started_; }
  // After kHead: a body is still to come.
  bool body_pending() const;
  // After kHead: the client waits for "100 Continue" before its body.
  bool expects_continue() const { return expects_continue_; }
  // After kHead: the connection may carry another request after this one.
  bool keep_alive() const { return keep_alive_; }
  // Body bytes taken so far.
  uint64_t body_bytes() const;
  int refusal() const { return refusal_; }

  // The request line as far as it was read (for the access log of a
  // request that never completed); empty strings when not yet read.
  const std::string& method() const { return method_; }
  const std::string& target() const { return target_; }
  const std::string& version() const { return version_; }

  // After kDone: moves method, target, path, query, version, headers and
  // body into *request (the addresses are the caller's) and gets ready for
  // the next request.
  void Take(HttpRequest* request);

 private:
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  struct Parser;  // Beast's request parser

  Step Refuse(int status);
  // Checks the head once it is whole; false (with refusal_ set) to refuse.
  bool CheckWholeHead(const char* data, size_t size, size_t* head_size);
  void Reset();

  const uint64_t body_limit_;
  std::unique_ptr<Parser> parser_;  // made at the first byte of a request
  bool started_ = false;
  bool head_checked_ = false;
  bool head_done_ = false;
  bool expects_continue_ = false;
  bool keep_alive_ = true;
  size_t scanned_ = 0;  // bytes of the head already searched for its end
  int refusal_ = 0;
  HttpHeaders headers_;
  std::string method_, target_, version_;
};

#endif  // HOST_REQUEST_READER_H_
