// The plug-ins loaded so far, keyed by real path. A plug-in is loaded on its
// first request and kept until the server stops. A file that fails to load
// is remembered with its reason until the file changes (modification time,
// size or inode), so a broken plug-in costs one dlopen, not one per request,
// and a mended one is picked up without a restart. Thread-safe.
#ifndef HOST_PLUGIN_CACHE_H_
#define HOST_PLUGIN_CACHE_H_

#include <sys/types.h>
#include <time.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "tvx_library.h"

class PluginCache {
 public:
  PluginCache() = default;

  // The loaded plug-in at `real_path`, or nullptr with dlerror's reason (or
  // the missing fnTvx) in *error. *fresh_failure is true when this call
  // tried to load and failed, false when the failure was remembered.
  std::shared_ptr<const TvxLibrary> Get(const std::string& real_path, std::string* error,
                                        bool* fresh_failure);

  // Unloads every plug-in. REQUIRES: no call is running.
  void Clear();

 private:
  PluginCache(const PluginCache&) = delete;
  PluginCache& operator=(const PluginCache&) = delete;

  struct Entry {
    std::shared_ptr<const TvxLibrary> library;
    std::string error;
    struct timespec mtime = {0, 0};
    off_t size = -1;
    ino_t inode = 0;
  };

  std::mutex mu_;
  std::map<std::string, Entry> entries_;
};

#endif  // HOST_PLUGIN_CACHE_H_
