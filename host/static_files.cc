#include "static_files.h"

#include <fcntl.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace {

// Files up to this size are read at once; larger ones are streamed.
const off_t kReadWholeLimit = 256 * 1024;

bool ParseHttpDate(const std::string& text, time_t* when) {
  struct tm utc = {};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &utc);
  if (end == nullptr || *end != '\0') return false;
  *when = timegm(&utc);
  return true;
}

// Closes a descriptor that no answer took over.
struct FileHandle {
  explicit FileHandle(int descriptor) : fd(descriptor) {}
  ~FileHandle() {
    if (fd >= 0) close(fd);
  }
  int Release() {
    int taken = fd;
    fd = -1;
    return taken;
  }
  int fd;
};

// A decimal of at most 18 digits, nothing else.
bool ParseOffset(const std::string& text, off_t* value) {
  if (text.empty() || text.size() > 18) return false;
  off_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  return true;
}

std::string TrimSpaces(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t");
  return text.substr(begin, end + 1 - begin);
}

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

RangeChoice ChooseRange(const std::string& header, off_t size, ByteRange* range) {
  std::string text = TrimSpaces(header);
  if (text.size() < 6 || strncasecmp(text.c_str(), "bytes=", 6) != 0) return RangeChoice::kWhole;
  std::string spec = TrimSpaces(text.substr(6));
  if (spec.find(',') != std::string::npos) return RangeChoice::kWhole;  // several ranges
  size_t dash = spec.find('-');
  if (dash == std::string::npos) return RangeChoice::kWhole;
  std::string first = TrimSpaces(spec.substr(0, dash));
  std::string last = TrimSpaces(spec.substr(dash + 1));
  off_t start, end;
  if (first.empty()) {  // the last N bytes
    off_t count;
    if (!ParseOffset(last, &count)) return RangeChoice::kWhole;
    if (count == 0) return RangeChoice::kUnsatisfiable;
    if (count >= size) return RangeChoice::kWhole;
    start = size - count;
    end = size - 1;
  } else {
    if (!ParseOffset(first, &start)) return RangeChoice::kWhole;
    if (last.empty()) {
      end = size - 1;
    } else if (!ParseOffset(last, &end) || end < start) {
      return RangeChoice::kWhole;
    }
    if (start >= size) return RangeChoice::kUnsatisfiable;
    if (end >= size) end = size - 1;
  }
  if (start == 0 && end == size - 1) return RangeChoice::kWhole;
  range->start = start;
  range->length = end - start + 1;
  return RangeChoice::kPart;
}

bool ServeStaticFile(const HttpRequest& request, HttpAnswer* answer,
                     const std::string& real_path, const struct stat& seen,
                     StaticFileCache* cache) {
  std::shared_ptr<const StaticFileCache::File> file;
  if (cache != nullptr && S_ISREG(seen.st_mode)) file = cache->Find(real_path, seen);
  FileHandle handle(-1);
  struct stat info;
  if (!file) {
    handle.fd = open(real_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (handle.fd < 0) return false;
    if (fstat(handle.fd, &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (info.st_size <= kReadWholeLimit) {
      auto fresh = std::make_shared<StaticFileCache::File>();
      if (!ReadWhole(handle.fd, static_cast<size_t>(info.st_size), &fresh->bytes)) return false;
      fresh->type = ContentTypeFor(real_path);
      fresh->last_modified = HttpDate(info.st_mtim.tv_sec);
      fresh->mtime = info.st_mtim.tv_sec;
      // Kept only when the file did not change while it was read.
      struct stat after;
      if (cache != nullptr && fstat(handle.fd, &after) == 0 && SameFileState(info, after)) {
        cache->Insert(real_path, info, fresh);
      }
      file = std::move(fresh);
    }
  }

  time_t mtime = file ? file->mtime : info.st_mtim.tv_sec;
  off_t size = file ? static_cast<off_t>(file->bytes.size()) : info.st_size;
  answer->status = 200;
  answer->headers.Set("Content-Type", file ? file->type : ContentTypeFor(real_path));
  answer->headers.Set("Last-Modified", file ? file->last_modified : HttpDate(mtime));
  answer->headers.Set("Accept-Ranges", "bytes");
  time_t since;
  const HttpHeaders::Field* modified_since = request.headers.Find("If-Modified-Since");
  if (modified_since != nullptr && ParseHttpDate(modified_since->value, &since) &&
      mtime <= since) {
    answer->Refuse(304);
    return true;
  }
  ByteRange range;
  range.length = size;
  const HttpHeaders::Field* asked = request.headers.Find("Range");
  if (asked != nullptr && request.method == "GET") {
    switch (ChooseRange(asked->value, size, &range)) {
      case RangeChoice::kWhole:
        range = ByteRange{0, size};
        break;
      case RangeChoice::kPart:
        answer->status = 206;
        answer->headers.Set("Content-Range", "bytes " + std::to_string(range.start) + "-" +
                                                 std::to_string(range.start + range.length - 1) +
                                                 "/" + std::to_string(size));
        break;
      case RangeChoice::kUnsatisfiable:
        answer->Refuse(416);
        answer->headers.Set("Content-Range", "bytes */" + std::to_string(size));
        return true;
    }
  }
  if (file) {
    if (answer->status == 206) {
      answer->body = file->bytes.substr(static_cast<size_t>(range.start),
                                        static_cast<size_t>(range.length));
    } else {
      answer->shared = std::shared_ptr<const std::string>(file, &file->bytes);
    }
    return true;
  }
  answer->file = std::make_shared<FileBody>(handle.Release(), range.start, range.length);
  return true;
}
