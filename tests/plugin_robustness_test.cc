// Random requests through both plug-ins' one export, under the sanitizers:
// whatever a client sends, each call answers with a whole header block,
// returns the response's length, and leaves no heap block or handle behind.
// The requests are pseudo-random but fixed by a seed, so a failure repeats.
#include <gtest/gtest.h>

#include <strings.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "tvx_library.h"
#include "wince.h"

namespace {

// Pieces that reach the interesting paths more often than random bytes do.
const char* const kNames[] = {"name", "email", "subject", "body", "postitem", "deleteitem",
                              "deleteitemid", "row", "arrow", "cmd", "db", "dbname", "nobody",
                              "nickname", "Name", "BODY"};
const char* const kValues[] = {"", "x", "0", "-1", "-2147483648", "2147483647", "99999999999999",
                               "enum", "ENUM", "deletedb", "deleteDB", "deleteitem", "TULVAN_",
                               "TULVAN_board.tvx", "tulvan_board.tvx", "%", "%4", "%zz", "%%",
                               "%26", "%3D", "+", "<script>", "\"", "&amp", "\x82", "\x82<",
                               "\x82\xA0", "\xFF", "\x93\x8A\x8D\x65", "$HIDE_DELETE_FLAG$"};
const char* const kScripts[] = {"/bbs/board.tvx", "/bbs/other.tvx", "board.tvx", "/", "",
                                "\"/q/board.tvx\"", "\\bbs\\board.tvx", "/bbs/",
                                "/bbs/a.b.c.tvx", "/bbs/\x82\xA0.tvx"};
const char* const kMethods[] = {"GET", "POST", "post", "HEAD", "PUT"};
const char* const kTypes[] = {"application/x-www-form-urlencoded",
                              "application/x-www-form-urlencoded; charset=Shift_JIS",
                              "multipart/form-data; boundary=XYZ", "multipart/form-data; boundary=",
                              "MULTIPART/FORM-DATA; boundary=\"XYZ\"", "text/plain", ""};

class Fuzzer {
 public:
  explicit Fuzzer(unsigned seed) : random_(seed) {}

  int Below(int n) { return static_cast<int>(random_() % static_cast<unsigned>(n)); }
  template <typename T, size_t N>
  const T& Pick(const T (&items)[N]) { return items[Below(static_cast<int>(N))]; }

  std::string Bytes(int most) {
    std::string bytes(Below(most + 1), '\0');
    for (char& c : bytes) c = static_cast<char>(Below(256));
    return bytes;
  }

  // A post the board accepts, or nearly: its values random.
  std::string Post() {
    std::string text = "name=" + Value() + "&email=" + Value() + "&subject=" + Value() +
                       "&body=" + Value() + "&postitem=1";
    if (Below(3) == 0) text += "&deleteitem=x&deleteitemid=" + std::to_string(Below(40) - 5);
    return text;
  }
  std::string Value() { return Below(2) == 0 ? Bytes(40) : std::string(Pick(kValues)) + "v"; }

  // A query the admin page's own links make, with random identifiers.
  std::string AdminQuery() {
    const char* const commands[] = {"enum", "deleteitem", "deleteDB", "EnUm", ""};
    const char* const boards[] = {"TULVAN_board.tvx", "TULVAN_other.tvx", "TULVAN_a.b.c.tvx",
                                  "tulvan_board.tvx", "TULVAN_"};
    std::string board = Pick(boards);
    std::string id = std::to_string(Below(60) - 5);
    return "cmd=" + std::string(Pick(commands)) + "&name=" + board + "&dbname=" + board +
           "&db=" + id + "&deleteitem=" + id;
  }

  // name=value items joined by '&', with now and then a stray piece.
  std::string Form() {
    if (Below(4) == 0) return AdminQuery();
    std::string text;
    int items = Below(7);
    for (int i = 0; i < items; i++) {
      if (i > 0) text += Below(8) == 0 ? "&&" : "&";
      text += Pick(kNames);
      if (Below(6) != 0) text += "=";
      text += Below(4) == 0 ? Bytes(40) : std::string(Pick(kValues));
      if (Below(5) == 0) text += Pick(kValues);
    }
    return text;
  }

  std::string Multipart() {
    std::string body;
    int parts = Below(4);
    for (int i = 0; i < parts; i++) {
      body += Below(6) == 0 ? "--XY" : "--XYZ";
      body += "\r\nContent-Disposition: form-data; name=\"";
      body += Pick(kNames);
      body += Below(3) == 0 ? "\"; filename=\"f\"" : "\"";
      body += Below(6) == 0 ? "\r\n" : "\r\n\r\n";
      body += Below(3) == 0 ? Bytes(30) : std::string(Pick(kValues));
      body += "\r\n";
    }
    if (Below(3) != 0) body += "--XYZ--";
    return body;
  }

  std::mt19937 random_;
};

class PluginRobustnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("corkwall-robust-" + std::to_string(std::random_device()()));
    std::filesystem::create_directories(dir_ / "www" / "bbs");
    ASSERT_TRUE(PlatformSetStorePath((dir_ / "store.db").c_str()));
  }
  void TearDown() override {
    PlatformCloseStore();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Sends `count` random requests to the plug-in and checks every answer.
  // Returns how many answers were redirects (stored posts or deletions).
  int Run(const char* path, unsigned seed, int count) {
    int redirects = 0;
    std::string error;
    std::unique_ptr<TvxLibrary> plugin = TvxLibrary::Open(path, &error);
    EXPECT_TRUE(plugin != nullptr) << error;
    if (plugin == nullptr) return 0;
    Fuzzer fuzz(seed);
    const std::string root = (dir_ / "www").string();
    for (int i = 0; i < count; i++) {
      SCOPED_TRACE("request " + std::to_string(i) + " of seed " + std::to_string(seed));
      long blocks = PlatformLiveHeapBlocks();
      long handles = PlatformOpenHandles();
      {
        TvxRequest request;
        std::string body;
        if (fuzz.Below(3) == 0) {
          // A form the board's page sends, with random values.
          request.Set("SCRIPT_NAME", fuzz.Pick(kScripts));
          request.Set("DOCUMENT_ROOT", root);
          request.Set("REQUEST_METHOD", "POST");
          request.Set("QUERY_STRING", "");
          request.Set("CONTENT_TYPE", kTypes[fuzz.Below(2)]);
          body = fuzz.Post();
          request.Set("CONTENT_LENGTH", std::to_string(body.size()));
        } else {
          if (fuzz.Below(10) != 0) request.Set("SCRIPT_NAME", fuzz.Pick(kScripts));
          if (fuzz.Below(10) != 0) request.Set("DOCUMENT_ROOT", root);
          if (fuzz.Below(10) != 0) request.Set("REQUEST_METHOD", fuzz.Pick(kMethods));
          if (fuzz.Below(10) != 0) request.Set("QUERY_STRING", fuzz.Form());
          if (fuzz.Below(3) != 0) {
            const char* type = fuzz.Pick(kTypes);
            body = strncasecmp(type, "multipart", 9) == 0 ? fuzz.Multipart() : fuzz.Form();
            request.Set("CONTENT_TYPE", type);
            long length = static_cast<long>(body.size()) + fuzz.Below(5) - 2;
            if (fuzz.Below(8) == 0) length = 1L << 40;
            request.Set("CONTENT_LENGTH", fuzz.Below(10) == 0 ? "junk" : std::to_string(length));
          }
        }
        EXPECT_TRUE(request.SetBody(body));
        int result = request.Run(*plugin);
        std::string response = request.Response();
        EXPECT_EQ(result, static_cast<int>(response.size()));
        EXPECT_NE(response.find("\r\n\r\n"), std::string::npos) << response;
        if (response.compare(0, 10, "Location: ") == 0) {
          redirects++;
        } else {
          EXPECT_EQ(response.compare(0, 14, "Content-Type: "), 0) << response;
        }
      }
      EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
      EXPECT_EQ(PlatformOpenHandles(), handles);
      if (HasFailure()) break;
    }
    return redirects;
  }

  // Records of all the databases of the store.
  static long StoredRecords() {
    long records = 0;
    HANDLE find = CeFindFirstDatabase(0);
    if (find == INVALID_HANDLE_VALUE) return 0;
    for (CEOID oid = CeFindNextDatabase(find); oid != 0; oid = CeFindNextDatabase(find)) {
      CEOIDINFO info;
      if (CeOidGetInfo(oid, &info)) records += info.infDatabase.wNumRecords;
    }
    CloseHandle(find);
    return records;
  }

  std::filesystem::path dir_;
};

TEST_F(PluginRobustnessTest, BoardAnswersEveryRequest) {
  int redirects = 0;
  for (unsigned seed = 1; seed <= 3; seed++) redirects += Run(CORKWALL_TVX, seed, 700);
  // The requests reach the storing paths, not only the refusals.
  EXPECT_GT(redirects, 100);
  EXPECT_GT(StoredRecords(), 50);
}

TEST_F(PluginRobustnessTest, AdminAnswersEveryRequest) {
  for (unsigned seed = 1; seed <= 3; seed++) Run(CORKWARDEN_TVX, seed, 700);
}

// The board fills the store, then the admin page works on what it wrote.
TEST_F(PluginRobustnessTest, BothOnOneStore) {
  Run(CORKWALL_TVX, 11, 1000);
  long stored = StoredRecords();
  ASSERT_GT(stored, 20);
  Run(CORKWARDEN_TVX, 12, 1000);
  // The admin's requests reach its deletions too.
  EXPECT_LT(StoredRecords(), stored);
}

}  // namespace
