#include "forwarding_vfs.h"

#include <string.h>

namespace faults {
namespace {

sqlite3_file* Real(sqlite3_file* file) { return reinterpret_cast<ForwardingFile*>(file)->real; }

int Close(sqlite3_file* file) { return Real(file)->pMethods->xClose(Real(file)); }
int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
}
int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  return Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
}
int Truncate(sqlite3_file* file, sqlite3_int64 size) {
  return Real(file)->pMethods->xTruncate(Real(file), size);
}
int Sync(sqlite3_file* file, int flags) { return Real(file)->pMethods->xSync(Real(file), flags); }
int FileSize(sqlite3_file* file, sqlite3_int64* size) {
  return Real(file)->pMethods->xFileSize(Real(file), size);
}
int Lock(sqlite3_file* file, int level) { return Real(file)->pMethods->xLock(Real(file), level); }
int Unlock(sqlite3_file* file, int level) {
  return Real(file)->pMethods->xUnlock(Real(file), level);
}
int CheckReservedLock(sqlite3_file* file, int* out) {
  return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
}
int FileControl(sqlite3_file* file, int op, void* argument) {
  return Real(file)->pMethods->xFileControl(Real(file), op, argument);
}
int SectorSize(sqlite3_file* file) { return Real(file)->pMethods->xSectorSize(Real(file)); }
int DeviceCharacteristics(sqlite3_file* file) {
  return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
}
int ShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
  return Real(file)->pMethods->xShmMap(Real(file), region, size, extend, out);
}
int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
}
void ShmBarrier(sqlite3_file* file) { Real(file)->pMethods->xShmBarrier(Real(file)); }
int ShmUnmap(sqlite3_file* file, int deleteFlag) {
  return Real(file)->pMethods->xShmUnmap(Real(file), deleteFlag);
}
int Fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
  *out = nullptr;
  return SQLITE_OK;
}
int Unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

int Open(sqlite3_vfs*, sqlite3_filename, sqlite3_file* file, int, int*) {
  file->pMethods = nullptr;
  return SQLITE_CANTOPEN;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) {
  return DefaultVfs()->xDelete(DefaultVfs(), name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
  return DefaultVfs()->xAccess(DefaultVfs(), name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int size, char* out) {
  return DefaultVfs()->xFullPathname(DefaultVfs(), name, size, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return DefaultVfs()->xDlOpen(DefaultVfs(), name); }
void DlError(sqlite3_vfs*, int size, char* out) { DefaultVfs()->xDlError(DefaultVfs(), size, out); }
void (*DlSym(sqlite3_vfs*, void* handle, const char* symbol))(void) {
  return DefaultVfs()->xDlSym(DefaultVfs(), handle, symbol);
}
void DlClose(sqlite3_vfs*, void* handle) { DefaultVfs()->xDlClose(DefaultVfs(), handle); }
int Randomness(sqlite3_vfs*, int size, char* out) {
  return DefaultVfs()->xRandomness(DefaultVfs(), size, out);
}
int Sleep(sqlite3_vfs*, int microseconds) {
  return DefaultVfs()->xSleep(DefaultVfs(), microseconds);
}
int CurrentTime(sqlite3_vfs*, double* out) {
  return DefaultVfs()->xCurrentTime(DefaultVfs(), out);
}
int GetLastError(sqlite3_vfs*, int size, char* out) {
  return DefaultVfs()->xGetLastError(DefaultVfs(), size, out);
}
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
  return DefaultVfs()->xCurrentTimeInt64(DefaultVfs(), out);
}

}  // namespace

// The default as it was when first asked for: a VFS of ours may be made the
// default afterwards, and must not pass its calls to itself.
sqlite3_vfs* DefaultVfs() {
  static sqlite3_vfs* const vfs = sqlite3_vfs_find(nullptr);
  return vfs;
}

sqlite3_io_methods ForwardingMethods() {
  sqlite3_io_methods methods = {
      3,        &Close,       &Read,     &Write,     &Truncate,   &Sync,
      &FileSize, &Lock,       &Unlock,   &CheckReservedLock,     &FileControl,
      &SectorSize, &DeviceCharacteristics, &ShmMap, &ShmLock, &ShmBarrier,
      &ShmUnmap, &Fetch,      &Unfetch,
  };
  return methods;
}

void InitForwardingVfs(sqlite3_vfs* vfs, const char* name, int file_size) {
  memset(vfs, 0, sizeof(*vfs));
  vfs->iVersion = 2;
  vfs->szOsFile = file_size + DefaultVfs()->szOsFile;
  vfs->mxPathname = DefaultVfs()->mxPathname;
  vfs->zName = name;
  vfs->xOpen = &Open;
  vfs->xDelete = &Delete;
  vfs->xAccess = &Access;
  vfs->xFullPathname = &FullPathname;
  vfs->xDlOpen = &DlOpen;
  vfs->xDlError = &DlError;
  vfs->xDlSym = &DlSym;
  vfs->xDlClose = &DlClose;
  vfs->xRandomness = &Randomness;
  vfs->xSleep = &Sleep;
  vfs->xCurrentTime = &CurrentTime;
  vfs->xGetLastError = &GetLastError;
  vfs->xCurrentTimeInt64 = &CurrentTimeInt64;
}

int OpenForwarding(sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags,
                   const sqlite3_io_methods* methods, int own_size) {
  ForwardingFile* ours = reinterpret_cast<ForwardingFile*>(file);
  ours->real = reinterpret_cast<sqlite3_file*>(reinterpret_cast<char*>(file) + own_size);
  int rc = DefaultVfs()->xOpen(DefaultVfs(), name, ours->real, flags, outFlags);
  ours->base.pMethods = ours->real->pMethods != nullptr ? methods : nullptr;
  return rc;
}

}  // namespace faults
