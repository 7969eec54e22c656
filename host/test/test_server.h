// Running tvxhost as a child process for the HTTP tests: started on a free
// loopback port (it binds port 0 and prints its URL), stopped with a signal,
// every wait bounded.
#ifndef HOST_TEST_SERVER_H_
#define HOST_TEST_SERVER_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

class TestServer {
 public:
  TestServer() = default;
  ~TestServer();  // kills the server if it still runs

  // Starts `binary` with `args` (add --listen 127.0.0.1:0 to get a free
  // port). Waits up to 15 s for the line with the URL. False with the reason
  // (and the server's stderr) when it does not come.
  bool Start(const std::string& binary, const std::vector<std::string>& args,
             const std::string& stderr_path, std::string* error);
  int port() const { return port_; }

  // Sends the signal and waits up to 30 s for the exit. Returns the exit
  // status, 128 + signal when killed by one, or -1 on timeout (then the
  // server is killed).
  int Stop(int signal_number);

  // Runs the binary to its end (bounded at 15 s) and returns its exit status;
  // stdout and stderr end up in *output.
  static int RunToEnd(const std::string& binary, const std::vector<std::string>& args,
                      std::string* output);

 private:
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;

  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  int port_ = 0;
};

// A fresh folder under $TMPDIR (or /tmp), removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A socket connected to 127.0.0.1:port, or -1.
int Connect(int port);

// Sends `bytes` to 127.0.0.1:port, half-closes the connection when asked,
// and reads until the server closes it (at most `timeout_seconds`).
std::string RawExchange(int port, const std::string& bytes, bool half_close,
                        int timeout_seconds = 15);

// One answer as a client sees it.
struct TestResponse {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
  std::string body;

  // The first header of that name (letter case ignored), or "".
  std::string get_header_value(const std::string& name) const;
  bool has_header(const std::string& name) const;
};

// The answer in an HTTP response text (head and body as far as
// Content-Length says), or nothing when the text holds no whole answer.
std::optional<TestResponse> ParseResponse(const std::string& text);

// A small HTTP/1.1 client for the tests: one request per connection
// ("Connection: close"), every wait bounded.
class TestClient {
 public:
  using Headers = std::vector<std::pair<std::string, std::string>>;

  explicit TestClient(int port) : port_(port) {}

  std::optional<TestResponse> Get(const std::string& target, const Headers& headers = {});
  std::optional<TestResponse> Delete(const std::string& target);
  std::optional<TestResponse> Post(const std::string& target, const std::string& body,
                                   const std::string& content_type);
  std::optional<TestResponse> Post(const std::string& target, const Headers& headers,
                                   const std::string& body, const std::string& content_type);

 private:
  std::optional<TestResponse> Send(const std::string& method, const std::string& target,
                                   const Headers& headers, const std::string* body);
  const int port_;
};

// The status code of an HTTP response text, or 0.
int StatusOf(const std::string& response);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& bytes);
bool CopyFile(const std::string& from, const std::string& to);

#endif  // HOST_TEST_SERVER_H_
