#include "path_resolver.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

TEST(NormalizeUrlPathTest, Table) {
  struct Case {
    std::string decoded;
    bool ok;
    const char* lexical;
  } cases[] = {
      {"/", true, "/"},
      {"/bbs/board.tvx", true, "/bbs/board.tvx"},
      {"//bbs//./board.tvx", true, "/bbs/board.tvx"},
      {"/bbs/", true, "/bbs"},
      {"/admin/./corkwarden.tvx", true, "/admin/corkwarden.tvx"},
      {"/a/b/../c", true, "/a/c"},
      {"/a/..", true, "/"},
      {"/a/../..", false, ""},
      {"/..", false, ""},
      {"/../etc/passwd", false, ""},
      {"/bbs/../../etc/passwd", false, ""},
      {"/...", true, "/..."},  // a name, not a step up
      {"", false, ""},
      {"bbs/board.tvx", false, ""},
      {std::string("/board.tvx\0.html", 16), false, ""},
      {"/a\\..\\b", false, ""},
      {"/a\rb", false, ""},
      {"/a\x7f", false, ""},
      {"/\xe6\x8e\xb2\xe7\xa4\xba/board.tvx", true, "/\xe6\x8e\xb2\xe7\xa4\xba/board.tvx"},
  };
  for (const Case& c : cases) {
    std::string lexical = "untouched";
    EXPECT_EQ(NormalizeUrlPath(c.decoded, &lexical), c.ok) << c.decoded;
    EXPECT_EQ(lexical, c.ok ? c.lexical : "untouched") << c.decoded;
  }
}

TEST(PathNamesTest, HiddenPluginAndPrefix) {
  EXPECT_TRUE(HasHiddenSegment("/.htpasswd"));
  EXPECT_TRUE(HasHiddenSegment("/a/.git/config"));
  EXPECT_FALSE(HasHiddenSegment("/a/b.c/d"));
  EXPECT_FALSE(HasHiddenSegment("/"));

  EXPECT_TRUE(IsPluginName("/bbs/board.tvx"));
  EXPECT_TRUE(IsPluginName("/bbs/BOARD.TVX"));
  EXPECT_FALSE(IsPluginName("/bbs/.tvx"));
  EXPECT_FALSE(IsPluginName("/bbs.tvx/index.html"));
  EXPECT_FALSE(IsPluginName("/board.tvx.html"));

  EXPECT_TRUE(PathHasPrefix("/admin", "/admin"));
  EXPECT_TRUE(PathHasPrefix("/admin/corkwarden.tvx", "/admin"));
  EXPECT_TRUE(PathHasPrefix("/ADMIN/corkwarden.tvx", "/admin"));
  EXPECT_FALSE(PathHasPrefix("/administrator", "/admin"));
  EXPECT_FALSE(PathHasPrefix("/adm", "/admin"));
  EXPECT_TRUE(PathHasPrefix("/anything", "/"));
}

class ResolvePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/resolve.XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    char real[4096];
    ASSERT_NE(realpath(pattern.c_str(), real), nullptr);
    top_ = real;
    root_ = top_ + "/root";
    ASSERT_EQ(mkdir(root_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((root_ + "/bbs").c_str(), 0755), 0);
    std::ofstream(root_ + "/bbs/board.tvx") << "x";
    std::ofstream(top_ + "/secret.txt") << "secret";
    ASSERT_EQ(symlink((top_ + "/secret.txt").c_str(), (root_ + "/out.txt").c_str()), 0);
    ASSERT_EQ(symlink(top_.c_str(), (root_ + "/up").c_str()), 0);
    ASSERT_EQ(symlink("bbs/board.tvx", (root_ + "/alias.tvx").c_str()), 0);
    ASSERT_EQ(mkfifo((root_ + "/fifo").c_str(), 0644), 0);
  }
  void TearDown() override {
    std::string command = "rm -rf '" + top_ + "'";
    EXPECT_EQ(system(command.c_str()), 0);
  }
  std::string top_, root_;
};

TEST_F(ResolvePathTest, KindsAndRealPaths) {
  ResolvedPath file = ResolvePath(root_, "/bbs/board.tvx");
  EXPECT_EQ(file.kind, PathKind::kFile);
  EXPECT_EQ(file.real, root_ + "/bbs/board.tvx");
  EXPECT_EQ(file.relative, "/bbs/board.tvx");

  ResolvedPath folder = ResolvePath(root_, "/bbs");
  EXPECT_EQ(folder.kind, PathKind::kDirectory);
  EXPECT_EQ(ResolvePath(root_, "/").relative, "/");
  EXPECT_EQ(ResolvePath(root_, "/").kind, PathKind::kDirectory);

  EXPECT_EQ(ResolvePath(root_, "/missing.tvx").kind, PathKind::kNotFound);
  EXPECT_EQ(ResolvePath(root_, "/bbs/board.tvx/x").kind, PathKind::kNotFound);
  EXPECT_EQ(ResolvePath(root_, "/BBS/board.tvx").kind, PathKind::kNotFound);  // case as on disk
  EXPECT_EQ(ResolvePath(root_, "/fifo").kind, PathKind::kForbidden);
}

TEST_F(ResolvePathTest, SymbolicLinksOutOfTheRootAreRefused) {
  EXPECT_EQ(ResolvePath(root_, "/out.txt").kind, PathKind::kOutsideRoot);
  EXPECT_EQ(ResolvePath(root_, "/up/secret.txt").kind, PathKind::kOutsideRoot);
  EXPECT_EQ(ResolvePath(root_, "/up").kind, PathKind::kOutsideRoot);
  // A root whose name is a prefix of a sibling's name is no way out either.
  ASSERT_EQ(mkdir((top_ + "/rootx").c_str(), 0755), 0);
  std::ofstream(top_ + "/rootx/f.txt") << "f";
  ASSERT_EQ(symlink((top_ + "/rootx/f.txt").c_str(), (root_ + "/sib.txt").c_str()), 0);
  EXPECT_EQ(ResolvePath(root_, "/sib.txt").kind, PathKind::kOutsideRoot);
}

TEST_F(ResolvePathTest, LinkInsideTheRootResolvesToItsTarget) {
  ResolvedPath alias = ResolvePath(root_, "/alias.tvx");
  EXPECT_EQ(alias.kind, PathKind::kFile);
  EXPECT_EQ(alias.relative, "/bbs/board.tvx");
  EXPECT_EQ(alias.info.st_size, 1);

  // A link in the middle of the path counts as much as one at its end.
  ASSERT_EQ(symlink("bbs", (root_ + "/forum").c_str()), 0);
  ResolvedPath through = ResolvePath(root_, "/forum/board.tvx");
  EXPECT_EQ(through.kind, PathKind::kFile);
  EXPECT_EQ(through.real, root_ + "/bbs/board.tvx");
  EXPECT_EQ(through.relative, "/bbs/board.tvx");
  ResolvedPath folder = ResolvePath(root_, "/forum");
  EXPECT_EQ(folder.kind, PathKind::kDirectory);
  EXPECT_EQ(folder.relative, "/bbs");
  EXPECT_EQ(ResolvePath(root_, "/forum/missing").kind, PathKind::kNotFound);
  ASSERT_EQ(symlink("loop", (root_ + "/loop").c_str()), 0);
  EXPECT_EQ(ResolvePath(root_, "/loop/x").kind, PathKind::kNotFound);
}

TEST_F(ResolvePathTest, StatusIsTheFilesOwn) {
  ResolvedPath file = ResolvePath(root_, "/bbs/board.tvx");
  struct stat info;
  ASSERT_EQ(stat((root_ + "/bbs/board.tvx").c_str(), &info), 0);
  EXPECT_EQ(file.info.st_ino, info.st_ino);
  EXPECT_EQ(file.info.st_size, 1);
  EXPECT_TRUE(S_ISDIR(ResolvePath(root_, "/").info.st_mode));
  // The root itself, taken from "/".
  ResolvedPath top = ResolvePath("/", root_ + "/bbs/board.tvx");
  EXPECT_EQ(top.kind, PathKind::kFile);
  EXPECT_EQ(top.relative, root_ + "/bbs/board.tvx");
}

}  // namespace
