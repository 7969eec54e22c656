// The request that every handler of the host sees, and the answer it builds:
// plain structs of our own, filled by the connection code from the bytes it
// read, so that the checks before routing, the handlers and the access log
// work without sockets and can be tested on their own.
#ifndef HOST_HTTP_MESSAGE_H_
#define HOST_HTTP_MESSAGE_H_

#include <stddef.h>
#include <sys/types.h>
#include <time.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// `when` as HTTP writes dates (IMF-fixdate): "Sun, 06 Nov 1994 08:49:37 GMT".
std::string HttpDate(time_t when);

// True for an RFC 9110 token: one or more of the letters, digits and
// "!#$%&'*+-.^_`|~". Header names and methods are tokens.
bool IsHttpToken(const std::string& text);

// Header fields in the order they came, repeats kept; names are compared
// with ASCII letter case ignored.
class HttpHeaders {
 public:
  struct Field {
    std::string name;
    std::string value;
  };

  void Add(std::string name, std::string value);
  // Replaces every field of that name by one (added at the end when none).
  void Set(const std::string& name, std::string value);
  void Remove(const std::string& name);

  bool Has(const std::string& name) const { return Find(name) != nullptr; }
  size_t Count(const std::string& name) const;
  // The value of the first field of that name; empty when there is none.
  std::string Get(const std::string& name) const;
  // The first field of that name, or nullptr.
  const Field* Find(const std::string& name) const;

  const std::vector<Field>& fields() const { return fields_; }
  bool empty() const { return fields_.empty(); }

 private:
  std::vector<Field> fields_;
};

// One request as read from a connection.
struct HttpRequest {
  // Who the client is: the socket's peer, or, when the peer is a trusted
  // proxy, the client it names in X-Forwarded-For (port 0: not known).
  std::string client_addr;
  int client_port = 0;
  // "http" or "https" as the client connected: the socket's own, or a
  // trusted proxy's X-Forwarded-Proto.
  std::string scheme = "http";
  // The peer is a trusted proxy that passed the request on.
  bool through_proxy = false;
  // The other end of the socket.
  std::string peer_addr;
  int peer_port = 0;
  // Our end of the socket.
  std::string local_addr;
  int local_port = 0;

  std::string method;   // as sent ("GET")
  std::string target;   // as sent ("/bbs/board.tvx?row=20")
  std::string path;     // the target's path, percent-decoded
  std::string query;    // after '?', as sent (not decoded); empty when none
  std::string version;  // "HTTP/1.1"
  HttpHeaders headers;
  std::string body;     // whole, de-chunked
  bool tls = false;
};

// Splits a request target into its decoded path and its raw query. Every
// %XY with two hex digits is decoded (also %00 and %2F: the path rules
// refuse what they must); a '%' without two hex digits stays as it is.
void SplitTarget(const std::string& target, std::string* path, std::string* query);

// A part of a regular file to send after the head: read in pieces from the
// open descriptor, which is closed when the last copy goes.
struct FileBody {
  FileBody(int descriptor, off_t start, off_t length)
      : fd(descriptor), offset(start), size(length) {}
  ~FileBody();
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;

  const int fd;
  const off_t offset;
  const off_t size;
};

class HeapBody;  // heap_body.h

// What answered a request, for the server's counts: a plug-in; the document
// root's files (a file, a folder's index, a folder's redirect, a path not
// found there); or neither, the request refused before either was reached
// (bad request, method, access rules, guard, limits, timeouts).
enum class AnswerKind { kRefused, kPlugin, kStatic };

// What is sent back. The connection adds the framing headers
// (Content-Length, Connection) itself.
struct HttpAnswer {
  int status = 200;
  HttpHeaders headers;
  // The body: `shared` when set (bytes kept by a cache), else a file part
  // when set, else `heap` when set (a plug-in's page in the heap block it
  // was written into), else `body`.
  std::string body;
  std::shared_ptr<const std::string> shared;
  std::shared_ptr<const FileBody> file;
  std::shared_ptr<const HeapBody> heap;
  // Close the connection after this answer (the rest of the request may be
  // unread).
  bool close = false;
  // The user whose login was checked, for the access log.
  std::string user;
  // The answer is for a path under an --auth prefix: it must not be framed,
  // cached or named to other sites (FinishAnswer adds the headers).
  bool guarded = false;
  // The answer reaches the client over HTTPS: the connection's own TLS, or
  // a trusted proxy's that says https (FinishAnswer adds
  // Strict-Transport-Security).
  bool https = false;
  AnswerKind kind = AnswerKind::kRefused;

  size_t BodySize() const;
  // The bytes of a body held in memory (all but a file part), BodySize() of
  // them. REQUIRES: !file.
  const char* MemoryBody() const;
  // Sets an error status with no body; headers set so far are kept.
  void Refuse(int code) {
    status = code;
    body.clear();
    shared.reset();
    file.reset();
    heap.reset();
  }
};

// The reason phrase of a status code ("Not Found").
const char* StatusText(int status);

// The short HTML page sent with an error status that has no page of its own.
std::string ErrorPageFor(int status);

#endif  // HOST_HTTP_MESSAGE_H_
