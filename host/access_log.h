// The access log: one line per answered request in the combined format
//   addr - user [time] "request line" status bytes "referer" "user agent"
// Lines gather in memory and go out together, whole and in order, at most
// kFlushDelay after the first of them (sooner when kFlushBytes gather), so a
// busy server makes one write() per batch instead of one per request. Flush()
// and the destructor write out what is left: a clean stop loses no line.
// Quotes, backslashes, control bytes and bytes from 0x80 up are written as
// \xHH.
#ifndef HOST_ACCESS_LOG_H_
#define HOST_ACCESS_LOG_H_

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

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
  static constexpr std::chrono::milliseconds kFlushDelay{20};
  static constexpr size_t kFlushBytes = 64 * 1024;

  AccessLog();
  // Writes out the lines not yet written.
  ~AccessLog();

  // "-" or empty: stderr; else the file, created if needed and appended to.
  // False with the reason in *error when the file cannot be opened.
  bool Open(const std::string& path, std::string* error);
  // Opens the file again (after a log rotation moved it away). Keeps the old
  // file when that fails and says so on stderr. Lines written before go to
  // the old file.
  void Reopen();

  // Adds the line for `entry`; it reaches the file within kFlushDelay.
  void Write(const AccessLogEntry& entry);
  // Writes out every line added so far before returning.
  void Flush();

 private:
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;

  void FlushLoop();
  // REQUIRES: write_mu_ held.
  void WritePending();

  // Held while a batch is written and while the file changes, so batches
  // reach the file in the order they were taken. Taken before mu_.
  std::mutex write_mu_;
  std::string path_;  // guarded by write_mu_
  int fd_ = 2;        // guarded by write_mu_
  bool failing_ = false;  // guarded by write_mu_: the last write failed

  std::mutex mu_;  // guards pending_ and stopping_
  std::condition_variable wake_;
  std::string pending_;
  bool stopping_ = false;
  std::thread flusher_;
};

#endif  // HOST_ACCESS_LOG_H_
