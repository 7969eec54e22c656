// New records of several threads written to a PostgreSQL store in one
// transaction: each post gets its own answer and identifier, in the order of
// the writes, and a post to a database that is gone fails alone. (How a
// group fares under faults of its connection: pg_session_fault_test.cc.)
#include <string>
#include <vector>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class InsertGroupTest : public StoreTest {
 protected:
  Backend backend() const override { return Backend::kPostgres; }
};

TEST_F(InsertGroupTest, EachPostOfAGroupGetsItsOwnAnswer) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_a"));
  ASSERT_NE(0u, CreateBoard(u"TULVAN_b"));
  CEOID doomed = CreateBoard(u"TULVAN_gone");
  ASSERT_NE(0u, doomed);
  HANDLE a = OpenByName(u"TULVAN_a");
  HANDLE b = OpenByName(u"TULVAN_b");
  HANDLE gone = OpenByName(u"TULVAN_gone");
  ASSERT_TRUE(CeDeleteDatabase(doomed));
  std::vector<GroupPost> answers = {
      {a, "first on a"}, {b, "first on b"}, {gone, "to a board that is gone"},
      {a, "second on a"}, {b, "second on b"}, {a, "third on a"},
  };
  std::vector<unsigned long long> before = GroupSizes();
  PostAsOneGroup(&answers);
  EXPECT_EQ(1u, GroupSizes()[answers.size() - 1] - before[answers.size() - 1])
      << "not one group";

  for (const GroupPost& answer : answers) {
    SCOPED_TRACE(answer.text);
    if (answer.board == gone) {
      EXPECT_EQ(0u, answer.written);
      EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), answer.error);
      EXPECT_EQ(0, Copies(answer.text));
    } else {
      EXPECT_NE(0u, answer.written) << answer.error;
      EXPECT_EQ(1, Copies(answer.text));
    }
  }
  // Identifiers in the order of the writes, and the counts exact.
  EXPECT_LT(answers[0].written, answers[1].written);
  EXPECT_LT(answers[4].written, answers[5].written);
  for (HANDLE board : {a, b}) {
    std::vector<Post> posts = ReadAll(board);
    for (const Post& post : posts) {
      bool reported = false;
      for (const GroupPost& answer : answers) {
        reported = reported || (answer.written == post.oid && answer.text == post.text);
      }
      EXPECT_TRUE(reported) << "a stored post under the identifier it was reported with";
    }
    EXPECT_EQ(board == a ? 3u : 2u, posts.size());
  }
  for (HANDLE board : {a, b, gone}) CloseHandle(board);
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
