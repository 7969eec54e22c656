#include "test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

pid_t Spawn(const std::string& binary, const std::vector<std::string>& args, int stdout_fd,
            int stderr_fd) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(stdout_fd, 1);
    dup2(stderr_fd, 2);
    // The server must not inherit the test's blocked signals.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

// waitpid with a deadline; the exit status as Stop describes, -1 on timeout.
int WaitFor(pid_t pid, int seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

}  // namespace

TestServer::~TestServer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    WaitFor(pid_, 10);
  }
  if (stdout_fd_ >= 0) close(stdout_fd_);
}

bool TestServer::Start(const std::string& binary, const std::vector<std::string>& args,
                       const std::string& stderr_path, std::string* error) {
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
    *error = "pipe failed";
    return false;
  }
  int err_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  pid_ = Spawn(binary, args, pipe_fds[1], err_fd);
  close(pipe_fds[1]);
  close(err_fd);
  stdout_fd_ = pipe_fds[0];

  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline) {
    struct pollfd poll_fd = {stdout_fd_, POLLIN, 0};
    if (poll(&poll_fd, 1, 100) > 0) {
      char buffer[512];
      ssize_t got = read(stdout_fd_, buffer, sizeof buffer);
      if (got <= 0) break;  // exited
      text.append(buffer, static_cast<size_t>(got));
      size_t at = text.find("://127.0.0.1:");
      size_t end = at == std::string::npos ? std::string::npos : text.find('/', at + 13);
      if (end != std::string::npos) {
        port_ = atoi(text.c_str() + at + 13);
        return port_ > 0;
      }
    }
  }
  *error = "no URL from tvxhost; stdout: " + text + "; stderr: " + ReadFile(stderr_path);
  return false;
}

int TestServer::Stop(int signal_number) {
  if (pid_ <= 0) return -1;
  kill(pid_, signal_number);
  int status = WaitFor(pid_, 30);
  if (status == -1) {
    kill(pid_, SIGKILL);
    WaitFor(pid_, 10);
  }
  pid_ = -1;
  return status;
}

int TestServer::RunToEnd(const std::string& binary, const std::vector<std::string>& args,
                         std::string* output) {
  char path[] = "/tmp/tvxhost-out.XXXXXX";
  int fd = mkstemp(path);
  pid_t pid = Spawn(binary, args, fd, fd);
  close(fd);
  int status = WaitFor(pid, 15);
  if (status == -1) {
    kill(pid, SIGKILL);
    WaitFor(pid, 10);
  }
  *output = ReadFile(path);
  unlink(path);
  return status;
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base ? base : "/tmp") + "/tvxhost.XXXXXX";
  if (mkdtemp(&pattern[0]) != nullptr) {
    char real[4096];
    path_ = realpath(pattern.c_str(), real) != nullptr ? real : pattern;
  }
}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::string command = "rm -rf '" + path_ + "'";
  if (system(command.c_str()) != 0) fprintf(stderr, "cannot remove %s\n", path_.c_str());
}

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string RawExchange(int port, const std::string& bytes, bool half_close,
                        int timeout_seconds) {
  int fd = Connect(port);
  if (fd < 0) return std::string();
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  if (half_close) shutdown(fd, SHUT_WR);
  std::string answer;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    struct pollfd poll_fd = {fd, POLLIN, 0};
    if (poll(&poll_fd, 1, 100) <= 0) continue;
    char buffer[4096];
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) break;
    answer.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return answer;
}

std::string TestResponse::get_header_value(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return header.second;
  }
  return std::string();
}

bool TestResponse::has_header(const std::string& name) const {
  for (const auto& header : headers) {
    if (strcasecmp(header.first.c_str(), name.c_str()) == 0) return true;
  }
  return false;
}

std::optional<TestResponse> ParseResponse(const std::string& text) {
  std::string rest = text;
  // Interim answers (100 Continue) come before the real one.
  while (rest.compare(0, 13, "HTTP/1.1 100 ") == 0) {
    size_t end = rest.find("\r\n\r\n");
    if (end == std::string::npos) return std::nullopt;
    rest = rest.substr(end + 4);
  }
  size_t head_end = rest.find("\r\n\r\n");
  TestResponse response;
  response.status = StatusOf(rest);
  if (head_end == std::string::npos || response.status == 0) return std::nullopt;
  size_t line = rest.find("\r\n") + 2;
  while (line < head_end) {
    size_t end = rest.find("\r\n", line);
    size_t colon = rest.find(':', line);
    if (colon == std::string::npos || colon > end) return std::nullopt;
    size_t value = rest.find_first_not_of(' ', colon + 1);
    response.headers.emplace_back(rest.substr(line, colon - line),
                                  value >= end ? std::string() : rest.substr(value, end - value));
    line = end + 2;
  }
  response.body = rest.substr(head_end + 4);
  std::string length = response.get_header_value("Content-Length");
  if (!length.empty()) {
    size_t size = static_cast<size_t>(atoll(length.c_str()));
    if (response.body.size() < size) return std::nullopt;  // cut short
    response.body.resize(size);
  }
  return response;
}

std::optional<TestResponse> TestClient::Get(const std::string& target, const Headers& headers) {
  return Send("GET", target, headers, nullptr);
}

std::optional<TestResponse> TestClient::Delete(const std::string& target) {
  return Send("DELETE", target, {}, nullptr);
}

std::optional<TestResponse> TestClient::Post(const std::string& target, const std::string& body,
                                             const std::string& content_type) {
  return Post(target, {}, body, content_type);
}

std::optional<TestResponse> TestClient::Post(const std::string& target, const Headers& headers,
                                             const std::string& body,
                                             const std::string& content_type) {
  Headers all = headers;
  all.emplace_back("Content-Type", content_type);
  return Send("POST", target, all, &body);
}

std::optional<TestResponse> TestClient::Send(const std::string& method, const std::string& target,
                                             const Headers& headers, const std::string* body) {
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                        std::to_string(port_) + "\r\nConnection: close\r\n";
  for (const auto& header : headers) request += header.first + ": " + header.second + "\r\n";
  if (body != nullptr) request += "Content-Length: " + std::to_string(body->size()) + "\r\n";
  request += "\r\n";
  if (body != nullptr) request += *body;
  return ParseResponse(RawExchange(port_, request, false));
}

int StatusOf(const std::string& response) {
  if (response.compare(0, 9, "HTTP/1.1 ") != 0 && response.compare(0, 9, "HTTP/1.0 ") != 0) {
    return 0;
  }
  return atoi(response.c_str() + 9);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  return static_cast<bool>(out);
}

bool CopyFile(const std::string& from, const std::string& to) {
  std::ifstream in(from, std::ios::binary);
  if (!in) return false;
  std::ofstream out(to, std::ios::binary | std::ios::trunc);
  out << in.rdbuf();
  return static_cast<bool>(out);
}
