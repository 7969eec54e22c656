// The command table of fnTvx, its frame, its export, and how a listing
// request behaves when the heap runs out at each allocation in turn.
#include <stdio.h>
#include <string.h>

#include <iostream>
#include <set>
#include <utility>
#include <vector>

#include "admin_test_support.h"
#include "ceplatform.h"

namespace {

class DispatcherTest : public AdminTest {};

TEST_F(DispatcherTest, CommandTableAndFooterRules) {
  CreateBoard("TULVAN_b");
  CEOID post = WritePost("TULVAN_b", "<B>hi</B>", 1);
  const std::string catalogue = std::string(kAdminHead) + kTableHead;  // rows follow
  const std::string listing = std::string(kAdminHead) + "<A HREF=\"" + kScript +
                              "?cmd=deleteitem&dbname=TULVAN_b&deleteitem=" +
                              std::to_string(post) + "\">delete:</A><TT>hi</TT><BR>\n<A HREF=\"" +
                              kScript + "?\">TOP</A> " + kAdminFooter;
  struct Case {
    std::string query;
    std::string begins;  // the response begins with this ...
    bool footer;         // ... and ends with the footer (or does not)
  } cases[] = {
      {"", catalogue, true},
      {"cmd=", catalogue, true},
      {"cmd=list", catalogue, true},
      {"cmd=enumx&name=TULVAN_b", catalogue, true},
      {"cmd=xenum&name=TULVAN_b", catalogue, true},
      {"cmd=deletedbx&db=1", catalogue, true},
      {"cmd=enum" + std::string(59, ' ') + "&name=TULVAN_b", catalogue, true},  // 63 bytes
      {"cmd=" + std::string(200, 'e') + "&name=TULVAN_b", catalogue, true},
      {"cmd=Enum&name=TULVAN_b", listing, true},
      {"cmd=%65NUM&name=TULVAN%5Fb", listing, true},
      {"cmd=enum", ErrorPageOf("DB not found"), false},
      {"cmd=deleteDB", ErrorPageOf("CeOidGetInfo failed with error.") + kAdminFooter, true},
      {"cmd=deleteItem&deleteitem=1", ErrorPageOf("Open database Error"), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    std::string response = Admin(c.query);
    EXPECT_EQ(response.compare(0, c.begins.size(), c.begins), 0) << response;
    const std::string footer = kAdminFooter;
    bool endsWithFooter = response.size() >= footer.size() &&
                          response.compare(response.size() - footer.size(), footer.size(), footer) == 0;
    EXPECT_EQ(endsWithFooter, c.footer) << response;
  }
}

// The catalogue takes SCRIPT_NAME by its exact name, the listing in any
// letter case: a server that spells it otherwise gets script-less catalogue
// links but a listing that still points at the script.
TEST_F(DispatcherTest, ScriptNameLookupOfEachPage) {
  CEOID board = CreateBoard("TULVAN_b");
  CEOID post = WritePost("TULVAN_b", "text", 1);
  struct Case {
    std::string query;
    std::string link;  // the response holds this link
  } cases[] = {
      {"", "<a href=\"?cmd=deleteDB&db=" + std::to_string(board) + "\">"},
      {"cmd=enum&name=TULVAN_b", std::string("<A HREF=\"/other/Warden.tvx?cmd=deleteitem&dbname=TULVAN_b") +
                                     "&deleteitem=" + std::to_string(post) + "\">"},
      {"cmd=enum&name=TULVAN_b", "<A HREF=\"/other/Warden.tvx?\">TOP</A> "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    TvxRequest request;
    ASSERT_TRUE(request.Set("REQUEST_METHOD", "GET"));
    ASSERT_TRUE(request.Set("QUERY_STRING", c.query));
    ASSERT_TRUE(request.Set("Script_Name", "/other/Warden.tvx"));
    std::string response = Run(*admin_, &request);
    EXPECT_NE(response.find(c.link), std::string::npos) << response;
  }
}

TEST_F(DispatcherTest, PostedFormIsReadFromTheBody) {
  CreateBoard("TULVAN_b");
  CEOID post = WritePost("TULVAN_b", "text", 1);
  EXPECT_EQ(AdminPost("cmd=enum&name=TULVAN_b"),
            std::string(kAdminHead) + "<A HREF=\"" + kScript +
                "?cmd=deleteitem&dbname=TULVAN_b&deleteitem=" + std::to_string(post) +
                "\">delete:</A><TT>text</TT><BR>\n<A HREF=\"" + kScript + "?\">TOP</A> " +
                kAdminFooter);
  EXPECT_EQ(AdminPost("cmd=deleteitem&dbname=TULVAN_b&deleteitem=" + std::to_string(post)),
            std::string(kAdminHead) + "<A HREF=\"" + kScript + "?\">TOP</A> ");
  EXPECT_TRUE(RecordIds("TULVAN_b").empty());
}

// A browser's or curl -F's multipart form names its parts name="cmd", with
// the closing quote after the name: such a form once got the catalogue
// whatever it asked for, and its deletions never ran.
TEST_F(DispatcherTest, MultipartFormPartsAreReadByTheirNames) {
  CreateBoard("TULVAN_b");
  CEOID keep = WritePost("TULVAN_b", "keep", 2);
  CEOID gone = WritePost("TULVAN_b", "gone", 1);
  auto multipart = [this](const std::vector<std::pair<std::string, std::string>>& parts) {
    std::string body;
    for (const auto& part : parts) {
      body += "--XYZ\r\nContent-Disposition: form-data; name=\"" + part.first + "\"\r\n\r\n" +
              part.second + "\r\n";
    }
    body += "--XYZ--\r\n";
    TvxRequest request;
    EXPECT_TRUE(request.Set("REQUEST_METHOD", "POST"));
    EXPECT_TRUE(request.Set("QUERY_STRING", ""));
    EXPECT_TRUE(request.Set("CONTENT_TYPE", "multipart/form-data; boundary=XYZ"));
    EXPECT_TRUE(request.Set("CONTENT_LENGTH", std::to_string(body.size())));
    EXPECT_TRUE(request.Set("SCRIPT_NAME", kScript));
    EXPECT_TRUE(request.SetBody(body));
    return Run(*admin_, &request);
  };
  auto line = [](CEOID oid, const char* text) {
    return std::string("<A HREF=\"") + kScript + "?cmd=deleteitem&dbname=TULVAN_b&deleteitem=" +
           std::to_string(oid) + "\">delete:</A><TT>" + text + "</TT><BR>\n";
  };
  const std::string top = std::string("<A HREF=\"") + kScript + "?\">TOP</A> ";

  EXPECT_EQ(multipart({{"cmd", "enum"}, {"name", "TULVAN_b"}}),
            kAdminHead + line(keep, "keep") + line(gone, "gone") + top + kAdminFooter);
  // "name" is its own part, not the tail of "dbname"; a part named "cmdx"
  // is no "cmd".
  EXPECT_EQ(multipart({{"dbname", "TULVAN_b"}, {"cmd", "enum"}}), ErrorPageOf("DB not found"));
  EXPECT_EQ(multipart({{"cmdx", "enum"}, {"name", "TULVAN_b"}}).compare(
                0, strlen(kAdminHead) + strlen(kTableHead), std::string(kAdminHead) + kTableHead),
            0);
  EXPECT_EQ(multipart({{"cmd", "deleteitem"}, {"dbname", "TULVAN_b"},
                       {"deleteitem", std::to_string(gone)}, {"name", "TULVAN_b"}}),
            kAdminHead + line(keep, "keep") + top);
  EXPECT_EQ(RecordIds("TULVAN_b"), std::vector<CEOID>{keep});
  EXPECT_EQ(multipart({{"cmd", "deletedb"}, {"db", "999999"}}),
            ErrorPageOf("CeOidGetInfo failed with error.") + kAdminFooter);
  EXPECT_TRUE(DatabaseExists("TULVAN_b"));
}

TEST_F(DispatcherTest, OnlyFnTvxIsExported) {
  FILE* pipe = popen("nm -D --defined-only '" CORKWARDEN_TVX "'", "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> names;
  char line[512];
  while (fgets(line, sizeof(line), pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    names.insert(text.substr(text.find_last_of(' ') + 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(names, std::set<std::string>{"fnTvx"});
}

// Every allocation of a listing request fails in turn: each run answers with
// the whole listing or an error page of its reported length (never a listing
// cut short), leaks no heap block and no handle (checked by Run), and leaves
// the store as it was.
TEST_F(DispatcherTest, ListingSurvivesHeapFailureAtEveryAllocation) {
  CreateBoard("TULVAN_b");
  for (int i = 0; i < 12; i++) WritePost("TULVAN_b", "<P>post " + std::string(60, 'a' + i) + "</P>", i);
  const std::vector<CEOID> records = RecordIds("TULVAN_b");
  const std::string query = "cmd=enum&name=TULVAN_b";
  const std::string complete = Admin(query);
  ASSERT_GT(complete.size(), 1024u);  // the response grows several times

  const std::string storeFailed = ErrorPageOf("Other errors.") + kAdminFooter;
  const std::string outOfMemory = ErrorPageOf("Not enough memory");
  int empty = 0;
  int errorPages = 0;
  int outOfMemoryPages = 0;
  long failAfter = 0;
  for (;; failAfter++) {
    ASSERT_LT(failAfter, 1000);
    SCOPED_TRACE(failAfter);
    TvxRequest request;
    ASSERT_TRUE(request.Set("REQUEST_METHOD", "GET"));
    ASSERT_TRUE(request.Set("QUERY_STRING", query));
    ASSERT_TRUE(request.Set("SCRIPT_NAME", kScript));
    PlatformFailHeapAfter(failAfter);
    std::string response = Run(*admin_, &request);
    PlatformFailHeapAfter(-1);
    if (response == complete) break;
    if (response.empty()) {
      // Only when not even the response's first block could be had: once it
      // is held, every failure has room for its page.
      EXPECT_EQ(failAfter, 0);
      empty++;
    } else {
      // The store's own record buffer failing is a store failure.
      ASSERT_TRUE(response == storeFailed || response == outOfMemory) << response;
      if (response == storeFailed) errorPages++;
      if (response == outOfMemory) outOfMemoryPages++;
    }
    EXPECT_EQ(RecordIds("TULVAN_b"), records);
  }
  std::cout << "heap failure runs: " << failAfter << " before completion, " << empty
            << " empty responses, " << errorPages << " store error pages, " << outOfMemoryPages
            << " out-of-memory pages\n";
  EXPECT_GT(outOfMemoryPages, 0);
  EXPECT_EQ(Admin(query), complete);
}

}  // namespace
