#include "htpasswd.h"

#include <crypt.h>
#include <sys/stat.h>

#include <fstream>
#include <memory>

#include "error_log.h"

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// A bcrypt hash of a random password, compared against when the user is
// unknown so that an unknown user takes as long as a wrong password.
const std::string& DummyHash() {
  static const std::string hash = [] {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn("$2b$", 5, nullptr, 0, setting, sizeof setting) == nullptr) {
      return std::string();
    }
    auto data = std::make_unique<struct crypt_data>();
    const char* hashed = crypt_rn("unused password", setting, data.get(), sizeof *data);
    return hashed != nullptr ? std::string(hashed) : std::string();
  }();
  return hash;
}

}  // namespace

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  volatile unsigned char difference = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

Htpasswd::Htpasswd(std::string path) : path_(std::move(path)) {}

bool Htpasswd::IsSupportedHash(const std::string& hash) {
  return StartsWith(hash, "$2y$") || StartsWith(hash, "$2b$") || StartsWith(hash, "$2a$") ||
         StartsWith(hash, "$5$") || StartsWith(hash, "$6$");
}

bool Htpasswd::CheckPassword(const std::string& password, const std::string& hash) {
  if (!IsSupportedHash(hash) || password.find('\0') != std::string::npos) return false;
  // crypt_data is large (tens of KiB): keep it off the worker's stack.
  auto data = std::make_unique<struct crypt_data>();
  const char* computed = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
  if (computed == nullptr) return false;
  return ConstantTimeEquals(computed, hash);
}

bool Htpasswd::Load(std::string* error) {
  std::lock_guard<std::mutex> lock(mu_);
  return LoadLocked(error);
}

bool Htpasswd::LoadLocked(std::string* error) {
  struct stat info;
  if (stat(path_.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "cannot read htpasswd file " + path_ + ": not a readable file";
    return false;
  }
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    *error = "cannot open htpasswd file " + path_;
    return false;
  }
  std::map<std::string, std::string> users;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      LogError("%s:%d: not a user:hash line; ignored", path_.c_str(), number);
      continue;
    }
    std::string user = line.substr(0, colon);
    std::string hash = line.substr(colon + 1);
    if (!IsSupportedHash(hash)) {
      LogError("%s:%d: user '%s' has a hash kind that is not accepted (only bcrypt "
               "$2y$/$2b$ and SHA-crypt $5$/$6$); this user cannot log in",
               path_.c_str(), number, user.c_str());
      continue;
    }
    users.emplace(user, hash);  // the first line of a user wins, as in Apache
  }
  if (in.bad()) {
    *error = "error reading htpasswd file " + path_;
    return false;
  }
  users_.swap(users);
  loaded_ = true;
  mtime_ = info.st_mtim;
  size_ = info.st_size;
  inode_ = info.st_ino;
  return true;
}

bool Htpasswd::Verify(const std::string& user, const std::string& password) {
  std::string hash;
  {
    std::lock_guard<std::mutex> lock(mu_);
    struct stat info;
    bool changed = stat(path_.c_str(), &info) != 0 || info.st_mtim.tv_sec != mtime_.tv_sec ||
                   info.st_mtim.tv_nsec != mtime_.tv_nsec || info.st_size != size_ ||
                   info.st_ino != inode_;
    if (changed || !loaded_) {
      std::string error;
      if (!LoadLocked(&error)) {
        LogError("%s; refusing every login it guards", error.c_str());
        users_.clear();
        loaded_ = false;
        return false;
      }
    }
    auto found = users_.find(user);
    if (found != users_.end()) hash = found->second;
  }
  if (hash.empty()) {
    if (!DummyHash().empty()) CheckPassword(password, DummyHash());
    return false;
  }
  return CheckPassword(password, hash);
}
