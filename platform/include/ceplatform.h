// What only Linux programs (the host, the tools, the tests) ask of the
// platform: where the object store lives, closing it cleanly, and the test
// hooks (a fixed clock, a failing heap, a failing store). Plug-ins never
// include this header.
#ifndef CEPLATFORM_CEPLATFORM_H_
#define CEPLATFORM_CEPLATFORM_H_

#include "wince_types.h"

#ifdef __cplusplus
extern "C" {
#endif

// The environment variable that names the store when no program set it.
#define CEPLATFORM_STORE_ENV "CEPLATFORM_STORE"
// The store file when neither the program nor the environment names one.
#define CEPLATFORM_DEFAULT_STORE "objectstore.db"

// Names the object store: a PostgreSQL connection URI (one that begins with
// "postgresql://" or "postgres://", handed to libpq as it is; see the
// README's "Several hosts, one board" for its forms) or else the path of an
// SQLite file. Call it before the first store call; a later call closes the
// store (as PlatformCloseStore) and switches to the new one. The file, or
// the tables in the URI's database and schema, are created on first use.
// Returns FALSE (ERROR_INVALID_PARAMETER) for NULL or an empty value.
BOOL PlatformSetStorePath(const char* path);
// The store in use or to be used: the value set, else $CEPLATFORM_STORE,
// else CEPLATFORM_DEFAULT_STORE.
const char* PlatformStorePath(void);
// Closes every connection to the store (an SQLite file's log is checkpointed
// first).
// Handles still open fail afterwards with ERROR_INVALID_HANDLE (CloseHandle
// still closes them). The next store call opens the file again.
// A process that forks and uses the store in the child should call this
// first: the child leaves connections it inherited alone and opens its own.
void PlatformCloseStore(void);

// The store location `location` (NULL reads as "") as messages and logs show
// it: a PostgreSQL URI or a libpq key=value string with each password in it
// (a URI's user information, its password and sslpassword parameters in any
// case, a key=value string's password and sslpassword) replaced by "***", a
// file path as it is. Writes at most `capacity` - 1 bytes of it and a NUL to
// `out` (nothing with `capacity` 0, when `out` may be NULL) and returns its
// whole length, as snprintf does: a result of `capacity` or more means it was
// cut. When memory runs out it writes and returns the empty text
// (ERROR_NOT_ENOUGH_MEMORY); it never writes a password.
size_t PlatformPrintableLocation(const char* location, char* out, size_t capacity);

// Whether a store call of this thread failed because the store was
// unavailable, as a host asks around each plug-in call: the last-error code
// of the first such failure since the previous take, or 0 when there was
// none; the record is cleared either way. Such a failure is one of
//   ERROR_NOT_READY    the server could not be reached (also: it was starting
//                      up, shutting down, read-only, or out of connections)
//   ERROR_TIMEOUT      the connect or statement timeout passed, or an SQLite
//                      file stayed locked by another process past the busy
//                      timeout
//   ERROR_WRITE_FAULT  a write whose outcome could not be learnt (it was made
//                      once or not at all)
// Other failures (a damaged record, a full disk, no memory) are not recorded.
// Each thread has its own record.
DWORD PlatformTakeStoreOutage(void);

// Whether the store answers now, as a host's readiness check asks: borrows
// a connection from the store's pool (opening one when none is idle, which
// for an SQLite file makes the file and its tables) and reads one row of the
// store's list of databases through it, one round trip on a PostgreSQL
// server. TRUE when that worked. FALSE otherwise, with the last-error code a
// read gets: ERROR_NOT_READY (the server cannot be reached), ERROR_TIMEOUT
// (the connect or statement timeout passed), ERROR_READ_FAULT (any other
// failure, e.g. an SQLite file that cannot be opened or made), and the
// backend's own words for it in `reason` (at most `capacity` - 1 bytes and a
// NUL; nothing with `capacity` 0, when `reason` may be NULL; never a
// password). Writes nothing to the store and no log line; a failure as
// unavailable is recorded for the calling thread as a store call's is
// (PlatformTakeStoreOutage). PlatformFailStoreCall does not count it.
// Thread-safe.
BOOL PlatformProbeStore(char* reason, size_t capacity);

// ---- Test hooks ----------------------------------------------------------------

// Fixes the clock that GetLocalTime and GetSystemTime read; NULL lets it run
// again. Process-wide.
void PlatformFixClock(const SYSTEMTIME* time);

// After `count` more successful allocations (HeapAlloc, HeapReAlloc,
// LocalAlloc, LocalReAlloc), every allocation fails with
// ERROR_NOT_ENOUGH_MEMORY until PlatformFailHeapAfter(-1).
void PlatformFailHeapAfter(long count);
// From now on every block larger than `bytes` is refused (HeapAlloc,
// HeapReAlloc, LocalAlloc, LocalReAlloc fail with ERROR_NOT_ENOUGH_MEMORY; a
// block being resized stays as it was), as blocks of 2 GiB always are, so
// that tests meet that limit with small blocks. A resize that stays within
// the limit works also when the block once held more. 0, or a value past the
// real limit, restores the real limit alone. Process-wide.
void PlatformLimitHeapBlock(SIZE_T bytes);
// Blocks currently allocated from the heap and local memory together.
long PlatformLiveHeapBlocks(void);
// Handles currently open (files, databases, enumerations).
long PlatformOpenHandles(void);

// After `count` more object-store calls (any Ce* function of wince_db.h,
// whatever their result; CloseHandle is not one), the next one fails with
// `code` and changes nothing: no write, no move of a read position, no
// buffer. Later calls work again. PlatformFailStoreCall(-1, 0) cancels a
// pending failure. Process-wide. An injected ERROR_NOT_READY or ERROR_TIMEOUT
// is recorded as an outage of the thread whose call it failed
// (PlatformTakeStoreOutage), as the store's own would be.
void PlatformFailStoreCall(long count, DWORD code);

// A PostgreSQL store's faults: after `count` more units sent to the server
// on any connection (a unit is a statement with its sync point, or a text of
// statements), the next one meets `fault`; later units go as usual.
// PlatformFailStoreSession(-1, 0, NULL) cancels a pending fault.
// Process-wide.
#define PLATFORM_PG_DROP_AFTER_SEND 1  // the connection is cut once the unit
                                       // is sent: the server may or may not
                                       // run and commit it
#define PLATFORM_PG_LOSE_ANSWER 2      // the unit runs; all of its answer
                                       // after the statement's rows (the
                                       // commit's) is thrown away and the
                                       // connection dropped
#define PLATFORM_PG_FAIL_WITH 3        // the server fails the unit, instead
                                       // of running it, with SQLSTATE `state`
void PlatformFailStoreSession(long count, int fault, const char* state);

// Writes to a store file are committed in groups: the writes that threads of
// this process make while another is being written queue, and the first of
// them writes them together in one transaction with one sync (at most 32 a
// group). While `hold` is TRUE, writes queue and none starts, so that a test
// can gather the writes of several threads into one group; FALSE lets the
// first queued lead them. Process-wide.
void PlatformHoldStoreWrites(BOOL hold);
// Writes of this process queued now (waiting, or being written).
long PlatformQueuedStoreWrites(void);
// How the writes of this process were grouped since it started: counts[i]
// receives the number of groups of i + 1 writes, for i below `slots`.
void PlatformStoreGroupSizes(unsigned long long* counts, int slots);

// Opens the store file through the SQLite VFS registered under `name` (NULL:
// SQLite's default), so that tests can fail or lose what lies below SQLite.
// Closes the store first, as PlatformCloseStore; connections opened later
// use the VFS. FALSE (ERROR_NOT_ENOUGH_MEMORY) when the name cannot be kept.
BOOL PlatformSetStoreVfs(const char* name);
// When this environment variable holds a PostgreSQL URI, every store that is
// named by a file path stands instead for a schema of its own on that server
// (named after the path; the URI must not carry `options`), so that tests
// written for store files run unchanged on PostgreSQL. PlatformStorePath
// still gives the path.
#define CEPLATFORM_TEST_STORE_ENV "CEPLATFORM_TEST_STORE"

#ifdef __cplusplus
}

#include <string>

// PlatformPrintableLocation for C++ callers: the location as shown.
inline std::string PlatformPrintableLocation(const std::string& location) {
  std::string shown(PlatformPrintableLocation(location.c_str(), nullptr, 0), '\0');
  size_t length = PlatformPrintableLocation(location.c_str(), &shown[0], shown.size() + 1);
  if (length < shown.size()) shown.resize(length);
  return shown;
}
#endif

#endif  // CEPLATFORM_CEPLATFORM_H_
