#include "path_resolver.h"

#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <vector>

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

bool EqualNoCase(const std::string& a, size_t offset, const std::string& b) {
  if (a.size() < offset + b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i) {
    if (LowerAscii(a[offset + i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace

bool NormalizeUrlPath(const std::string& decoded, std::string* lexical) {
  if (decoded.empty() || decoded[0] != '/') return false;
  std::vector<std::string> segments;
  size_t start = 1;
  while (start <= decoded.size()) {
    size_t end = decoded.find('/', start);
    if (end == std::string::npos) end = decoded.size();
    std::string segment = decoded.substr(start, end - start);
    start = end + 1;
    for (char c : segment) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f || c == '\\') return false;
    }
    if (segment.empty() || segment == ".") continue;
    if (segment == "..") {
      if (segments.empty()) return false;
      segments.pop_back();
      continue;
    }
    segments.push_back(segment);
  }
  std::string result;
  for (const std::string& segment : segments) result += "/" + segment;
  *lexical = result.empty() ? "/" : result;
  return true;
}

bool HasHiddenSegment(const std::string& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '.' && (i == 0 || path[i - 1] == '/')) return true;
  }
  return false;
}

bool IsPluginName(const std::string& path) {
  static const std::string kExtension = ".tvx";
  size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  return name.size() > kExtension.size() &&
         EqualNoCase(name, name.size() - kExtension.size(), kExtension);
}

bool PathHasPrefix(const std::string& path, const std::string& prefix) {
  if (prefix == "/") return true;
  if (!EqualNoCase(path, 0, prefix)) return false;
  return path.size() == prefix.size() || path[prefix.size()] == '/';
}

ResolvedPath ResolvePath(const std::string& root_real, const std::string& lexical) {
  ResolvedPath result;
  std::string joined = root_real == "/" ? lexical : root_real + (lexical == "/" ? "" : lexical);
  char buffer[PATH_MAX];
  if (realpath(joined.c_str(), buffer) == nullptr) {
    result.kind = errno == EACCES ? PathKind::kForbidden : PathKind::kNotFound;
    return result;
  }
  std::string real = buffer;
  result.real = real;
  if (root_real == "/") {
    result.relative = real;
  } else if (real == root_real) {
    result.relative = "/";
  } else if (real.size() > root_real.size() && real.compare(0, root_real.size(), root_real) == 0 &&
             real[root_real.size()] == '/') {
    result.relative = real.substr(root_real.size());
  } else {
    result.kind = PathKind::kOutsideRoot;
    return result;
  }
  struct stat info;
  if (stat(real.c_str(), &info) != 0) {
    result.kind = errno == EACCES ? PathKind::kForbidden : PathKind::kNotFound;
  } else if (S_ISDIR(info.st_mode)) {
    result.kind = PathKind::kDirectory;
  } else if (S_ISREG(info.st_mode)) {
    result.kind = PathKind::kFile;
  } else {
    result.kind = PathKind::kForbidden;
  }
  return result;
}
