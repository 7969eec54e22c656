#include "file_status_cache.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace ceplatform {
namespace {

// Everything that can make a missing name appear, or make a folder on the
// way stand for another one. Contents written to an existing file do not
// matter here: existing files are opened and read afresh on every lookup.
constexpr uint32_t kWatchMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                                IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;

// An absolute path without empty, "." or ".." components, and not ending in
// '/': such a path names one file whatever the working folder is.
bool IsPlainAbsolute(const std::string& path) {
  if (path.size() < 2 || path[0] != '/' || path.back() == '/') return false;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    std::string component = path.substr(start, end - start);
    if (component.empty() || component == "." || component == "..") return false;
    start = end + 1;
  }
  return true;
}

// The folder itself when no link is on the way to it (realpath gives it
// back unchanged): a link could later point elsewhere without an event on
// any folder the cache watches.
bool IsRealFolder(const std::string& folder) {
  char* real = realpath(folder.c_str(), nullptr);
  if (real == nullptr) return false;
  bool same = folder == real;
  free(real);
  return same;
}

}  // namespace

FileStatusCache& FileStatusCache::Instance() {
  // Never destroyed: lookups may run in threads that outlive static
  // destructors.
  static FileStatusCache* cache = [] {
    FileStatusCache* made = new FileStatusCache;
    pthread_atfork([] { Instance().mutex_.lock(); }, [] { Instance().mutex_.unlock(); },
                   &FileStatusCache::AfterForkInChild);
    return made;
  }();
  return *cache;
}

FileStatusCache::~FileStatusCache() {
  if (inotify_ >= 0) close(inotify_);
}

void FileStatusCache::AfterForkInChild() {
  FileStatusCache& cache = Instance();
  cache.mutex_.unlock();
  // The inotify instance is shared with the parent: reading it here would
  // take events the parent needs.
  std::lock_guard<std::mutex> lock(cache.mutex_);
  cache.ResetLocked();
}

void FileStatusCache::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  ResetLocked();
  unavailable_ = false;
}

void FileStatusCache::ResetLocked() {
  if (inotify_ >= 0) close(inotify_);
  inotify_ = -1;
  watches_.clear();
  missing_.clear();
}

bool FileStatusCache::KnownMissing(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (missing_.empty()) return false;
  DrainLocked();
  return missing_.count(path) != 0;
}

void FileStatusCache::DrainLocked() {
  if (inotify_ < 0) return;
  alignas(struct inotify_event) char events[4096];
  for (;;) {
    ssize_t n = read(inotify_, events, sizeof(events));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;
    if (n <= 0) {
      // The queue cannot be read: nothing can be known any more.
      ResetLocked();
      return;
    }
    missing_.clear();
    for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= n;) {
      const struct inotify_event* event = reinterpret_cast<const struct inotify_event*>(events + at);
      if ((event->mask & IN_IGNORED) != 0) {
        // The folder is gone; its descriptor number may be given out again.
        for (auto it = watches_.begin(); it != watches_.end(); ++it) {
          if (it->second == event->wd) {
            watches_.erase(it);
            break;
          }
        }
      }
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
    }
  }
}

bool FileStatusCache::WatchLocked(const std::string& folder) {
  if (watches_.count(folder) != 0) return true;
  if (watches_.size() >= kMaxWatches) return false;
  int wd = inotify_add_watch(inotify_, folder.c_str(), kWatchMask);
  if (wd < 0) return false;
  watches_[folder] = wd;
  return true;
}

void FileStatusCache::NoteMissing(const std::string& path) {
  if (!IsPlainAbsolute(path)) return;
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unavailable_ || missing_.size() >= kMaxPaths) return;
    if (inotify_ < 0) {
      inotify_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (inotify_ < 0) {
        unavailable_ = true;
        return;
      }
    }
    size_t last = path.find_last_of('/');
    std::string folder = last == 0 ? "/" : path.substr(0, last);
    if (!IsRealFolder(folder)) return;
    // Every folder on the way is watched before the name is checked, so a
    // change after the check is always among the events read next time.
    for (size_t slash = 0; slash != std::string::npos && slash <= last;
         slash = path.find('/', slash + 1)) {
      if (!WatchLocked(slash == 0 ? "/" : path.substr(0, slash))) return;
    }
    DrainLocked();
    if (inotify_ < 0) return;
    struct stat info;
    if (lstat(path.c_str(), &info) == 0 || errno != ENOENT) return;
    missing_.insert(path);
  } catch (const std::bad_alloc&) {
    // Nothing remembered: the next lookup opens the file again.
  }
}

}  // namespace ceplatform
