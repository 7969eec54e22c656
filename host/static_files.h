// Plain files of the document root, sent as they are on disk.
#ifndef HOST_STATIC_FILES_H_
#define HOST_STATIC_FILES_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "http_message.h"

// The media type for a file name by its extension (letter case ignored);
// application/octet-stream for unknown ones. HTML is sent without a charset:
// the pages carry their own (Shift_JIS or UTF-8).
std::string ContentTypeFor(const std::string& path);

// The bytes of small files recently sent, so that a page asked for again is
// not opened and read again. An entry is used only while the file's status
// (device, inode, size, modification and change times) is the one it was
// read with, so an edited, replaced or re-permissioned file is read afresh.
// Files changed within the last seconds are not kept: the file system stamps
// times from a coarse clock, and an edit within the same tick would keep them. Bounded in file size and in total.
// Thread-safe.
class StaticFileCache {
 public:
  struct File {
    std::string bytes;
    std::string type;           // Content-Type
    std::string last_modified;  // HTTP date
    time_t mtime = 0;
  };

  // Files up to `max_file_bytes`, `max_total_bytes` in all, left alone for
  // `settle_seconds` before they are kept.
  explicit StaticFileCache(size_t max_file_bytes = 64 * 1024,
                           size_t max_total_bytes = 4 * 1024 * 1024, time_t settle_seconds = 2);

  // The entry for `path` when it was read from a file of status `info`;
  // nullptr otherwise.
  std::shared_ptr<const File> Find(const std::string& path, const struct stat& info);
  // Keeps `file`, read from `path` with status `info`, when it is small and
  // old enough; forgets older entries when the total would pass the bound.
  void Insert(const std::string& path, const struct stat& info, std::shared_ptr<const File> file);

 private:
  StaticFileCache(const StaticFileCache&) = delete;
  StaticFileCache& operator=(const StaticFileCache&) = delete;

  struct Entry {
    struct stat info;
    std::shared_ptr<const File> file;
  };

  const size_t max_file_bytes_;
  const size_t max_total_bytes_;
  const time_t settle_seconds_;
  std::mutex mu_;
  std::map<std::string, Entry> entries_;
  size_t total_bytes_ = 0;
};

// The part of a file of `size` bytes that a Range header asks for. Only one
// range of bytes is honoured: several ranges, overlapping ones or ones adding
// up to more than the file, a header that does not parse, and a range that
// takes the whole file are all answered with the whole file.
enum class RangeChoice { kWhole, kPart, kUnsatisfiable };
struct ByteRange {
  off_t start = 0;
  off_t length = 0;
};
// kPart with *range set; kUnsatisfiable when the one range begins past the
// end (416); kWhole otherwise, also for an empty header.
RangeChoice ChooseRange(const std::string& header, off_t size, ByteRange* range);

// Answers a GET or HEAD with the file at `real_path`: its bytes (from
// `cache` when it holds them, the part a Range asks for with 206), its type,
// Last-Modified and Accept-Ranges, or 304 when If-Modified-Since is not older
// than the file. A file too large to read at once is answered with its open
// descriptor, sent in pieces. False (answer untouched) when the file cannot
// be opened or read. `info` is the status the path resolver just saw, used
// to find the file in `cache` (which may be nullptr: every request reads it).
bool ServeStaticFile(const HttpRequest& request, HttpAnswer* answer,
                     const std::string& real_path, const struct stat& info,
                     StaticFileCache* cache);

#endif  // HOST_STATIC_FILES_H_
