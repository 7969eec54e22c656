// Test harness for the board: corkwall.tvx loaded with dlopen, a store file
// and a document root of each test's own, and the clock fixed.
#ifndef BOARD_BOARD_TEST_UTIL_H_
#define BOARD_BOARD_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "board_record.h"
#include "ceplatform.h"
#include "tvx_library.h"
#include "wince.h"

namespace board_test {

const char kUrlEncoded[] = "application/x-www-form-urlencoded";
const char kPageHeader[] = "Content-Type: text/html; Charset=Shift_JIS\r\n\r\n";

// What one call gave back.
struct Reply {
  int result = 0;
  std::string text;
};

// One record of a board database as the store holds it.
struct StoredProperty {
  CEPROPID propid = 0;
  WORD lenData = 0;
  WORD flags = 0;
  FILETIME time = {0, 0};
  std::string blob;  // the BLOB's bytes, dwCount of them
};
struct StoredRecord {
  CEOID oid = 0;
  std::vector<StoredProperty> properties;
  std::string Html() const {  // the post's text without its NUL
    for (const auto& p : properties) {
      if (p.propid == BOARD_PROP_HTML) return std::string(p.blob.c_str());
    }
    return std::string();
  }
};

inline std::string ErrorPageText(const std::string& message) {
  return "Content-Type: text/html\r\n\r\n<HTML><BODY>" + message + "</BODY></HTML>";
}

inline std::u16string Wide(const std::string& narrow) {
  std::u16string wide(narrow.size() + 1, u'\0');
  int n = MultiByteToWideChar(CP_ACP, 0, narrow.c_str(), -1, &wide[0], static_cast<int>(wide.size()));
  wide.resize(n > 0 ? n - 1 : 0);
  return wide;
}

// Shift_JIS bytes of UTF-16 text, through the platform's own code page.
inline std::string Sjis(const std::u16string& wide) {
  int n = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string narrow(n > 0 ? n : 1, '\0');
  WideCharToMultiByte(CP_ACP, 0, wide.c_str(), -1, &narrow[0], n, nullptr, nullptr);
  narrow.resize(n > 0 ? n - 1 : 0);
  return narrow;
}

inline size_t CountOf(const std::string& text, const std::string& piece) {
  size_t count = 0;
  for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) count++;
  return count;
}

class BoardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() /
           ("corkwall-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(dir_ / "www" / "cgi");
    root_ = (dir_ / "www").string();
    ASSERT_TRUE(PlatformSetStorePath((dir_ / "store.db").c_str()));
    SYSTEMTIME fixed = {2024, 3, 5, 15, 9, 5, 30, 0};
    PlatformFixClock(&fixed);
    std::string error;
    library_ = TvxLibrary::Open(CORKWALL_TVX, &error);
    ASSERT_TRUE(library_ != nullptr) << error;
  }

  void TearDown() override {
    PlatformFailHeapAfter(-1);
    PlatformLimitHeapBlock(0);
    PlatformFailStoreCall(-1, 0);
    PlatformFixClock(nullptr);
    library_.reset();
    PlatformCloseStore();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  // Fills a request; variables given as "" are still set, kAbsent leaves one out.
  static constexpr const char* kAbsent = nullptr;
  void Fill(TvxRequest* request, const char* method, const std::string& script,
            const std::string& query, const std::string& body, const char* contentType) {
    ASSERT_TRUE(request->Set("SCRIPT_NAME", script));
    ASSERT_TRUE(request->Set("DOCUMENT_ROOT", root_));
    if (method != kAbsent) {
      ASSERT_TRUE(request->Set("REQUEST_METHOD", method));
    }
    ASSERT_TRUE(request->Set("QUERY_STRING", query));
    if (contentType != kAbsent) {
      ASSERT_TRUE(request->Set("CONTENT_TYPE", contentType));
      ASSERT_TRUE(request->Set("CONTENT_LENGTH", std::to_string(body.size())));
    }
    ASSERT_TRUE(request->SetBody(body));
  }

  Reply Call(const char* method, const std::string& script, const std::string& query,
             const std::string& body, const char* contentType) {
    TvxRequest request;
    Fill(&request, method, script, query, body, contentType);
    Reply reply;
    reply.result = request.Run(*library_);
    reply.text = request.Response();
    return reply;
  }

  // A call with exactly these variables.
  Reply Run(const std::vector<std::pair<std::string, std::string>>& variables,
            const std::string& body = "") {
    TvxRequest request;
    for (const auto& v : variables) EXPECT_TRUE(request.Set(v.first, v.second));
    EXPECT_TRUE(request.SetBody(body));
    Reply reply;
    reply.result = request.Run(*library_);
    reply.text = request.Response();
    return reply;
  }

  Reply Get(const std::string& script = "/cgi/board.tvx", const std::string& query = "") {
    return Call("GET", script, query, "", kAbsent);
  }
  Reply Post(const std::string& body, const std::string& script = "/cgi/board.tvx",
             const char* contentType = kUrlEncoded) {
    return Call("POST", script, "", body, contentType);
  }
  // A well-formed post through the board's own form fields.
  Reply AddPost(const std::string& subject, const std::string& script = "/cgi/board.tvx") {
    return Post("name=Taro&email=&subject=" + subject + "&body=Hello&postitem=x", script);
  }

  void WriteTemplate(const std::string& file, const std::string& bytes) {
    std::ofstream out(dir_ / "www" / "cgi" / file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  // Every record of the database, in the order the store returns them; an
  // empty list when the database does not exist.
  std::vector<StoredRecord> Records(const std::string& database = "TULVAN_board.tvx") {
    std::vector<StoredRecord> records;
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEOID oid = 0;
    std::u16string name = Wide(database);
    HANDLE handle = CeOpenDatabaseEx(&volume, &oid, &name[0], 0, CEDB_AUTOINCREMENT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return records;
    for (;;) {
      WORD count = 0;
      LPBYTE buffer = nullptr;
      DWORD size = 0;
      CEOID record = CeReadRecordProps(handle, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size);
      if (record == 0) break;
      StoredRecord stored;
      stored.oid = record;
      const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
      for (WORD i = 0; i < count; i++) {
        StoredProperty p;
        p.propid = values[i].propid;
        p.lenData = values[i].wLenData;
        p.flags = values[i].wFlags;
        if (TypeFromPropID(p.propid) == CEVT_FILETIME) p.time = values[i].val.filetime;
        if (TypeFromPropID(p.propid) == CEVT_BLOB) {
          p.blob.assign(reinterpret_cast<const char*>(values[i].val.blob.lpb), values[i].val.blob.dwCount);
        }
        stored.properties.push_back(p);
      }
      LocalFree(buffer);
      records.push_back(stored);
    }
    CloseHandle(handle);
    return records;
  }

  // Creates the board database as the board would, without a post.
  CEOID CreateDatabase(const std::string& database = "TULVAN_board.tvx") {
    CEDBASEINFO info;
    memset(&info, 0, sizeof(info));
    info.dwFlags = 0x17;
    std::u16string name = Wide(database);
    for (size_t i = 0; i < name.size() && i < 31; i++) info.szDbaseName[i] = name[i];
    info.wNumSortOrder = 1;
    info.rgSortSpecs[0].propid = 0x40;
    info.rgSortSpecs[0].dwFlags = CEDB_SORT_DESCENDING;
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    return CeCreateDatabaseEx(&volume, &info);
  }

  void SetClockMinute(int minute) {
    SYSTEMTIME t = {2024, 3, 5, 15, 9, static_cast<WORD>(minute), 0, 0};
    PlatformFixClock(&t);
  }

  std::filesystem::path dir_;
  std::string root_;
  std::unique_ptr<TvxLibrary> library_;
};

}  // namespace board_test

#endif  // BOARD_BOARD_TEST_UTIL_H_
