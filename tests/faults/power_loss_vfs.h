// PowerLossVfs: an SQLite VFS that keeps what was synced apart from what was
// only written, so that a test can cut the power.
//
// Writes go to the real file at once (processes see them, as they would in
// the page cache); what was last synced is kept beside it in a copy, the
// file's durable image ("<file>.durable"). A sync makes the whole file
// durable, whichever process wrote it, as a sync does on Linux. Each write, sync and truncate of
// any process is one event, counted in memory shared across fork. At the
// event chosen with CutPowerAt, power is lost: the write of that event still
// reaches the file, a sync or truncate does not happen, and every process
// that makes a file call from then on ends at once (_exit), as on a machine
// whose power went. Restore() then gives each file what a disk would hold
// after it came back: its durable image, or that image with part of what was
// written since, sector by sector (a torn write).
//
// The log's index (-shm) is memory shared between processes; power loss
// clears it, and Restore() removes it.
#ifndef TESTS_FAULTS_POWER_LOSS_VFS_H_
#define TESTS_FAULTS_POWER_LOSS_VFS_H_

#include <sqlite3.h>

#include <atomic>
#include <string>

namespace faults {

class PowerLossVfs {
 public:
  static constexpr const char* kName = "corkwall-powerloss";
  // The unit of a torn write.
  static constexpr int kSectorSize = 512;

  // The one VFS, registered (not as the default) on first use, with its
  // shared counters. Use it first before any fork.
  static PowerLossVfs& Instance();

  // Power is lost at the `event`-th event from now (0: never), counting
  // starts again.
  void CutPowerAt(long event);
  // Events so far, and whether power was lost.
  long events() const;
  bool lost() const;

  // How the sectors written since the last sync come back after the loss.
  enum class Loss {
    kDropped,  // none of them
    kTorn,     // each one or not, as `seed` picks; the rest as synced
  };
  // Gives the file at `path` and its log what survives the loss, and removes
  // their durable images and the log's index. Call it with no process using
  // the files.
  static void Restore(const std::string& path, Loss loss, unsigned seed);

 private:
  PowerLossVfs();
  friend struct PowerLossCalls;

  // Counts an event; true when power is lost at it.
  bool Event();
  // Ends the process when power was lost.
  void StopIfLost() const;

  struct Shared {
    std::atomic<long> events;
    std::atomic<long> cut_at;
    std::atomic<int> lost;
  };
  Shared* shared_;  // shared across fork
  sqlite3_vfs vfs_;
};

}  // namespace faults

#endif  // TESTS_FAULTS_POWER_LOSS_VFS_H_
