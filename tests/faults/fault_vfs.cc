#include "fault_vfs.h"

#include "forwarding_vfs.h"

namespace faults {

const Fault kFaults[6] = {Fault::kReadError, Fault::kWriteError, Fault::kSyncError,
                          Fault::kTruncateError, Fault::kDiskFull, Fault::kShortWrite};
const char* const kFaultNames[6] = {"read error", "write error", "sync error",
                                    "truncate error", "disk full", "short write"};

// The calls the faults meet; a struct so that they may reach FaultVfs::Take.
struct FaultVfsCalls {
  using Call = FaultVfs::Call;

  static sqlite3_file* Real(sqlite3_file* file) {
    return reinterpret_cast<ForwardingFile*>(file)->real;
  }
  static bool Take(Call call, Fault* fault) { return FaultVfs::Instance().Take(call, fault); }

  static int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    Fault fault;
    if (Take(Call::kRead, &fault)) return SQLITE_IOERR_READ;
    return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
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
    return Real(file)->pMethods->xTruncate(Real(file), size);
  }
  static int Sync(sqlite3_file* file, int flags) {
    Fault fault;
    if (Take(Call::kSync, &fault)) return SQLITE_IOERR_FSYNC;
    return Real(file)->pMethods->xSync(Real(file), flags);
  }

  static sqlite3_io_methods Methods() {
    sqlite3_io_methods methods = ForwardingMethods();
    methods.xRead = &Read;
    methods.xWrite = &Write;
    methods.xTruncate = &Truncate;
    methods.xSync = &Sync;
    return methods;
  }

  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
                  int* outFlags) {
    static const sqlite3_io_methods methods = Methods();
    return OpenForwarding(name, file, flags, outFlags, &methods, sizeof(ForwardingFile));
  }
};

FaultVfs& FaultVfs::Instance() {
  static FaultVfs* vfs = new FaultVfs();
  return *vfs;
}

FaultVfs::FaultVfs() {
  InitForwardingVfs(&vfs_, kName, sizeof(ForwardingFile));
  vfs_.xOpen = &FaultVfsCalls::Open;
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
