#include "plugin_cache.h"

#include <sys/stat.h>

std::shared_ptr<const TvxLibrary> PluginCache::Get(const std::string& real_path,
                                                   std::string* error, bool* fresh_failure) {
  *fresh_failure = false;
  std::lock_guard<std::mutex> lock(mu_);
  auto found = entries_.find(real_path);
  if (found != entries_.end() && found->second.library) return found->second.library;

  struct stat info;
  if (stat(real_path.c_str(), &info) != 0) {
    *error = real_path + ": cannot stat";
    *fresh_failure = true;
    return nullptr;
  }
  if (found != entries_.end()) {
    const Entry& old = found->second;
    if (old.mtime.tv_sec == info.st_mtim.tv_sec && old.mtime.tv_nsec == info.st_mtim.tv_nsec &&
        old.size == info.st_size && old.inode == info.st_ino) {
      *error = old.error;
      return nullptr;
    }
  }

  Entry entry;
  entry.mtime = info.st_mtim;
  entry.size = info.st_size;
  entry.inode = info.st_ino;
  std::string reason;
  std::unique_ptr<TvxLibrary> library = TvxLibrary::Open(real_path, &reason);
  if (library) {
    entry.library = std::shared_ptr<const TvxLibrary>(library.release());
  } else {
    entry.error = reason;
    *error = reason;
    *fresh_failure = true;
  }
  entries_[real_path] = entry;
  return entry.library;
}

void PluginCache::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
}
