// The server's error log: one line per event on stderr, with the local time,
// written in one call so that lines from different threads never interleave.
#ifndef HOST_ERROR_LOG_H_
#define HOST_ERROR_LOG_H_

// printf-style; the line ends with a newline added here.
void LogError(const char* format, ...) __attribute__((format(printf, 1, 2)));

#endif  // HOST_ERROR_LOG_H_
