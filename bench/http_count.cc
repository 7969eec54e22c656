// http_count: exactly N GET requests of one URL path over C keep-alive
// connections to a server on loopback, one thread per connection; for the
// memory figure, which wants a count of requests where wrk offers a duration.
// Prints "<answered 200> <other answers> <failed connections>"; exit status 0
// when every request was answered 200.
//
// Usage: http_count PORT PATH REQUESTS CONNECTIONS
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"

namespace {

std::atomic<long> g_left;
std::atomic<long> g_ok{0};
std::atomic<long> g_other{0};
std::atomic<long> g_broken{0};

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
