#include "flood_limiter.h"

#include <algorithm>
#include <utility>

namespace {

// Tokens are kept in units of 1/60000 post, so that a rate in posts per
// minute earns exactly `rate` units a millisecond.
const int64_t kUnit = 60000;

size_t SlotCount(size_t capacity) {
  size_t slots = 1;
  while (slots < 2 * capacity) slots <<= 1;
  return slots;
}

}  // namespace

FloodLimiter::FloodLimiter(int posts_per_minute, size_t capacity, Clock clock)
    : rate_(posts_per_minute > 0 ? posts_per_minute : 0),
      capacity_(capacity > 0 ? capacity : 1),
      clock_(std::move(clock)),
      seed_(RandomHashSeed()) {
  if (rate_ > 0) {
    buckets_.resize(capacity_);
    slots_.assign(SlotCount(capacity_), -1);
  }
}

int64_t FloodLimiter::NowMs() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(clock_().time_since_epoch())
      .count();
}

size_t FloodLimiter::entries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return used_;
}

size_t FloodLimiter::MemoryBytes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return buckets_.capacity() * sizeof(Bucket) + slots_.capacity() * sizeof(int32_t);
}

int32_t FloodLimiter::Find(const Key& key, uint64_t hash) const {
  size_t mask = slots_.size() - 1;
  for (size_t i = hash & mask; slots_[i] != -1; i = (i + 1) & mask) {
    if (buckets_[slots_[i]].key == key) return slots_[i];
  }
  return -1;
}

void FloodLimiter::Unlink(int32_t index) {
  Bucket& bucket = buckets_[index];
  if (bucket.newer != -1) buckets_[bucket.newer].older = bucket.older;
  if (bucket.older != -1) buckets_[bucket.older].newer = bucket.newer;
  if (newest_ == index) newest_ = bucket.older;
  if (oldest_ == index) oldest_ = bucket.newer;
  bucket.newer = bucket.older = -1;
}

void FloodLimiter::LinkNewest(int32_t index) {
  Bucket& bucket = buckets_[index];
  bucket.newer = -1;
  bucket.older = newest_;
  if (newest_ != -1) buckets_[newest_].newer = index;
  newest_ = index;
  if (oldest_ == -1) oldest_ = index;
}

void FloodLimiter::RemoveFromSlots(int32_t index) {
  size_t mask = slots_.size() - 1;
  size_t i = buckets_[index].hash & mask;
  while (slots_[i] != index) i = (i + 1) & mask;
  // Linear probing without tombstones: pull later entries of the same run
  // back into the hole unless their home lies cyclically after it.
  size_t j = i;
  for (;;) {
    j = (j + 1) & mask;
    if (slots_[j] == -1) break;
    size_t home = buckets_[slots_[j]].hash & mask;
    bool stays = i <= j ? (i < home && home <= j) : (i < home || home <= j);
    if (!stays) {
      slots_[i] = slots_[j];
      i = j;
    }
  }
  slots_[i] = -1;
}

int32_t FloodLimiter::Insert(const Key& key, uint64_t hash, int64_t now_ms) {
  int32_t index;
  if (used_ < capacity_) {
    index = static_cast<int32_t>(used_++);
  } else {
    index = oldest_;
    RemoveFromSlots(index);
    Unlink(index);
  }
  Bucket& bucket = buckets_[index];
  bucket.key = key;
  bucket.hash = hash;
  bucket.tokens = kBurst * kUnit;
  bucket.last_ms = now_ms;
  size_t mask = slots_.size() - 1;
  size_t i = hash & mask;
  while (slots_[i] != -1) i = (i + 1) & mask;
  slots_[i] = index;
  LinkNewest(index);
  return index;
}

FloodDecision FloodLimiter::Take(const std::string& client_address) {
  FloodDecision decision;
  if (!enabled()) return decision;
  Key key = ClientKeyOf(client_address);
  uint64_t hash = HashClientKey(key, seed_);
  int64_t now = NowMs();

  std::lock_guard<std::mutex> lock(mu_);
  int32_t index = Find(key, hash);
  if (index < 0) {
    index = Insert(key, hash, now);
  } else {
    Unlink(index);
    LinkNewest(index);
  }
  Bucket& bucket = buckets_[index];
  const int64_t full = kBurst * kUnit;
  if (now > bucket.last_ms) {
    int64_t elapsed = now - bucket.last_ms;
    // Long idle fills the bucket; the cut also keeps the product in range.
    bucket.tokens = elapsed >= full / rate_ + 1 ? full : std::min(full, bucket.tokens + elapsed * rate_);
    bucket.last_ms = now;
  }
  if (bucket.tokens >= kUnit) {
    bucket.tokens -= kUnit;
    return decision;
  }
  int64_t wait_ms = (kUnit - bucket.tokens + rate_ - 1) / rate_;
  decision.allowed = false;
  decision.retry_after_seconds = static_cast<int>(std::max<int64_t>(1, (wait_ms + 999) / 1000));
  return decision;
}
