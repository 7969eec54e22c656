// Kernel services of the device: last error, process heap, local memory,
// handles, files and the clock. Implemented on Linux by libceplatform.
//
// Every function here is thread-safe. Failures are reported by the result
// and by the calling thread's last-error code, which callers read at once.
#ifndef CEPLATFORM_WINCE_KERNEL_H_
#define CEPLATFORM_WINCE_KERNEL_H_

#include "wince_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// ---- Last error ------------------------------------------------------------

// The calling thread's last-error code; 0 in a new thread.
DWORD GetLastError(void);
// Sets the calling thread's last-error code. SetLastError(0) lets a caller
// tell an early stop of a loop from a real failure.
void SetLastError(DWORD code);

// ---- Process heap ------------------------------------------------------------

#define HEAP_NO_SERIALIZE 0x00000001
#define HEAP_ZERO_MEMORY 0x00000008

// The one process heap, shared by the host and every plug-in. Never NULL.
HANDLE GetProcessHeap(void);

// Allocates bytes from the heap. With HEAP_ZERO_MEMORY the block is zeroed.
// A size of 0 gives a valid, unique block of 0 usable bytes. Blocks are
// 16-byte aligned.
// Returns NULL with ERROR_NOT_ENOUGH_MEMORY when memory is exhausted (or a
// test made the heap fail, or the size is 2 GiB or more, which the device's
// 32-bit heap never gives), ERROR_INVALID_HANDLE for a heap that is not the
// process heap.
LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes);

// Resizes a block. The contents up to the smaller size are kept; with
// HEAP_ZERO_MEMORY every byte past the old size is zero. The block may move.
// Returns NULL with ERROR_NOT_ENOUGH_MEMORY on failure, leaving the old block
// valid and unchanged; a NULL block (or one this heap did not hand out, where
// it can tell) gives ERROR_INVALID_PARAMETER.
LPVOID HeapReAlloc(HANDLE heap, DWORD flags, LPVOID block, SIZE_T bytes);

// Releases a block from HeapAlloc/HeapReAlloc. NULL is accepted and does
// nothing (returns TRUE). HEAP_NO_SERIALIZE is accepted and ignored: this
// heap is always safe to use from many threads. FALSE with
// ERROR_INVALID_PARAMETER for a block this heap did not hand out, where it
// can tell.
BOOL HeapFree(HANDLE heap, DWORD flags, LPVOID block);

// The usable size of a heap block (the size last asked for); (SIZE_T)-1 with
// ERROR_INVALID_PARAMETER for NULL.
SIZE_T HeapSize(HANDLE heap, DWORD flags, LPCVOID block);

// ---- Local memory ----------------------------------------------------------
// Buffers the object store hands out (CeReadRecordProps with
// CEDB_ALLOWREALLOC) come from here and go back with LocalFree. Local memory
// is the process heap under other names: blocks are always fixed (the flags
// other than LMEM_ZEROINIT are ignored), and heap failures injected by tests
// apply to it too.

#define LMEM_FIXED 0x0000
#define LMEM_ZEROINIT 0x0040
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Returns NULL with ERROR_NOT_ENOUGH_MEMORY on failure.
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Resizes; with LMEM_ZEROINIT the grown part is zero. The block may move.
// NULL on failure, the old block unchanged.
HLOCAL LocalReAlloc(HLOCAL block, SIZE_T bytes, UINT flags);
// Releases; returns NULL on success (as on the device), NULL for a NULL block,
// the block itself (ERROR_INVALID_PARAMETER) when it cannot be released.
HLOCAL LocalFree(HLOCAL block);

// ---- Handles -----------------------------------------------------------------

// Closes a file handle, a database handle or a database enumeration handle.
// Returns FALSE with ERROR_INVALID_HANDLE for anything else (NULL,
// INVALID_HANDLE_VALUE, a handle already closed). A handle value is never
// reused while the process lives, so a stale handle cannot reach a new object.
BOOL CloseHandle(HANDLE handle);

// ---- Files -------------------------------------------------------------------

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080

typedef void* LPSECURITY_ATTRIBUTES;
typedef void* LPOVERLAPPED;

// Opens a file for reading. The path is UTF-16; backslashes name the Linux
// directory separator ("\www\bbs\boardHEAD.HTML" opens /www/bbs/boardHEAD.HTML),
// and the name reaches the Linux file system as UTF-8.
// Only OPEN_EXISTING with GENERIC_READ alone is supported; other dispositions
// or any other access fail with ERROR_NOT_SUPPORTED. Only regular files open:
// directories, FIFOs and devices fail with ERROR_ACCESS_DENIED (at once; a
// FIFO is never waited on). `share`, `security`, `attributes` and
// `templateFile` are ignored.
// Returns INVALID_HANDLE_VALUE on failure with ERROR_FILE_NOT_FOUND (no such
// file in an existing folder), ERROR_PATH_NOT_FOUND (a folder on the way is
// missing or is a file; an empty path), ERROR_ACCESS_DENIED,
// ERROR_INVALID_NAME (a path with an unpaired surrogate, or too long),
// ERROR_TOO_MANY_OPEN_FILES, ERROR_INVALID_PARAMETER (NULL path) or
// ERROR_NOT_ENOUGH_MEMORY.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share,
                   LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);

// Reads `toRead` bytes, fewer only at the end of the file. *read receives the
// count (0 at the end of the file, with TRUE). Reads of one handle from
// several threads take turns; a read under way when another thread closes
// the handle finishes on its own file. Returns FALSE with
// ERROR_INVALID_HANDLE for a handle that is not an open file,
// ERROR_INVALID_PARAMETER (`read` NULL, `overlapped` not NULL, `buffer` NULL
// with a count), or ERROR_READ_FAULT when the read itself fails.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
              LPOVERLAPPED overlapped);

// ---- Clock -------------------------------------------------------------------

// The local date and time (the machine's time zone, read once: the TZ
// variable or /etc/localtime). Tests can fix the clock (ceplatform.h); then
// this and GetSystemTime both give the fixed time as it was given, with
// wDayOfWeek worked out from its date. A NULL argument is ignored.
void GetLocalTime(LPSYSTEMTIME time);
// The UTC date and time.
void GetSystemTime(LPSYSTEMTIME time);
// Converts a calendar time (proleptic Gregorian) to a FILETIME. wDayOfWeek
// is ignored. Returns FALSE with ERROR_INVALID_PARAMETER, leaving *fileTime
// as it was, for a field out of range (month 0 or 13, day 31 in April,
// 29 February 1900, a year before 1601 or after 30827, hour 24, second 60,
// millisecond 1000, ...) or a NULL argument.
BOOL SystemTimeToFileTime(const SYSTEMTIME* time, LPFILETIME fileTime);
// The reverse, wDayOfWeek included; FALSE with ERROR_INVALID_PARAMETER past
// the year 30827 or for a NULL argument.
BOOL FileTimeToSystemTime(const FILETIME* fileTime, LPSYSTEMTIME time);

#ifdef __cplusplus
}
#endif

#endif  // CEPLATFORM_WINCE_KERNEL_H_
