// Posts made through the board itself, read back from the store by the
// store tool's reader: every field a visitor typed comes back as typed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board_post.h"
#include "board_record_check.h"
#include "board_test_util.h"
#include "ceplatform_snapshot.h"

namespace {

using board_test::BoardTest;

// The board's records as the tool reads them, oldest first.
class SnapshotRecords : public ceplatform::SnapshotSink {
 public:
  bool Database(const ceplatform::SnapshotDatabase& d) override {
    names.push_back(ceplatform::DatabaseNameUtf8(d.name));
    return true;
  }
  bool Record(const ceplatform::SnapshotRecord& r) override {
    records.push_back(r);
    return true;
  }
  bool Counter(uint64_t) override { return true; }
  std::vector<std::string> names;
  std::vector<ceplatform::SnapshotRecord> records;
};

std::string Encode(const std::string& sjis) {
  std::string out;
  for (unsigned char c : sjis) {
    char hex[4];
    snprintf(hex, sizeof(hex), "%%%02X", c);
    out += hex;
  }
  return out;
}

class StoreToolPostTest : public BoardTest {
 protected:
  BoardPost PostAndRead(const std::string& name, const std::string& email,
                        const std::string& subject, const std::string& body) {
    board_test::Reply reply = Post("name=" + Encode(name) + "&email=" + Encode(email) +
                                   "&subject=" + Encode(subject) + "&body=" + Encode(body) +
                                   "&postitem=x");
    EXPECT_NE(reply.text.find("Location: "), std::string::npos) << reply.text;
    PlatformCloseStore();
    std::string error;
    auto store = ceplatform::WholeStore::Open(PlatformStorePath(), false, &error);
    EXPECT_TRUE(store != nullptr) << error;
    if (store == nullptr) return BoardPost();
    SnapshotRecords read;
    EXPECT_TRUE(store->Read(&read, &error)) << error;
    EXPECT_FALSE(read.records.empty());
    if (read.records.empty()) return BoardPost();
    BoardRecordValues values;
    std::vector<std::string> problems;
    EXPECT_TRUE(ReadBoardRecord(read.records.back(), [] { return std::string("post"); }, &values,
                                &problems))
        << (problems.empty() ? "" : problems[0]);
    return ReadBoardPost(values.file_time, values.html);
  }
};

// What a visitor typed (Shift_JIS), and what the export must give (UTF-8).
struct Case {
  const char* label;
  std::string name, email, subject, body;
  std::string want_name, want_subject, want_body;
  bool has_email;
  std::string want_email;
};

TEST_F(StoreToolPostTest, FieldsComeBackAsTyped) {
  const Case cases[] = {
      {"plain, no address", "Taro", "", "Hello", "one line", "Taro", "Hello", "one line", false,
       ""},
      {"with an address", "Taro", "taro@example.com", "Hi", "x", "Taro", "Hi", "x", true,
       "taro@example.com"},
      {"HTML's characters", "a<b>&\"c\"", "", "<script>", "1 < 2 && \"q\" > 'p'", "a<b>&\"c\"",
       "<script>", "1 < 2 && \"q\" > 'p'", false, ""},
      {"line breaks, CRLF and LF", "n", "", "s", "first\r\nsecond\nthird\r\n\r\nend", "n", "s",
       "first\nsecond\nthird\n\nend", false, ""},
      {"a typed <BR> stays text", "n", "", "s", "a<BR>b", "n", "s", "a<BR>b", false, ""},
      // 山田 / 件名 / 本文です in Shift_JIS.
      {"Japanese", "\x8E\x52\x93\x63", "", "\x8C\x8F\x96\xBC", "\x96\x7B\x95\xB6\x82\xC5\x82\xB7",
       "\xE5\xB1\xB1\xE7\x94\xB0", "\xE4\xBB\xB6\xE5\x90\x8D",
       "\xE6\x9C\xAC\xE6\x96\x87\xE3\x81\xA7\xE3\x81\x99", false, ""},
      // What a browser sends for characters Shift_JIS lacks comes out as
      // those characters; an escaped '&' before the same digits stays text.
      {"references of a browser", "&#128512;", "", "&#x1F600;&#12316;",
       "\x8A\x47&#54620;&#134071;\n&amp;#65; &#0; &#12", "\xF0\x9F\x98\x80",
       "\xF0\x9F\x98\x80\xE3\x80\x9C",
       "\xE7\xB5\xB5\xED\x95\x9C\xF0\xA0\xAE\xB7\n&amp;#65; &#0; &#12", false, ""},
      {"a name cut at 29 bytes, never inside an entity", "abcdefghijklmnopqrstuvwxyz&&&", "",
       "s", "b", "abcdefghijklmnopqrstuvwxyz", "s", "b", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    BoardPost post = PostAndRead(c.name, c.email, c.subject, c.body);
    ASSERT_TRUE(post.parsed) << post.html;
    EXPECT_EQ(post.name.value_or("(absent)"), c.want_name);
    EXPECT_EQ(post.subject.value_or("(absent)"), c.want_subject);
    EXPECT_EQ(post.body.value_or("(absent)"), c.want_body);
    EXPECT_EQ(post.email.has_value(), c.has_email);
    if (c.has_email) {
      EXPECT_EQ(*post.email, c.want_email);
    }
    // The board's clock is fixed at 2024-03-15 09:05:30.
    EXPECT_EQ(post.time, "2024-03-15T09:05:30");
    EXPECT_NE(post.html.find("2024\xE5\xB9\xB4" "3\xE6\x9C\x88" "15\xE6\x97\xA5"),
              std::string::npos)
        << post.html;
    // The HTML stays as stored: references and all.
    if (c.want_name == "\xF0\x9F\x98\x80") {
      EXPECT_NE(post.html.find("&#128512;"), std::string::npos) << post.html;
    }
  }
}

TEST(StoreToolPostText, TimesAcrossTheRange) {
  struct {
    int64_t file_time;
    const char* want;
  } cases[] = {
      {0, "1601-01-01T00:00:00"},
      {116444736000000000LL, "1970-01-01T00:00:00"},
      {116444736000000000LL + (951782400LL + 86399) * 10000000, "2000-02-29T23:59:59"},
      {116444736000000000LL + 4107542400LL * 10000000 + 9999999, "2100-03-01T00:00:00"},
      {-5, "1601-01-01T00:00:00"},
  };
  for (const auto& c : cases) EXPECT_EQ(FileTimeIso(c.file_time), c.want) << c.file_time;
}

TEST(StoreToolPostText, HtmlNotInTheBoardsFormKeepsOnlyItsHtml) {
  const std::string odd[] = {"", "<B> \r\n only a subject", "just text \x82\xA0",
                             "<B> \r\n s \r\n </B> no poster"};
  for (const std::string& html : odd) {
    BoardPost post = ReadBoardPost(0, html);
    EXPECT_FALSE(post.parsed) << html;
    EXPECT_FALSE(post.name || post.subject || post.body || post.email) << html;
    EXPECT_EQ(post.html, ShiftJisToUtf8(html));
  }
  // A lead byte without its trail byte is no character.
  EXPECT_EQ(ShiftJisToUtf8("a\x82"), "a\xEF\xBF\xBD");
  EXPECT_EQ(ShiftJisToUtf8("\x82\xA0x"), "\xE3\x81\x82x");
}

TEST(StoreToolPostText, ShiftJisConvertsAsTheCLibraryDoes) {
  // Every code of one byte and of two, alone, after ASCII, and before a
  // character of two bytes and ASCII; the lone bytes the device maps and the
  // C library does not (0x80, 0xA0, 0xFD to 0xFF) among them.
  std::vector<std::string> codes;
  for (int first = 0x80; first <= 0xFF; ++first) {
    codes.push_back(std::string(1, static_cast<char>(first)));
    for (int second = 0x00; second <= 0xFF; ++second) {
      codes.push_back({static_cast<char>(first), static_cast<char>(second)});
    }
  }
  for (const std::string& code : codes) {
    for (const std::string& text : {code, "ab" + code, code + "\x82\xA0z"}) {
      ASSERT_EQ(ShiftJisToUtf8(text), ShiftJisToUtf8ThroughIconv(text))
          << testing::PrintToString(text);
    }
  }
  // Longer texts of characters and odd bytes mixed.
  uint64_t state = 7;
  auto next = [&](int n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) % n);
  };
  const unsigned char kBytes[] = {'a', '<', '\n', 0x82, 0xA0, 0x81, 0x40, 0x88, 0x9F, 0xEA,
                                  0xA4, 0xB1, 0xDF, 0x80, 0xA0, 0xFD, 0xFF, 0x5C, 0xFC, 0x7F};
  for (int i = 0; i < 20000; ++i) {
    std::string text;
    for (int n = next(24); n > 0; --n) text += static_cast<char>(kBytes[next(sizeof(kBytes))]);
    ASSERT_EQ(ShiftJisToUtf8(text), ShiftJisToUtf8ThroughIconv(text))
        << testing::PrintToString(text);
  }
}

// The HTML is converted once and the fields taken from it: the same as
// converting each field on its own and unescaping it, whatever bytes the
// fields hold (characters of two bytes, lone lead bytes, bytes that are no
// character, entities, references and what looks like them).
TEST(StoreToolPostText, FieldsAsEachConvertedOnItsOwn) {
  uint64_t state = 1;
  auto next = [&](int n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) % n);
  };
  // No '>' or '/' of their own, so that no field holds a marker.
  const char* const tokens[] = {"a", " ", "&amp;", "&lt;", "&gt;", "&quot;", "<BR>\n", "&am",
                                "<BR", "&", "<", "\"", ":", "\r\n", "\n", "&#128512;",
                                "&#x41;", "&#0;", "&#12", "#65;"};
  auto field = [&]() {
    std::string text;
    for (int i = next(8); i > 0; --i) {
      switch (next(4)) {
        case 0:
          text += tokens[next(sizeof(tokens) / sizeof(tokens[0]))];
          break;
        case 1:  // a character of two bytes, or a lead byte and a byte after it
          text += static_cast<char>(next(2) ? 0x81 + next(31) : 0xE0 + next(29));
          text += static_cast<char>(next(2) ? 0x40 + next(63) : 0x80 + next(125));
          break;
        case 2:  // a lead byte on its own
          text += static_cast<char>(0x81 + next(31));
          break;
        default: {
          static const unsigned char kOdd[] = {0x80, 0xA0, 0xA1, 0xDF, 0xFD, 0xFF, 0x7F, 0x01};
          text += static_cast<char>(kOdd[next(sizeof(kOdd))]);
        }
      }
    }
    return text;
  };
  const std::string label = "\x93\x8A\x8D\x65\x8E\xD2\x81\x46<B> \r\n ";
  for (int i = 0; i < 5000; ++i) {
    std::string subject = field(), email = field(), name = field(), body = field();
    bool mail = next(2) != 0;
    std::string html = "<B> \r\n " + subject + " \r\n </B> ";
    if (mail) {
      html += " <A HREF=\"mailto:" + email + "\"> \r\n " + label + name + " \r\n </B></A>";
    } else {
      html += label + name + " \r\n </B> \r\n";
    }
    html += "2024\x94\x4E" + field() + " <P> \r\n  \r\n <BLOCKQUOTE><TT> \r\n " + body +
            " \r\n </TT> </BLOCKQUOTE> \r\n ";
    BoardPost post = ReadBoardPost(0, html);
    ASSERT_TRUE(post.parsed) << i;
    EXPECT_EQ(post.html, ShiftJisToUtf8(html)) << i;
    EXPECT_EQ(post.subject, UnescapeField(ShiftJisToUtf8(subject))) << i;
    EXPECT_EQ(post.name, UnescapeField(ShiftJisToUtf8(name))) << i;
    EXPECT_EQ(post.body, UnescapeField(ShiftJisToUtf8(body))) << i;
    if (mail) {
      EXPECT_EQ(post.email, UnescapeField(ShiftJisToUtf8(email))) << i;
    } else {
      EXPECT_FALSE(post.email.has_value()) << i;
    }
  }
}

}  // namespace
