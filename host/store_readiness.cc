#include "store_readiness.h"

#include "ceplatform.h"
#include "wince.h"

constexpr std::chrono::milliseconds StoreReadiness::kReuse;

bool StoreReadiness::PlatformProbe(std::string* reason) {
  char words[512];
  if (PlatformProbeStore(words, sizeof words)) return true;
  DWORD code = GetLastError();
  const char* what = code == ERROR_NOT_READY  ? "unreachable"
                     : code == ERROR_TIMEOUT ? "timed out"
                                             : "cannot be read";
  *reason = std::string(what) + ", error " + std::to_string(code) +
            (words[0] != '\0' ? std::string(": ") + words : std::string());
  // The probe runs on a thread of the host's own, never a plug-in's: its
  // outage record is of no call.
  PlatformTakeStoreOutage();
  return false;
}

StoreReadiness::StoreReadiness(Probe probe) : probe_(std::move(probe)) {}

bool StoreReadiness::Check(std::string* reason) {
  std::unique_lock<std::mutex> lock(mu_);
  auto now = std::chrono::steady_clock::now();
  if (round_ > 0 && !probing_ && now - checked_at_ < kReuse) {
    if (!ready_) *reason = reason_;
    return ready_;
  }
  if (probing_) {
    uint64_t round = round_;
    done_.wait(lock, [this, round] { return round_ != round; });
    if (!ready_) *reason = reason_;
    return ready_;
  }
  probing_ = true;
  lock.unlock();
  std::string why;
  bool ready = probe_(&why);
  lock.lock();
  probing_ = false;
  ++round_;
  ready_ = ready;
  reason_ = why;
  checked_at_ = std::chrono::steady_clock::now();
  done_.notify_all();
  if (!ready) *reason = why;
  return ready;
}
