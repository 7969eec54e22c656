#include "admin_test_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <sqlite3.h>
#include <unistd.h>

#include "board_record.h"
#include "ceplatform.h"

const char kAdminHead[] =
    "Content-Type: text/html\r\n\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=shift_jis\">\n"
    "<HTML><HEAD>\n<TITLE>TULVAN BBS</TITLE>\n</HEAD>\n<BODY>\n";
const char kAdminFooter[] =
    "<HR><A HREF=\"https://corkwall.example/\">TULVAN BBS by Vandrel</A></BODY></HTML>\n";
const char kTableHead[] =
    "<table cellspacing=\"0\">\n<tr bgcolor=\"#CCFFCC\">\n<td>Database name</td>\n"
    "<td align=\"right\">size</td>\n<td align=\"right\">records</td>\n"
    "<td align=\"right\">oid</td>\n<td align=\"right\">wNumSortOrder</td>\n"
    "<td align=\"right\">command</td>\n</tr>\n";
const char kScript[] = "/admin/corkwarden.tvx";

std::string ErrorPageOf(const std::string& message) {
  return "Content-Type: text/html\r\n\r\n<HTML><BODY>" + message + "</BODY></HTML>";
}

SIZE_T ResponseBlock(size_t length) { return (length + 1 + 511) / 512 * 512; }

::testing::AssertionResult SamePage(const std::string& page, const std::string& expected) {
  if (page == expected) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << page.size() << " bytes where " << expected.size()
                                       << " were expected, beginning: " << page.substr(0, 300);
}

std::u16string Wide(const std::string& narrow) {
  WCHAR units[256] = {};
  int n = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, units, 256);
  EXPECT_GT(n, 0) << narrow;
  return std::u16string(units);
}

namespace {

std::string TempRoot() {
  static std::string root;
  if (root.empty()) {
    const char* base = getenv("TEST_TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/corkwarden-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) != nullptr) root = name.data();
  }
  return root;
}

HANDLE OpenDatabase(const std::string& name) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = 0;
  std::u16string wide = Wide(name);
  return CeOpenDatabaseEx(&volume, &oid, &wide[0], 0, CEDB_AUTOINCREMENT, nullptr);
}

}  // namespace

void AdminTest::SetUp() {
  std::string root = TempRoot();
  ASSERT_FALSE(root.empty());
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') c = '_';
  }
  store_path_ = root + "/" + name + ".db";
  ASSERT_TRUE(PlatformSetStorePath(store_path_.c_str()));
  admin_ = Load(CORKWARDEN_TVX);
  ASSERT_NE(admin_, nullptr);
  // Open the store once, so that its first opening is not charged to a call.
  HANDLE warm = CeFindFirstDatabase(0);
  ASSERT_NE(warm, INVALID_HANDLE_VALUE);
  CloseHandle(warm);
}

void AdminTest::TearDown() {
  PlatformFailStoreCall(-1, 0);
  PlatformFailHeapAfter(-1);
  PlatformLimitHeapBlock(0);
  admin_.reset();
  PlatformCloseStore();
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((store_path_ + suffix).c_str());
}

std::unique_ptr<TvxLibrary> AdminTest::Load(const char* path) {
  std::string error;
  std::unique_ptr<TvxLibrary> library = TvxLibrary::Open(path, &error);
  EXPECT_NE(library, nullptr) << error;
  return library;
}

std::string AdminTest::Run(const TvxLibrary& library, TvxRequest* request) {
  long blocks = PlatformLiveHeapBlocks();
  long handles = PlatformOpenHandles();
  int length = request->Run(library);
  std::string response = request->Response();
  EXPECT_EQ(static_cast<size_t>(length), response.size());
  EXPECT_EQ(request->response().length, length);
  request->response().Clear();
  EXPECT_EQ(PlatformLiveHeapBlocks(), blocks);
  EXPECT_EQ(PlatformOpenHandles(), handles);
  return response;
}

std::string AdminTest::Admin(const std::string& query, const char* script) {
  TvxRequest request;
  EXPECT_TRUE(request.Set("REQUEST_METHOD", "GET"));
  EXPECT_TRUE(request.Set("QUERY_STRING", query));
  const char* name = script != nullptr ? script : kScript;
  if (*name != '\0') {
    EXPECT_TRUE(request.Set("SCRIPT_NAME", name));
  }
  return Run(*admin_, &request);
}

std::string AdminTest::AdminWithBlockLimit(SIZE_T limit, const std::string& query,
                                           const char* script) {
  PlatformLimitHeapBlock(limit);
  std::string page = Admin(query, script);
  PlatformLimitHeapBlock(0);
  return page;
}

std::string AdminTest::AdminPost(const std::string& body) {
  TvxRequest request;
  EXPECT_TRUE(request.Set("REQUEST_METHOD", "POST"));
  EXPECT_TRUE(request.Set("QUERY_STRING", ""));
  EXPECT_TRUE(request.Set("CONTENT_TYPE", "application/x-www-form-urlencoded"));
  EXPECT_TRUE(request.Set("CONTENT_LENGTH", std::to_string(body.size())));
  EXPECT_TRUE(request.Set("SCRIPT_NAME", kScript));
  EXPECT_TRUE(request.SetBody(body));
  return Run(*admin_, &request);
}

CEOID AdminTest::CreateBoard(const std::string& name) {
  CEDBASEINFO info = {};
  info.dwFlags = 0x17;
  std::u16string wide = Wide(name);
  EXPECT_LT(wide.size(), static_cast<size_t>(CEDB_MAXDBASENAMELEN));
  wide.copy(info.szDbaseName, CEDB_MAXDBASENAMELEN - 1);
  info.wNumSortOrder = 1;
  info.rgSortSpecs[0].propid = 64;
  info.rgSortSpecs[0].dwFlags = CEDB_SORT_DESCENDING;
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = CeCreateDatabaseEx(&volume, &info);
  EXPECT_NE(oid, 0u) << name << " error " << GetLastError();
  return oid;
}

CEOID AdminTest::CreatePlainDatabase(const std::string& name) {
  CEDBASEINFO info = {};
  info.dwFlags = CEDB_VALIDNAME;
  std::u16string wide = Wide(name);
  wide.copy(info.szDbaseName, CEDB_MAXDBASENAMELEN - 1);
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = CeCreateDatabaseEx(&volume, &info);
  EXPECT_NE(oid, 0u) << name << " error " << GetLastError();
  return oid;
}

CEOID AdminTest::WriteRecord(const std::string& database, std::vector<CEPROPVAL> values) {
  HANDLE handle = OpenDatabase(database);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE) << database;
  if (handle == INVALID_HANDLE_VALUE) return 0;
  CEOID oid = CeWriteRecordProps(handle, 0, static_cast<WORD>(values.size()), values.data());
  EXPECT_NE(oid, 0u) << "error " << GetLastError();
  CloseHandle(handle);
  return oid;
}

CEOID AdminTest::WritePost(const std::string& database, const std::string& html,
                           unsigned long long time) {
  std::vector<CEPROPVAL> values(2);
  values[0].propid = BOARD_PROP_TIME;
  values[0].val.filetime.dwLowDateTime = static_cast<DWORD>(time);
  values[0].val.filetime.dwHighDateTime = static_cast<DWORD>(time >> 32);
  values[1].propid = BOARD_PROP_HTML;
  values[1].val.blob.dwCount = static_cast<DWORD>(html.size() + 1);
  values[1].val.blob.lpb = reinterpret_cast<LPBYTE>(const_cast<char*>(html.c_str()));
  return WriteRecord(database, values);
}

std::vector<CEOID> AdminTest::RecordIds(const std::string& database) {
  std::vector<CEOID> ids;
  HANDLE handle = OpenDatabase(database);
  if (handle == INVALID_HANDLE_VALUE) return ids;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  WORD count = 0;
  for (;;) {
    CEOID oid = CeReadRecordProps(handle, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
    if (oid == 0) break;
    ids.push_back(oid);
  }
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  LocalFree(buffer);
  CloseHandle(handle);
  return ids;
}

CEDBASEINFO AdminTest::InfoOf(CEOID oid) {
  CEOIDINFO info = {};
  EXPECT_TRUE(CeOidGetInfo(oid, &info)) << oid;
  EXPECT_EQ(info.wObjType, OBJTYPE_DATABASE);
  return info.infDatabase;
}

bool AdminTest::DatabaseExists(const std::string& name) {
  HANDLE handle = OpenDatabase(name);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

void AdminTest::SetNextOid(uint32_t next) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(store_path_.c_str(), &db), SQLITE_OK);
  sqlite3_busy_timeout(db, 5000);
  std::string sql = "UPDATE meta SET value = " + std::to_string(next) + " WHERE key = 'next_oid'";
  char* error = nullptr;
  EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
  sqlite3_free(error);
  EXPECT_EQ(sqlite3_changes(db), 1);
  sqlite3_close(db);
}
