#include "request_form.h"

#include <gtest/gtest.h>
#include <string.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

namespace {

typedef std::vector<std::pair<std::string, std::string>> Pairs;

// The three objects the server passes, with storage cut to the exact size
// (block size 1), so that any read or write past them is caught.
struct Request {
  Request(const Pairs& pairs, const std::string& bodyBytes) {
    variables.buffer->blockSize = 1;
    for (const auto& pair : pairs) variables.Set(pair.first.c_str(), pair.second.c_str());
    body.blockSize = 1;
    body.Append(bodyBytes.data(), static_cast<int>(bodyBytes.size()));
  }
  ServerVariables variables;
  TextBuffer body;
  TextBuffer response;
};

// A buffer with a guard area: `size` bytes are handed out, the rest must stay.
struct Guarded {
  explicit Guarded(int size) : size(size) { memset(bytes, 'X', sizeof(bytes)); }
  bool GuardIntact() const {
    for (size_t i = size; i < sizeof(bytes); ++i) {
      if (bytes[i] != 'X') return false;
    }
    return true;
  }
  int size;
  char bytes[64];
};

TEST(FindValueTest, SubstringRules) {
  struct Case {
    const char* text;
    const char* name;
    const char* value;
  } cases[] = {
      {"name2=a&name=b", "name", "a"},  // the first occurrence is inside name2
      {"dbname=x&name=y", "name=", "x"},
      {"deleteitemid=5&deleteitem=1", "deleteitem=", "1"},
      {"deleteitemid=5&deleteitem=1", "deleteitem", "5"},
      {"subject=my name&x=1", "name", "1"},  // found inside a value
      {"a=1&b=2&c=3", "c", "3"},
      {"a=1&b=&c=3", "b", ""},
      {"a=x=y&b=2", "a", "x=y"},
      {"a=1&b", "b", ""},  // no '=' after the name: nothing
      {"cmd=enum", "cmd=", "enum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.text << " / " << c.name);
    Guarded out(32);
    int n = RequestForm::FindValue(c.text, c.name, out.bytes, out.size);
    EXPECT_EQ(strlen(c.value), static_cast<size_t>(n));
    EXPECT_EQ(std::string(c.value), std::string(out.bytes, n));
    EXPECT_TRUE(out.GuardIntact());
  }
}

TEST(FindValueTest, Truncation) {
  struct Case {
    const char* text;
    int size;
    int result;
    std::string written;  // bytes from the start of the buffer
  } cases[] = {
      {"a=abcdefg", 5, 5, "abcdeX"},  // fills the buffer: no terminator
      {"a=abcde", 5, 5, "abcdeX"},
      {"a=abcd", 5, 4, std::string("abcd\0X", 6)},
      {"a=", 5, 0, std::string("\0X", 2)},
      {"b=1", 5, 0, std::string("\0X", 2)},  // absent: a NUL in the first byte
      {"a", 5, 0, "XX"},                     // no '=': nothing written
      {"a=abc", 0, 0, "XX"},                 // nothing fits
      {"a=abc", -3, 0, "XX"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.text << " size " << c.size);
    Guarded out(c.size > 0 ? c.size : 0);
    EXPECT_EQ(c.result, RequestForm::FindValue(c.text, "a", out.bytes, c.size));
    EXPECT_EQ(c.written, std::string(out.bytes, c.written.size()));
    EXPECT_TRUE(out.GuardIntact());
  }
  char buffer[4];
  EXPECT_EQ(0, RequestForm::FindValue(nullptr, "a", buffer, 4));
  EXPECT_EQ(0, RequestForm::FindValue("a=1", nullptr, buffer, 4));
  EXPECT_EQ(0, RequestForm::FindValue("a=1", "a", nullptr, 4));
}

TEST(RequestFormTest, QueryParameters) {
  Request request({{"REQUEST_METHOD", "GET"}, {"QUERY_STRING", "row=20&cmd=abcdefg&e="}}, "");
  RequestForm form(&request.variables, &request.body, &request.response);
  EXPECT_STREQ(kStatusNoError, form.status);

  Guarded out(5);
  EXPECT_EQ(5, form.GetParameter("cmd", out.bytes, 5));
  EXPECT_EQ("abcdeX", std::string(out.bytes, 6));

  Guarded row(31);
  EXPECT_EQ(2, form.GetParameter("row", row.bytes, 31));
  EXPECT_STREQ("20", row.bytes);
  for (int i = 2; i < 31; ++i) EXPECT_EQ(0, row.bytes[i]);  // zero-filled first
  EXPECT_TRUE(row.GuardIntact());

  Guarded empty(8);
  EXPECT_EQ(0, form.GetParameter("e", empty.bytes, 8));
  EXPECT_EQ(0, empty.bytes[0]);

  Guarded absent(8);
  EXPECT_EQ(0, form.GetParameter("missing", absent.bytes, 8));
  EXPECT_EQ(std::string(8, '\0'), std::string(absent.bytes, 8));
  EXPECT_STREQ(kStatusNoError, form.status);  // absent is no failure
}

TEST(RequestFormTest, BadParametersSetBadParam) {
  Request request({{"QUERY_STRING", "a=1"}}, "");
  RequestForm form(&request.variables, &request.body, &request.response);
  char buffer[8] = "keep";
  EXPECT_EQ(0, form.GetParameter(nullptr, buffer, 8));
  EXPECT_STREQ(kStatusBadParam, form.status);
  form.status = kStatusNoError;
  EXPECT_EQ(0, form.GetParameter("a", nullptr, 8));
  EXPECT_STREQ(kStatusBadParam, form.status);
  form.status = kStatusNoError;
  EXPECT_EQ(0, form.GetParameter("a", buffer, 0));
  EXPECT_STREQ(kStatusBadParam, form.status);
  form.status = kStatusNoError;
  EXPECT_EQ(0, form.GetParameter("a", buffer, -1));
  EXPECT_STREQ(kStatusBadParam, form.status);
  EXPECT_STREQ("keep", buffer);
  form.status = kStatusNoError;
  EXPECT_EQ(0, form.GetIntParameter(nullptr));
  EXPECT_STREQ(kStatusBadParam, form.status);
}

TEST(RequestFormTest, MissingQueryStringIsBadParam) {
  Request request({{"REQUEST_METHOD", "GET"}}, "");
  RequestForm form(&request.variables, &request.body, &request.response);
  char buffer[8];
  EXPECT_EQ(0, form.GetParameter("a", buffer, 8));
  EXPECT_STREQ(kStatusBadParam, form.status);
  form.status = kStatusNoError;
  EXPECT_EQ(0, form.GetIntParameter("a"));
  EXPECT_STREQ(kStatusBadParam, form.status);
}

TEST(RequestFormTest, MethodDecidesTheSource) {
  const char* urlEncoded = "application/x-www-form-urlencoded";
  struct Case {
    const char* method;  // nullptr: no REQUEST_METHOD
    const char* from;
  } cases[] = {
      {"POST", "body"}, {"post", "query"}, {"Post", "query"}, {"GET", "query"},
      {"POST ", "query"}, {"", "query"}, {nullptr, "query"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method ? c.method : "(none)");
    Pairs pairs = {{"QUERY_STRING", "from=query"}, {"CONTENT_TYPE", urlEncoded}};
    if (c.method != nullptr) pairs.push_back({"REQUEST_METHOD", c.method});
    Request request(pairs, "from=body");
    RequestForm form(&request.variables, &request.body, &request.response);
    EXPECT_EQ(strcmp(c.from, "body") == 0 ? 1 : 0, form.IsPost());
    char buffer[16];
    EXPECT_EQ(static_cast<int>(strlen(c.from)), form.GetParameter("from", buffer, 16));
    EXPECT_STREQ(c.from, buffer);
  }
}

TEST(RequestFormTest, ContentTypeRules) {
  struct Case {
    const char* type;  // nullptr: no CONTENT_TYPE
    int urlEncoded;
    int multipart;
    const char* value;  // what "s" reads from the body s=a+b%21, or the status
  } cases[] = {
      {"application/x-www-form-urlencoded", 1, 0, "a b!"},
      {"APPLICATION/X-WWW-FORM-URLENCODED", 1, 0, "a b!"},
      // A charset parameter: read as URL-encoded, but never decoded.
      {"application/x-www-form-urlencoded; charset=Shift_JIS", 1, 0, "a+b%21"},
      {"application/x-www-form-urlencodedX", 1, 0, "a+b%21"},
      {"application/x-www-form-urlencode", 0, 0, kStatusBadContentType},
      {"multipart/form-data; boundary=XYZ", 0, 1, ""},
      {"Multipart/Form-Data", 0, 1, kStatusBadBoundary},
      {"multipart/form-dat", 0, 0, kStatusBadContentType},
      {"text/plain", 0, 0, kStatusBadContentType},
      {"", 0, 0, kStatusBadContentType},
      {nullptr, 0, 0, kStatusBadContentType},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type ? c.type : "(none)");
    Pairs pairs = {{"REQUEST_METHOD", "POST"}, {"CONTENT_LENGTH", "8"}};
    if (c.type != nullptr) pairs.push_back({"CONTENT_TYPE", c.type});
    Request request(pairs, "s=a+b%21");
    RequestForm form(&request.variables, &request.body, &request.response);
    EXPECT_EQ(c.urlEncoded, RequestForm::IsUrlEncoded(&request.variables));
    EXPECT_EQ(c.multipart, RequestForm::IsMultipart(&request.variables));
    char buffer[16];
    int n = form.GetParameter("s", buffer, 16);
    if (c.urlEncoded) {
      EXPECT_STREQ(kStatusNoError, form.status);
      EXPECT_EQ(static_cast<int>(strlen(c.value)), n);
      EXPECT_STREQ(c.value, buffer);
    } else if (c.multipart && c.value[0] == '\0') {
      EXPECT_EQ(0, n);
      EXPECT_STREQ(kStatusNoError, form.status);
    } else {
      EXPECT_EQ(0, n);
      EXPECT_STREQ(c.value, form.status);
    }
    EXPECT_EQ(8, request.body.length);  // decoding leaves the body's length alone
  }
  EXPECT_EQ(0, RequestForm::IsUrlEncoded(nullptr));
  EXPECT_EQ(0, RequestForm::IsMultipart(nullptr));
}

TEST(RequestFormTest, BodyIsDecodedBeforeItIsSplit) {
  Request request({{"REQUEST_METHOD", "POST"},
                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                   {"QUERY_STRING", "subject=query"}},
                  "subject=a%26b&x=1&name=%82%A0+%82%A2");
  RequestForm form(&request.variables, &request.body, &request.response);
  char buffer[32];
  EXPECT_EQ(1, form.GetParameter("subject", buffer, 32));
  EXPECT_STREQ("a", buffer);
  EXPECT_EQ(5, form.GetParameter("name", buffer, 32));
  EXPECT_STREQ("\x82\xa0 \x82\xa2", buffer);
}

// Construction decodes a URL-encoded body whatever the method, only up to
// its first NUL, and keeps its length.
TEST(RequestFormTest, UrlEncodedBodyIsDecodedUpToItsFirstNul) {
  const std::string raw("a=%41+\0b=%42", 12);
  for (const char* method : {"POST", "GET", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(method ? method : "(none)");
    Pairs pairs = {{"CONTENT_TYPE", "application/x-www-form-urlencoded"}};
    if (method != nullptr) pairs.push_back({"REQUEST_METHOD", method});
    Request request(pairs, raw);
    RequestForm form(&request.variables, &request.body, &request.response);
    EXPECT_EQ(12, request.body.length);
    EXPECT_EQ(std::string("a=A \0+\0b=%42", 12), std::string(request.body.data, 12));
  }
}

TEST(RequestFormTest, PostWithoutBodyReadsNothing) {
  Request request({{"REQUEST_METHOD", "POST"}, {"QUERY_STRING", "a=1"}}, "");
  RequestForm form(&request.variables, &request.body, &request.response);
  ASSERT_EQ(nullptr, request.body.data);
  char buffer[8];
  EXPECT_EQ(0, form.GetParameter("a", buffer, 8));
  EXPECT_EQ(0, form.GetIntParameter("a"));
  EXPECT_STREQ(kStatusNoError, form.status);  // no content type asked for
}

TEST(RequestFormTest, IntParameterOnTheQuery) {
  struct Case {
    const char* query;
    int value;
  } cases[] = {
      {"id=42", 42},
      {"id=-2147483648", INT_MIN},
      {"id=2147483647", INT_MAX},
      {"id=-12345678905", -1234567890},  // twelve characters: the first eleven count
      {"id=00000000012345", 12},
      {"id=42abc", 42},
      {"id=abc", 0},
      {"id=", 0},
      {"other=5", 0},
      {"deleteitemid=7&deleteitem=1", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    Request request({{"QUERY_STRING", c.query}}, "");
    RequestForm form(&request.variables, &request.body, &request.response);
    EXPECT_EQ(c.value, form.GetIntParameter(strstr(c.query, "deleteitem") ? "deleteitemid" : "id"));
    EXPECT_STREQ(kStatusNoError, form.status);
  }
}

TEST(RequestFormTest, IntParameterOnAUrlEncodedBody) {
  Request request({{"REQUEST_METHOD", "POST"},
                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                   {"QUERY_STRING", "db=1"}},
                  "db=-12345678905&deleteitem=%2D7");
  RequestForm form(&request.variables, &request.body, &request.response);
  EXPECT_EQ(-1234567890, form.GetIntParameter("db="));
  EXPECT_EQ(-7, form.GetIntParameter("deleteitem="));
}

// ---- QUERY_STRING decoded inside the variable block -----------------------------

Pairs WalkPairs(ServerVariables* variables) {
  Pairs pairs;
  for (char* name = variables->Rewind(); name != nullptr; name = variables->Next()) {
    pairs.emplace_back(name, variables->CurrentValue());
  }
  return pairs;
}

TEST(QueryStringDecodingTest, EveryOtherVariableIsStillFound) {
  const Pairs others = {{"REQUEST_METHOD", "GET"},
                        {"CONTENT_TYPE", "text/plain"},
                        {"CONTENT_LENGTH", "0"},
                        {"EMPTY", ""},
                        {"SCRIPT_NAME", "/b.tvx"}};
  struct Case {
    const char* raw;
    const char* decoded;
  } cases[] = {
      {"a=%41%42&b=x+y", "a=AB&b=x y"},
      {"plain", "plain"},
      {"", ""},
      {"%%%%%%", "%%%"},
      {"a=1%00junk=2", "a=1"},  // a decoded NUL ends the value
      {"x%4", "x@"},
      {"x%", "x"},
  };
  for (const Case& c : cases) {
    for (size_t at = 0; at <= others.size(); ++at) {
      SCOPED_TRACE(testing::Message() << c.raw << " at " << at);
      Pairs pairs = others;
      pairs.insert(pairs.begin() + at, {"QUERY_STRING", c.raw});
      Request request(pairs, "");
      RequestForm form(&request.variables, &request.body, &request.response);

      Pairs expected = others;
      expected.insert(expected.begin() + at, {"QUERY_STRING", c.decoded});
      EXPECT_EQ(expected, WalkPairs(&request.variables));
      for (const auto& pair : expected) {
        const char* value = request.variables.Get(pair.first.c_str());
        ASSERT_NE(nullptr, value) << pair.first;
        EXPECT_EQ(pair.second, value);
      }
      // The length is true: the pairs and nothing else, then the NUL.
      int bytes = 0;
      for (const auto& pair : expected) bytes += pair.first.size() + pair.second.size() + 2;
      EXPECT_EQ(bytes, request.variables.buffer->length);
      EXPECT_EQ(0, request.variables.Block()[bytes]);
      // Remove copies by the length: it still sees every pair.
      EXPECT_EQ(1, request.variables.Remove("REQUEST_METHOD"));
      expected.erase(expected.begin() + (at == 0 ? 1 : 0));
      EXPECT_EQ(expected, WalkPairs(&request.variables));
    }
  }
}

TEST(QueryStringDecodingTest, ParametersComeFromTheDecodedText) {
  Request request({{"QUERY_STRING", "name=a%26b&x=%31%32"}, {"REQUEST_METHOD", "GET"}}, "");
  RequestForm form(&request.variables, &request.body, &request.response);
  char buffer[16];
  EXPECT_EQ(1, form.GetParameter("name", buffer, 16));
  EXPECT_STREQ("a", buffer);
  EXPECT_EQ(12, form.GetIntParameter("x"));
  EXPECT_EQ(0, form.IsPost());
}

// ---- An object built over a NULL pointer -------------------------------------------

TEST(RequestFormTest, NullObjectAnswersBadParamAndTouchesNothing) {
  Request request({{"REQUEST_METHOD", "POST"},
                   {"CONTENT_TYPE", "application/x-www-form-urlencoded"},
                   {"QUERY_STRING", "a=%41"}},
                  "a=%42");
  for (int missing = 0; missing < 3; ++missing) {
    SCOPED_TRACE(missing);
    RequestForm form(missing == 0 ? nullptr : &request.variables,
                     missing == 1 ? nullptr : &request.body,
                     missing == 2 ? nullptr : &request.response);
    EXPECT_STREQ(kStatusBadParam, form.status);
    char buffer[8] = "keep";
    const char* out = "keep";
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.GetParameter("a", buffer, 8));
    EXPECT_STREQ(kStatusBadParam, form.status);
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.GetIntParameter("a"));
    EXPECT_STREQ(kStatusBadParam, form.status);
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.GetQueryParameter("a", buffer, 8));
    EXPECT_STREQ(kStatusBadParam, form.status);
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.GetBodyParameter("a", buffer, 8));
    EXPECT_STREQ(kStatusBadParam, form.status);
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.IsPost());
    EXPECT_STREQ(kStatusBadParam, form.status);
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.FindMultipartValue("a", &out));
    EXPECT_STREQ(kStatusBadParam, form.status);
    form.status = kStatusNoError;
    EXPECT_EQ(0, form.CopyMultipartValue("a", buffer, 8));
    EXPECT_STREQ(kStatusBadParam, form.status);
    EXPECT_STREQ("keep", buffer);
  }
  // Nothing was decoded by the objects built over a NULL pointer.
  EXPECT_STREQ("a=%41", request.variables.Get("QUERY_STRING"));
  EXPECT_STREQ("a=%42", request.body.data);
}

}  // namespace
