// http_count: exactly N GET requests of one URL path over C keep-alive
// connections to a server on loopback, one thread per connection; for the
// memory figure, which wants a count of requests where wrk offers a duration.
// Prints "<answered 200> <other answers> <failed connections>"; exit status 0
// when every request was answered 200.
//
// Usage: http_count PORT PATH REQUESTS CONNECTIONS
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<long> g_left;
std::atomic<long> g_ok{0};
std::atomic<long> g_other{0};
std::atomic<long> g_broken{0};

int Connect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  timeval timeout = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads one response (head, then as many body bytes as Content-Length says);
// bytes past it stay in *pending. Returns the status, or -1.
int ReadResponse(int fd, std::string* pending) {
  size_t end;
  char block[65536];
  while ((end = pending->find("\r\n\r\n")) == std::string::npos) {
    ssize_t n = recv(fd, block, sizeof(block), 0);
    if (n <= 0) return -1;
    pending->append(block, static_cast<size_t>(n));
  }
  std::string head = pending->substr(0, end + 2);
  int status = 0;
  if (sscanf(head.c_str(), "HTTP/1.%*d %d", &status) != 1) return -1;
  long length = -1;
  for (size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
    if (strncasecmp(head.c_str() + at + 2, "Content-Length:", 15) == 0) {
      length = strtol(head.c_str() + at + 17, nullptr, 10);
    }
  }
  if (length < 0) return -1;  // every answer here carries its length
  size_t whole = end + 4 + static_cast<size_t>(length);
  while (pending->size() < whole) {
    ssize_t n = recv(fd, block, sizeof(block), 0);
    if (n <= 0) return -1;
    pending->append(block, static_cast<size_t>(n));
  }
  pending->erase(0, whole);
  return status;
}

void Client(int port, const std::string& request) {
  int fd = -1;
  std::string pending;
  while (g_left.fetch_sub(1) > 0) {
    if (fd < 0) {
      fd = Connect(port);
      pending.clear();
    }
    int status = fd >= 0 && SendAll(fd, request) ? ReadResponse(fd, &pending) : -1;
    if (status == 200) {
      g_ok++;
    } else if (status > 0) {
      g_other++;
    } else {
      g_broken++;
      if (fd >= 0) close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: http_count PORT PATH REQUESTS CONNECTIONS\n");
    return 2;
  }
  int port = atoi(argv[1]);
  long requests = atol(argv[3]);
  int connections = atoi(argv[4]);
  if (port <= 0 || port > 65535 || argv[2][0] != '/' || requests <= 0 || connections <= 0 ||
      connections > 1024) {
    fprintf(stderr, "http_count: bad arguments\n");
    return 2;
  }
  std::string request = std::string("GET ") + argv[2] +
                        " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: http_count\r\n\r\n";
  g_left = requests;
  std::vector<std::thread> threads;
  for (int i = 0; i < connections; ++i) threads.emplace_back(Client, port, request);
  for (std::thread& thread : threads) thread.join();
  printf("%ld %ld %ld\n", g_ok.load(), g_other.load(), g_broken.load());
  return g_ok.load() == requests ? 0 : 1;
}
