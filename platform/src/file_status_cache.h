// Which files are known to be missing, so that a plug-in that looks for an
// optional file on every request (a board's templates) does not pay for a
// failed open and a stat each time.
#ifndef CEPLATFORM_FILE_STATUS_CACHE_H_
#define CEPLATFORM_FILE_STATUS_CACHE_H_

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace ceplatform {

// Remembers absolute paths whose name was found missing in an existing
// folder, and keeps that knowledge exact with inotify: every folder from the
// root down to the file's own folder is watched, and the queue of events is
// read before each lookup. Any event at all (a file added, removed, renamed
// or its attributes changed, in that folder or on the way to it, or a folder
// moved or removed, or a lost event) forgets everything remembered, so a file
// the owner adds is opened by the next lookup after the call that added it
// returned.
//
// Only plain absolute paths are remembered (no "." or ".." components, no
// empty ones): those name the same file whatever the working folder. When
// inotify is not available, or a folder cannot be watched, nothing is
// remembered and every lookup reports "not known missing".
//
// Thread-safe. A child process made by fork starts with an empty cache and
// its own inotify instance, so that it never reads its parent's events.
class FileStatusCache {
 public:
  // The process-wide cache.
  static FileStatusCache& Instance();

  // True when `path` is known to be missing: no name `path` exists and its
  // folder does, as when it was recorded, and nothing has changed since.
  bool KnownMissing(const std::string& path);

  // Called after an open of `path` failed because the name does not exist in
  // an existing folder. The cache checks that itself (lstat, so a link whose
  // target is missing is not taken for a missing name) and remembers the
  // path only when it can watch every folder on the way.
  void NoteMissing(const std::string& path);

  // Forgets everything and drops the watches (for tests, and after fork).
  void Reset();

  FileStatusCache(const FileStatusCache&) = delete;
  FileStatusCache& operator=(const FileStatusCache&) = delete;

 private:
  // A bound on what the cache holds: beyond it nothing new is remembered
  // until an event clears the cache.
  static constexpr size_t kMaxPaths = 256;
  static constexpr size_t kMaxWatches = 128;

  FileStatusCache() = default;
  ~FileStatusCache();

  // Reads every queued event; any event forgets the remembered paths.
  // REQUIRES: mutex_ held.
  void DrainLocked();
  // Watches `folder`; false when it cannot. REQUIRES: mutex_ held.
  bool WatchLocked(const std::string& folder);
  void ResetLocked();
  static void AfterForkInChild();

  std::mutex mutex_;
  int inotify_ = -1;
  bool unavailable_ = false;
  std::unordered_map<std::string, int> watches_;  // folder -> watch descriptor
  std::unordered_set<std::string> missing_;
};

}  // namespace ceplatform

#endif  // CEPLATFORM_FILE_STATUS_CACHE_H_
