// Sockets passed as systemd passes them: which are taken, under what names,
// and what is refused.
#include "inherited_sockets.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TEST(InheritedSocketsTest, ListenFdsAreReadForThisProcessOnly) {
  const pid_t self = 4242;
  struct Case {
    const char* fds;
    const char* pid;
    const char* names;
    bool ok;
    std::vector<std::string> taken;  // names, from descriptor 3 on
  } cases[] = {
      {nullptr, nullptr, nullptr, true, {}},
      {"1", "4242", nullptr, true, {"unknown"}},
      {"2", "4242", "http:metrics", true, {"http", "metrics"}},
      {"3", "4242", "http::x:extra", true, {"http", "unknown", "x"}},
      {"2", "4242", "http", true, {"http", "unknown"}},
      {"1", "1", "http", true, {}},  // meant for another process
      {"1", nullptr, nullptr, false, {}},
      {"0", "4242", nullptr, false, {}},
      {"65", "4242", nullptr, false, {}},
      {"two", "4242", nullptr, false, {}},
      {"1", "42x", nullptr, false, {}},
      {"", "4242", nullptr, false, {}},
  };
  for (const Case& c : cases) {
    std::vector<InheritedSocket> sockets = {{99, "stale"}};
    std::string error;
    std::string label = std::string(c.fds ? c.fds : "(unset)") + "/" + (c.pid ? c.pid : "(unset)");
    EXPECT_EQ(c.ok, ParseListenFds(c.fds, c.pid, c.names, self, &sockets, &error)) << label;
    EXPECT_EQ(c.ok, error.empty()) << label << ": " << error;
    ASSERT_EQ(c.taken.size(), sockets.size()) << label;
    for (size_t i = 0; i < sockets.size(); ++i) {
      EXPECT_EQ(kFirstListenFd + static_cast<int>(i), sockets[i].fd);
      EXPECT_EQ(c.taken[i], sockets[i].name) << label;
    }
  }
}

TEST(InheritedSocketsTest, OnlyAListeningStreamSocketCounts) {
  int listening = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address));
  int bound_only = dup(listening);
  int datagram = socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_FALSE(IsListeningStream(listening));  // bound, not yet listening
  ASSERT_EQ(0, listen(listening, 4));
  EXPECT_TRUE(IsListeningStream(listening));
  EXPECT_FALSE(IsListeningStream(datagram));
  EXPECT_FALSE(IsListeningStream(0 + 1000));  // not open

  socklen_t size = sizeof address;
  getsockname(listening, reinterpret_cast<sockaddr*>(&address), &size);
  EXPECT_EQ("127.0.0.1:" + std::to_string(ntohs(address.sin_port)), SocketAddressText(listening));
  int six = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 address6 = {};
  address6.sin6_family = AF_INET6;
  address6.sin6_addr = in6addr_loopback;
  if (bind(six, reinterpret_cast<sockaddr*>(&address6), sizeof address6) == 0) {
    size = sizeof address6;
    getsockname(six, reinterpret_cast<sockaddr*>(&address6), &size);
    EXPECT_EQ("[::1]:" + std::to_string(ntohs(address6.sin6_port)), SocketAddressText(six));
  }
  EXPECT_EQ("", SocketAddressText(1000));
  for (int fd : {listening, bound_only, datagram, six}) close(fd);
}

}  // namespace
