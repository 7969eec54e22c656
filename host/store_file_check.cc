#include "store_file_check.h"

#include <sys/stat.h>
#include <unistd.h>

std::string StoreFileProblem(const std::string& path) {
  size_t slash = path.rfind('/');
  std::string folder =
      slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  struct stat info;
  bool exists = stat(path.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) return "is not a regular file";
  if (exists && access(path.c_str(), R_OK | W_OK) != 0) return "cannot be written by this user";
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return "cannot be made: its folder " + folder + " does not exist";
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    return std::string(exists ? "cannot be written" : "cannot be made") + ": its folder " +
           folder + " cannot be written by this user";
  }
  return "";
}
