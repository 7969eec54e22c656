// FloodLimiter: how many posts a client address may make, as a token bucket
// per address. Each address starts with kBurst posts in hand and earns back
// `posts_per_minute` of them a minute, never more than kBurst.
//
// Addresses are counted by client as ClientKeyOf sees them: an IPv4 address
// (IPv4-mapped IPv6 included) by itself, an IPv6 address by its /64. Text
// that is no address at all shares one bucket.
//
// Memory is fixed when the limiter is made: a table of `capacity` buckets.
// When it is full, the bucket used longest ago is dropped for the new
// address; that address then starts afresh, which costs nothing an attacker
// with so many addresses did not have anyway.
//
// Thread-safe. The clock is passed in, so tests step time by hand.
//
// The server makes one limiter from --post-rate and calls Take for every
// POST to a plug-in outside the --auth prefixes, with the client's address
// after TrustedProxies::Resolve; a refusal is answered with
// FloodAnswer(decision.retry_after_seconds) and the plug-in is not called.
#ifndef HOST_GUARD_FLOOD_LIMITER_H_
#define HOST_GUARD_FLOOD_LIMITER_H_

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "client_key.h"

// The answer for one post.
struct FloodDecision {
  bool allowed = true;
  // When refused: whole seconds until the next post is allowed (at least
  // 1), for Retry-After. 0 when allowed.
  int retry_after_seconds = 0;
};

class FloodLimiter {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  static constexpr int kBurst = 5;
  static constexpr size_t kDefaultCapacity = 16384;

  // posts_per_minute 0 turns the limit off: every post is allowed and the
  // table is never allocated. REQUIRES: posts_per_minute >= 0, capacity >= 1.
  explicit FloodLimiter(int posts_per_minute, size_t capacity = kDefaultCapacity,
                        Clock clock = std::chrono::steady_clock::now);

  // Counts one post from `client_address` (the address as REMOTE_ADDR
  // shows it, after trusted proxies) and says whether it may go ahead. A
  // refused post costs nothing.
  FloodDecision Take(const std::string& client_address);

  bool enabled() const { return rate_ > 0; }
  int posts_per_minute() const { return static_cast<int>(rate_); }
  // Buckets in use; never more than capacity().
  size_t entries() const;
  size_t capacity() const { return capacity_; }
  // Bytes of the table, all taken when the limiter is made.
  size_t MemoryBytes() const;

 private:
  FloodLimiter(const FloodLimiter&) = delete;
  FloodLimiter& operator=(const FloodLimiter&) = delete;

  using Key = ClientKey;
  struct Bucket {
    Key key;
    uint64_t hash = 0;
    int64_t tokens = 0;   // in units of 1/60000 post
    int64_t last_ms = 0;  // when tokens were last brought up to date
    int32_t newer = -1;   // neighbours in the order of use
    int32_t older = -1;
  };

  int64_t NowMs() const;
  // REQUIRES: mu_ held, for the helpers below.
  int32_t Find(const Key& key, uint64_t hash) const;
  int32_t Insert(const Key& key, uint64_t hash, int64_t now_ms);
  void RemoveFromSlots(int32_t index);
  void Unlink(int32_t index);
  void LinkNewest(int32_t index);

  const int64_t rate_;  // units earned per millisecond = posts per minute
  const size_t capacity_;
  const Clock clock_;
  const uint64_t seed_;

  mutable std::mutex mu_;
  std::vector<Bucket> buckets_;  // capacity_ of them, made once
  std::vector<int32_t> slots_;   // open addressing, -1 empty; a power of two >= 2 * capacity_
  size_t used_ = 0;
  int32_t newest_ = -1;
  int32_t oldest_ = -1;
};

#endif  // HOST_GUARD_FLOOD_LIMITER_H_
