#include "plugin_path_check.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(PluginPathCheckTest, UnsafeBytes) {
  struct Case {
    std::string path;
    bool safe;
  } cases[] = {
      {"/bbs/board.tvx", true},
      {"/bbs/open-2024_v1.tvx", true},
      {"/bbs/a%22b.tvx", true},                     // a percent sign is only a percent sign
      {u8"/bbs/掲示板.tvx", true},                  // UTF-8
      {"/bbs/\x8C\x66\x8E\xA6\x94\xC2.tvx", true},  // Shift_JIS
      {"/bbs/q\"<i>.tvx", false},
      {"/<u>x.tvx", false},
      {"/bbs/a>b.tvx", false},
      {"/bbs/it's.tvx", false},
      {"/bbs/tom&jerry.tvx", false},
      {"/bbs/a\tb.tvx", false},
      {"/bbs/a\nb.tvx", false},
      {"/bbs/a\x7f.tvx", false},
      {std::string("/bbs/a\0b.tvx", 12), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(IsSafePluginPath(c.path), c.safe);
  }
}

TEST(PluginPathCheckTest, LogLineNamesTheFileAndStaysOneLine) {
  std::string line = UnsafePluginLogLine("/srv/www/bbs/q\"<i>.tvx", "/bbs/q\"<i>.tvx");
  EXPECT_NE(line.find("plug-in /srv/www/bbs/q\"<i>.tvx not run, unsafe name"), std::string::npos)
      << line;
  EXPECT_NE(line.find("holds '\"'"), std::string::npos) << line;

  line = UnsafePluginLogLine("/srv/www/a\nb.tvx", "/a\nb.tvx");
  EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  EXPECT_NE(line.find("/srv/www/a\\x0Ab.tvx"), std::string::npos) << line;
  EXPECT_NE(line.find("a control byte"), std::string::npos) << line;
}

}  // namespace
