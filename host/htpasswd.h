// An htpasswd file in the Apache format ("user:hash" per line), checked
// against HTTP Basic credentials. Only hashes that are slow to attack are
// accepted: bcrypt ($2y$, $2b$, $2a$) and SHA-crypt ($5$, $6$); a line with
// another kind (MD5 $apr1$, {SHA}, DES crypt, plain text) is logged and never
// matches. The file is read again when it changes on disk.
#ifndef HOST_HTPASSWD_H_
#define HOST_HTPASSWD_H_

#include <sys/types.h>
#include <time.h>

#include <map>
#include <mutex>
#include <string>

class Htpasswd {
 public:
  explicit Htpasswd(std::string path);

  // Reads the file now. False with the reason in *error when it cannot be
  // read; lines with unsupported hashes are logged, not errors.
  bool Load(std::string* error);

  // True when the user is listed with a supported hash that the password
  // matches. Re-reads the file first if its modification time, size or inode
  // changed; if it has become unreadable every check fails (and is logged).
  bool Verify(const std::string& user, const std::string& password);

  const std::string& path() const { return path_; }

  // True for the hash kinds accepted above.
  static bool IsSupportedHash(const std::string& hash);
  // Hashes the password with the hash's own setting (libxcrypt) and compares
  // the result with the hash in constant time.
  static bool CheckPassword(const std::string& password, const std::string& hash);

 private:
  Htpasswd(const Htpasswd&) = delete;
  Htpasswd& operator=(const Htpasswd&) = delete;

  bool LoadLocked(std::string* error);  // REQUIRES: mu_ held

  const std::string path_;
  std::mutex mu_;
  std::map<std::string, std::string> users_;  // user -> supported hash
  bool loaded_ = false;
  struct timespec mtime_ = {0, 0};
  off_t size_ = -1;
  ino_t inode_ = 0;
};

// Equal length and equal bytes, in time that depends only on the length.
bool ConstantTimeEquals(const std::string& a, const std::string& b);

#endif  // HOST_HTPASSWD_H_
