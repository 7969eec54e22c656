#include "static_files.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>

namespace {

// Files up to this size are read at once; larger ones are streamed.
const off_t kReadWholeLimit = 256 * 1024;

std::string HttpDate(time_t when) {
  char text[64];
  struct tm utc;
  gmtime_r(&when, &utc);
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

bool ParseHttpDate(const std::string& text, time_t* when) {
  struct tm utc = {};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &utc);
  if (end == nullptr || *end != '\0') return false;
  *when = timegm(&utc);
  return true;
}

// Closes the descriptor when the last copy of the provider goes.
struct FileHandle {
  explicit FileHandle(int descriptor) : fd(descriptor) {}
  ~FileHandle() { close(fd); }
  int fd;
};

}  // namespace

std::string ContentTypeFor(const std::string& path) {
  static const struct {
    const char* extension;
    const char* type;
  } kTypes[] = {
      {"html", "text/html"},       {"htm", "text/html"},
      {"css", "text/css"},         {"js", "text/javascript"},
      {"mjs", "text/javascript"},  {"json", "application/json"},
      {"txt", "text/plain"},       {"xml", "application/xml"},
      {"svg", "image/svg+xml"},    {"png", "image/png"},
      {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},
      {"gif", "image/gif"},        {"webp", "image/webp"},
      {"ico", "image/x-icon"},     {"bmp", "image/bmp"},
      {"pdf", "application/pdf"},  {"zip", "application/zip"},
      {"woff", "font/woff"},       {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},         {"wasm", "application/wasm"},
      {"mp3", "audio/mpeg"},       {"mp4", "video/mp4"},
      {"csv", "text/csv"},         {"md", "text/markdown"},
  };
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
    std::string extension = path.substr(dot + 1);
    for (const auto& entry : kTypes) {
      if (strcasecmp(extension.c_str(), entry.extension) == 0) return entry.type;
    }
  }
  return "application/octet-stream";
}

bool ServeStaticFile(const httplib::Request& request, httplib::Response& response,
                     const std::string& real_path) {
  int fd = open(real_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  auto file = std::make_shared<FileHandle>(fd);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;

  std::string type = ContentTypeFor(real_path);
  response.set_header("Last-Modified", HttpDate(info.st_mtim.tv_sec));
  time_t since;
  if (request.has_header("If-Modified-Since") &&
      ParseHttpDate(request.get_header_value("If-Modified-Since"), &since) &&
      info.st_mtim.tv_sec <= since) {
    response.status = 304;
    return true;
  }

  size_t size = static_cast<size_t>(info.st_size);
  if (info.st_size <= kReadWholeLimit) {
    std::string bytes(size, '\0');
    size_t done = 0;
    while (done < size) {
      ssize_t got = pread(fd, &bytes[done], size - done, static_cast<off_t>(done));
      if (got <= 0) return false;
      done += static_cast<size_t>(got);
    }
    response.set_content(bytes, type);
    return true;  // status left to the library: 200, or 206 for a range
  }
  response.set_content_provider(
      size, type, [file](size_t offset, size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        size_t want = length < sizeof buffer ? length : sizeof buffer;
        ssize_t got = pread(file->fd, buffer, want, static_cast<off_t>(offset));
        if (got <= 0) return false;  // the file shrank or failed: drop the connection
        return sink.write(buffer, static_cast<size_t>(got));
      });
  return true;
}
