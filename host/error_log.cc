#include "error_log.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <string>

void LogError(const char* format, ...) {
  char stamp[64];
  time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);

  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);

  std::string line = std::string("[") + stamp + "] tvxhost: " + message + "\n";
  // One write per line: stderr is shared by every worker thread.
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}
