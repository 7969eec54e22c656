// SetAll against Set called pair by pair: the plug-in must see the same block.
#include "tvx_library.h"

#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string Block(TvxRequest& request) {
  const TextBuffer* block = request.variables().buffer;
  if (block == nullptr || block->data == nullptr) return std::string();
  return std::string(block->data, static_cast<size_t>(block->length));
}

// One block of many small pairs, past several of the buffer's 512-byte blocks.
Pairs Many() {
  Pairs pairs;
  for (int i = 0; i < 80; ++i) pairs.emplace_back("HTTP_X_" + std::to_string(i), "value");
  return pairs;
}

TEST(TvxRequestSetAll, GivesTheBlockOfSetCalledInTurn) {
  struct Case {
    const char* what;
    Pairs pairs;
  } cases[] = {
      {"none", {}},
      {"plain", {{"REQUEST_METHOD", "GET"}, {"SCRIPT_NAME", "/bbs/board.tvx"}, {"QUERY_STRING", ""}}},
      {"a name given twice: the later value, moved to the end",
       {{"A", "1"}, {"B", "2"}, {"A", "3"}, {"C", "4"}}},
      {"names differing in case are two names", {{"Host", "a"}, {"HOST", "b"}}},
      {"a value with a NUL is cut there", {{"A", std::string("x\0y", 3)}, {"B", "z"}}},
      {"many pairs", Many()},
  };
  for (const Case& c : cases) {
    TvxRequest one_by_one;
    for (const auto& pair : c.pairs) ASSERT_TRUE(one_by_one.Set(pair.first, pair.second)) << c.what;
    TvxRequest at_once;
    ASSERT_TRUE(at_once.SetAll(c.pairs)) << c.what;
    EXPECT_EQ(Block(one_by_one), Block(at_once)) << c.what;
    // The lookups work on the new block (the cursor was not left behind).
    for (const auto& pair : c.pairs) {
      EXPECT_NE(nullptr, at_once.variables().Get(pair.first.c_str())) << c.what;
    }
  }
}

TEST(TvxRequestSetAll, AnEmptyNameIsRefusedAfterThePairsBeforeIt) {
  TvxRequest request;
  EXPECT_FALSE(request.SetAll({{"A", "1"}, {"", "2"}, {"B", "3"}}));
  EXPECT_STREQ("1", request.variables().Get("A"));
  EXPECT_EQ(nullptr, request.variables().Get("B"));
}

TEST(TvxRequestSetAll, PairsAlreadySetAreReplacedAsSetWould) {
  TvxRequest expected;
  TvxRequest request;
  for (TvxRequest* r : {&expected, &request}) ASSERT_TRUE(r->Set("A", "old"));
  ASSERT_TRUE(expected.Set("B", "2"));
  ASSERT_TRUE(expected.Set("A", "new"));
  ASSERT_TRUE(request.SetAll({{"B", "2"}, {"A", "new"}}));
  EXPECT_EQ(Block(expected), Block(request));
}

}  // namespace
