#include "inherited_sockets.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kMaxListenFds = 64;

bool ParseCount(const char* text, long long high, long long* value) {
  if (text == nullptr || *text == '\0') return false;
  long long result = 0;
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return false;
    result = result * 10 + (*c - '0');
    if (result > high) return false;
  }
  *value = result;
  return true;
}

}  // namespace

bool ParseListenFds(const char* fds, const char* pid, const char* names, pid_t self,
                    std::vector<InheritedSocket>* sockets, std::string* error) {
  sockets->clear();
  if (fds == nullptr) return true;
  long long owner = 0;
  if (pid == nullptr) {
    *error = "LISTEN_FDS is set without LISTEN_PID";
    return false;
  }
  if (!ParseCount(pid, 0x7fffffff, &owner)) {
    *error = "LISTEN_PID is not a process id: '" + std::string(pid) + "'";
    return false;
  }
  // Passed to another process (our parent, say) and left in the environment.
  if (owner != self) return true;
  long long count = 0;
  if (!ParseCount(fds, kMaxListenFds, &count) || count < 1) {
    *error = "LISTEN_FDS is not a count from 1 to " + std::to_string(kMaxListenFds) + ": '" +
             fds + "'";
    return false;
  }
  std::vector<std::string> split;
  if (names != nullptr) {
    std::string all = names;
    size_t start = 0;
    while (true) {
      size_t colon = all.find(':', start);
      split.push_back(all.substr(start, colon == std::string::npos ? colon : colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (int i = 0; i < count; ++i) {
    InheritedSocket socket;
    socket.fd = kFirstListenFd + i;
    socket.name = static_cast<size_t>(i) < split.size() && !split[i].empty() ? split[i]
                                                                             : "unknown";
    sockets->push_back(socket);
  }
  return true;
}

bool IsListeningStream(int fd) {
  int type = 0, listening = 0;
  socklen_t size = sizeof type;
  if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0 || type != SOCK_STREAM) {
    return false;
  }
  size = sizeof listening;
  return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening != 0;
}

std::vector<InheritedSocket> TakeInheritedSockets(std::vector<std::string>* problems) {
  std::vector<InheritedSocket> sockets, taken;
  std::string error;
  bool parsed = ParseListenFds(getenv("LISTEN_FDS"), getenv("LISTEN_PID"),
                               getenv("LISTEN_FDNAMES"), getpid(), &sockets, &error);
  unsetenv("LISTEN_FDS");
  unsetenv("LISTEN_PID");
  unsetenv("LISTEN_FDNAMES");
  if (!parsed) {
    problems->push_back("the sockets passed are not used: " + error);
    return taken;
  }
  for (const InheritedSocket& socket : sockets) {
    if (!IsListeningStream(socket.fd)) {
      problems->push_back("descriptor " + std::to_string(socket.fd) + " (" + socket.name +
                          ") passed in LISTEN_FDS is not a listening TCP socket; closed");
      close(socket.fd);
      continue;
    }
    fcntl(socket.fd, F_SETFD, FD_CLOEXEC);
    taken.push_back(socket);
  }
  return taken;
}

std::string SocketAddressText(int fd) {
  sockaddr_storage address = {};
  socklen_t size = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return "";
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(v4->sin_port));
  }
  if (address.ss_family == AF_INET6) {
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
    inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof text);
    return "[" + std::string(text) + "]:" + std::to_string(ntohs(v6->sin6_port));
  }
  return "";
}
