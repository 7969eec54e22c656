// with_postgres PROGRAM [ARGS...]: runs a test program once with every store
// it names by a file standing for a schema of its own on a PostgreSQL server
// started for the run (CEPLATFORM_TEST_STORE), and stops the server after.
// Exits with the program's status; 2 when the server cannot start.
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "ceplatform.h"
#include "pg_server.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: with_postgres PROGRAM [ARGS...]\n");
    return 2;
  }
  corkwall::testing::PgServer server;
  std::string error;
  if (!server.Start(false, &error)) {
    fprintf(stderr, "with_postgres: %s\n", error.c_str());
    return 2;
  }
  setenv(CEPLATFORM_TEST_STORE_ENV, server.Uri().c_str(), 1);
  fprintf(stderr, "with_postgres: stores on %s\n", server.Uri().c_str());
  pid_t child = fork();
  if (child == 0) {
    execv(argv[1], argv + 1);
    perror(argv[1]);
    _exit(127);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) status = 2 << 8;
  server.Stop();
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}
