#include "power_loss_vfs.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace faults {
namespace {

// The exit status of a process stopped by the power loss.
constexpr int kPowerLostStatus = 77;

const char kDurable[] = ".durable";

// What one process wrote to a file since the file was last synced.
struct FileState {
  std::string path;
  int users = 0;
  std::vector<std::pair<sqlite3_int64, sqlite3_int64>> written;  // offset, length
};

std::mutex states_mutex;
std::map<std::string, FileState>* states = new std::map<std::string, FileState>();

struct PowerLossFile {
  sqlite3_file base;
  sqlite3_file* real;
  FileState* state;  // nullptr for files that are not kept (temporary ones)
};

sqlite3_vfs* Root() { return sqlite3_vfs_find(nullptr); }

std::string ReadAll(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Copies what was written to the file since its last sync into its durable
// image, which then has the file's size.
void MakeDurable(FileState* state) {
  int real = open(state->path.c_str(), O_RDONLY | O_CLOEXEC);
  int durable = open((state->path + kDurable).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  struct stat info;
  if (real >= 0 && durable >= 0 && fstat(real, &info) == 0) {
    std::vector<char> bytes;
    for (const auto& range : state->written) {
      if (range.first >= info.st_size) continue;
      sqlite3_int64 length = std::min<sqlite3_int64>(range.second, info.st_size - range.first);
      bytes.resize(static_cast<size_t>(length));
      ssize_t got = pread(real, bytes.data(), bytes.size(), range.first);
      if (got > 0) pwrite(durable, bytes.data(), static_cast<size_t>(got), range.first);
    }
    if (ftruncate(durable, info.st_size) != 0) _exit(3);
  }
  if (real >= 0) close(real);
  if (durable >= 0) close(durable);
  state->written.clear();
}

}  // namespace

struct PowerLossCalls {
  static PowerLossFile* Of(sqlite3_file* file) { return reinterpret_cast<PowerLossFile*>(file); }
  static sqlite3_file* Real(sqlite3_file* file) { return Of(file)->real; }
  static PowerLossVfs& Vfs() { return PowerLossVfs::Instance(); }

  static int Close(sqlite3_file* file) {
    PowerLossFile* ours = Of(file);
    if (ours->state != nullptr) {
      std::lock_guard<std::mutex> lock(states_mutex);
      // What was written stays unsynced after the close, as in the page
      // cache; the state stays for the next open of the same file.
      ours->state->users--;
    }
    return ours->real->pMethods->xClose(ours->real);
  }
  static int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
  }
  static int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    Vfs().StopIfLost();
    bool cut = Vfs().Event();
    int rc = Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
    FileState* state = Of(file)->state;
    if (state != nullptr) {
      std::lock_guard<std::mutex> lock(states_mutex);
      state->written.emplace_back(offset, amount);
    }
    if (cut) _exit(kPowerLostStatus);
    return rc;
  }
  static int Truncate(sqlite3_file* file, sqlite3_int64 size) {
    Vfs().StopIfLost();
    if (Vfs().Event()) _exit(kPowerLostStatus);
    return Real(file)->pMethods->xTruncate(Real(file), size);
  }
  // The real file needs no sync: what a sync makes durable is its image.
  static int Sync(sqlite3_file* file, int) {
    Vfs().StopIfLost();
    if (Vfs().Event()) _exit(kPowerLostStatus);
    FileState* state = Of(file)->state;
    if (state != nullptr) {
      std::lock_guard<std::mutex> lock(states_mutex);
      MakeDurable(state);
    }
    return SQLITE_OK;
  }
  static int FileSize(sqlite3_file* file, sqlite3_int64* size) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xFileSize(Real(file), size);
  }
  static int Lock(sqlite3_file* file, int level) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xLock(Real(file), level);
  }
  static int Unlock(sqlite3_file* file, int level) {
    return Real(file)->pMethods->xUnlock(Real(file), level);
  }
  static int CheckReservedLock(sqlite3_file* file, int* out) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
  }
  static int FileControl(sqlite3_file* file, int op, void* argument) {
    return Real(file)->pMethods->xFileControl(Real(file), op, argument);
  }
  static int SectorSize(sqlite3_file*) { return PowerLossVfs::kSectorSize; }
  static int DeviceCharacteristics(sqlite3_file* file) {
    return Real(file)->pMethods->xDeviceCharacteristics(Real(file));
  }
  static int ShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xShmMap(Real(file), region, size, extend, out);
  }
  static int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
    if ((flags & SQLITE_SHM_LOCK) != 0) Vfs().StopIfLost();
    return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
  }
  static void ShmBarrier(sqlite3_file* file) { Real(file)->pMethods->xShmBarrier(Real(file)); }
  static int ShmUnmap(sqlite3_file* file, int deleteFlag) {
    return Real(file)->pMethods->xShmUnmap(Real(file), deleteFlag);
  }
  static int Fetch(sqlite3_file*, sqlite3_int64, int, void** out) {
    *out = nullptr;
    return SQLITE_OK;
  }
  static int Unfetch(sqlite3_file*, sqlite3_int64, void*) { return SQLITE_OK; }

  static const sqlite3_io_methods kMethods;

  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
                  int* outFlags) {
    Vfs().StopIfLost();
    PowerLossFile* ours = Of(file);
    ours->real = reinterpret_cast<sqlite3_file*>(ours + 1);
    ours->state = nullptr;
    int rc = Root()->xOpen(Root(), name, ours->real, flags, outFlags);
    ours->base.pMethods = ours->real->pMethods != nullptr ? &kMethods : nullptr;
    const int kept = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL;
    if (rc != SQLITE_OK || name == nullptr || (flags & kept) == 0) return rc;
    std::lock_guard<std::mutex> lock(states_mutex);
    FileState& state = (*states)[name];
    state.path = name;
    state.users++;
    ours->state = &state;
    // A file that was there before anything here wrote it is durable as it
    // stands.
    std::string durable = state.path + kDurable;
    if (access(durable.c_str(), F_OK) != 0) {
      bool exists = false;
      WriteAll(durable, ReadAll(state.path, &exists));
    }
    return rc;
  }
  static int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    Vfs().StopIfLost();
    {
      std::lock_guard<std::mutex> lock(states_mutex);
      auto found = states->find(name);
      if (found != states->end()) found->second.written.clear();
      unlink((std::string(name) + kDurable).c_str());
    }
    return Root()->xDelete(Root(), name, syncDir);
  }
  static int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    Vfs().StopIfLost();
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
    Vfs().StopIfLost();
    return Root()->xSleep(Root(), microseconds);
  }
  static int CurrentTime(sqlite3_vfs*, double* out) { return Root()->xCurrentTime(Root(), out); }
  static int GetLastError(sqlite3_vfs*, int size, char* out) {
    return Root()->xGetLastError(Root(), size, out);
  }
  static int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return Root()->xCurrentTimeInt64(Root(), out);
  }
};

const sqlite3_io_methods PowerLossCalls::kMethods = {
    3,
    &PowerLossCalls::Close,
    &PowerLossCalls::Read,
    &PowerLossCalls::Write,
    &PowerLossCalls::Truncate,
    &PowerLossCalls::Sync,
    &PowerLossCalls::FileSize,
    &PowerLossCalls::Lock,
    &PowerLossCalls::Unlock,
    &PowerLossCalls::CheckReservedLock,
    &PowerLossCalls::FileControl,
    &PowerLossCalls::SectorSize,
    &PowerLossCalls::DeviceCharacteristics,
    &PowerLossCalls::ShmMap,
    &PowerLossCalls::ShmLock,
    &PowerLossCalls::ShmBarrier,
    &PowerLossCalls::ShmUnmap,
    &PowerLossCalls::Fetch,
    &PowerLossCalls::Unfetch,
};

PowerLossVfs& PowerLossVfs::Instance() {
  static PowerLossVfs* vfs = new PowerLossVfs();
  return *vfs;
}

PowerLossVfs::PowerLossVfs() {
  void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) abort();
  shared_ = new (memory) Shared();
  shared_->events = 0;
  shared_->cut_at = 0;
  shared_->lost = 0;
  memset(&vfs_, 0, sizeof(vfs_));
  sqlite3_vfs* root = Root();
  vfs_.iVersion = 2;
  vfs_.szOsFile = static_cast<int>(sizeof(PowerLossFile)) + root->szOsFile;
  vfs_.mxPathname = root->mxPathname;
  vfs_.zName = kName;
  vfs_.xOpen = &PowerLossCalls::Open;
  vfs_.xDelete = &PowerLossCalls::Delete;
  vfs_.xAccess = &PowerLossCalls::Access;
  vfs_.xFullPathname = &PowerLossCalls::FullPathname;
  vfs_.xDlOpen = &PowerLossCalls::DlOpen;
  vfs_.xDlError = &PowerLossCalls::DlError;
  vfs_.xDlSym = &PowerLossCalls::DlSym;
  vfs_.xDlClose = &PowerLossCalls::DlClose;
  vfs_.xRandomness = &PowerLossCalls::Randomness;
  vfs_.xSleep = &PowerLossCalls::Sleep;
  vfs_.xCurrentTime = &PowerLossCalls::CurrentTime;
  vfs_.xGetLastError = &PowerLossCalls::GetLastError;
  vfs_.xCurrentTimeInt64 = &PowerLossCalls::CurrentTimeInt64;
  sqlite3_vfs_register(&vfs_, 0);
}

void PowerLossVfs::CutPowerAt(long event) {
  shared_->lost = 0;
  shared_->events = 0;
  shared_->cut_at = event;
  std::lock_guard<std::mutex> lock(states_mutex);
  states->clear();
}

long PowerLossVfs::events() const { return shared_->events.load(); }

bool PowerLossVfs::lost() const { return shared_->lost.load() != 0; }

bool PowerLossVfs::Event() {
  long n = shared_->events.fetch_add(1) + 1;
  if (n != shared_->cut_at.load()) return false;
  shared_->lost = 1;
  return true;
}

void PowerLossVfs::StopIfLost() const {
  if (shared_->lost.load() != 0) _exit(kPowerLostStatus);
}

void PowerLossVfs::Restore(const std::string& path, Loss loss, unsigned seed) {
  for (const char* suffix : {"", "-wal", "-journal"}) {
    std::string file = path + suffix;
    bool had_image = false;
    std::string image = ReadAll(file + kDurable, &had_image);
    if (!had_image) continue;
    bool exists = false;
    std::string now = ReadAll(file, &exists);
    if (loss == Loss::kTorn) {
      // Each sector written since the sync reached the disk or did not.
      for (size_t at = 0; at < now.size(); at += kSectorSize) {
        size_t length = std::min<size_t>(kSectorSize, now.size() - at);
        bool same = at + length <= image.size() && image.compare(at, length, now, at, length) == 0;
        unsigned pick = (seed * 2654435761u) ^ static_cast<unsigned>(at / kSectorSize) * 40503u ^
                        static_cast<unsigned>(strlen(suffix)) * 977u;
        pick ^= pick >> 13;
        pick *= 0x5bd1e995u;
        pick ^= pick >> 15;
        if (same || (pick & 1) == 0) continue;
        if (image.size() < at + length) image.resize(at + length, '\0');
        image.replace(at, length, now, at, length);
      }
    }
    WriteAll(file, image);
    unlink((file + kDurable).c_str());
  }
  unlink((path + "-shm").c_str());
}

}  // namespace faults
