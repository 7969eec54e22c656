// DenyList: client addresses that get 403 for everything (--deny-file FILE).
//
// The file holds one address or network per line ("203.0.113.7",
// "198.51.100.0/24", "2001:db8::/32"); '#' starts a comment, also after an
// address; blank lines and surrounding spaces are ignored.
//
// A bad line is treated differently at start and while running:
//  - Load (at start) fails on any bad line, naming each with its line
//    number: a typo would otherwise leave an address the owner means to
//    shut out free to come in, and at start the owner is there to fix it.
//  - When the file changes while the server runs, it is read again at the
//    next check; a bad line is then logged with its line number and skipped,
//    and the other lines take effect, so that one typo neither stops the
//    server nor lifts the rest of the list. A file that cannot be read keeps
//    the list as it was (logged), so a file being replaced never opens the
//    door for a moment.
//
// Changes are noticed as the htpasswd files notice theirs (modification
// time, size, inode), looked at no more than once a second. Thread-safe.
//
// The server makes one from --deny-file and Loads it before it listens (a
// false result stops the start with the error); then, for every request,
// once the client's address is resolved and before anything else, a client
// that Denies() says is listed gets 403, with a line in the error log.
#ifndef HOST_GUARD_DENY_LIST_H_
#define HOST_GUARD_DENY_LIST_H_

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "address_range.h"

// One line that is not an address or network.
struct DenyLineError {
  int line = 0;      // from 1
  std::string text;  // the line without its comment, trimmed
};

// Parses the text of a deny file into its networks; bad lines go to *bad.
void ParseDenyText(const std::string& text, std::vector<AddressRange>* ranges,
                   std::vector<DenyLineError>* bad);

class DenyList {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  using Log = std::function<void(const std::string& line)>;

  // `log` receives the lines for the error log (reloads, bad lines).
  DenyList(std::string path, Log log, Clock clock = std::chrono::steady_clock::now);

  // Reads the file now. False with *error when it cannot be read or holds a
  // bad line ("FILE:LINE: 'TEXT' is not an address or network", one per bad
  // line, joined by "; "); the list is then unchanged.
  bool Load(std::string* error);

  // True when `address` (as REMOTE_ADDR shows it, after trusted proxies) is
  // in a listed network. Reads the file again first when it has changed.
  bool Denies(const std::string& address);

  // Networks in force.
  size_t size() const;
  const std::string& path() const { return path_; }

 private:
  DenyList(const DenyList&) = delete;
  DenyList& operator=(const DenyList&) = delete;

  struct FileStamp {
    struct timespec mtime = {0, 0};
    off_t size = -1;
    ino_t inode = 0;
    bool operator==(const FileStamp& other) const;
  };

  // Reads the file; false with *error when it cannot be read.
  bool ReadFile(std::string* text, FileStamp* stamp, std::string* error) const;
  void ReloadIfChanged();  // REQUIRES: mu_ held

  const std::string path_;
  const Log log_;
  const Clock clock_;

  mutable std::mutex mu_;
  std::shared_ptr<const std::vector<AddressRange>> ranges_;
  FileStamp stamp_;
  std::chrono::steady_clock::time_point next_check_;
};

#endif  // HOST_GUARD_DENY_LIST_H_
