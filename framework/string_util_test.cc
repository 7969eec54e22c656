#include "string_util.h"

#include <ctype.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

// Decodes `input` in a buffer with a guard area after its terminator and
// returns the first `shownBytes` bytes of the result, embedded NULs included.
std::string Decoded(const std::string& input, size_t shownBytes) {
  std::string buffer = input + std::string(1, '\0') + "GUARD";
  UrlDecode(&buffer[0]);
  // Bytes after the old terminator are never touched.
  EXPECT_EQ("GUARD", buffer.substr(input.size() + 1)) << input;
  return buffer.substr(0, shownBytes);
}

TEST(UrlDecodeTest, Table) {
  struct Case {
    std::string input;
    std::string decoded;  // the bytes up to and including the new NUL
  } cases[] = {
      {"a+b%41%%", std::string("a bA%\0", 6)},
      {"%2B", std::string("+\0", 2)},
      {"%25", std::string("%\0", 2)},
      {"x%4", std::string("x\x40\0", 3)},
      {"x%", std::string("x\0\0", 3)},
      {"%zz", std::string("\0\0", 2)},
      {"%2%41", std::string(" 41\0", 4)},
      {"", std::string("\0", 1)},
      {"plain", std::string("plain\0", 6)},
      {"%e3%81%82", std::string("\xe3\x81\x82\0", 4)},
      {"%", std::string("\0", 1)},
      {"%%%", std::string("%\0", 2)},
      {"%%41", std::string("%41\0", 4)},  // one pass: the '%' made is not decoded again
      {"%2541", std::string("%41\0", 4)},
      {"%41+%2b+", std::string("A + \0", 5)},
      {"%g1", std::string("\x01\0", 2)},  // a non-digit counts as 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    EXPECT_EQ(c.decoded, Decoded(c.input, c.decoded.size()));
  }
}

TEST(UrlDecodeTest, ZzKeepsDecodingAfterTheNulByte) {
  std::string buffer = std::string("%zz%41b") + '\0';
  UrlDecode(&buffer[0]);
  EXPECT_EQ(std::string("\0Ab\0", 4), buffer.substr(0, 4));
}

TEST(UrlDecodeTest, EscapeCutByTheTerminatorStopsThere) {
  // Bytes after the terminator look like more text; none may be touched.
  char text[] = "ab%4\0%41+zz";
  UrlDecode(text);
  EXPECT_EQ(0, memcmp("ab\x40\0\0%41+zz", text, sizeof(text)));
  char text2[] = "ab%\0%41+zz";
  UrlDecode(text2);
  EXPECT_EQ(0, memcmp("ab\0\0%41+zz", text2, sizeof(text2)));
}

TEST(HexDigitValueTest, DigitsAndEverythingElse) {
  const char digits[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(i, HexDigitValue(digits[i]));
    EXPECT_EQ(i, HexDigitValue(toupper(digits[i])));
  }
  const int others[] = {0, 'g', 'G', '/', ':', '@', '`', ' ', -1, -128, 0x80, 0xff};
  for (int c : others) {
    EXPECT_EQ(0, HexDigitValue(c)) << c;
  }
}

TEST(ToLowerAsciiTest, OnlyAsciiCapitals) {
  EXPECT_EQ('a', ToLowerAscii('A'));
  EXPECT_EQ('z', ToLowerAscii('Z'));
  EXPECT_EQ('@', ToLowerAscii('@'));
  EXPECT_EQ('[', ToLowerAscii('['));
  EXPECT_EQ('a', ToLowerAscii('a'));
  EXPECT_EQ(-126, ToLowerAscii(-126));  // 0x82 as a signed byte
}

TEST(CompareNoCaseTest, WholeTexts) {
  struct Case {
    const char* first;
    const char* second;
    bool equal;
  } cases[] = {
      {"enum", "Enum", true},
      {"enum", "ENUM", true},
      {"enum", "enumerate", false},
      {"enumerate", "enum", false},
      {"", "", true},
      {"", "a", false},
      {"application/x-www-form-urlencoded", "Application/X-WWW-Form-UrlEncoded", true},
      {"application/x-www-form-urlencoded; charset=utf-8", "application/x-www-form-urlencoded",
       false},
      {"\x82\xa0", "\x82\xa0", true},
      {"\x82\xa0", "\xa2\xa0", false},
      {"\xc1", "\xe1", false},  // not a letter above 0x80
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.first << " / " << c.second);
    EXPECT_EQ(c.equal, CompareNoCase(c.first, c.second) == 0);
  }
}

TEST(CompareNoCaseTest, SignIsSecondMinusFirst) {
  EXPECT_EQ('b' - 'a', CompareNoCase("a", "B"));
  EXPECT_EQ('a' - 'b', CompareNoCase("B", "a"));
  EXPECT_EQ('x', CompareNoCase("", "X"));
  EXPECT_EQ(-'x', CompareNoCase("x", ""));
  EXPECT_EQ(0x20 - (-126), CompareNoCase("\x82", " "));  // high bytes are signed
}

TEST(CompareNoCaseTest, MissingTextNeverMatches) {
  EXPECT_NE(0, CompareNoCase(nullptr, "enum"));
  EXPECT_NE(0, CompareNoCase("enum", nullptr));
}

TEST(CompareNoCaseNTest, Prefixes) {
  struct Case {
    const char* first;
    const char* second;
    int count;
    bool equal;
  } cases[] = {
      {"MULTIPART/FORM-DATA; boundary=XYZ", "multipart/form-data", 19, true},
      {"multipart/form-dat", "multipart/form-data", 19, false},
      {"multipart/form-datum", "multipart/form-data", 19, false},
      {"TULVAN_board.tvx", "tulvan_", 7, true},
      {"TULVA", "TULVAN_", 7, false},
      {"abc", "abd", 2, true},
      {"abc", "abd", 3, false},
      {"ab", "ab", 10, true},  // both end together
      {"ab", "abc", 10, false},
      {nullptr, "abc", 3, true},
      {"abc", nullptr, 3, true},
      {"abc", "xyz", 0, true},
      {"\x82\xa0z", "\x82\xa0Z", 3, true},
      {"\x82", "\xa2", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.first ? c.first : "NULL") << " / "
                                    << (c.second ? c.second : "NULL") << " " << c.count);
    EXPECT_EQ(c.equal, CompareNoCaseN(c.first, c.second, c.count) == 0);
  }
  EXPECT_EQ('d' - 'c', CompareNoCaseN("abc", "ABD", 3));
}

TEST(WideToNarrowTest, ConvertsToTheAnsiCodePage) {
  const WCHAR ascii[] = u"TULVAN_board.tvx";
  char* narrow = WideToNarrow(ascii);
  ASSERT_NE(nullptr, narrow);
  EXPECT_STREQ("TULVAN_board.tvx", narrow);
  free(narrow);

  const WCHAR japanese[] = u"TULVAN_\u3042";  // hiragana a: 0x82 0xA0 in Shift_JIS
  narrow = WideToNarrow(japanese);
  ASSERT_NE(nullptr, narrow);
  EXPECT_STREQ("TULVAN_\x82\xa0", narrow);
  free(narrow);

  const WCHAR empty[] = u"";
  narrow = WideToNarrow(empty);
  ASSERT_NE(nullptr, narrow);
  EXPECT_STREQ("", narrow);
  free(narrow);

  EXPECT_EQ(nullptr, WideToNarrow(nullptr));
}

class ScriptDirectoryTest : public testing::Test {
 protected:
  void SetUp() override {
    variables_.Set("DOCUMENT_ROOT", "\\www");
    variables_.Set("SCRIPT_NAME", "/bbs/board.tvx");
  }
  ServerVariables variables_;
};

TEST_F(ScriptDirectoryTest, RootAndScriptGiveTheDirectory) {
  char buffer[64];
  memset(buffer, 'X', sizeof(buffer));
  ASSERT_EQ(1, GetScriptDirectory(&variables_, buffer, sizeof(buffer)));
  EXPECT_STREQ("\\www\\bbs\\", buffer);
  // The cut part is NUL; nothing past the combined path's NUL is written.
  for (int i = 9; i <= 18; ++i) EXPECT_EQ(0, buffer[i]) << i;
  EXPECT_EQ('X', buffer[19]);
}

TEST_F(ScriptDirectoryTest, SizeMustExceedTheCombinedLength) {
  const int combined = 4 + 14;
  char buffer[64];
  memset(buffer, 'X', sizeof(buffer));
  EXPECT_EQ(0, GetScriptDirectory(&variables_, buffer, combined));
  EXPECT_EQ(0, GetScriptDirectory(&variables_, buffer, combined - 1));
  EXPECT_EQ(0, GetScriptDirectory(&variables_, buffer, 0));
  EXPECT_EQ(0, GetScriptDirectory(&variables_, buffer, -5));
  for (char c : buffer) ASSERT_EQ('X', c);
  EXPECT_EQ(1, GetScriptDirectory(&variables_, buffer, combined + 1));
  EXPECT_STREQ("\\www\\bbs\\", buffer);
  EXPECT_EQ('X', buffer[combined + 1]);
}

TEST_F(ScriptDirectoryTest, MissingVariableFails) {
  char buffer[64] = "before";
  ServerVariables noRoot;
  noRoot.Set("SCRIPT_NAME", "/a.tvx");
  EXPECT_EQ(0, GetScriptDirectory(&noRoot, buffer, sizeof(buffer)));
  ServerVariables noScript;
  noScript.Set("DOCUMENT_ROOT", "\\www");
  EXPECT_EQ(0, GetScriptDirectory(&noScript, buffer, sizeof(buffer)));
  ServerVariables lowerCase;
  lowerCase.Set("document_root", "\\www");
  lowerCase.Set("script_name", "/a.tvx");
  EXPECT_EQ(0, GetScriptDirectory(&lowerCase, buffer, sizeof(buffer)));
  EXPECT_STREQ("before", buffer);
}

TEST(ScriptDirectoryShapesTest, Paths) {
  struct Case {
    const char* root;
    const char* script;
    const char* directory;
  } cases[] = {
      {"/srv/www", "/bbs/board.tvx", "\\srv\\www\\bbs\\"},
      {"", "/board.tvx", "\\"},
      {"C:", "board.tvx", "C"},  // no separator: only the first character stays
      {"\\www\\", "/", "\\www\\\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.root << " + " << c.script);
    ServerVariables variables;
    variables.Set("DOCUMENT_ROOT", c.root);
    variables.Set("SCRIPT_NAME", c.script);
    char buffer[64];
    ASSERT_EQ(1, GetScriptDirectory(&variables, buffer, sizeof(buffer)));
    EXPECT_STREQ(c.directory, buffer);
  }
}

}  // namespace
