#include "server_variables.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "ceplatform.h"

namespace {

typedef std::vector<std::pair<std::string, std::string>> Pairs;

// The pairs as a walk with the cursor sees them.
Pairs Walk(ServerVariables* variables) {
  Pairs pairs;
  for (char* name = variables->Rewind(); name != nullptr; name = variables->Next()) {
    EXPECT_EQ(name, variables->CurrentName());
    pairs.emplace_back(name, variables->CurrentValue());
  }
  return pairs;
}

void Fill(ServerVariables* variables, const Pairs& pairs) {
  for (const auto& pair : pairs) {
    ASSERT_LT(0, variables->Set(pair.first.c_str(), pair.second.c_str()));
  }
}

TEST(ServerVariablesTest, EmptyBlockFindsNothing) {
  ServerVariables variables;
  EXPECT_EQ(nullptr, variables.cursor);
  EXPECT_EQ(nullptr, variables.Block());
  EXPECT_EQ(nullptr, variables.Get("SCRIPT_NAME"));
  EXPECT_EQ(nullptr, variables.GetNoCase("SCRIPT_NAME"));
  EXPECT_EQ(nullptr, variables.Rewind());
  EXPECT_EQ(nullptr, variables.Next());
  EXPECT_EQ(nullptr, variables.CurrentValue());
  EXPECT_EQ(0, variables.Remove("SCRIPT_NAME"));
}

TEST(ServerVariablesTest, BlockLayoutIsNameValuePairs) {
  ServerVariables variables;
  EXPECT_EQ(20, variables.Set("REQUEST_METHOD", "POST"));
  EXPECT_EQ(14, variables.Set("QUERY_STRING", ""));
  const char expected[] = "REQUEST_METHOD\0POST\0QUERY_STRING\0\0";
  ASSERT_EQ(34, variables.buffer->length);
  EXPECT_EQ(0, memcmp(expected, variables.Block(), sizeof(expected)));
}

TEST(ServerVariablesTest, Lookups) {
  ServerVariables variables;
  Fill(&variables, {{"SCRIPT_NAME", "/bbs/board.tvx"},
                    {"QUERY_STRING", ""},
                    {"DOCUMENT_ROOT", "\\www"},
                    {"Content_Type", "text/plain"}});
  struct Case {
    const char* name;
    bool noCase;
    const char* value;  // nullptr: absent
  } cases[] = {
      {"SCRIPT_NAME", false, "/bbs/board.tvx"},
      {"script_name", false, nullptr},
      {"script_name", true, "/bbs/board.tvx"},
      {"Script_Name", true, "/bbs/board.tvx"},
      {"SCRIPT", false, nullptr},  // a prefix of a stored name
      {"SCRIPT", true, nullptr},
      {"SCRIPT_NAME_X", false, nullptr},  // a stored name is a prefix of it
      {"SCRIPT_NAME_X", true, nullptr},
      {"QUERY_STRING", false, ""},
      {"DOCUMENT_ROOT", false, "\\www"},  // after an empty value
      {"CONTENT_TYPE", false, nullptr},
      {"CONTENT_TYPE", true, "text/plain"},
      {"/bbs/board.tvx", false, nullptr},  // values are not names
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << (c.noCase ? " (no case)" : ""));
    char* value = c.noCase ? variables.GetNoCase(c.name) : variables.Get(c.name);
    if (c.value == nullptr) {
      EXPECT_EQ(nullptr, value);
    } else {
      ASSERT_NE(nullptr, value);
      EXPECT_STREQ(c.value, value);
    }
  }
}

TEST(ServerVariablesTest, FindMovesTheCursorToTheName) {
  ServerVariables variables;
  Fill(&variables, {{"A", "1"}, {"B", "2"}, {"C", "3"}});
  char* found = variables.Find("B");
  ASSERT_NE(nullptr, found);
  EXPECT_STREQ("B", found);
  EXPECT_EQ(found, variables.CurrentName());
  EXPECT_STREQ("2", variables.CurrentValue());
  EXPECT_STREQ("C", variables.Next());
  EXPECT_EQ(nullptr, variables.Next());
  EXPECT_STREQ("C", variables.FindNoCase("c"));
}

TEST(ServerVariablesTest, NoCaseFoldsOnlyAsciiLetters) {
  ServerVariables variables;
  Fill(&variables, {{"\x82\xa0X", "sjis"}, {"N[1]", "brackets"}});
  EXPECT_STREQ("sjis", variables.GetNoCase("\x82\xa0x"));
  EXPECT_EQ(nullptr, variables.GetNoCase("\xa2\xa0x"));  // 0x82 + 32 is not 0x82
  EXPECT_STREQ("brackets", variables.GetNoCase("n[1]"));
  EXPECT_EQ(nullptr, variables.GetNoCase("n{1}"));  // '[' + 32 is '{'
}

TEST(ServerVariablesTest, FirstOfNamesDifferingInCaseWins) {
  ServerVariables variables;
  Fill(&variables, {{"Path", "first"}, {"PATH", "second"}});
  EXPECT_STREQ("first", variables.GetNoCase("PATH"));
  EXPECT_STREQ("second", variables.Get("PATH"));
}

TEST(ServerVariablesTest, SetReplacesAndMovesToTheEnd) {
  ServerVariables variables;
  Fill(&variables, {{"A", "1"}, {"B", "2"}, {"C", "3"}});
  EXPECT_EQ(8, variables.Set("A", "new11"));
  EXPECT_EQ((Pairs{{"B", "2"}, {"C", "3"}, {"A", "new11"}}), Walk(&variables));
  EXPECT_EQ(5, variables.Set("D", "44"));
  EXPECT_EQ((Pairs{{"B", "2"}, {"C", "3"}, {"A", "new11"}, {"D", "44"}}), Walk(&variables));
}

TEST(ServerVariablesTest, SetRefusesWhatWouldBreakTheBlock) {
  ServerVariables variables;
  Fill(&variables, {{"A", "1"}});
  EXPECT_EQ(0, variables.Set(nullptr, "x"));
  EXPECT_EQ(0, variables.Set("B", nullptr));
  // An empty name would end the list and hide every pair set after it.
  EXPECT_EQ(0, variables.Set("", "x"));
  Fill(&variables, {{"C", "3"}});
  EXPECT_EQ((Pairs{{"A", "1"}, {"C", "3"}}), Walk(&variables));
}

TEST(ServerVariablesTest, RemoveKeepsTheOtherPairsInOrder) {
  const Pairs three = {{"FIRST", "1"}, {"MIDDLE", ""}, {"LAST", "333"}};
  struct Case {
    const char* removed;
    Pairs left;
  } cases[] = {
      {"FIRST", {{"MIDDLE", ""}, {"LAST", "333"}}},
      {"MIDDLE", {{"FIRST", "1"}, {"LAST", "333"}}},
      {"LAST", {{"FIRST", "1"}, {"MIDDLE", ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.removed);
    ServerVariables variables;
    Fill(&variables, three);
    EXPECT_EQ(1, variables.Remove(c.removed));
    EXPECT_EQ(c.left, Walk(&variables));
    EXPECT_EQ(nullptr, variables.Get(c.removed));
    for (const auto& pair : c.left) {
      const char* value = variables.Get(pair.first.c_str());
      ASSERT_NE(nullptr, value);
      EXPECT_EQ(pair.second, value);
    }
    // The block stays exactly the pairs left and its NUL.
    int bytes = 0;
    for (const auto& pair : c.left) bytes += pair.first.size() + pair.second.size() + 2;
    EXPECT_EQ(bytes, variables.buffer->length);
    EXPECT_EQ(0, variables.Block()[bytes]);
  }
}

TEST(ServerVariablesTest, RemoveOfTheOnlyPairLeavesNoStorage) {
  ServerVariables variables;
  Fill(&variables, {{"ONLY", "x"}});
  EXPECT_EQ(0, variables.Remove("only"));  // exact names only
  EXPECT_EQ(1, variables.Remove("ONLY"));
  EXPECT_EQ(nullptr, variables.Block());
  EXPECT_EQ(nullptr, variables.Rewind());
  EXPECT_EQ(nullptr, variables.Get("ONLY"));
  Fill(&variables, {{"AGAIN", "y"}});
  EXPECT_EQ((Pairs{{"AGAIN", "y"}}), Walk(&variables));
}

TEST(ServerVariablesTest, CursorWalkVisitsEveryPairOnce) {
  ServerVariables variables;
  Pairs pairs = {{"SCRIPT_NAME", "/a.tvx"}, {"EMPTY", ""}, {"QUERY_STRING", "a=1&b=2"},
                 {"EMPTY2", ""}, {"CONTENT_LENGTH", "12"}};
  Fill(&variables, pairs);
  EXPECT_EQ(pairs, Walk(&variables));
  // After the end, Next stays at the end; a lookup starts again from the top.
  EXPECT_EQ(nullptr, variables.Next());
  EXPECT_STREQ("/a.tvx", variables.Get("SCRIPT_NAME"));
}

TEST(ServerVariablesTest, SetLeavesNoStaleCursor) {
  ServerVariables variables;
  variables.buffer->blockSize = 1;  // every Set moves the storage
  Fill(&variables, {{"A", "1"}, {"B", "2"}});
  variables.Find("B");
  Fill(&variables, {{"C", "3"}});
  EXPECT_EQ(variables.Block(), variables.cursor);
  EXPECT_STREQ("B", variables.Next());
}

// Rebuilding the block takes up to three heap allocations here (the first
// block, its growth, the growth for the tail). Whichever fails, Remove either
// succeeds whole or leaves every pair in place.
TEST(ServerVariablesTest, HeapFailureDuringRemoveLosesNoVariable) {
  const std::string big(600, 'v');
  const Pairs three = {{"A", big}, {"B", "2"}, {"C", big}};
  for (const char* removed : {"A", "B", "C"}) {
    for (long failAfter = 0; failAfter <= 3; ++failAfter) {
      SCOPED_TRACE(testing::Message() << removed << " fail after " << failAfter);
      ServerVariables variables;
      Fill(&variables, three);
      PlatformFailHeapAfter(failAfter);
      int result = variables.Remove(removed);
      PlatformFailHeapAfter(-1);
      Pairs expected = three;
      if (result == 1) {
        for (auto it = expected.begin(); it != expected.end(); ++it) {
          if (it->first == removed) {
            expected.erase(it);
            break;
          }
        }
      }
      EXPECT_EQ(expected, Walk(&variables));
      if (failAfter == 0) {
        EXPECT_EQ(0, result);
      }
      if (failAfter == 3) {
        EXPECT_EQ(1, result);
      }
    }
  }
}

// A new pair whose name still fits the block but whose value needs more
// room: when the heap gives none, the name must not stay behind on its own
// (it would pair with whatever follows and shift every later pair).
TEST(ServerVariablesTest, HeapFailureOnTheValueLeavesNoNameBehind) {
  const Pairs before = {{"A", std::string(500, 'a')}};  // 504 bytes of 512
  for (size_t valueLength : {std::string::size_type(4), std::string::size_type(40)}) {
    SCOPED_TRACE(valueLength);
    ServerVariables variables;
    Fill(&variables, before);
    const int length = variables.buffer->length;
    PlatformFailHeapAfter(0);
    int result = variables.Set("N", std::string(valueLength, 'n').c_str());
    PlatformFailHeapAfter(-1);
    if (valueLength == 4) {  // "N\0nnnn\0" fits the block: no allocation
      EXPECT_EQ(7, result);
      EXPECT_STREQ("nnnn", variables.Get("N"));
      continue;
    }
    EXPECT_EQ(0, result);
    EXPECT_EQ(before, Walk(&variables));
    EXPECT_EQ(length, variables.buffer->length);
    EXPECT_EQ(nullptr, variables.Get("N"));
    EXPECT_EQ(7, variables.Set("B", "2222"));
    EXPECT_EQ((Pairs{{"A", std::string(500, 'a')}, {"B", "2222"}}), Walk(&variables));
  }
}

// Replacing a pair under heap failure: the old value is either replaced, kept
// (Set reports 0 and nothing changed) or, when only the new pair could not be
// added, gone. Never two pairs of one name, never success with the old value.
TEST(ServerVariablesTest, HeapFailureDuringSetNeverShadowsTheNewValue) {
  const std::string big(600, 'v');
  const Pairs three = {{"A", big}, {"B", "2"}, {"C", "3"}};
  const Pairs replaced = {{"A", big}, {"C", "3"}, {"B", "new"}};
  const Pairs dropped = {{"A", big}, {"C", "3"}};
  for (long failAfter = 0; failAfter <= 4; ++failAfter) {
    SCOPED_TRACE(testing::Message() << "fail after " << failAfter);
    ServerVariables variables;
    Fill(&variables, three);
    PlatformFailHeapAfter(failAfter);
    int result = variables.Set("B", "new");
    PlatformFailHeapAfter(-1);
    Pairs walked = Walk(&variables);
    if (result > 0) {
      EXPECT_EQ(6, result);
      EXPECT_EQ(replaced, walked);
      EXPECT_STREQ("new", variables.Get("B"));
    } else {
      EXPECT_TRUE(walked == three || walked == dropped) << walked.size() << " pairs";
    }
    if (failAfter == 0) {
      EXPECT_EQ(0, result);
      EXPECT_EQ(three, walked);
    }
    if (failAfter == 4) {
      EXPECT_EQ(6, result);
    }
  }
}

}  // namespace
