#include "access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "byte_escape.h"
#include "error_log.h"

namespace {

std::string Escape(const std::string& text) { return EscapeBytes(text, EscapeSet::kLogField); }

std::string OrDash(const std::string& text) { return text.empty() ? "-" : Escape(text); }

int OpenAppend(const std::string& path) {
  return open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
}

}  // namespace

std::string FormatAccessLogLine(const AccessLogEntry& entry) {
  char stamp[64];
  struct tm local;
  localtime_r(&entry.time, &local);
  strftime(stamp, sizeof stamp, "%d/%b/%Y:%H:%M:%S %z", &local);
  // A connection closed before a request line was read has none to show.
  std::string request_line = entry.method.empty() ? "-"
                                                  : Escape(entry.method) + " " +
                                                        Escape(entry.target) + " " +
                                                        Escape(entry.version);
  std::string line = OrDash(entry.remote_addr) + " - " + OrDash(entry.user) + " [" + stamp +
                     "] \"" + request_line + "\" " + std::to_string(entry.status) + " " +
                     (entry.bytes == 0 ? "-" : std::to_string(entry.bytes)) + " \"" +
                     OrDash(entry.referer) + "\" \"" + OrDash(entry.user_agent) + "\"\n";
  return line;
}

constexpr std::chrono::milliseconds AccessLog::kFlushDelay;
constexpr size_t AccessLog::kFlushBytes;

AccessLog::AccessLog() : flusher_([this] { FlushLoop(); }) {}

AccessLog::~AccessLog() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopping_ = true;
  }
  wake_.notify_one();
  flusher_.join();
  Flush();
  if (fd_ > 2) close(fd_);
}

bool AccessLog::Open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(write_mu_);
  if (path.empty() || path == "-") {
    WritePending();
    if (fd_ > 2) close(fd_);
    path_.clear();
    fd_ = 2;
    return true;
  }
  int fd = OpenAppend(path);
  if (fd < 0) {
    *error = "cannot open access log " + path + ": " + strerror(errno);
    return false;
  }
  WritePending();
  if (fd_ > 2) close(fd_);
  fd_ = fd;
  path_ = path;
  return true;
}

void AccessLog::Reopen() {
  std::lock_guard<std::mutex> lock(write_mu_);
  if (path_.empty()) return;
  WritePending();
  int fd = OpenAppend(path_);
  if (fd < 0) {
    LogError("cannot reopen access log %s: %s; still writing to the old file", path_.c_str(),
             strerror(errno));
    return;
  }
  close(fd_);
  fd_ = fd;
}

void AccessLog::Write(const AccessLogEntry& entry) {
  std::string line = FormatAccessLogLine(entry);
  bool first;
  bool full;
  {
    std::lock_guard<std::mutex> lock(mu_);
    first = pending_.empty();
    pending_ += line;
    full = pending_.size() >= kFlushBytes;
  }
  if (full) {
    Flush();
  } else if (first) {
    wake_.notify_one();
  }
}

void AccessLog::Flush() {
  std::lock_guard<std::mutex> lock(write_mu_);
  WritePending();
}

void AccessLog::WritePending() {
  std::string batch;
  {
    std::lock_guard<std::mutex> lock(mu_);
    batch.swap(pending_);
  }
  size_t done = 0;
  while (done < batch.size()) {
    ssize_t written = write(fd_, batch.data() + done, batch.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // Said once per run of failures, not once per batch.
      if (!failing_) {
        LogError("cannot write the access log %s: %s; lines are lost",
                 path_.empty() ? "(stderr)" : path_.c_str(),
                 written < 0 ? strerror(errno) : "nothing written");
      }
      failing_ = true;
      return;
    }
    done += static_cast<size_t>(written);
  }
  failing_ = false;
}

void AccessLog::FlushLoop() {
  std::unique_lock<std::mutex> lock(mu_);
  while (true) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    // Let the lines of the next moments join this batch.
    wake_.wait_for(lock, kFlushDelay, [this] { return stopping_; });
    lock.unlock();
    Flush();
    lock.lock();
  }
}
