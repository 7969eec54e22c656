// idle_hold: holds COUNT keep-alive connections idle on a server on
// loopback, each after one GET of IDLE_PATH, and meanwhile times fresh GETs
// of FRESH_PATH, each on a new connection. The servers' resident memory (the
// processes PID...) is read before the connections open and once they are
// all idle. The connections come from many addresses of 127.0.0.0/8, fifty
// to each, so that a limit per client address does not refuse them.
// Prints "<connections held> <VmRSS before, KiB> <VmRSS idle, KiB>
// <median ms> <slowest ms> <fresh GETs answered 200> <fresh GETs>".
//
// Usage: idle_hold PORT IDLE_PATH FRESH_PATH COUNT FRESH PID...
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http_client.h"

namespace {

using Clock = std::chrono::steady_clock;

long RssKib(const std::vector<int>& pids) {
  long total = 0;
  for (int pid : pids) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.compare(0, 6, "VmRSS:") == 0) total += atol(line.c_str() + 6);
    }
  }
  return total;
}

std::string SourceFor(int index) {
  int n = index / 50;
  return "127.1." + std::to_string(n / 250) + "." + std::to_string(n % 250 + 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 7) {
    fprintf(stderr, "usage: idle_hold PORT IDLE_PATH FRESH_PATH COUNT FRESH PID...\n");
    return 2;
  }
  int port = atoi(argv[1]);
  std::string idle_path = argv[2], fresh_path = argv[3];
  int count = atoi(argv[4]);
  int fresh = atoi(argv[5]);
  std::vector<int> pids;
  for (int i = 6; i < argc; ++i) pids.push_back(atoi(argv[i]));
  if (port <= 0 || count <= 0 || fresh <= 0 || idle_path[0] != '/' || fresh_path[0] != '/') {
    fprintf(stderr, "idle_hold: bad arguments\n");
    return 2;
  }
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }

  long before = RssKib(pids);
  std::string idle_request =
      "GET " + idle_path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: idle_hold\r\n\r\n";
  std::vector<int> held;
  for (int i = 0; i < count; ++i) {
    int fd = Connect(port, SourceFor(i));
    std::string pending;
    if (fd < 0) break;
    if (!SendAll(fd, idle_request) || ReadResponse(fd, &pending) != 200) {
      close(fd);
      break;
    }
    held.push_back(fd);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  long idle = RssKib(pids);

  std::string fresh_request = "GET " + fresh_path +
                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                              "User-Agent: idle_hold\r\n\r\n";
  std::vector<double> times;
  int ok = 0;
  for (int i = 0; i < fresh; ++i) {
    Clock::time_point start = Clock::now();
    int fd = Connect(port);
    std::string pending;
    int status = fd >= 0 && SendAll(fd, fresh_request) ? ReadResponse(fd, &pending) : -1;
    times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (fd >= 0) close(fd);
    ok += status == 200 ? 1 : 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::sort(times.begin(), times.end());
  // Still held: none of them was dropped while the fresh GETs were timed.
  size_t still = 0;
  for (int fd : held) {
    char byte;
    ssize_t got = recv(fd, &byte, 1, MSG_DONTWAIT);
    still += got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? 1 : 0;
    close(fd);
  }
  printf("%zu %ld %ld %.2f %.2f %d %d\n", still, before, idle, times[times.size() / 2],
         times.back(), ok, fresh);
  return 0;
}
