// The escaper and the short-field cut on their own: what one field's value,
// as a browser sends it, becomes in the stored post.
#include "post_renderer.h"

#include <gtest/gtest.h>

#include <string>

#include "char_reference.h"
#include "text_buffer.h"

namespace {

// The escaped value of `sent` (URL-encoded, as the form posts it).
std::string Escaped(const std::string& sent) {
  TextBuffer body;
  std::string text = "body=" + sent;
  body.Append(text.data(), static_cast<int>(text.size()));
  TextBuffer value;
  int n = GetPostField(&body, &value, "body");
  std::string out = n > 0 ? std::string(value.data, value.length) : std::string();
  EXPECT_EQ(n, static_cast<int>(out.size())) << sent;
  return out;
}

// What a short field (name, e-mail address, subject) keeps of `sent`.
std::string ShortField(const std::string& sent) {
  char area[30];
  CopyWholeUnits(area, Escaped(sent).c_str(), 29);
  return area;
}

// What a browser on a Shift_JIS page sends for characters the code page
// lacks comes back as those characters; whatever else begins with '&' is text.
TEST(PostEscaperTest, ReferencesBrowsersMakeAreKeptAndNothingElse) {
  struct Case {
    const char* sent;
    const char* stored;
  } cases[] = {
      // Typed on a phone: emoji, Korean, simplified Chinese, a character
      // beyond the BMP, the wave dash.
      {"%26%23128512%3B", "&#128512;"},
      {"%26%2354620%3B%26%2344397%3B%26%2350612%3B", "&#54620;&#44397;&#50612;"},
      {"%26%2331616%3B%91%CC", "&#31616;\x91\xCC"},
      {"%26%23134071%3B", "&#134071;"},
      {"%26%2312316%3B", "&#12316;"},
      // Hexadecimal references, both letter cases.
      {"%26%23x1F600%3B", "&#x1F600;"},
      {"%26%23X1f600%3B", "&#X1f600;"},
      // The edges of what a page may hold.
      {"%26%239%3B%26%2310%3B%26%2313%3B", "&#9;&#10;&#13;"},
      {"%26%2332%3B", "&#32;"},
      {"%26%231114111%3B", "&#1114111;"},
      {"%26%23x10FFFF%3B", "&#x10FFFF;"},
      {"%26%230000065%3B", "&#0000065;"},
      {"%26%23xE000%3B", "&#xE000;"},
      // A reference never opens markup: it is the character, as text.
      {"%26%2360%3Bscript%26%2362%3B", "&#60;script&#62;"},
      // Everything else keeps its escaped '&'.
      {"a%26b", "a&amp;b"},
      {"%26amp%3B", "&amp;amp;"},
      {"%26lt%3B", "&amp;lt;"},
      {"%26%230%3B", "&amp;#0;"},
      {"%26%23xD800%3B", "&amp;#xD800;"},
      {"%26%2357343%3B", "&amp;#57343;"},  // U+DFFF
      {"%26%2312", "&amp;#12"},
      {"%26%2312%26%2313%3B", "&amp;#12&#13;"},
      {"%26%23%3B", "&amp;#;"},
      {"%26%23x%3B", "&amp;#x;"},
      {"%26%2312a%3B", "&amp;#12a;"},
      {"%26%23+65%3B", "&amp;# 65;"},
      {"%26%2312345678%3B", "&amp;#12345678;"},      // eight digits
      {"%26%23x0010FFFF%3B", "&amp;#x0010FFFF;"},    // seven hexadecimal digits
      {"%26%231114112%3B", "&amp;#1114112;"},        // above U+10FFFF
      {"%26%23x110000%3B", "&amp;#x110000;"},
      {"%26%238%3B", "&amp;#8;"},                    // C0 controls but tab, LF, CR
      {"%26%2331%3B", "&amp;#31;"},
      {"%26%23127%3B", "&amp;#127;"},                // DEL and the C1 controls
      {"%26%23x80%3B", "&amp;#x80;"},
      {"%26%23159%3B", "&amp;#159;"},
      {"%26%23160%3B", "&#160;"},
      {"%26%23xG0%3B", "&amp;#xG0;"},
      {"%26%26%23128512%3B", "&amp;&#128512;"},
      {"%26%23128512%3B%3B", "&#128512;;"},
      // The rest of the escaping is as it was.
      {"%3Cb%3E%22x%22%3C%2Fb%3E", "&lt;b&gt;&quot;x&quot;&lt;/b&gt;"},
      {"a%0D%0Ab", "a<BR>\nb"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Escaped(c.sent), c.stored) << c.sent;
  }
}

// The 29-byte cut of a short field ends before a character or an entity
// that would not fit whole, a kept reference as well.
TEST(PostEscaperTest, ShortFieldsAreCutBeforeAWholeUnit) {
  const std::string a20(20, 'a');
  const std::string a21(21, 'a');
  struct Case {
    std::string sent;
    std::string kept;
  } cases[] = {
      {a20 + "%26%23128512%3B", a20 + "&#128512;"},   // exactly 29 bytes
      {a21 + "%26%23128512%3B", a21},                  // one byte too many
      {a21 + "%26%2360%3B", a21 + "&#60;"},
      {std::string(25, 'a') + "%26%2360%3B", std::string(25, 'a')},
      {"%26%23128512%3B%26%23128512%3B%26%23128512%3B%26%23128512%3B",
       "&#128512;&#128512;&#128512;"},
      // As before the references: ten '&' keep five whole "&amp;", a
      // two-byte character stays whole or goes.
      {"%26%26%26%26%26%26%26%26%26%26", "&amp;&amp;&amp;&amp;&amp;"},
      {std::string(40, 'a'), std::string(29, 'a')},
      {std::string(28, 'a') + "%93%8A", std::string(28, 'a')},
      {std::string(27, 'a') + "%93%8A", std::string(27, 'a') + "\x93\x8A"},
      {std::string(24, 'a') + "%26%23xD800%3B", std::string(24, 'a') + "&amp;"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ShortField(c.sent), c.kept) << c.sent;
  }
}

TEST(CharReferenceTest, ValueAndLength) {
  struct Case {
    const char* text;
    int length;
    unsigned long value;
  } cases[] = {
      {"&#128512;rest", 9, 0x1F600}, {"&#x1F600;", 9, 0x1F600}, {"&#65;", 5, 65},
      {"&#x41;&#66;", 6, 0x41},      {"&#65", 0, 0},            {"&65;", 0, 0},
      {"#65;", 0, 0},                {"&#;", 0, 0},             {"", 0, 0},
  };
  for (const Case& c : cases) {
    unsigned long value = 0;
    EXPECT_EQ(CharReferenceLength(c.text, &value), c.length) << c.text;
    if (c.length > 0) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
  EXPECT_EQ(CharReferenceLength(NULL, NULL), 0);
  EXPECT_EQ(CharReferenceLength("&#65;", NULL), 5);
}

}  // namespace
