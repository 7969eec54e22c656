#include "plugin_fixture.h"

#include <sqlite3.h>
#include <string.h>

#include <atomic>
#include <fstream>
#include <random>
#include <thread>

#include "ceplatform.h"

namespace faults {

const char kBoardScript[] = "/cgi/board.tvx";
const char kBoardDatabase[] = "TULVAN_board.tvx";
const char kAdminScript[] = "/admin/corkwarden.tvx";
const char kRedirect[] = "Location: /cgi/board.tvx\r\n\r\n";

namespace {

const char kErrorHead[] = "Content-Type: text/html\r\n\r\n<HTML><BODY>";
const char kErrorTail[] = "</BODY></HTML>";
// Where the subject stands in a post's HTML, and how the post ends.
const char kSubjectHead[] = "<B> \r\n ";
const char kSubjectTail[] = " \r\n </B> ";
const char kPostEnd[] = " </TT> </BLOCKQUOTE> \r\n ";

std::u16string Wide(const std::string& narrow) {
  std::u16string wide(narrow.size() + 1, u'\0');
  int n = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &wide[0],
                              static_cast<int>(wide.size()));
  wide.resize(n > 0 ? n - 1 : 0);
  return wide;
}

}  // namespace

std::string ErrorPageOf(const std::string& message) { return kErrorHead + message + kErrorTail; }

std::string ErrorMessageOf(const std::string& text) {
  if (text.compare(0, strlen(kErrorHead), kErrorHead) != 0) return "";
  size_t end = text.find(kErrorTail);
  if (end == std::string::npos) return "";
  return text.substr(strlen(kErrorHead), end - strlen(kErrorHead));
}

std::string SubjectOfPost(const std::string& html) {
  if (html.compare(0, strlen(kSubjectHead), kSubjectHead) != 0) return "";
  size_t end = html.find(kSubjectTail);
  size_t tail = strlen(kPostEnd);
  if (end == std::string::npos || html.size() < end + tail ||
      html.compare(html.size() - tail, tail, kPostEnd) != 0) {
    return "";
  }
  return html.substr(strlen(kSubjectHead), end - strlen(kSubjectHead));
}

void PluginFixture::SetUp() {
  std::random_device random;
  dir_ = std::filesystem::temp_directory_path() /
         ("corkwall-faults-" + std::to_string(random()) + std::to_string(random()));
  std::filesystem::create_directories(dir_ / "www" / "cgi");
  // The board shows its delete buttons, so that its deletions are taken.
  {
    std::ofstream head(dir_ / "www" / "cgi" / "boardHEAD.HTML", std::ios::binary);
    head << "<HTML><BODY><!-- $HIDE_DELETE_FLAG$ -->\n";
  }
  root_ = (dir_ / "www").string();
  store_ = (dir_ / "store.db").string();
  ASSERT_TRUE(PlatformSetStorePath(store_.c_str()));
  SYSTEMTIME fixed = {2024, 3, 5, 15, 9, 5, 30, 0};
  PlatformFixClock(&fixed);
  std::string error;
  board_ = TvxLibrary::Open(board_path_, &error);
  ASSERT_TRUE(board_ != nullptr) << error;
  admin_ = TvxLibrary::Open(admin_path_, &error);
  ASSERT_TRUE(admin_ != nullptr) << error;
}

void PluginFixture::TearDown() {
  PlatformFailHeapAfter(-1);
  PlatformFixClock(nullptr);
  board_.reset();
  admin_.reset();
  PlatformSetStoreVfs(nullptr);
  PlatformCloseStore();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

Answer PluginFixture::Call(const TvxLibrary& library, const char* method,
                           const std::string& script, const std::string& query,
                           const std::string& body) {
  Answer answer;
  TvxRequest request;
  bool filled = request.Set("SCRIPT_NAME", script) && request.Set("DOCUMENT_ROOT", root_) &&
                request.Set("REQUEST_METHOD", method) && request.Set("QUERY_STRING", query) &&
                request.SetBody(body);
  if (!body.empty()) {
    filled = filled && request.Set("CONTENT_TYPE", "application/x-www-form-urlencoded") &&
             request.Set("CONTENT_LENGTH", std::to_string(body.size()));
  }
  EXPECT_TRUE(filled);
  int result = request.Run(library);
  answer.text = request.Response();
  answer.length_ok = result == static_cast<int>(answer.text.size());
  return answer;
}

Answer PluginFixture::Board(const char* method, const std::string& query,
                            const std::string& body) {
  return Call(*board_, method, kBoardScript, query, body);
}

Answer PluginFixture::Post(const std::string& subject) {
  return Board("POST", "", "name=Taro&email=&subject=" + subject + "&body=Hello&postitem=x");
}

Answer PluginFixture::Admin(const std::string& query, const std::string& script) {
  return Call(*admin_, "GET", script, query, "");
}

void PluginFixture::RunAsOneGroup(size_t count, const std::function<void(size_t)>& write,
                                  const std::function<void()>& before_release) {
  std::vector<std::thread> threads;
  std::unique_ptr<std::atomic<bool>[]> finished(new std::atomic<bool>[count]);
  PlatformHoldStoreWrites(TRUE);
  for (size_t i = 0; i < count; ++i) {
    finished[i] = false;
    long before = PlatformQueuedStoreWrites();
    threads.emplace_back([&, i] {
      write(i);
      finished[i] = true;
    });
    while (PlatformQueuedStoreWrites() == before && !finished[i]) std::this_thread::yield();
  }
  before_release();
  PlatformHoldStoreWrites(FALSE);
  for (std::thread& thread : threads) thread.join();
}

std::vector<std::string> PluginFixture::Subjects(const std::string& database) {
  std::vector<std::string> subjects;
  for (const auto& post : Posts(database)) subjects.push_back(post.second);
  return subjects;
}

std::vector<std::pair<CEOID, std::string>> PluginFixture::Posts(const std::string& database) {
  std::vector<std::pair<CEOID, std::string>> posts;
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = 0;
  std::u16string name = Wide(database);
  HANDLE handle = CeOpenDatabaseEx(&volume, &oid, &name[0], 0, CEDB_AUTOINCREMENT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    return posts;
  }
  for (;;) {
    WORD count = 0;
    LPBYTE buffer = nullptr;
    DWORD size = 0;
    CEOID record = CeReadRecordProps(handle, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
    if (record == 0) {
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
      break;
    }
    const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
    std::string subject;
    // A whole post: its time, then its HTML with the NUL counted.
    if (count == 2 && values[0].propid == 0x40 && values[1].propid == 0x10041 &&
        values[1].val.blob.dwCount > 0) {
      const char* html = reinterpret_cast<const char*>(values[1].val.blob.lpb);
      size_t length = values[1].val.blob.dwCount - 1;
      if (html[length] == '\0' && strlen(html) == length) subject = SubjectOfPost(html);
    }
    EXPECT_FALSE(subject.empty()) << "record " << record << " is not a whole post";
    posts.emplace_back(record, subject);
    LocalFree(buffer);
  }
  CloseHandle(handle);
  return posts;
}

std::vector<CEOID> PluginFixture::RecordIds(const std::string& database) {
  std::vector<CEOID> ids;
  for (const auto& post : Posts(database)) ids.push_back(post.first);
  return ids;
}

CEOID PluginFixture::DatabaseId(const std::string& name) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = 0;
  std::u16string wide = Wide(name);
  HANDLE handle = CeOpenDatabaseEx(&volume, &oid, &wide[0], 0, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(handle);
  return oid;
}

std::string PluginFixture::Integrity() {
  sqlite3* db = nullptr;
  std::string result;
  if (sqlite3_open_v2(store_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    result = std::string("cannot open: ") + sqlite3_errmsg(db);
  } else {
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &statement, nullptr);
    while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
      result += reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
    }
    if (statement == nullptr) result = std::string("cannot check: ") + sqlite3_errmsg(db);
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return result;
}

bool PluginFixture::WriteLockFree() {
  sqlite3* db = nullptr;
  bool free = sqlite3_open_v2(store_.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  return free;
}

}  // namespace faults
