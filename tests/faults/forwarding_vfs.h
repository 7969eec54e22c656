// What the test VFSs share: a file of theirs begins with its own sqlite3_file
// and a pointer to the default VFS's file, and every call they do not change
// goes on to SQLite's default VFS unchanged.
#ifndef TESTS_FAULTS_FORWARDING_VFS_H_
#define TESTS_FAULTS_FORWARDING_VFS_H_

#include <sqlite3.h>

namespace faults {

// The start of every file of a forwarding VFS; the default VFS's file lies
// in the same allocation, right after the wrapper's own part.
struct ForwardingFile {
  sqlite3_file base;
  sqlite3_file* real;
};

// SQLite's default VFS (the one that was the default when first asked for).
sqlite3_vfs* DefaultVfs();

// File methods that pass every call to the default VFS's file, except that
// nothing is memory-mapped (every page goes through xRead, where a test VFS
// can see it). A test VFS copies them and replaces the calls it changes.
sqlite3_io_methods ForwardingMethods();

// Fills `vfs` as a VFS called `name` whose files take `file_size` bytes
// before the default VFS's file, with every call passed to the default VFS.
// The caller sets xOpen (OpenForwarding does the common part), may replace
// other calls, and registers it.
void InitForwardingVfs(sqlite3_vfs* vfs, const char* name, int file_size);

// Opens the default VFS's file behind `file` and gives the result `methods`
// (or none, when the open failed). Returns the default VFS's result.
int OpenForwarding(sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags,
                   const sqlite3_io_methods* methods, int own_size);

}  // namespace faults

#endif  // TESTS_FAULTS_FORWARDING_VFS_H_
