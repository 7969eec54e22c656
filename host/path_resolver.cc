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

namespace {

// The one path normaliser: splits at '/', refuses control bytes and
// backslashes, and drops empty and "." segments and applies ".." (`strict`:
// refuses them instead, all but one trailing '/').
bool NormalizePath(const std::string& text, bool strict, std::string* normalized) {
  if (text.empty() || text[0] != '/') return false;
  std::vector<std::string> segments;
  size_t start = 1;
  while (start <= text.size()) {
    size_t end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    std::string segment = text.substr(start, end - start);
    start = end + 1;
    for (char c : segment) {
      unsigned char byte = static_cast<unsigned char>(c);
      if (byte < 0x20 || byte == 0x7f || c == '\\') return false;
    }
    bool dots = segment == "." || segment == "..";
    if (strict && (dots || (segment.empty() && end != text.size()))) return false;
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
  *normalized = result.empty() ? "/" : result;
  return true;
}

}  // namespace

bool NormalizeUrlPath(const std::string& decoded, std::string* lexical) {
  return NormalizePath(decoded, false, lexical);
}

bool NormalizePrefix(const std::string& prefix, std::string* normalized) {
  return NormalizePath(prefix, true, normalized);
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

namespace {

PathKind KindOfFailure(int error) {
  return error == EACCES ? PathKind::kForbidden : PathKind::kNotFound;
}

PathKind KindOf(const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return PathKind::kDirectory;
  if (S_ISREG(info.st_mode)) return PathKind::kFile;
  return PathKind::kForbidden;
}

// The slow way, for a path with a symbolic link in it: realpath, then the
// real path must still lie inside the root.
ResolvedPath ResolveLinks(const std::string& root_real, const std::string& joined) {
  ResolvedPath result;
  char buffer[PATH_MAX];
  if (realpath(joined.c_str(), buffer) == nullptr) {
    result.kind = KindOfFailure(errno);
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
  if (stat(real.c_str(), &result.info) != 0) {
    result.kind = KindOfFailure(errno);
  } else {
    result.kind = KindOf(result.info);
  }
  return result;
}

}  // namespace

ResolvedPath ResolvePath(const std::string& root_real, const std::string& lexical) {
  std::string joined = root_real == "/" ? lexical : root_real + (lexical == "/" ? "" : lexical);
  // The lexical path has no ".", ".." or empty segments and the root is
  // real, so without symbolic links `joined` is its own real path: one lstat
  // per segment below the root (the root itself for "/") proves it, where
  // realpath would read every link of the root's own path as well.
  size_t below = root_real == "/" ? 0 : root_real.size();
  struct stat info;
  if (lexical == "/") {
    if (lstat(joined.c_str(), &info) != 0) {
      ResolvedPath result;
      result.kind = KindOfFailure(errno);
      return result;
    }
    if (S_ISLNK(info.st_mode)) return ResolveLinks(root_real, joined);
  } else {
    for (size_t end = below + 1; end <= joined.size(); ++end) {
      if (end < joined.size() && joined[end] != '/') continue;
      char saved = joined[end];  // the terminating NUL at the end
      joined[end] = '\0';
      int rc = lstat(joined.c_str(), &info);
      int error = errno;
      joined[end] = saved;
      if (rc != 0) {
        ResolvedPath result;
        result.kind = KindOfFailure(error);
        return result;
      }
      if (S_ISLNK(info.st_mode)) return ResolveLinks(root_real, joined);
    }
  }
  ResolvedPath result;
  result.kind = KindOf(info);
  result.info = info;
  result.relative = root_real == "/" ? joined : lexical;
  result.real = std::move(joined);
  return result;
}
