#include "request_reader.h"

#include <string.h>
#include <strings.h>

#include <functional>

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>

namespace http = boost::beast::http;

struct RequestReader::Parser {
  http::request_parser<http::string_body> p;
  // A chunked body's limit is kept here rather than by the parser, which
  // takes each chunk's size off its limit again every time it looks at a
  // chunk line that has not come whole: the same bytes in smaller pieces
  // would then be refused as too large. This is told once per chunk line,
  // whole, before the chunk's data.
  uint64_t limit = 0;
  uint64_t chunked = 0;  // the sizes of the chunk lines so far
  std::function<void(std::uint64_t, boost::beast::string_view, boost::beast::error_code&)>
      on_chunk;
};

namespace {

std::string TrimSpaces(const char* begin, const char* end) {
  while (begin < end && (*begin == ' ' || *begin == '\t')) ++begin;
  while (end > begin && (end[-1] == ' ' || end[-1] == '\t')) --end;
  return std::string(begin, end);
}

int StatusForParseError(const boost::system::error_code& error) {
  if (error == http::error::body_limit) return 413;
  if (error == http::error::bad_version) return 505;  // only HTTP/1.0 and 1.1
  if (error == http::error::header_limit || error == http::error::buffer_overflow) return 431;
  return 400;
}

// 0 for "HTTP/1.0" and "HTTP/1.1"; 505 for another version of the same
// form; 400 for what is no version at all.
int CheckVersion(const char* begin, const char* end) {
  size_t size = static_cast<size_t>(end - begin);
  if (size != 8 || memcmp(begin, "HTTP/", 5) != 0 || begin[5] < '0' || begin[5] > '9' ||
      begin[6] != '.' || begin[7] < '0' || begin[7] > '9') {
    return 400;
  }
  return begin[5] == '1' && (begin[7] == '0' || begin[7] == '1') ? 0 : 505;
}

}  // namespace

int CheckFraming(const HttpHeaders& headers) {
  for (const HttpHeaders::Field& field : headers.fields()) {
    if (!IsHttpToken(field.name)) return 400;
  }
  size_t lengths = headers.Count("Content-Length");
  if (lengths > 1) return 400;
  if (lengths == 1) {
    const std::string& value = headers.Find("Content-Length")->value;
    if (value.empty() || value.size() > 18 ||
        value.find_first_not_of("0123456789") != std::string::npos) {
      return 400;
    }
  }
  size_t codings = headers.Count("Transfer-Encoding");
  if (codings > 0) {
    if (lengths > 0) return 400;
    if (codings > 1 || strcasecmp(headers.Get("Transfer-Encoding").c_str(), "chunked") != 0) {
      return 501;
    }
  }
  return 0;
}

int CheckHead(const char* head, size_t size, HttpHeaders* headers) {
  HttpHeaders fields;
  const char* end = head + size;
  const char* line = head;
  bool request_line = true;
  while (line < end) {
    const char* cr = static_cast<const char*>(memchr(line, '\r', static_cast<size_t>(end - line)));
    if (cr == nullptr || cr + 1 >= end || cr[1] != '\n') return 400;  // bare CR
    if (memchr(line, '\n', static_cast<size_t>(cr - line)) != nullptr) return 400;  // bare LF
    if (cr == line) break;  // the empty line ends the head
    for (const char* p = line; p < cr; ++p) {
      unsigned char byte = static_cast<unsigned char>(*p);
      if ((byte < 0x20 && byte != '\t') || byte == 0x7f) return 400;
    }
    if (request_line) {
      request_line = false;
      const char* space = static_cast<const char*>(memchr(line, ' ', static_cast<size_t>(cr - line)));
      if (space == nullptr) return 400;
      const char* target_end =
          static_cast<const char*>(memchr(space + 1, ' ', static_cast<size_t>(cr - space - 1)));
      if (target_end == nullptr) target_end = cr;
      if (static_cast<size_t>(target_end - space - 1) > RequestReader::kMaxTargetBytes) {
        return 414;
      }
      // The version is told here, from the whole line: the parser asks for
      // eight bytes of it before it judges, and a line that ends sooner
      // would wait for bytes past the head that may never come.
      int version = CheckVersion(target_end == cr ? cr : target_end + 1, cr);
      if (version != 0) return version;
    } else {
      if (*line == ' ' || *line == '\t') return 400;  // a folded line
      const char* colon = static_cast<const char*>(memchr(line, ':', static_cast<size_t>(cr - line)));
      if (colon == nullptr) return 400;
      std::string name(line, colon);
      if (!IsHttpToken(name)) return 400;
      fields.Add(std::move(name), TrimSpaces(colon + 1, cr));
    }
    line = cr + 2;
  }
  int framing = CheckFraming(fields);
  if (framing != 0) return framing;
  *headers = std::move(fields);
  return 0;
}

constexpr size_t RequestReader::kMaxHeadBytes;
constexpr size_t RequestReader::kMaxTargetBytes;

RequestReader::RequestReader(uint64_t body_limit) : body_limit_(body_limit) {}

RequestReader::~RequestReader() = default;

bool RequestReader::body_pending() const {
  return parser_ != nullptr && parser_->p.is_header_done() && !parser_->p.is_done();
}

uint64_t RequestReader::body_bytes() const {
  return parser_ != nullptr ? parser_->p.get().body().size() : 0;
}

RequestReader::Step RequestReader::Refuse(int status) {
  refusal_ = status;
  return Step::kRefused;
}

bool RequestReader::CheckWholeHead(const char* data, size_t size, size_t* head_size) {
  // Resume the search for the empty line where the last one stopped.
  size_t from = scanned_ > 3 ? scanned_ - 3 : 0;
  const char* found = nullptr;
  for (size_t i = from; i + 3 < size; ++i) {
    const char* p = static_cast<const char*>(memchr(data + i, '\r', size - i - 3));
    if (p == nullptr) break;
    if (p[1] == '\n' && p[2] == '\r' && p[3] == '\n') {
      found = p;
      break;
    }
    i = static_cast<size_t>(p - data);
  }
  scanned_ = size;
  if (found == nullptr) {
    *head_size = 0;
    if (size > kMaxHeadBytes) refusal_ = 431;
    // A request line too long can be told before the head ends.
    const char* eol = static_cast<const char*>(memchr(data, '\n', size));
    if (refusal_ == 0 && eol == nullptr && size > kMaxTargetBytes + 32) refusal_ = 414;
    return refusal_ == 0;
  }
  *head_size = static_cast<size_t>(found - data) + 4;
  if (*head_size > kMaxHeadBytes) {
    refusal_ = 431;
    return false;
  }
  refusal_ = CheckHead(data, *head_size, &headers_);
  if (refusal_ != 0) return false;
  const HttpHeaders::Field* length = headers_.Find("Content-Length");
  if (length != nullptr && std::stoull(length->value) > body_limit_) {
    refusal_ = 413;  // before a byte of the body is read
    return false;
  }
  head_checked_ = true;
  return true;
}

RequestReader::Step RequestReader::Feed(const char* data, size_t size, size_t* used) {
  *used = 0;
  if (refusal_ != 0) return Step::kRefused;
  if (size == 0) return Step::kNeedMore;
  if (!parser_) {
    parser_ = std::make_unique<Parser>();
    parser_->p.header_limit(static_cast<std::uint32_t>(kMaxHeadBytes + 1));
    // A Content-Length over the limit is refused with the head.
    parser_->p.body_limit(boost::none);
    parser_->p.eager(false);
    parser_->limit = body_limit_;
    Parser* parser = parser_.get();
    parser_->on_chunk = [parser](std::uint64_t size, boost::beast::string_view,
                                 boost::beast::error_code& error) {
      if (size > parser->limit - parser->chunked) {
        error = http::error::body_limit;
        return;
      }
      parser->chunked += size;
    };
    parser_->p.on_chunk_header(parser_->on_chunk);
  }
  started_ = true;
  if (!head_checked_) {
    size_t head_size = 0;
    if (!CheckWholeHead(data, size, &head_size)) return Step::kRefused;
    if (head_size == 0) return Step::kNeedMore;  // keeps every byte until the head is whole
  }
  while (*used < size) {
    bool was_header_done = parser_->p.is_header_done();
    boost::system::error_code error;
    size_t taken = parser_->p.put(boost::asio::const_buffer(data + *used, size - *used), error);
    *used += taken;
    if (error == http::error::need_more) return Step::kNeedMore;
    if (error) return Refuse(StatusForParseError(error));
    if (!was_header_done && parser_->p.is_header_done()) {
      const auto& message = parser_->p.get();
      method_ = std::string(message.method_string());
      target_ = std::string(message.target());
      unsigned version = message.version();
      version_ = "HTTP/" + std::to_string(version / 10) + "." + std::to_string(version % 10);
      keep_alive_ = message.keep_alive();
      expects_continue_ = version == 11 &&
                          strcasecmp(headers_.Get("Expect").c_str(), "100-continue") == 0;
      if (!parser_->p.is_done()) {
        head_done_ = true;
        return Step::kHead;
      }
    }
    if (parser_->p.is_done()) return Step::kDone;
    if (taken == 0) return Step::kNeedMore;
  }
  return parser_->p.is_done() ? Step::kDone : Step::kNeedMore;
}

void RequestReader::Take(HttpRequest* request) {
  request->method = std::move(method_);
  request->target = std::move(target_);
  request->version = std::move(version_);
  SplitTarget(request->target, &request->path, &request->query);
  request->headers = std::move(headers_);
  request->body = std::move(parser_->p.get().body());
  Reset();
}

void RequestReader::Reset() {
  parser_.reset();
  started_ = false;
  head_checked_ = false;
  head_done_ = false;
  expects_continue_ = false;
  keep_alive_ = true;
  scanned_ = 0;
  refusal_ = 0;
  headers_ = HttpHeaders();
  method_.clear();
  target_.clear();
  version_.clear();
}
