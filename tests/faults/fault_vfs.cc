#include "fault_vfs.h"

#include <string.h>

namespace faults {

const Fault kFaults[6] = {Fault::kReadError, Fault::kWriteError, Fault::kSyncError,
                          Fault::kTruncateError, Fault::kDiskFull, Fault::kShortWrite};
const char* const kFaultNames[6] = {"read error", "write error", "sync error",
                                    "truncate error", "disk full", "short write"};

namespace {

// A file of the VFS: ours first, the default VFS's file right after it.
struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;
};

sqlite3_vfs* Root() { return sqlite3_vfs_find(nullptr); }

}  // namespace

// The VFS and file methods; a struct so that they may reach FaultVfs::Take.
struct FaultVfsCalls {
  using Call = FaultVfs::Call;

  static sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }
  static bool Take(Call call, Fault* fault) { return FaultVfs::Instance().Take(call, fault); }

  static int Close(sqlite3_file* file) {
    sqlite3_file* real = Real(file);
    return real->pMethods != nullptr ? real->pMethods->xClose(real) : SQLITE_OK;
  }
  static int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    Fault fault;
    if (Take(Call::kRead, &fault)) return SQLITE_IOERR_READ;
    sqlite3_file* real = Real(file);
    return real->pMethods->xRead(real, buffer, amount, offset);
  }
  static int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    sqlite3_file* real = Real(file);
    Fault fault;
    if (Take(Call::kWrite, &fault)) {
      if (fault == Fault::kWriteError) return SQLITE_IOERR_WRITE;
      if (fault == Fault::kShortWrite && amount / 2 > 0) {
        real->pMethods->xWrite(real, buffer, amount / 2, offset);
      }
      return SQLITE_FULL;
    }
    return real->pMethods->xWrite(real, buffer, amount, offset);
  }
  static int Truncate(sqlite3_file* file, sqlite3_int64 size) {
    Fault fault;
    if (Take(Call::kTruncate, &fault)) return SQLITE_IOERR_TRUNCATE;
    sqlite3_file* real = Real(file);
    return real->pMethods->xTruncate(real, size);
  }
  static int Sync(sqlite3_file* file, int flags) {
    Fault fault;
    if (Take(Call::kSync, &fault)) return SQLITE_IOERR_FSYNC;
    sqlite3_file* real = Real(file);
    return real->pMethods->xSync(real, flags);
  }
  static int FileSize(sqlite3_file* file, sqlite3_int64* size) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xFileSize(real, size);
  }
  static int Lock(sqlite3_file* file, int level) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xLock(real, level);
  }
  static int Unlock(sqlite3_file* file, int level) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xUnlock(real, level);
  }
  static int CheckReservedLock(sqlite3_file* file, int* out) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xCheckReservedLock(real, out);
  }
  static int FileControl(sqlite3_file* file, int op, void* argument) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xFileControl(real, op, argument);
  }
  static int SectorSize(sqlite3_file* file) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xSectorSize(real);
  }
  static int DeviceCharacteristics(sqlite3_file* file) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xDeviceCharacteristics(real);
  }
  // The log's index is shared memory, which no fault here touches.
  static int ShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xShmMap(real, region, size, extend, out);
  }
  static int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xShmLock(real, offset, n, flags);
  }
  static void ShmBarrier(sqlite3_file* file) {
    sqlite3_file* real = Real(file);
    real->pMethods->xShmBarrier(real);
  }
  static int ShmUnmap(sqlite3_file* file, int deleteFlag) {
    sqlite3_file* real = Real(file);
    return real->pMethods->xShmUnmap(real, deleteFlag);
  }
  // No memory mapping: every page is read through Read, where faults are.
  static int Fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
    *out = nullptr;
    return SQLITE_OK;
  }
  static int Unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

  static const sqlite3_io_methods kMethods;

  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
                  int* outFlags) {
    FaultFile* ours = reinterpret_cast<FaultFile*>(file);
    ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
    int rc = Root()->xOpen(Root(), name, ours->real, flags, outFlags);
    ours->base.pMethods = ours->real->pMethods != nullptr ? &kMethods : nullptr;
    return rc;
  }
  static int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    return Root()->xDelete(Root(), name, syncDir);
  }
  static int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return Root()->xAccess(Root(), name, flags, out);
  }
  static int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
    return Root()->xFullPathname(Root(), name, size, out);
  }
  static void* DlOpen(sqlite3_vfs*, const char* name) { return Root()->xDlOpen(Root(), name); }
  static void DlError(sqlite3_vfs*, int size, char* out) { Root()->xDlError(Root(), size, out); }
  static void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
    return Root()->xDlSym(Root(), handle, symbol);
  }
  static void DlClose(sqlite3_vfs*, void* handle) { Root()->xDlClose(Root(), handle); }
  static int Randomness(sqlite3_vfs*, int size, char* out) {
    return Root()->xRandomness(Root(), size, out);
  }
  static int Sleep(sqlite3_vfs*, int microseconds) {
    return Root()->xSleep(Root(), microseconds);
  }
  static int CurrentTime(sqlite3_vfs*, double* out) {
    return Root()->xCurrentTime(Root(), out);
  }
  static int GetLastError(sqlite3_vfs*, int size, char* out) {
    return Root()->xGetLastError(Root(), size, out);
  }
  static int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return Root()->xCurrentTimeInt64(Root(), out);
  }
};

const sqlite3_io_methods FaultVfsCalls::kMethods = {
    3,
    &FaultVfsCalls::Close,
    &FaultVfsCalls::Read,
    &FaultVfsCalls::Write,
    &FaultVfsCalls::Truncate,
    &FaultVfsCalls::Sync,
    &FaultVfsCalls::FileSize,
    &FaultVfsCalls::Lock,
    &FaultVfsCalls::Unlock,
    &FaultVfsCalls::CheckReservedLock,
    &FaultVfsCalls::FileControl,
    &FaultVfsCalls::SectorSize,
    &FaultVfsCalls::DeviceCharacteristics,
    &FaultVfsCalls::ShmMap,
    &FaultVfsCalls::ShmLock,
    &FaultVfsCalls::ShmBarrier,
    &FaultVfsCalls::ShmUnmap,
    &FaultVfsCalls::Fetch,
    &FaultVfsCalls::Unfetch,
};

FaultVfs& FaultVfs::Instance() {
  static FaultVfs* vfs = new FaultVfs();
  return *vfs;
}

FaultVfs::FaultVfs() {
  memset(&vfs_, 0, sizeof(vfs_));
  sqlite3_vfs* root = Root();
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(FaultFile)) + root->szOsFile;
  vfs_.mxPathname = root->mxPathname;
  vfs_.zName = kName;
  vfs_.xOpen = &FaultVfsCalls::Open;
  vfs_.xDelete = &FaultVfsCalls::Delete;
  vfs_.xAccess = &FaultVfsCalls::Access;
  vfs_.xFullPathname = &FaultVfsCalls::FullPathname;
  vfs_.xDlOpen = &FaultVfsCalls::DlOpen;
  vfs_.xDlError = &FaultVfsCalls::DlError;
  vfs_.xDlSym = &FaultVfsCalls::DlSym;
  vfs_.xDlClose = &FaultVfsCalls::DlClose;
  vfs_.xRandomness = &FaultVfsCalls::Randomness;
  vfs_.xSleep = &FaultVfsCalls::Sleep;
  vfs_.xCurrentTime = &FaultVfsCalls::CurrentTime;
  vfs_.xGetLastError = &FaultVfsCalls::GetLastError;
  vfs_.xCurrentTimeInt64 = &FaultVfsCalls::CurrentTimeInt64;
  sqlite3_vfs_register(&vfs_, 0);
}

void FaultVfs::Arm(Fault fault, long n, bool persistent) {
  armed_.store(false);
  fault_.store(static_cast<int>(fault));
  remaining_.store(n);
  persistent_.store(persistent);
  fired_.store(false);
  armed_.store(true);
}

void FaultVfs::Disarm() { armed_.store(false); }

bool FaultVfs::Take(Call call, Fault* fault) {
  if (!armed_.load()) return false;
  Fault armed = static_cast<Fault>(fault_.load());
  Call meets = Call::kWrite;
  if (armed == Fault::kReadError) meets = Call::kRead;
  if (armed == Fault::kSyncError) meets = Call::kSync;
  if (armed == Fault::kTruncateError) meets = Call::kTruncate;
  if (call != meets) return false;
  long left = remaining_.fetch_sub(1) - 1;
  if (left > 0 || (left < 0 && !persistent_.load())) return false;
  fired_.store(true);
  *fault = armed;
  return true;
}

}  // namespace faults
