// FaultVfs: an SQLite VFS that passes every call to the default one, except
// the one call a test chose to fail: the n-th read, write, sync or truncate
// fails with an I/O error, or the n-th write finds the disk full, or writes
// only its first half and then finds the disk full.
//
// The store opens its file through it after PlatformSetStoreVfs(kName).
#ifndef TESTS_FAULTS_FAULT_VFS_H_
#define TESTS_FAULTS_FAULT_VFS_H_

#include <sqlite3.h>

#include <atomic>

namespace faults {

// What the chosen call does instead of its work.
enum class Fault {
  kReadError,      // a read: SQLITE_IOERR_READ, nothing read
  kWriteError,     // a write: SQLITE_IOERR_WRITE, nothing written
  kSyncError,      // a sync: SQLITE_IOERR_FSYNC
  kTruncateError,  // a truncate: SQLITE_IOERR_TRUNCATE, the size unchanged
  kDiskFull,       // a write: SQLITE_FULL, nothing written
  kShortWrite,     // a write: the first half written, then SQLITE_FULL
};

// The faults above, for sweeps over all of them; kFaultNames[i] names kFaults[i].
extern const Fault kFaults[6];
extern const char* const kFaultNames[6];

class FaultVfs {
 public:
  // The name under which the VFS is registered.
  static constexpr const char* kName = "corkwall-fault";

  // The one VFS, registered (not as the default) on first use.
  static FaultVfs& Instance();

  // From now on, the n-th call (n >= 1) of the kind `fault` applies to fails
  // as `fault` says; with `persistent`, every later call of that kind fails
  // too (a disk that stays full). Counting starts again at each Arm.
  void Arm(Fault fault, long n, bool persistent = false);
  // No call fails any more.
  void Disarm();
  // Whether a call failed since the last Arm.
  bool fired() const { return fired_.load(); }

 private:
  FaultVfs();
  friend struct FaultVfsCalls;

  // The calls a fault can meet.
  enum class Call { kRead, kWrite, kSync, kTruncate };
  // Called by each wrapped call: true with *fault set when this call is to
  // fail, false when it does its work.
  bool Take(Call call, Fault* fault);

  sqlite3_vfs vfs_;
  std::atomic<bool> armed_{false};
  std::atomic<int> fault_{0};
  std::atomic<long> remaining_{0};
  std::atomic<bool> persistent_{false};
  std::atomic<bool> fired_{false};
};

}  // namespace faults

#endif  // TESTS_FAULTS_FAULT_VFS_H_
