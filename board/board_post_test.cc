// Posting and deleting through fnTvx: what is stored, what the client is
// answered, and each way a post can fail.
#include <functional>
#include <string>
#include <thread>

#include "board_test_util.h"

namespace board_test {
namespace {

const std::string kRedirect = "Location: /cgi/board.tvx\r\n\r\n";

class BoardPostTest : public BoardTest {
 protected:
  // The boards posted to here show delete buttons, so they take deletions.
  void SetUp() override {
    BoardTest::SetUp();
    WriteTemplate("boardHEAD.HTML", "<HTML><!-- $HIDE_DELETE_FLAG$ --><BODY>");
    WriteTemplate("otherHEAD.HTML", "<HTML><!-- $HIDE_DELETE_FLAG$ --><BODY>");
  }
  // The single stored post's HTML.
  std::string OnlyPost() {
    std::vector<StoredRecord> records = Records();
    EXPECT_EQ(records.size(), 1u);
    return records.empty() ? std::string() : records[0].Html();
  }
  // Posts one form and returns the stored HTML, or "" when nothing was stored.
  std::string Render(const std::string& body, const char* contentType = kUrlEncoded) {
    Reply reply = Post(body + "&postitem=x", "/cgi/board.tvx", contentType);
    EXPECT_EQ(reply.text, kRedirect) << body;
    std::vector<StoredRecord> records = Records();
    std::string html = records.empty() ? std::string() : records.back().Html();
    for (const StoredRecord& r : records) Delete(r.oid);
    return html;
  }
  void Delete(CEOID oid) {
    Reply reply = Post("deleteitem=x&deleteitemid=" + std::to_string(static_cast<int>(oid)));
    EXPECT_EQ(reply.text, kRedirect);
  }
  // The parts of a post between its fixed pieces.
  static std::string Between(const std::string& html, const std::string& before,
                             const std::string& after) {
    size_t start = html.find(before);
    if (start == std::string::npos) return "<missing " + before + ">";
    start += before.size();
    size_t end = html.find(after, start);
    if (end == std::string::npos) return "<missing " + after + ">";
    return html.substr(start, end - start);
  }
  static std::string NameOf(const std::string& html) {
    return Between(html, Sjis(u"投稿者：") + "<B> \r\n ", " \r\n </B>");
  }
  static std::string SubjectOf(const std::string& html) { return Between(html, "<B> \r\n ", " \r\n </B> "); }
  static std::string EmailOf(const std::string& html) { return Between(html, "mailto:", "\"> \r\n "); }
  static std::string BodyOf(const std::string& html) {
    return Between(html, "<BLOCKQUOTE><TT> \r\n ", " \r\n </TT> </BLOCKQUOTE>");
  }
};

TEST_F(BoardPostTest, PostIsStoredAsTimeThenHtml) {
  Reply reply = Post("name=Taro&email=&subject=Hi&body=a%3Cb%0D%0Ac&postitem=x");
  EXPECT_EQ(reply.text, kRedirect);
  EXPECT_EQ(reply.result, 28);

  std::vector<StoredRecord> records = Records();
  ASSERT_EQ(records.size(), 1u);
  const StoredRecord& record = records[0];
  ASSERT_EQ(record.properties.size(), 2u);
  EXPECT_EQ(record.properties[0].propid, 64u);
  EXPECT_EQ(record.properties[1].propid, 65601u);
  for (const StoredProperty& p : record.properties) {
    EXPECT_EQ(p.lenData, 0);
    EXPECT_EQ(p.flags, 0);
  }
  SYSTEMTIME fixed = {2024, 3, 5, 15, 9, 5, 30, 0};
  FILETIME expected;
  ASSERT_TRUE(SystemTimeToFileTime(&fixed, &expected));
  EXPECT_EQ(record.properties[0].time.dwLowDateTime, expected.dwLowDateTime);
  EXPECT_EQ(record.properties[0].time.dwHighDateTime, expected.dwHighDateTime);

  const std::string& blob = record.properties[1].blob;
  ASSERT_FALSE(blob.empty());
  EXPECT_EQ(blob.back(), '\0');
  EXPECT_EQ(blob.size(), strlen(blob.c_str()) + 1);
  EXPECT_EQ(record.Html(),
            "<B> \r\n Hi \r\n </B> " + Sjis(u"投稿者：") + "<B> \r\n Taro \r\n </B> \r\n" +
                Sjis(u"2024年3月15日 9時5分") + " <P> \r\n  \r\n <BLOCKQUOTE><TT> \r\n a&lt;b<BR>\nc"
                " \r\n </TT> </BLOCKQUOTE> \r\n ");
}

TEST_F(BoardPostTest, EmailMakesTheNameALink) {
  std::string html = Render("name=Taro&email=taro%40example.org&subject=Hi&body=x");
  EXPECT_NE(html.find(" <A HREF=\"mailto:taro@example.org\"> \r\n " + Sjis(u"投稿者：") +
                      "<B> \r\n Taro \r\n </B></A>"),
            std::string::npos);
  // An absent field counts as present with the text (none).
  EXPECT_EQ(EmailOf(Render("name=Taro&subject=Hi&body=x")), "(none)");
}

TEST_F(BoardPostTest, EmptyFieldsAreRefused) {
  struct Case {
    const char* body;
    const char* message;
  } cases[] = {
      {"name=&email=&subject=s&body=b", "No Name."},
      {"name=%0D&email=&subject=s&body=b", "No Name."},
      {"name=n&email=&subject=&body=b", "No Subject."},
      {"name=n&email=&subject=s&body=", "No Body."},
      {"name=n&email=&subject=s&body=%0D%0D", "No Body."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    Reply reply = Post(std::string(c.body) + "&postitem=x");
    EXPECT_EQ(reply.text, ErrorPageText(c.message));
    EXPECT_EQ(reply.result, static_cast<int>(reply.text.size()));
  }
  EXPECT_TRUE(Records().empty());
}

TEST_F(BoardPostTest, StoreFailuresReachTheClient) {
  struct Case {
    const char* name;
    bool databaseExists;
    long failAfter;  // store calls that succeed before the failing one
    DWORD code;
    const char* message;
  } cases[] = {
      {"open out of memory", true, 0, ERROR_NOT_ENOUGH_MEMORY, "Not enough memory"},
      {"create fails", false, 1, ERROR_DISK_FULL, "ERROR: CeCreateDatabaseEx failed."},
      {"open after create fails", false, 2, ERROR_READ_FAULT, "ERROR: CeOpenDatabaseEx failed."},
      {"write fails", true, 1, ERROR_DISK_FULL, "Write Record Error"},
  };
  int board = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string script = "/cgi/b" + std::to_string(++board) + ".tvx";
    std::string database = "TULVAN_b" + std::to_string(board) + ".tvx";
    if (c.databaseExists) {
      ASSERT_NE(CreateDatabase(database), 0u);
    }
    PlatformFailStoreCall(c.failAfter, c.code);
    EXPECT_EQ(AddPost("Lost", script).text, ErrorPageText(c.message));
    PlatformFailStoreCall(-1, 0);
    EXPECT_TRUE(Records(database).empty());
    // The board works again: a database made on the way is found by name.
    EXPECT_EQ(AddPost("Kept", script).text, "Location: " + script + "\r\n\r\n");
    EXPECT_EQ(Records(database).size(), 1u);
  }
}

TEST_F(BoardPostTest, DeleteRemovesThePost) {
  // The identifier as a browser or a script may spell it; its first eleven
  // characters count once decoded, so an escape is never cut in half.
  auto escaped = [](const std::string& digits) {
    std::string text;
    for (char d : "0000" + digits) text += "%3" + std::string(1, d);
    return text;
  };
  struct Case {
    const char* name;
    std::function<std::string(const std::string&)> spell;
  } cases[] = {
      {"plain", [](const std::string& id) { return id; }},
      {"leading blanks", [](const std::string& id) { return "+%20+" + id; }},
      {"escaped digits", escaped},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(AddPost("One").text, kRedirect);
    ASSERT_EQ(AddPost("Two").text, kRedirect);
    std::vector<StoredRecord> before = Records();
    ASSERT_EQ(before.size(), 2u);
    std::string id = std::to_string(static_cast<int>(before[0].oid));
    EXPECT_EQ(Post("deleteitem=x&deleteitemid=" + c.spell(id)).text, kRedirect);
    std::vector<StoredRecord> after = Records();
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].oid, before[1].oid);
    Delete(after[0].oid);
  }
}

TEST_F(BoardPostTest, PostAndDeleteInOneRequest) {
  ASSERT_EQ(AddPost("Old").text, kRedirect);
  CEOID old = Records()[0].oid;
  Reply reply = Post("name=n&email=&subject=New&body=b&postitem=x&deleteitem=x&deleteitemid=" +
                     std::to_string(static_cast<int>(old)));
  EXPECT_EQ(reply.text, kRedirect);
  std::vector<StoredRecord> after = Records();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0].oid, old);
  EXPECT_EQ(SubjectOf(after[0].Html()), "New");
}

TEST_F(BoardPostTest, DeletionsThatDoNothingOrFail) {
  ASSERT_EQ(AddPost("Stays", "/cgi/other.tvx").result, 28);
  struct Case {
    const char* script;
    const char* body;
    std::string answer;
  } cases[] = {
      {"/cgi/board.tvx", "deleteitem=x", kRedirect},
      {"/cgi/board.tvx", "deleteitem=x&deleteitemid=0", kRedirect},
      {"/cgi/board.tvx", "", kRedirect},
      // No database: the open fails; the answer names the identifier.
      {"/cgi/board.tvx", "deleteitem=x&deleteitemid=26", ErrorPageText("1A")},
      // No such record: the formatted store error gives way to the identifier.
      {"/cgi/other.tvx", "deleteitem=x&deleteitemid=26", ErrorPageText("1A")},
      {"/cgi/other.tvx", "deleteitem=x&deleteitemid=-2", ErrorPageText("FFFFFFFE")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.script) + " " + c.body);
    std::string answer = c.answer == kRedirect ? "Location: " + std::string(c.script) + "\r\n\r\n" : c.answer;
    Reply reply = Post(c.body, c.script);
    EXPECT_EQ(reply.text, answer);
    EXPECT_EQ(reply.result, static_cast<int>(answer.size()));
  }
  EXPECT_EQ(Records("TULVAN_other.tvx").size(), 1u);
}

TEST_F(BoardPostTest, FailedDeleteKeepsTheNewPost) {
  Reply reply = Post("name=n&email=&subject=s&body=b&postitem=x&deleteitem=x&deleteitemid=77");
  EXPECT_EQ(reply.text, ErrorPageText("4D"));
  EXPECT_EQ(Records().size(), 1u);
}

// A visitor's "&", "+" and "%" came out wrong when the fields were read from
// the body after the request form had decoded it.
TEST_F(BoardPostTest, RegressionLostCharacters) {
  struct Case {
    const char* sent;
    const char* stored;
  } cases[] = {
      {"Tom+%26+Jerry", "Tom &amp; Jerry"},
      {"1%2B1%3D2", "1+1=2"},
      {"100%25", "100%"},
      {"%2541", "%41"},
      {"a+b", "a b"},
      {"x%3Dy%26z%3D1", "x=y&amp;z=1"},
  };
  const char* types[] = {kUrlEncoded, "application/x-www-form-urlencoded; charset=Shift_JIS"};
  for (const char* type : types) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(type) + ": " + c.sent);
      std::string html = Render("name=" + std::string(c.sent) + "&email=&subject=" + c.sent +
                                    "&body=" + c.sent,
                                type);
      EXPECT_EQ(NameOf(html), c.stored);
      EXPECT_EQ(SubjectOf(html), c.stored);
      EXPECT_EQ(BodyOf(html), c.stored);
    }
  }
}

// A key found inside another field's name or value took the wrong value.
TEST_F(BoardPostTest, RegressionWrongField) {
  struct Case {
    const char* body;
    const char* name;
    const char* subject;
    const char* text;
  } cases[] = {
      {"name=nobody&email=&subject=s&body=real", "nobody", "s", "real"},
      {"nickname=x&name=Real&email=&subject=s&body=b", "Real", "s", "b"},
      {"nickname=x&email=&subject=s&body=b", "(none)", "s", "b"},
      {"name=n&email=&subject=somebody%3Dx&body=b", "n", "somebody=x", "b"},
      {"name=n&email=&subject=s&nobody=zz", "n", "s", "(none)"},
      {"name=n&email=&mysubject=no&subject=yes&body=b", "n", "yes", "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    std::string html = Render(c.body);
    EXPECT_EQ(NameOf(html), c.name);
    EXPECT_EQ(SubjectOf(html), c.subject);
    EXPECT_EQ(BodyOf(html), c.text);
  }
}

// An e-mail address with a double quote left its attribute, and a stray
// Shift_JIS lead byte swallowed the "<" after it.
TEST_F(BoardPostTest, RegressionScriptInjection) {
  const char* hostile[] = {
      "%22%3E%3Cscript%3Ealert(1)%3C/script%3E",
      "x%22%20onmouseover%3D%22alert(1)",
      "%81%3Cscript%3E",
      "%E0%22onerror%3Dalert(1)",
      "%9F%3E%3Cimg%20src%3Dx%3E",
      "%FF%3Cb%3E%FD%22",
      "%80%3C%A0%3E",
      "%81%3C%81%22%81%26%81",
      "%3C%2Fa%3E%3Ca%20href%3Djavascript:x%3E",
      "%27%20onclick%3D%27x",
  };
  // A harmless post of the same shape: the markup every post carries.
  std::string plain = Render("name=a&email=a&subject=a&body=a");
  size_t tags = CountOf(plain, "<");
  size_t quotes = CountOf(plain, "\"");
  for (const char* input : hostile) {
    SCOPED_TRACE(input);
    std::string html = Render(std::string("name=") + input + "&email=" + input + "&subject=" + input +
                              "&body=" + input);
    ASSERT_FALSE(html.empty());
    EXPECT_EQ(CountOf(html, "<"), tags);
    EXPECT_EQ(CountOf(html, ">"), CountOf(plain, ">"));
    EXPECT_EQ(CountOf(html, "\""), quotes);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
  }
}

TEST_F(BoardPostTest, ShiftJisBytesAreKeptOnlyWhole) {
  struct Case {
    const char* sent;
    std::string stored;
  } cases[] = {
      {"%93%8A%8D%65", Sjis(u"投稿")},        // two whole characters
      {"%B1%B2", "\xB1\xB2"},                  // half-width katakana stand alone
      {"a%81", "a"},                           // lead byte at the end
      {"%81%3C", "&lt;"},                      // lead byte before "<": dropped
      {"%81%81%40", "\x81\x81@"},            // 81 81 is a character, then "@"
      {"%80a%A0b%FDc%FEd%FF", "abcd"},         // bytes that are no character
      {"%E0%7F", "\x7F"},                      // 0x7F is no trail byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    std::string html = Render("name=n&email=&subject=s&body=" + std::string(c.sent));
    EXPECT_EQ(BodyOf(html), c.stored);
  }
}

// Plain runs, escapes, line ends and characters in one body, each at the
// start, the middle and the end of the text.
TEST_F(BoardPostTest, BodyMixesRunsAndEscapes) {
  struct Case {
    const char* sent;
    std::string stored;
  } cases[] = {
      {"ab%0D%0Acd%3C%93%8Aef%22", "ab<BR>\ncd&lt;\x93\x8A" "ef&quot;"},
      {"%3Eab", "&gt;ab"},
      {"ab%26", "ab&amp;"},
      {"%0D%0D%0Aa%0Ab", "<BR>\na<BR>\nb"},
      {"x", "x"},
      {"%B1yz%81", "\xB1yz"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    std::string html = Render("name=n&email=&subject=s&body=" + std::string(c.sent));
    EXPECT_EQ(BodyOf(html), c.stored);
  }
}

// The 29-byte cut of the short fields split characters and entities.
TEST_F(BoardPostTest, RegressionBrokenCharacters) {
  std::string kana30;
  for (int i = 0; i < 30; i++) kana30 += "%B1";
  struct Case {
    std::string sent;
    std::string stored;
  } cases[] = {
      {std::string(40, 'a'), std::string(29, 'a')},
      {std::string(29, 'a'), std::string(29, 'a')},
      {"%26%26%26%26%26%26%26%26%26%26", "&amp;&amp;&amp;&amp;&amp;"},
      {std::string(25, 'a') + "%22", std::string(25, 'a')},  // &quot; needs 6
      {std::string(23, 'a') + "%22", std::string(23, 'a') + "&quot;"},
      {std::string(28, 'a') + "%93%8A", std::string(28, 'a')},
      {std::string(27, 'a') + "%93%8A", std::string(27, 'a') + "\x93\x8A"},
      {std::string(27, 'a') + "%93%8A%93%8A", std::string(27, 'a') + "\x93\x8A"},
      {std::string(26, 'a') + "%0Ab", std::string(26, 'a')},  // <BR> and its line feed
      {std::string(24, 'a') + "%0Ab", std::string(24, 'a') + "<BR>\n"},
      {kana30, std::string(29, '\xB1')},  // whole one-byte characters all stay
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent);
    std::string html = Render("name=" + c.sent + "&email=" + c.sent + "&subject=" + c.sent + "&body=b");
    EXPECT_EQ(NameOf(html), c.stored);
    EXPECT_EQ(EmailOf(html), c.stored);
    EXPECT_EQ(SubjectOf(html), c.stored);
  }
}

// Two first posts of a new board at once: the second one's create found the
// database that the first had just made, and its post was refused.
TEST_F(BoardPostTest, RegressionLostFirstPost) {
  // The board's open does not find the database, which exists by the time it
  // creates one: the create reports ERROR_DUP_NAME.
  ASSERT_NE(CreateDatabase(), 0u);
  PlatformFailStoreCall(0, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(AddPost("Second").text, kRedirect);
  EXPECT_EQ(Records().size(), 1u);
}

TEST_F(BoardPostTest, RegressionLostFirstPostConcurrently) {
  for (int round = 0; round < 8; round++) {
    std::string script = "/cgi/race" + std::to_string(round) + ".tvx";
    std::string answers[2];
    TvxRequest requests[2];
    for (int i = 0; i < 2; i++) {
      Fill(&requests[i], "POST", script, "",
           "name=t" + std::to_string(i) + "&email=&subject=s&body=b&postitem=x", kUrlEncoded);
    }
    std::thread first([&] { requests[0].Run(*library_); });
    std::thread second([&] { requests[1].Run(*library_); });
    first.join();
    second.join();
    for (int i = 0; i < 2; i++) {
      EXPECT_EQ(requests[i].Response(), "Location: " + script + "\r\n\r\n") << "round " << round;
    }
    EXPECT_EQ(Records("TULVAN_race" + std::to_string(round) + ".tvx").size(), 2u) << "round " << round;
  }
}

// A template's own form may be sent as multipart/form-data: its post was
// once answered with the redirect and stored with every field "(none)".
TEST_F(BoardPostTest, RegressionMultipartPostLosesItsFields) {
  auto part = [](const std::string& name, const std::string& value) {
    return "--XYZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
           "\r\n";
  };
  const char* type = "multipart/form-data; boundary=XYZ";
  // Shift_JIS, '&', '+', '%', '=' and a line break, as a browser sends them.
  std::string body = part("name", "\x91\xBE\x98\x59 & Co") + part("email", "t@example.com") +
                     part("subject", "1+1=2 100%") + part("body", "line one\r\n<b>two</b>") +
                     part("postitem", "x") + "--XYZ--\r\n";
  ASSERT_EQ(Post(body, "/cgi/board.tvx", type).text, kRedirect);
  std::string html = OnlyPost();
  EXPECT_EQ(NameOf(html), "\x91\xBE\x98\x59 &amp; Co");
  EXPECT_NE(html.find("mailto:t@example.com"), std::string::npos) << html;
  EXPECT_NE(html.find("1+1=2 100%"), std::string::npos) << html;
  EXPECT_NE(html.find("line one<BR>\n&lt;b&gt;two&lt;/b&gt;"), std::string::npos) << html;

  // Parts are taken by their whole names only: "bodytext" is not "body",
  // which is then absent, as in a URL-encoded form that does not send it.
  ASSERT_EQ(Post(part("name", "n") + part("subject", "s") + part("bodytext", "typed") +
                     part("postitem", "x") + "--XYZ--\r\n",
                 "/cgi/board.tvx", type)
                .text,
            kRedirect);
  std::vector<StoredRecord> records = Records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Html().find("typed"), std::string::npos) << records[0].Html();
  EXPECT_NE(records[0].Html().find("(none)"), std::string::npos) << records[0].Html();

  // The delete button of a multipart form deletes its post and only it.
  std::string erase = part("deleteitem", "x") +
                      part("deleteitemid", std::to_string(static_cast<int>(records[0].oid))) +
                      "--XYZ--\r\n";
  ASSERT_EQ(Post(erase, "/cgi/board.tvx", type).text, kRedirect);
  std::vector<StoredRecord> after = Records();
  ASSERT_EQ(after.size(), 1u);
  EXPECT_EQ(after[0].oid, records[1].oid);
}

// Words typed into a post must never act as the form's own parameters: a body
// reading "deleteitem=x&deleteitemid=N" once decoded used to delete post N.
TEST_F(BoardPostTest, RegressionPostTextDeletesAnotherPost) {
  ASSERT_EQ(AddPost("First").text, kRedirect);
  CEOID first = Records()[0].oid;
  const std::string id = std::to_string(static_cast<int>(first));
  const std::string hostile[] = {
      "name=n&email=&subject=s&body=I+wrote+deleteitemid%3D" + id + "&postitem=x",
      "name=n&email=&subject=s&body=%26deleteitem%3Dx%26deleteitemid%3D" + id + "&postitem=x",
      "name=deleteitem%3Dx&email=&subject=deleteitemid%3D" + id + "&body=b&postitem=x",
  };
  for (const std::string& body : hostile) {
    SCOPED_TRACE(body);
    EXPECT_EQ(Post(body).text, kRedirect);
  }
  std::vector<StoredRecord> records = Records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records.back().oid, first);
  // Nor can a post's text ask for a post: "postitem" must be the form's own.
  EXPECT_EQ(Post("deleteitem=x&deleteitemid=0&note=postitem%3Dy").text, kRedirect);
  EXPECT_EQ(Records().size(), 4u);
}

// A board without delete buttons took the buttons' POST all the same, and
// identifiers are easy to guess: anyone could empty it. A board now takes a
// deletion exactly when its page shows the buttons.
TEST_F(BoardPostTest, RegressionBoardWithoutButtonsDeletes) {
  const std::string marked = "/cgi/$HIDE_DELETE_FLAG$/board.tvx";
  const std::string none = "(no template)";
  struct Case {
    const char* name;
    std::string header;
    std::string script;
    bool deletes;
  } cases[] = {
      {"built-in header", none, "/cgi/board.tvx", false},
      {"template without the marker", "<HTML><BODY>", "/cgi/board.tvx", false},
      {"marker in lower case", "<!-- $hide_delete_flag$ -->", "/cgi/board.tvx", false},
      {"marker after a NUL byte", std::string("<HTML>\0$HIDE_DELETE_FLAG$", 24), "/cgi/board.tvx",
       false},
      {"empty template", "", "/cgi/board.tvx", false},
      {"template with the marker", "<!-- $HIDE_DELETE_FLAG$ -->", "/cgi/board.tvx", true},
      // The page names the path it tried in a comment, marker and all.
      {"marker in the directory tried", none, marked, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(dir_ / "www" / "cgi" / "boardHEAD.HTML");
    if (c.header != none) WriteTemplate("boardHEAD.HTML", c.header);
    std::string redirect = "Location: " + c.script + "\r\n\r\n";
    ASSERT_EQ(AddPost("Target", c.script).text, redirect);
    std::vector<StoredRecord> before = Records();
    ASSERT_FALSE(before.empty());
    const std::string id = std::to_string(static_cast<int>(before[0].oid));

    // What the page offers ...
    bool buttons = Get(c.script).text.find("name=\"deleteitemid\" value=\"" + id + "\"") !=
                   std::string::npos;
    EXPECT_EQ(buttons, c.deletes);
    // ... is what a POST may do; either way the answer is the same redirect.
    Reply reply = Post("deleteitem=x&deleteitemid=" + id, c.script);
    EXPECT_EQ(reply.text, redirect);
    EXPECT_EQ(Records().size(), before.size() - (c.deletes ? 1 : 0));
    // A post and a deletion in one request: the post is stored, nothing removed.
    if (!c.deletes) {
      EXPECT_EQ(Post("name=n&email=&subject=s&body=b&postitem=x&deleteitem=x&deleteitemid=" + id,
                     c.script).text,
                redirect);
      EXPECT_EQ(Records().size(), before.size() + 1);
    }
  }
}

}  // namespace
}  // namespace board_test
