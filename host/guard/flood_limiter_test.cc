#include "flood_limiter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <list>
#include <random>
#include <thread>
#include <vector>

#include "client_pairs_test.h"

namespace {

// A clock the test moves by hand.
class FakeClock {
 public:
  std::chrono::steady_clock::time_point Now() const { return start_ + now_; }
  void Advance(std::chrono::milliseconds step) { now_ += step; }
  FloodLimiter::Clock AsClock() {
    return [this] { return Now(); };
  }

 private:
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::chrono::milliseconds now_{0};
};

using std::chrono::milliseconds;

TEST(FloodLimiterTest, BurstThenOnePostPerInterval) {
  FakeClock clock;
  FloodLimiter limiter(10, 64, clock.AsClock());  // one post earned every 6 s
  for (int i = 0; i < FloodLimiter::kBurst; ++i) {
    EXPECT_TRUE(limiter.Take("192.0.2.1").allowed) << "post " << i;
  }
  FloodDecision refused = limiter.Take("192.0.2.1");
  EXPECT_FALSE(refused.allowed);
  EXPECT_EQ(refused.retry_after_seconds, 6);

  clock.Advance(milliseconds(5001));
  refused = limiter.Take("192.0.2.1");
  EXPECT_FALSE(refused.allowed);
  EXPECT_EQ(refused.retry_after_seconds, 1);  // 999 ms left, rounded up

  clock.Advance(milliseconds(999));
  EXPECT_TRUE(limiter.Take("192.0.2.1").allowed);
  EXPECT_FALSE(limiter.Take("192.0.2.1").allowed);

  // A long pause fills the bucket to the burst, no further.
  clock.Advance(milliseconds(3600 * 1000));
  int allowed = 0;
  for (int i = 0; i < 20; ++i) allowed += limiter.Take("192.0.2.1").allowed ? 1 : 0;
  EXPECT_EQ(allowed, FloodLimiter::kBurst);
}

TEST(FloodLimiterTest, RetryAfterIsWholeSecondsRoundedUp) {
  struct Case {
    int rate;
    int retry;
  } cases[] = {{1, 60}, {7, 9}, {10, 6}, {60, 1}, {600, 1}, {60000, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rate);
    FakeClock clock;  // stands still: the burst is spent at once
    FloodLimiter limiter(c.rate, 8, clock.AsClock());
    for (int i = 0; i < FloodLimiter::kBurst; ++i) limiter.Take("192.0.2.1");
    FloodDecision decision = limiter.Take("192.0.2.1");
    EXPECT_FALSE(decision.allowed);
    EXPECT_EQ(decision.retry_after_seconds, c.retry);
  }
}

TEST(FloodLimiterTest, WhatCountsAsOneClient) {
  for (const ClientPair& c : ClientPairs()) {
    SCOPED_TRACE(std::string(c.first) + " / " + c.second);
    FakeClock clock;
    FloodLimiter limiter(10, 64, clock.AsClock());
    for (int i = 0; i < FloodLimiter::kBurst; ++i) ASSERT_TRUE(limiter.Take(c.first).allowed);
    EXPECT_FALSE(limiter.Take(c.first).allowed);
    EXPECT_EQ(limiter.Take(c.second).allowed, !c.shared);
  }
}

// One address posting 100 times in 10 s gets its burst and what it earns in
// that time; a second address posting at a person's pace is never refused.
TEST(FloodLimiterTest, FloodFromOneAddressLeavesAnotherAlone) {
  FakeClock clock;
  const int rate = 10;
  FloodLimiter limiter(rate, 64, clock.AsClock());
  int flood_allowed = 0;
  int first_refused = -1;
  int other_refused = 0;
  for (int i = 0; i < 100; ++i) {
    FloodDecision decision = limiter.Take("198.51.100.1");
    if (decision.allowed) ++flood_allowed;
    if (!decision.allowed && first_refused < 0) first_refused = i;
    if (!decision.allowed) {
      EXPECT_GE(decision.retry_after_seconds, 1);
    }
    if (i % 25 == 0 && !limiter.Take("198.51.100.2").allowed) ++other_refused;
    clock.Advance(milliseconds(100));
  }
  EXPECT_EQ(first_refused, FloodLimiter::kBurst);
  EXPECT_EQ(flood_allowed, FloodLimiter::kBurst + 10 * rate / 60);
  EXPECT_EQ(other_refused, 0);
}

TEST(FloodLimiterTest, OffAllowsEverythingAndHoldsNothing) {
  FloodLimiter limiter(0);
  EXPECT_FALSE(limiter.enabled());
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(limiter.Take("192.0.2.1").allowed);
  EXPECT_EQ(limiter.entries(), 0u);
  EXPECT_EQ(limiter.MemoryBytes(), 0u);
}

TEST(FloodLimiterTest, MemoryStaysWithinItsBoundAfter100000Addresses) {
  FakeClock clock;
  FloodLimiter limiter(10, FloodLimiter::kDefaultCapacity, clock.AsClock());
  const size_t at_start = limiter.MemoryBytes();
  // The table: the buckets and twice as many slots, fixed when made.
  EXPECT_LE(at_start, FloodLimiter::kDefaultCapacity * (64 + 4 * sizeof(int32_t)));
  for (int i = 0; i < 100000; ++i) {
    std::string address = i % 2 == 0
                              ? "10." + std::to_string(i >> 16) + "." +
                                    std::to_string((i >> 8) & 255) + "." + std::to_string(i & 255)
                              : "2001:db8:" + std::to_string(i % 9000) + ":" +
                                    std::to_string(i / 9000) + "::1";
    limiter.Take(address);
    clock.Advance(milliseconds(1));
  }
  EXPECT_EQ(limiter.entries(), limiter.capacity());
  EXPECT_EQ(limiter.MemoryBytes(), at_start);
  std::printf("flood limiter: %zu buckets in %zu bytes after 100000 addresses\n",
              limiter.entries(), limiter.MemoryBytes());

  // Still a working limiter: a recent address is remembered, the oldest
  // ones were dropped and start afresh.
  for (int i = 0; i < FloodLimiter::kBurst; ++i) limiter.Take("203.0.113.9");
  EXPECT_FALSE(limiter.Take("203.0.113.9").allowed);
  for (int i = 0; i < FloodLimiter::kBurst; ++i) EXPECT_TRUE(limiter.Take("10.0.0.0").allowed);
}

// The table against a plain model of it (a list in order of use), over many
// addresses through a small table: a bucket lost or duplicated when another
// is dropped would show as a wrong answer.
TEST(FloodLimiterTest, AgreesWithAModelUnderChurn) {
  FakeClock clock;
  const size_t capacity = 64;
  FloodLimiter limiter(1, capacity, clock.AsClock());  // the clock stands still
  std::list<std::pair<int, int>> model;                 // address, posts; newest first
  std::mt19937 random(7);
  for (int step = 0; step < 20000; ++step) {
    int address = static_cast<int>(random() % 200);
    auto it = model.begin();
    while (it != model.end() && it->first != address) ++it;
    int taken = 0;
    if (it != model.end()) {
      taken = it->second;
      model.erase(it);
    } else if (model.size() == capacity) {
      model.pop_back();
    }
    bool expected = taken < FloodLimiter::kBurst;
    model.emplace_front(address, expected ? taken + 1 : taken);
    ASSERT_EQ(limiter.Take("10.1.0." + std::to_string(address)).allowed, expected)
        << "step " << step << " address " << address;
  }
  EXPECT_EQ(limiter.entries(), capacity);
}

TEST(FloodLimiterTest, ThreadsShareOneBucketExactly) {
  FakeClock clock;
  FloodLimiter limiter(10, 128, clock.AsClock());
  std::atomic<int> allowed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&limiter, &allowed, t] {
      for (int i = 0; i < 200; ++i) {
        if (limiter.Take("192.0.2.1").allowed) ++allowed;
        limiter.Take("10.2." + std::to_string(t) + "." + std::to_string(i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(allowed.load(), FloodLimiter::kBurst);
  EXPECT_LE(limiter.entries(), limiter.capacity());
}

}  // namespace
