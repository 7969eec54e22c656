// What the HTTP benchmark tools share: a blocking loopback connection and
// one whole answer read from it.
#ifndef BENCH_HTTP_CLIENT_H_
#define BENCH_HTTP_CLIENT_H_

#include <string>

// A socket connected to 127.0.0.1:port (TCP_NODELAY, 10 s receive timeout)
// from `source` (an address of 127.0.0.0/8; empty: any), or -1.
int Connect(int port, const std::string& source = std::string());

// Sends every byte; false when the connection fails.
bool SendAll(int fd, const std::string& bytes);

// Reads one response (head, then as many body bytes as Content-Length says);
// bytes past it stay in *pending. Returns the status, or -1.
int ReadResponse(int fd, std::string* pending);

#endif  // BENCH_HTTP_CLIENT_H_
