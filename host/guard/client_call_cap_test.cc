#include "client_call_cap.h"

#include <gtest/gtest.h>

#include "client_pairs_test.h"

namespace {

using std::chrono::milliseconds;

// A client takes the whole cap; then another address asks for one more call
// and is refused when it is the same client.
TEST(ClientCallCapTest, WhatCountsAsOneClient) {
  for (const ClientPair& c : ClientPairs()) {
    SCOPED_TRACE(std::string(c.first) + " / " + c.second);
    ClientCallCap cap(3);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(cap.Acquire(c.first).admitted) << i;
    EXPECT_FALSE(cap.Acquire(c.first).admitted);
    EXPECT_EQ(cap.Acquire(c.second).admitted, !c.shared);
    EXPECT_EQ(cap.clients(), c.shared ? 1u : 2u);
    EXPECT_EQ(cap.calls(c.first), 3);
  }
}

TEST(ClientCallCapTest, ReleaseGivesTheCallBackAndDropsTheEntryAtZero) {
  ClientCallCap cap(2);
  ASSERT_TRUE(cap.Acquire("192.0.2.1").admitted);
  ASSERT_TRUE(cap.Acquire("2001:db8::1").admitted);
  ASSERT_TRUE(cap.Acquire("192.0.2.1").admitted);
  EXPECT_FALSE(cap.Acquire("192.0.2.1").admitted);
  EXPECT_EQ(cap.calls("192.0.2.1"), 2);  // the refusal counted nothing

  // Released under another spelling of the same client.
  cap.Release("::ffff:192.0.2.1");
  EXPECT_EQ(cap.calls("192.0.2.1"), 1);
  EXPECT_TRUE(cap.Acquire("192.0.2.1").admitted);
  cap.Release("192.0.2.1");
  cap.Release("192.0.2.1");
  EXPECT_EQ(cap.calls("192.0.2.1"), 0);
  EXPECT_EQ(cap.clients(), 1u);
  cap.Release("2001:db8::ffff");  // the same /64
  EXPECT_EQ(cap.clients(), 0u);

  // A release of nothing counted changes nothing, and the cap still holds.
  cap.Release("198.51.100.1");
  EXPECT_EQ(cap.clients(), 0u);
  EXPECT_TRUE(cap.Acquire("192.0.2.1").admitted);
  EXPECT_TRUE(cap.Acquire("192.0.2.1").admitted);
  EXPECT_FALSE(cap.Acquire("192.0.2.1").admitted);
}

TEST(ClientCallCapTest, ZeroTurnsTheCapOff) {
  ClientCallCap cap(0);
  EXPECT_FALSE(cap.enabled());
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(cap.Acquire("192.0.2.1").admitted);
  EXPECT_EQ(cap.clients(), 0u);
  cap.Release("192.0.2.1");
  EXPECT_EQ(ClientCallCap(ClientCallCap::kDefaultPerClient).per_client(), 6);
}

// A client's refusals are logged at most once an interval, each client's
// apart, and a line tells how many were left out before it.
TEST(ClientCallCapTest, RefusalsAreLoggedOnceAnIntervalForEachClient) {
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  ClientCallCap cap(1, [&now] { return now; });
  ASSERT_TRUE(cap.Acquire("192.0.2.1").admitted);
  ASSERT_TRUE(cap.Acquire("192.0.2.2").admitted);

  CallAdmission first = cap.Acquire("192.0.2.1");
  EXPECT_FALSE(first.admitted);
  EXPECT_TRUE(first.log);
  EXPECT_EQ(first.unlogged, 0u);
  for (int i = 0; i < 10; ++i) {
    CallAdmission quiet = cap.Acquire("192.0.2.1");
    EXPECT_FALSE(quiet.admitted);
    EXPECT_FALSE(quiet.log) << i;
    now += milliseconds(100);
  }
  // Another client's first refusal has a line of its own.
  CallAdmission other = cap.Acquire("192.0.2.2");
  EXPECT_TRUE(other.log);
  EXPECT_EQ(other.unlogged, 10u);
  EXPECT_FALSE(cap.Acquire("192.0.2.2").log);

  now += ClientCallCap::kLogInterval - milliseconds(1001);
  EXPECT_FALSE(cap.Acquire("192.0.2.1").log);  // 1 ms short of the interval
  now += milliseconds(1);
  CallAdmission next = cap.Acquire("192.0.2.1");
  EXPECT_TRUE(next.log);
  EXPECT_EQ(next.unlogged, 2u);
  EXPECT_FALSE(cap.Acquire("192.0.2.1").log);
}

// Refusals from many addresses at once give no more than kLoggedClients
// lines an interval.
TEST(ClientCallCapTest, AFloodFromManyAddressesIsLoggedInPart) {
  std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
  ClientCallCap cap(1, [&now] { return now; });
  const size_t addresses = ClientCallCap::kLoggedClients + 4;
  auto address = [](size_t i) { return "2001:db8:" + std::to_string(i) + "::1"; };
  for (size_t i = 0; i < addresses; ++i) ASSERT_TRUE(cap.Acquire(address(i)).admitted);
  size_t lines = 0;
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < addresses; ++i) lines += cap.Acquire(address(i)).log ? 1 : 0;
  }
  EXPECT_EQ(lines, ClientCallCap::kLoggedClients);
  now += ClientCallCap::kLogInterval;
  CallAdmission later = cap.Acquire(address(addresses - 1));
  EXPECT_TRUE(later.log);
  EXPECT_EQ(later.unlogged, 3 * addresses - ClientCallCap::kLoggedClients);
}

}  // namespace
