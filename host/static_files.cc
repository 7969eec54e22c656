#include "static_files.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <utility>

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

// Whether two statuses are of the same file in the same state. The change
// time moves with every write, chmod, chown and rename of the file.
bool SameFileState(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mode == b.st_mode && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec && a.st_ctim.tv_sec == b.st_ctim.tv_sec &&
         a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool ReadWhole(int fd, size_t size, std::string* bytes) {
  bytes->assign(size, '\0');
  size_t done = 0;
  while (done < size) {
    ssize_t got = pread(fd, &(*bytes)[done], size - done, static_cast<off_t>(done));
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

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

StaticFileCache::StaticFileCache(size_t max_file_bytes, size_t max_total_bytes,
                                 time_t settle_seconds)
    : max_file_bytes_(max_file_bytes),
      max_total_bytes_(max_total_bytes),
      settle_seconds_(settle_seconds) {}

std::shared_ptr<const StaticFileCache::File> StaticFileCache::Find(const std::string& path,
                                                                   const struct stat& info) {
  std::lock_guard<std::mutex> lock(mu_);
  auto found = entries_.find(path);
  if (found == entries_.end()) return nullptr;
  if (!SameFileState(found->second.info, info)) return nullptr;
  return found->second.file;
}

void StaticFileCache::Insert(const std::string& path, const struct stat& info,
                             std::shared_ptr<const File> file) {
  size_t size = file->bytes.size();
  if (size > max_file_bytes_ || size > max_total_bytes_) return;
  // An edit within the same clock tick keeps the file's times, and one of
  // the same size would go unseen. A file untouched for a few seconds has
  // times no later edit can share.
  time_t now = time(nullptr);
  if (info.st_mtim.tv_sec + settle_seconds_ > now || info.st_ctim.tv_sec + settle_seconds_ > now) {
    return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  auto found = entries_.find(path);
  if (found != entries_.end()) {
    total_bytes_ -= found->second.file->bytes.size();
    entries_.erase(found);
  }
  while (total_bytes_ + size > max_total_bytes_ && !entries_.empty()) {
    auto victim = entries_.begin();
    total_bytes_ -= victim->second.file->bytes.size();
    entries_.erase(victim);
  }
  entries_[path] = Entry{info, std::move(file)};
  total_bytes_ += size;
}

bool ServeStaticFile(const httplib::Request& request, httplib::Response& response,
                     const std::string& real_path, const struct stat& seen,
                     StaticFileCache* cache) {
  std::shared_ptr<const StaticFileCache::File> file;
  if (cache != nullptr && S_ISREG(seen.st_mode)) file = cache->Find(real_path, seen);
  std::shared_ptr<FileHandle> handle;
  struct stat info;
  if (!file) {
    int fd = open(real_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    handle = std::make_shared<FileHandle>(fd);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (info.st_size <= kReadWholeLimit) {
      auto fresh = std::make_shared<StaticFileCache::File>();
      if (!ReadWhole(fd, static_cast<size_t>(info.st_size), &fresh->bytes)) return false;
      fresh->type = ContentTypeFor(real_path);
      fresh->last_modified = HttpDate(info.st_mtim.tv_sec);
      fresh->mtime = info.st_mtim.tv_sec;
      // Kept only when the file did not change while it was read.
      struct stat after;
      if (cache != nullptr && fstat(fd, &after) == 0 && SameFileState(info, after)) {
        cache->Insert(real_path, info, fresh);
      }
      file = std::move(fresh);
    }
  }

  time_t mtime = file ? file->mtime : info.st_mtim.tv_sec;
  response.set_header("Last-Modified", file ? file->last_modified : HttpDate(mtime));
  time_t since;
  if (request.has_header("If-Modified-Since") &&
      ParseHttpDate(request.get_header_value("If-Modified-Since"), &since) && mtime <= since) {
    response.status = 304;
    return true;
  }
  if (file) {
    response.set_content(file->bytes, file->type);
    return true;  // status left to the library: 200, or 206 for a range
  }
  response.set_content_provider(
      static_cast<size_t>(info.st_size), ContentTypeFor(real_path),
      [handle](size_t offset, size_t length, httplib::DataSink& sink) {
        char buffer[64 * 1024];
        size_t want = length < sizeof buffer ? length : sizeof buffer;
        ssize_t got = pread(handle->fd, buffer, want, static_cast<off_t>(offset));
        if (got <= 0) return false;  // the file shrank or failed: drop the connection
        return sink.write(buffer, static_cast<size_t>(got));
      });
  return true;
}
