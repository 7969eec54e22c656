// The access log: one line per answered request in the combined format
//   addr - user [time] "request line" status bytes "referer" "user agent"
// written with one write() under a lock, so lines never interleave and each
// is on disk (or stderr) as soon as the request is answered. Quotes,
// backslashes, control bytes and bytes from 0x80 up are written as \xHH.
#ifndef HOST_ACCESS_LOG_H_
#define HOST_ACCESS_LOG_H_

#include <time.h>

#include <mutex>
#include <string>

struct AccessLogEntry {
  std::string remote_addr;
  std::string user;  // empty: "-"
  time_t time = 0;
  std::string method;
  std::string target;  // as sent
  std::string version;
  int status = 0;
  size_t bytes = 0;  // body bytes sent; 0: "-"
  std::string referer;
  std::string user_agent;
};

// The line for one entry, with its newline.
std::string FormatAccessLogLine(const AccessLogEntry& entry);

class AccessLog {
 public:
  AccessLog() = default;
  ~AccessLog();

  // "-" or empty: stderr; else the file, created if needed and appended to.
  // False with the reason in *error when the file cannot be opened.
  bool Open(const std::string& path, std::string* error);
  // Opens the file again (after a log rotation moved it away). Keeps the old
  // file when that fails and says so on stderr.
  void Reopen();

  void Write(const AccessLogEntry& entry);

 private:
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  std::mutex mu_;
  std::string path_;
  int fd_ = 2;
};

#endif  // HOST_ACCESS_LOG_H_
