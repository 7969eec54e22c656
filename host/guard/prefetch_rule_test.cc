#include "prefetch_rule.h"

#include <gtest/gtest.h>

namespace {

TEST(PrefetchRuleTest, WhatNamesAPrefetch) {
  struct Case {
    const char* value;
    bool prefetch;
  } cases[] = {
      {"prefetch", true},
      {"prefetch;prerender", true},
      {"prefetch;anonymous-client-ip", true},
      {" Prefetch ", true},
      {"PREFETCH", true},
      {"prerender, prefetch", true},
      {"prefetch ; prerender", true},
      {"", false},
      {"prerender", false},
      {"prefetcher", false},
      {"no-prefetch", false},
      {"\"prefetch\"", false},
      {"preview", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NamesPrefetch(c.value), c.prefetch) << "'" << c.value << "'";
  }
}

}  // namespace
