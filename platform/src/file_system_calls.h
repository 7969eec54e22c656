// The system calls the file functions make, reached through one table so that
// a test can put a failing call in the place of any of them (a read that
// fails half-way, an open that fails, a short read) and see what the callers
// make of it.
#ifndef CEPLATFORM_FILE_SYSTEM_CALLS_H_
#define CEPLATFORM_FILE_SYSTEM_CALLS_H_

#include <sys/stat.h>
#include <sys/types.h>

namespace ceplatform {

// Each entry behaves as the Linux call of its name (result and errno); the
// variadic open and fcntl take their optional argument always.
struct FileSystemCalls {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, size_t size);
  int (*close)(int fd);
  int (*fstat)(int fd, struct stat* info);
  int (*stat)(const char* path, struct stat* info);
  int (*fcntl)(int fd, int command, long argument);
};

// The table in use. Tests may replace entries (and put them back) while no
// file call runs; the process starts with the Linux calls.
FileSystemCalls& SystemCalls();

// The Linux calls, for putting entries back and for replacements that pass
// through.
const FileSystemCalls& LinuxFileSystemCalls();

}  // namespace ceplatform

#endif  // CEPLATFORM_FILE_SYSTEM_CALLS_H_
