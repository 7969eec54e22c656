#include "file_system_calls.h"

#include <fcntl.h>
#include <unistd.h>

namespace ceplatform {
namespace {

int OpenCall(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t ReadCall(int fd, void* buffer, size_t size) { return ::read(fd, buffer, size); }
int CloseCall(int fd) { return ::close(fd); }
int FstatCall(int fd, struct stat* info) { return ::fstat(fd, info); }
int StatCall(const char* path, struct stat* info) { return ::stat(path, info); }
int FcntlCall(int fd, int command, long argument) { return ::fcntl(fd, command, argument); }

const FileSystemCalls kLinuxCalls = {OpenCall, ReadCall, CloseCall,
                                     FstatCall, StatCall, FcntlCall};
FileSystemCalls calls = kLinuxCalls;

}  // namespace

FileSystemCalls& SystemCalls() { return calls; }

const FileSystemCalls& LinuxFileSystemCalls() { return kLinuxCalls; }

}  // namespace ceplatform
