// Whether the store answers, as /readyz and the start-up ask: the platform's
// probe (PlatformProbeStore), run by one caller at a time. Callers that come
// while a probe runs wait for its result, and a result is used again for
// kReuse, so that a monitor asking often, or several at once, costs the
// store one probe and holds at most one of its connections.
#ifndef HOST_STORE_READINESS_H_
#define HOST_STORE_READINESS_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

class StoreReadiness {
 public:
  static constexpr std::chrono::milliseconds kReuse{500};

  // A probe: true when the store answers, else false with the reason. The
  // default is the platform's.
  using Probe = std::function<bool(std::string* reason)>;
  static bool PlatformProbe(std::string* reason);

  explicit StoreReadiness(Probe probe = PlatformProbe);

  // True when the store answers; false with the reason ("unreachable, error
  // 21: <the backend's words>") when it does not. Thread-safe.
  bool Check(std::string* reason);

 private:
  StoreReadiness(const StoreReadiness&) = delete;
  StoreReadiness& operator=(const StoreReadiness&) = delete;

  const Probe probe_;
  std::mutex mu_;
  std::condition_variable done_;
  bool probing_ = false;                                // guarded by mu_
  uint64_t round_ = 0;                                  // probes finished; guarded by mu_
  bool ready_ = false;                                  // the last result; guarded by mu_
  std::string reason_;                                  // guarded by mu_
  std::chrono::steady_clock::time_point checked_at_;    // guarded by mu_
};

#endif  // HOST_STORE_READINESS_H_
