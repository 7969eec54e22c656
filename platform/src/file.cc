// CreateFileW and ReadFile: reading existing regular files by device paths.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "errno_map.h"
#include "file_status_cache.h"
#include "file_system_calls.h"
#include "handle_table.h"
#include "unicode.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace {

// An open file. The descriptor is closed when the last user lets go of the
// object, not when the handle is closed: a read running in another thread
// must never find its descriptor number given to a file opened meanwhile.
class FileObject : public KernelObject {
 public:
  explicit FileObject(int fd) : KernelObject(Kind::kFile), fd_(fd) {}
  ~FileObject() override { SystemCalls().close(fd_); }

  // Reads until `size` bytes arrived or the file ends; reads of one handle
  // take turns, so each gets a contiguous piece of the file.
  bool Read(char* buffer, size_t size, size_t* done) {
    std::lock_guard<std::mutex> lock(mutex_);
    *done = 0;
    while (*done < size) {
      ssize_t n = SystemCalls().read(fd_, buffer + *done, size - *done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) break;
      *done += static_cast<size_t>(n);
    }
    return true;
  }

 private:
  const int fd_;
  std::mutex mutex_;
};

// The Linux form of a device path: UTF-8 with '/' for '\'. False when the
// path holds an unpaired surrogate.
bool LinuxPath(LPCWSTR path, std::string* out) {
  // Room for an ASCII path at once; other characters may grow it further.
  size_t units = 0;
  while (path[units] != 0) ++units;
  out->reserve(out->size() + units);
  for (size_t i = 0; path[i] != 0; ++i) {
    uint32_t cp = path[i];
    if (cp < 0x80) {  // most paths are ASCII
      out->push_back(cp == '\\' ? '/' : static_cast<char>(cp));
      continue;
    }
    if (IsHighSurrogate(cp) && IsLowSurrogate(path[i + 1])) {
      cp = CombineSurrogates(cp, path[i + 1]);
      ++i;
    } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
      return false;
    }
    char bytes[4];
    out->append(bytes, EncodeUtf8(cp, bytes));
  }
  return true;
}

// The device tells a missing file from a missing folder on the way to it.
DWORD MissingFileError(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ERROR_FILE_NOT_FOUND;
  std::string parent = slash == 0 ? "/" : path.substr(0, slash);
  struct stat info;
  if (SystemCalls().stat(parent.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    return ERROR_PATH_NOT_FOUND;
  }
  return ERROR_FILE_NOT_FOUND;
}

HANDLE OpenForReading(LPCWSTR path) {
  std::string linux_path;
  if (!LinuxPath(path, &linux_path)) {
    SetLastError(ERROR_INVALID_NAME);
    return INVALID_HANDLE_VALUE;
  }
  if (linux_path.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // Optional files (a board's templates) are looked for on every request:
  // one known to be missing costs no open and no stat.
  FileStatusCache& statuses = FileStatusCache::Instance();
  if (statuses.KnownMissing(linux_path)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer; such files are
  // refused below anyway.
  int fd =
      SystemCalls().open(linux_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0);
  if (fd < 0) {
    int error = errno;
    DWORD code = error == ENOENT ? MissingFileError(linux_path)
                                 : ErrnoToLastError(error, ERROR_ACCESS_DENIED);
    if (code == ERROR_FILE_NOT_FOUND) statuses.NoteMissing(linux_path);
    SetLastError(code);
    return INVALID_HANDLE_VALUE;
  }
  struct stat info;
  if (SystemCalls().fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    SystemCalls().close(fd);
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int status_flags = SystemCalls().fcntl(fd, F_GETFL, 0);
  if (status_flags >= 0) SystemCalls().fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK);
  std::shared_ptr<FileObject> file;
  try {
    file = std::make_shared<FileObject>(fd);
  } catch (const std::bad_alloc&) {
    SystemCalls().close(fd);
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return HandleInsert(std::move(file));  // on failure the object closes fd
}

}  // namespace
}  // namespace ceplatform

extern "C" HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD /*share*/,
                              LPSECURITY_ATTRIBUTES /*security*/, DWORD disposition,
                              DWORD /*attributes*/, HANDLE /*templateFile*/) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  if (disposition != OPEN_EXISTING || (access & GENERIC_READ) == 0 ||
      (access & ~GENERIC_READ) != 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return INVALID_HANDLE_VALUE;
  }
  try {
    return ceplatform::OpenForReading(path);
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
}

extern "C" BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                         LPOVERLAPPED overlapped) {
  if (read != nullptr) *read = 0;
  std::shared_ptr<ceplatform::KernelObject> object =
      ceplatform::HandleLookup(file, ceplatform::KernelObject::Kind::kFile);
  if (!object) return FALSE;
  if (read == nullptr || overlapped != nullptr || (buffer == nullptr && toRead != 0)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  size_t done = 0;
  bool ok = static_cast<ceplatform::FileObject&>(*object).Read(static_cast<char*>(buffer),
                                                                 toRead, &done);
  *read = static_cast<DWORD>(done);
  if (!ok) {
    SetLastError(ERROR_READ_FAULT);
    return FALSE;
  }
  return TRUE;
}
