// Listening sockets a process is given rather than opens: by systemd's
// socket activation, by systemd-socket-activate, or by a tvxhost that hands
// its sockets over on SIGUSR2 (socket_handover.h). The protocol is
// systemd's: LISTEN_FDS sockets from descriptor 3 on, LISTEN_PID the process
// they are for, LISTEN_FDNAMES their names separated by ':' (tvxhost passes
// "http" and "metrics"; an unnamed one is "unknown").
#ifndef HOST_INHERITED_SOCKETS_H_
#define HOST_INHERITED_SOCKETS_H_

#include <sys/types.h>

#include <string>
#include <vector>

// The first descriptor of a passed socket.
constexpr int kFirstListenFd = 3;

struct InheritedSocket {
  int fd = -1;
  std::string name;
};

// Reads the three variables' values (nullptr: unset) as process `self` sees
// them. True with the sockets (none when LISTEN_FDS is unset, or LISTEN_PID
// names another process) in *sockets; false with the reason when a value is
// not a number, LISTEN_PID is missing, or the count is out of range (1 to
// 64). Names missing from LISTEN_FDNAMES are "unknown".
bool ParseListenFds(const char* fds, const char* pid, const char* names, pid_t self,
                    std::vector<InheritedSocket>* sockets, std::string* error);

// Takes the sockets passed to this process and unsets the three variables,
// so that no program it starts takes them for its own. Each descriptor is
// marked close-on-exec. One that is not a listening stream socket is closed
// and left out, with a line in *problems; so are all of them when the
// variables are bad.
std::vector<InheritedSocket> TakeInheritedSockets(std::vector<std::string>* problems);

// The local address of a socket as "127.0.0.1:8080" or "[::1]:8080"; empty
// when it cannot be read.
std::string SocketAddressText(int fd);

// Whether `fd` is a stream socket that listens.
bool IsListeningStream(int fd);

#endif  // HOST_INHERITED_SOCKETS_H_
