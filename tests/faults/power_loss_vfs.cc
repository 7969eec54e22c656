#include "power_loss_vfs.h"

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "forwarding_vfs.h"

namespace faults {
namespace {

// The exit status of a process stopped by the power loss.
constexpr int kPowerLostStatus = 77;

const char kDurable[] = ".durable";
const char kDurableLock[] = ".durable-lock";

// A file this process has open, kept across its closes.
struct FileState {
  std::string path;
  int users = 0;
};

std::mutex states_mutex;
std::map<std::string, FileState>* states = new std::map<std::string, FileState>();

struct PowerLossFile {
  ForwardingFile forwarding;
  FileState* state;  // nullptr for files that are not kept (temporary ones)
};

std::string ReadAll(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  *exists = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Holds the lock of a file's durable image, which every process takes to
// make or renew the image, so that a later one never leaves an older image
// than an earlier one did. The lock is a file of its own: the process's
// locks on the real file are SQLite's, and any close of a descriptor of the
// real file here would drop them all (POSIX locks belong to the process and
// the file, not the descriptor).
class DurableImageLock {
 public:
  explicit DurableImageLock(const std::string& path)
      : fd_(open((path + kDurableLock).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0 || flock(fd_, LOCK_EX) != 0) _exit(3);
  }
  ~DurableImageLock() { close(fd_); }

 private:
  int fd_;
};

// Copies the real file, read through SQLite's own descriptor of it, over
// its durable image.
void CopyToImage(const std::string& path, sqlite3_file* real) {
  sqlite3_int64 size = 0;
  if (real->pMethods->xFileSize(real, &size) != SQLITE_OK) _exit(3);
  int durable = open((path + kDurable).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (durable < 0) _exit(3);
  std::vector<char> bytes(64 * 1024);
  for (sqlite3_int64 at = 0; at < size; at += static_cast<sqlite3_int64>(bytes.size())) {
    int amount = static_cast<int>(std::min<sqlite3_int64>(bytes.size(), size - at));
    if (real->pMethods->xRead(real, bytes.data(), amount, at) != SQLITE_OK) _exit(3);
    if (pwrite(durable, bytes.data(), static_cast<size_t>(amount), at) != amount) _exit(3);
  }
  if (ftruncate(durable, size) != 0) _exit(3);
  close(durable);
}

// Makes the file as it stands its durable image, as a sync does on Linux:
// every byte of the file reaches the disk, whichever process wrote it.
void MakeDurable(FileState* state, sqlite3_file* real) {
  DurableImageLock lock(state->path);
  CopyToImage(state->path, real);
}

// A file that has no image yet was there before anything here wrote it (or
// is new and empty): it is durable as it stands. Under the image's lock, so
// that a process that opens the file as another syncs it never puts back
// what came before that sync.
void FirstImage(FileState* state, sqlite3_file* real) {
  DurableImageLock lock(state->path);
  if (access((state->path + kDurable).c_str(), F_OK) != 0) CopyToImage(state->path, real);
}

}  // namespace

// Every call of a process ends it once the power is lost; writes, syncs and
// truncates are the events.
struct PowerLossCalls {
  static PowerLossFile* Of(sqlite3_file* file) { return reinterpret_cast<PowerLossFile*>(file); }
  static sqlite3_file* Real(sqlite3_file* file) { return Of(file)->forwarding.real; }
  static PowerLossVfs& Vfs() { return PowerLossVfs::Instance(); }

  static int Close(sqlite3_file* file) {
    PowerLossFile* ours = Of(file);
    if (ours->state != nullptr) {
      std::lock_guard<std::mutex> lock(states_mutex);
      // What was written stays unsynced after the close, as in the page
      // cache; the state stays for the next open of the same file.
      ours->state->users--;
    }
    return Real(file)->pMethods->xClose(Real(file));
  }
  static int Read(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xRead(Real(file), buffer, amount, offset);
  }
  static int Write(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
    Vfs().StopIfLost();
    bool cut = Vfs().Event();
    int rc = Real(file)->pMethods->xWrite(Real(file), buffer, amount, offset);
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
      MakeDurable(state, Real(file));
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
  static int CheckReservedLock(sqlite3_file* file, int* out) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xCheckReservedLock(Real(file), out);
  }
  static int SectorSize(sqlite3_file*) { return PowerLossVfs::kSectorSize; }
  static int ShmMap(sqlite3_file* file, int region, int size, int extend, void volatile** out) {
    Vfs().StopIfLost();
    return Real(file)->pMethods->xShmMap(Real(file), region, size, extend, out);
  }
  static int ShmLock(sqlite3_file* file, int offset, int n, int flags) {
    if ((flags & SQLITE_SHM_LOCK) != 0) Vfs().StopIfLost();
    return Real(file)->pMethods->xShmLock(Real(file), offset, n, flags);
  }

  static sqlite3_io_methods Methods() {
    sqlite3_io_methods methods = ForwardingMethods();
    methods.xClose = &Close;
    methods.xRead = &Read;
    methods.xWrite = &Write;
    methods.xTruncate = &Truncate;
    methods.xSync = &Sync;
    methods.xFileSize = &FileSize;
    methods.xLock = &Lock;
    methods.xCheckReservedLock = &CheckReservedLock;
    methods.xSectorSize = &SectorSize;
    methods.xShmMap = &ShmMap;
    methods.xShmLock = &ShmLock;
    return methods;
  }

  static int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags,
                  int* outFlags) {
    static const sqlite3_io_methods methods = Methods();
    Vfs().StopIfLost();
    Of(file)->state = nullptr;
    int rc = OpenForwarding(name, file, flags, outFlags, &methods, sizeof(PowerLossFile));
    const int kept = SQLITE_OPEN_MAIN_DB | SQLITE_OPEN_WAL | SQLITE_OPEN_MAIN_JOURNAL;
    if (rc != SQLITE_OK || name == nullptr || (flags & kept) == 0) return rc;
    std::lock_guard<std::mutex> lock(states_mutex);
    FileState& state = (*states)[name];
    state.path = name;
    state.users++;
    Of(file)->state = &state;
    FirstImage(&state, Real(file));
    return rc;
  }
  // A deletion is durable at once: SQLite deletes only what it has made
  // redundant and synced.
  static int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    Vfs().StopIfLost();
    unlink((std::string(name) + kDurable).c_str());
    return DefaultVfs()->xDelete(DefaultVfs(), name, syncDir);
  }
  static int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    Vfs().StopIfLost();
    return DefaultVfs()->xAccess(DefaultVfs(), name, flags, out);
  }
  static int Sleep(sqlite3_vfs*, int microseconds) {
    Vfs().StopIfLost();
    return DefaultVfs()->xSleep(DefaultVfs(), microseconds);
  }
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
  InitForwardingVfs(&vfs_, kName, sizeof(PowerLossFile));
  vfs_.xOpen = &PowerLossCalls::Open;
  vfs_.xDelete = &PowerLossCalls::Delete;
  vfs_.xAccess = &PowerLossCalls::Access;
  vfs_.xSleep = &PowerLossCalls::Sleep;
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
    unlink((file + kDurableLock).c_str());
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
