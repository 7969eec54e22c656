#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "wince.h"

namespace {

// Reference vectors below come from python3's "cp932" codec and glibc iconv
// "CP932" (they agree on every byte sequence; where they differ in the other
// direction, the table says which one the device follows).

std::u16string ToWide(UINT code_page, DWORD flags, const std::string& bytes) {
  int needed = MultiByteToWideChar(code_page, flags, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0);
  if (needed == 0) return u"<failed>";
  std::u16string out(static_cast<size_t>(needed), u'\0');
  int written = MultiByteToWideChar(code_page, flags, bytes.data(),
                                    static_cast<int>(bytes.size()), &out[0], needed);
  if (written != needed) return u"<size query disagrees>";
  return out;
}

std::string ToNarrow(UINT code_page, const std::u16string& wide, LPCSTR default_char = nullptr,
                     BOOL* used_default = nullptr) {
  int needed = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                   nullptr, 0, default_char, nullptr);
  if (needed == 0) return "<failed>";
  std::string out(static_cast<size_t>(needed), '\0');
  int written = WideCharToMultiByte(code_page, 0, wide.data(), static_cast<int>(wide.size()),
                                    &out[0], needed, default_char, used_default);
  if (written != needed) return "<size query disagrees>";
  return out;
}

struct Case {
  const char* bytes;
  size_t length;
  const char16_t* wide;
  size_t wide_length;
  std::string Bytes() const { return std::string(bytes, length); }
  std::u16string Wide() const { return std::u16string(wide, wide_length); }
};
// Lengths from the literals, so that a NUL inside counts.
#define CASE(bytes, wide) \
  { bytes, sizeof(bytes) - 1, wide, sizeof(wide) / sizeof(char16_t) - 1 }

TEST(CodePageTest, ShiftJisToUtf16) {
  const Case kCases[] = {
      CASE("\x8C\x66\x8E\xA6\x94\xC2\x82\xD6\x82\xE6\x82\xA4\x82\xB1\x82\xBB",
           u"\u63B2\u793A\u677F\u3078\u3088\u3046\u3053\u305D"),  // 掲示板へようこそ
      // Half-width katakana are single bytes.
      CASE("\xC3\xBD\xC4\xB6\xC0\xB6\xC5\xA1",
           u"\uFF83\uFF7D\uFF84\uFF76\uFF80\uFF76\uFF85\uFF61"),  // ﾃｽﾄｶﾀｶﾅ｡
      // NEC specials, NEC-selected and IBM extensions, the symbols that differ
      // from JIS.
      CASE("\x87\x40\xED\x95\xFB\xFC\xEE\xE0\x81\x60\x81\x7C\x81\xCA\x81\x61",
           u"\u2460\uFA11\u9AD9\u9AD9\uFF5E\uFF0D\uFFE2\u2225"),
      // Trail bytes in the ASCII range ('\\' is the trail of ソ and 表).
      CASE("\x95\x5C\x8E\xA6\x83\x5C\x94\x5C", u"\u8868\u793A\u30BD\u80FD"),
      CASE("\x96\xBC\x91\x4F: <a@b.jp>", u"\u540D\u524D: <a@b.jp>"),
      // 0x5C and 0x7E are ASCII, as on the device.
      CASE("\\~", u"\\~"),
      // The user-defined area maps to the private-use area.
      CASE("\xF0\x40\xF9\xFC", u"\uE000\uE757"),
      // Lone bytes the device maps although Shift_JIS leaves them free.
      CASE("\x80\xA0\xFD\xFE\xFF", u"\u0080\uF8F0\uF8F1\uF8F2\uF8F3"),
  };
  for (const Case& c : kCases) {
    std::string bytes = c.Bytes();
    EXPECT_EQ(c.Wide(), ToWide(CP_ACP, 0, bytes)) << c.bytes;
    EXPECT_EQ(c.Wide(), ToWide(CP_ACP, MB_ERR_INVALID_CHARS, bytes)) << c.bytes;
  }
}

TEST(CodePageTest, Utf16ToShiftJis) {
  struct {
    const char16_t* wide;
    const char* bytes;
  } const kCases[] = {
      {u"\u63B2\u793A\u677F\u3078\u3088\u3046\u3053\u305D",
       "\x8C\x66\x8E\xA6\x94\xC2\x82\xD6\x82\xE6\x82\xA4\x82\xB1\x82\xBB"},
      {u"\uFF83\uFF7D\uFF84\uFF76\uFF80\uFF76\uFF85\uFF61", "\xC3\xBD\xC4\xB6\xC0\xB6\xC5\xA1"},
      // A character with both an IBM and a NEC-selected code gets the IBM one
      // (as the device and iconv choose; python's codec picks 0xEEE0, 0xED95).
      {u"\u9AD9\uFA11\u2170", "\xFB\xFC\xFA\xB1\xFA\x40"},
      // Characters with two codes and the one-way mappings of the device.
      {u"\u2252\u00AC\uFFE2\u00A5\u203E", "\x81\xE0\x81\xCA\x81\xCA\x5C\x7E"},
      {u"\u0080\uF8F0\uF8F3", "\x80\xA0\xFF"},
      {u"<a href=\"x\">", "<a href=\"x\">"},
  };
  for (const auto& c : kCases) {
    BOOL used_default = TRUE;
    EXPECT_EQ(std::string(c.bytes), ToNarrow(CP_ACP, c.wide, nullptr, &used_default)) << c.bytes;
    EXPECT_FALSE(used_default) << c.bytes;
  }
}

TEST(CodePageTest, CharactersShiftJisLacksBecomeTheDefault) {
  struct {
    const char16_t* wide;
    LPCSTR default_char;
    const char* bytes;
  } const kCases[] = {
      {u"a\u20ACb", nullptr, "a?b"},                 // euro sign
      {u"\U0001F600", nullptr, "?"},                 // one pair, one character
      {u"x\xD800y", nullptr, "x?y"},                 // unpaired high surrogate
      {u"x\xDC00", nullptr, "x?"},                   // unpaired low surrogate
      {u"\u00C4", "*", "*"},                         // a one-byte default
      {u"\u00C4\u00C4", "\x81\x45", "\x81\x45\x81\x45"},  // a two-byte default
  };
  for (const auto& c : kCases) {
    BOOL used_default = FALSE;
    EXPECT_EQ(std::string(c.bytes), ToNarrow(CP_ACP, c.wide, c.default_char, &used_default));
    EXPECT_TRUE(used_default) << c.bytes;
  }
}

TEST(CodePageTest, BadShiftJisBecomesMiddleDotPerCharacter) {
  const Case kCases[] = {
      CASE("\x81", u"\u30FB"),                     // lead byte at the end
      CASE("\x82\xA0\x82", u"\u3042\u30FB"),       // あ, then a cut character
      CASE("\x81\x20", u"\u30FB "),                // not a trail byte: the space stays
      CASE("\x82\x22x", u"\u30FB\"x"),             // nor does it swallow a quote
      CASE("\x85\x40", u"\u30FB@"),                // unmapped pair, ASCII trail kept
      CASE("\x85\x9F\x41", u"\u30FB" u"A"),       // unmapped pair, one replacement
      CASE("\xEB\x40", u"\u30FB@"),
      CASE("\x81\x7F", u"\u30FB\x7F"),             // 0x7F is not a trail byte
      CASE("\x85\x82\xA0", u"\u30FB\uF8F0"),       // unmapped pair whose trail could lead
      CASE("\x82\x00\x41", u"\u30FB\0A"),          // a NUL is never a trail byte
  };
  for (const Case& c : kCases) {
    std::string bytes = c.Bytes();
    EXPECT_EQ(c.Wide(), ToWide(CP_ACP, 0, bytes)) << c.bytes;
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError()) << c.bytes;
  }
}

// A board named with a broken byte must still be found under the name it
// comes back with from the catalogue, so the replacement converts back.
TEST(CodePageTest, BadShiftJisNameSurvivesRoundTrip) {
  std::u16string wide = ToWide(CP_ACP, 0, std::string("TULVAN_ab\x81"));
  EXPECT_EQ(u"TULVAN_ab\u30FB", wide);
  std::string narrow = ToNarrow(CP_ACP, wide);
  EXPECT_EQ("TULVAN_ab\x81\x45", narrow);
  EXPECT_EQ(wide, ToWide(CP_ACP, 0, narrow));
}

TEST(CodePageTest, EveryShiftJisCharacterRoundTrips) {
  int characters = 0;
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (lead >= 0xA0 && lead < 0xE0) continue;  // single-byte characters
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      char bytes[2] = {static_cast<char>(lead), static_cast<char>(trail)};
      WCHAR wide[2];
      int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, 2, wide, 2);
      if (n == 0) continue;
      ASSERT_EQ(1, n) << std::hex << lead << trail;
      ++characters;
      char back[4];
      BOOL used_default = TRUE;
      int m = WideCharToMultiByte(CP_ACP, 0, wide, 1, back, 4, nullptr, &used_default);
      ASSERT_FALSE(used_default) << std::hex << lead << " " << trail;
      WCHAR again[2];
      ASSERT_EQ(1, MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, back, m, again, 2));
      ASSERT_EQ(wide[0], again[0]) << std::hex << lead << " " << trail;
    }
  }
  EXPECT_EQ(9604, characters);  // CP932's two-byte codes, user-defined area included
}

// Compares the whole table with python3's codec, when python3 is there.
TEST(CodePageTest, MatchesPythonCodecForEveryCode) {
  FILE* pipe = popen(
      "python3 -c \"\n"
      "for b in range(256):\n"
      "  try: print('%02X %04X' % (b, ord(bytes([b]).decode('cp932'))))\n"
      "  except Exception: print('%02X -' % b)\n"
      "for l in list(range(0x81,0xA0))+list(range(0xE0,0xFD)):\n"
      "  for t in list(range(0x40,0x7F))+list(range(0x80,0xFD)):\n"
      "    try: print('%02X%02X %04X' % (l, t, ord(bytes([l,t]).decode('cp932'))))\n"
      "    except Exception: print('%02X%02X -' % (l, t))\n"
      "\" 2>/dev/null",
      "r");
  if (pipe == nullptr) GTEST_SKIP() << "cannot start python3";
  char line[64];
  int compared = 0;
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    char code[8], unit[8];
    if (sscanf(line, "%7s %7s", code, unit) != 2) continue;
    unsigned long value = strtoul(code, nullptr, 16);
    char bytes[2];
    int length = strlen(code) == 2 ? 1 : 2;
    if (length == 1) {
      bytes[0] = static_cast<char>(value);
    } else {
      bytes[0] = static_cast<char>(value >> 8);
      bytes[1] = static_cast<char>(value);
    }
    WCHAR wide[2] = {0, 0};
    int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, length, wide, 2);
    if (unit[0] == '-') {
      EXPECT_EQ(0, n) << "0x" << code << " should have no character";
    } else {
      EXPECT_EQ(1, n) << "0x" << code;
      EXPECT_EQ(strtoul(unit, nullptr, 16), static_cast<unsigned long>(wide[0])) << "0x" << code;
    }
    ++compared;
  }
  int status = pclose(pipe);
  if (compared == 0 || status != 0) GTEST_SKIP() << "python3 is not available";
  EXPECT_EQ(256 + 60 * 188, compared);
}

TEST(CodePageTest, Utf8ToUtf16) {
  const Case kCases[] = {
      CASE("\xE6\x8E\xB2\xE7\xA4\xBA\xE6\x9D\xBF", u"\u63B2\u793A\u677F"),
      CASE("\xEF\xBE\x83\xEF\xBD\xBD", u"\uFF83\uFF7D"),
      CASE("a\xF0\x9F\x98\x80z", u"a\U0001F600z"),                 // a surrogate pair
      CASE("\xF4\x8F\xBF\xBF", u"\U0010FFFF"),
      CASE("\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF", u"\u0080\u07FF\u0800\uFFFF"),
  };
  for (const Case& c : kCases) {
    std::string bytes = c.Bytes();
    EXPECT_EQ(c.Wide(), ToWide(CP_UTF8, 0, bytes)) << c.bytes;
    EXPECT_EQ(c.Wide(), ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, bytes)) << c.bytes;
  }
}

TEST(CodePageTest, BadUtf8BecomesReplacementPerMaximalPart) {
  const Case kCases[] = {
      CASE("\xE3\x81", u"\uFFFD"),                          // cut at the end
      CASE("\xE3\x81" "A", u"\uFFFD" u"A"),                 // cut before ASCII
      CASE("\xF0\x9F\x98", u"\uFFFD"),
      CASE("\xF0\x9F\x98\xF0\x9F\x98\x80", u"\uFFFD\U0001F600"),
      CASE("\xC0\xAF", u"\uFFFD\uFFFD"),                    // overlong '/'
      CASE("\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"),
      CASE("\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"),          // an encoded surrogate
      CASE("\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"),  // past U+10FFFF
      CASE("\x80x\xFF", u"\uFFFD" u"x\uFFFD"),
      CASE("\x82\xA0", u"\uFFFD\uFFFD"),                    // Shift_JIS is not UTF-8
  };
  for (const Case& c : kCases) {
    std::string bytes = c.Bytes();
    EXPECT_EQ(c.Wide(), ToWide(CP_UTF8, 0, bytes)) << c.bytes;
    SetLastError(0);
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                     static_cast<int>(bytes.size()), nullptr, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError()) << c.bytes;
  }
}

TEST(CodePageTest, Utf16ToUtf8) {
  EXPECT_EQ("\xE6\x8E\xB2\xE7\xA4\xBA", ToNarrow(CP_UTF8, u"\u63B2\u793A"));
  EXPECT_EQ("a\xF0\x9F\x98\x80", ToNarrow(CP_UTF8, u"a\U0001F600"));
  BOOL used_default = FALSE;
  EXPECT_EQ("\xEF\xBF\xBDx", ToNarrow(CP_UTF8, u"\xD83Dx", nullptr, &used_default));
  EXPECT_TRUE(used_default);
}

TEST(CodePageTest, MinusOneLengthCountsTheTerminator) {
  const char* name = "\x8C\x66\x8E\xA6\x94\xC2";  // 掲示板
  EXPECT_EQ(4, MultiByteToWideChar(CP_ACP, 0, name, -1, nullptr, 0));
  EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, name, 6, nullptr, 0));
  WCHAR wide[8];
  for (WCHAR& unit : wide) unit = u'#';
  ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, name, -1, wide, 8));
  EXPECT_EQ(std::u16string(u"\u63B2\u793A\u677F", 4), std::u16string(wide, 4));
  EXPECT_EQ(u'#', wide[4]);

  EXPECT_EQ(7, WideCharToMultiByte(CP_ACP, 0, wide, -1, nullptr, 0, nullptr, nullptr));
  char narrow[8];
  memset(narrow, '#', sizeof(narrow));
  ASSERT_EQ(7, WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, 8, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(narrow, name, 7));
  EXPECT_EQ('#', narrow[7]);

  EXPECT_EQ(1, MultiByteToWideChar(CP_UTF8, 0, "", -1, nullptr, 0));
  EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, u"\u63B2", -1, nullptr, 0, nullptr, nullptr));
}

TEST(CodePageTest, NulInsideAnExplicitLengthIsConverted) {
  const char bytes[] = "a\0\x82\xA0\0b";
  WCHAR wide[8];
  ASSERT_EQ(5, MultiByteToWideChar(CP_ACP, 0, bytes, 6, wide, 8));
  EXPECT_EQ(std::u16string(u"a\0\u3042\0b", 5), std::u16string(wide, 5));
  char back[8];
  ASSERT_EQ(6, WideCharToMultiByte(CP_ACP, 0, wide, 5, back, 8, nullptr, nullptr));
  EXPECT_EQ(0, memcmp(back, bytes, 6));
  ASSERT_EQ(6, MultiByteToWideChar(CP_UTF8, 0, bytes, 6, wide, 8));
  EXPECT_EQ(std::u16string(u"a\0\uFFFD\uFFFD\0b", 6), std::u16string(wide, 6));
}

TEST(CodePageTest, TooSmallBufferFailsWithoutWritingHalfACharacter) {
  WCHAR wide[4] = {u'#', u'#', u'#', u'#'};
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_ACP, 0, "\x82\xA0\x82\xA2", -1, wide, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(3, MultiByteToWideChar(CP_ACP, 0, "\x82\xA0\x82\xA2", -1, wide, 3));

  // A surrogate pair does not fit in one remaining unit.
  wide[1] = u'#';
  SetLastError(0);
  EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "a\xF0\x9F\x98\x80", 5, wide, 2));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(u'a', wide[0]);
  EXPECT_EQ(u'#', wide[1]);

  // Nor does a two-byte character in one remaining byte.
  char narrow[4] = {'#', '#', '#', '#'};
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_ACP, 0, u"\u3042\u3044", 2, narrow, 3, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(0, memcmp(narrow, "\x82\xA0#", 3));
  SetLastError(0);
  EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, u"\u3042", 1, narrow, 2, nullptr, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(CodePageTest, BadArguments) {
  static WCHAR wide[4];
  static char narrow[4];
  struct {
    const char* what;
    int (*call)();
    DWORD error;
  } const kCases[] = {
      {"length 0", [] { return MultiByteToWideChar(CP_ACP, 0, "ab", 0, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"length -2", [] { return MultiByteToWideChar(CP_ACP, 0, "ab", -2, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"no source", [] { return MultiByteToWideChar(CP_ACP, 0, nullptr, 2, wide, 4); },
       ERROR_INVALID_PARAMETER},
      {"no output", [] { return MultiByteToWideChar(CP_ACP, 0, "ab", 2, nullptr, 4); },
       ERROR_INVALID_PARAMETER},
      {"negative size", [] { return MultiByteToWideChar(CP_ACP, 0, "ab", 2, wide, -1); },
       ERROR_INVALID_PARAMETER},
      {"unknown flag", [] { return MultiByteToWideChar(CP_ACP, 0x100, "ab", 2, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"code page 1252", [] { return MultiByteToWideChar(1252, 0, "ab", 2, wide, 4); },
       ERROR_INVALID_FLAGS},
      {"wide length 0",
       [] { return WideCharToMultiByte(CP_ACP, 0, u"ab", 0, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"wide no source",
       [] { return WideCharToMultiByte(CP_ACP, 0, nullptr, 2, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"wide no output",
       [] { return WideCharToMultiByte(CP_ACP, 0, u"ab", 2, nullptr, 4, nullptr, nullptr); },
       ERROR_INVALID_PARAMETER},
      {"wide flag",
       [] { return WideCharToMultiByte(CP_ACP, 0x400, u"ab", 2, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
      {"wide code page 20127",
       [] { return WideCharToMultiByte(20127, 0, u"ab", 2, narrow, 4, nullptr, nullptr); },
       ERROR_INVALID_FLAGS},
  };
  for (const auto& c : kCases) {
    SetLastError(0);
    EXPECT_EQ(0, c.call()) << c.what;
    EXPECT_EQ(c.error, GetLastError()) << c.what;
  }
  // The same calls with sound arguments work.
  EXPECT_EQ(2, MultiByteToWideChar(CP_OEMCP, MB_PRECOMPOSED, "ab", 2, wide, 4));
  EXPECT_EQ(2, WideCharToMultiByte(932, 0, u"ab", 2, narrow, 4, nullptr, nullptr));
}

}  // namespace
