// Turning the decoded URL path of a request into a file below the document
// root, without ever leaving the root: ".." is applied to the URL before the
// file system sees it, and the file's real path (symbolic links resolved)
// must still lie inside the root.
#ifndef HOST_PATH_RESOLVER_H_
#define HOST_PATH_RESOLVER_H_

#include <sys/stat.h>

#include <string>

// The decoded URL path as a path below the root: "/" followed by its
// segments joined with '/', without empty or "." segments and with ".."
// applied ("/" for the root itself). False (and *lexical untouched) when the
// path does not begin with '/', holds a NUL, a backslash or another control
// byte, or climbs above the root with "..".
bool NormalizeUrlPath(const std::string& decoded, std::string* lexical);

// A URL path prefix as the access rules compare it, by the same rules as
// NormalizeUrlPath but stricter: empty (but for one trailing '/'), "." and
// ".." segments are refused rather than applied.
bool NormalizePrefix(const std::string& prefix, std::string* normalized);

// True when a segment of the path begins with '.' (".htpasswd", ".git"):
// such files are never served.
bool HasHiddenSegment(const std::string& path);

// True when the last segment ends in ".tvx", letter case ignored.
bool IsPluginName(const std::string& path);

// True when `path` is `prefix` or lies below it, ASCII letter case ignored
// (a stricter match than the file system needs on Linux, and the right one
// on a file system that ignores case). "/" contains every path.
bool PathHasPrefix(const std::string& path, const std::string& prefix);

enum class PathKind {
  kNotFound,     // nothing there, or a component is not a folder
  kOutsideRoot,  // the real path leaves the root (a symbolic link out)
  kForbidden,    // not readable, or neither a regular file nor a folder
  kDirectory,
  kFile,
};

struct ResolvedPath {
  PathKind kind = PathKind::kNotFound;
  std::string real;      // realpath of root + lexical, when it exists
  std::string relative;  // real path below the root, "/..." ("/" for the root)
  struct stat info = {};  // the file's status, for kDirectory and kFile
};

// Resolves a NormalizeUrlPath result against `root_real`, the real path of
// the document root (no trailing '/', except for "/" itself). The root is
// taken as real; the segments below it are checked one by one, and only a
// path with a symbolic link in it is handed to realpath.
ResolvedPath ResolvePath(const std::string& root_real, const std::string& lexical);

#endif  // HOST_PATH_RESOLVER_H_
