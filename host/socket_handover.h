// SIGUSR2: tvxhost hands its listening sockets to a new copy of itself, as an
// upgrade of the binary wants. The old process starts the program again
// with the same arguments and its sockets passed as systemd passes them
// (inherited_sockets.h: "http" and "metrics"), plus a pipe named by
// kHandoverEnv. The new process listens on the sockets it was given, and
// once it serves it writes "READY <pid>" to the pipe. Only then does the old
// one stop accepting (HostServer::Drain), finish its requests and exit; until
// then both accept on the same sockets, so no connection is refused. A new
// process that fails or does not get ready in time is ended, and the old one
// serves on.
#ifndef HOST_SOCKET_HANDOVER_H_
#define HOST_SOCKET_HANDOVER_H_

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "inherited_sockets.h"

// The environment variable that gives the new process its ready pipe.
constexpr char kHandoverEnv[] = "TVXHOST_HANDOVER_FD";

class SocketHandover {
 public:
  // How long a new process may take to get ready.
  static constexpr std::chrono::seconds kReadyTimeout{60};

  // The program to start: the file this process was started from, by its
  // path as it is now (so that after an upgrade the new binary at that path
  // is the one started), and this process's arguments. Call it at start.
  static SocketHandover ThisProgram(int argc, const char* const* argv);
  // `program` started with `arguments` (argv[0] first).
  SocketHandover(std::string program, std::vector<std::string> arguments)
      : program_(std::move(program)), arguments_(std::move(arguments)) {}

  const std::string& program() const { return program_; }

  // Starts the new process with `sockets` (descriptor and name) and waits up
  // to `timeout` for its ready line. True with its pid in *pid. False with
  // the reason in *error; a new process that did not report ready is ended
  // (SIGTERM, SIGKILL after 5 s) and reaped. Blocks; one at a time.
  bool Start(const std::vector<InheritedSocket>& sockets, std::chrono::milliseconds timeout,
             pid_t* pid, std::string* error);

 private:
  std::string program_;
  std::vector<std::string> arguments_;  // argv[0] included
};

// In a new process: the ready pipe that kHandoverEnv names, marked
// close-on-exec, the variable unset; -1 when there is none.
int TakeHandoverPipe();

// Writes "READY <pid>\n" to the pipe and closes it. False when the old
// process could not be told (it is gone).
bool ReportHandoverReady(int fd);

#endif  // HOST_SOCKET_HANDOVER_H_
