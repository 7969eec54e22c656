#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

int Connect(int port, const std::string& source) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  if (!source.empty()) {
    sockaddr_in from;
    memset(&from, 0, sizeof(from));
    from.sin_family = AF_INET;
    if (inet_pton(AF_INET, source.c_str(), &from.sin_addr) != 1 ||
        bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof(from)) != 0) {
      close(fd);
      return -1;
    }
  }
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

