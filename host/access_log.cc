#include "access_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "error_log.h"

namespace {

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x7f || c == '"' || c == '\\') {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

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
  std::string line = OrDash(entry.remote_addr) + " - " + OrDash(entry.user) + " [" + stamp +
                     "] \"" + Escape(entry.method) + " " + Escape(entry.target) + " " +
                     Escape(entry.version) + "\" " + std::to_string(entry.status) + " " +
                     (entry.bytes == 0 ? "-" : std::to_string(entry.bytes)) + " \"" +
                     OrDash(entry.referer) + "\" \"" + OrDash(entry.user_agent) + "\"\n";
  return line;
}

AccessLog::~AccessLog() {
  if (fd_ > 2) close(fd_);
}

bool AccessLog::Open(const std::string& path, std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  if (path.empty() || path == "-") {
    path_.clear();
    fd_ = 2;
    return true;
  }
  int fd = OpenAppend(path);
  if (fd < 0) {
    *error = "cannot open access log " + path + ": " + strerror(errno);
    return false;
  }
  if (fd_ > 2) close(fd_);
  fd_ = fd;
  path_ = path;
  return true;
}

void AccessLog::Reopen() {
  std::lock_guard<std::mutex> lock(mu_);
  if (path_.empty()) return;
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
  std::lock_guard<std::mutex> lock(mu_);
  ssize_t written = write(fd_, line.data(), line.size());
  (void)written;
}
