// The store calls as the meter sees them: each counted under its name, the
// store's own failures apart from its answers, a new record as a post, and
// the caller's last error untouched.
#include "store_call_meter.h"

#include <gtest/gtest.h>

#include "ceplatform.h"
#include "temp_folder.h"
#include "wince.h"

namespace {

bool Has(const std::string& text, const std::string& line) {
  return text.find(line + "\n") != std::string::npos;
}

TEST(StoreCallMeterTest, CallsFailuresAndPostsAreCounted) {
  TempFolder dir;
  ASSERT_TRUE(PlatformSetStorePath((dir.path() + "/store.db").c_str()));
  MetricsRegistry registry;
  AttachStoreCallMeter(&registry);

  CEDBASEINFO info = {};
  info.dwFlags = CEDB_VALIDNAME;
  const WCHAR name[] = {'T', 'U', 'L', 'V', 'A', 'N', '_', 'm', 0};
  for (size_t i = 0; i < sizeof name / sizeof name[0]; ++i) info.szDbaseName[i] = name[i];
  ASSERT_NE(0u, CeCreateDatabaseEx(nullptr, &info));
  CEOID oid = 0;
  HANDLE db = CeOpenDatabaseEx(nullptr, &oid, info.szDbaseName, 0, CEDB_AUTOINCREMENT, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, db);
  CEPROPVAL value = {};
  value.propid = MAKEPROPID(1, CEVT_I4);
  value.val.lVal = 7;
  CEOID record = CeWriteRecordProps(db, 0, 1, &value);
  ASSERT_NE(0u, record);
  ASSERT_NE(0u, CeWriteRecordProps(db, 0, 1, &value));
  ASSERT_NE(0u, CeWriteRecordProps(db, record, 1, &value)) << "a rewrite is no post";

  // Answers, not failures: no such database, past the last record. The
  // caller still reads the store's own last error.
  const WCHAR missing[] = {'n', 'o', 0};
  oid = 0;  // by name
  EXPECT_EQ(INVALID_HANDLE_VALUE, CeOpenDatabaseEx(nullptr, &oid, const_cast<LPWSTR>(missing),
                                                   0, 0, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_EQ(0u, CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 99, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  // Failures: the store could not do them.
  PlatformFailStoreCall(0, ERROR_READ_FAULT);
  EXPECT_EQ(0u, CeSeekDatabase(db, CEDB_SEEK_BEGINNING, 0, nullptr));
  PlatformFailStoreCall(0, ERROR_NOT_READY);
  EXPECT_EQ(0u, CeWriteRecordProps(db, 0, 1, &value));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_READY), GetLastError());
  PlatformTakeStoreOutage();
  CloseHandle(db);
  PlatformCloseStore();
  AttachStoreCallMeter(nullptr);

  std::string text = registry.Render();
  for (const char* line : {
           "tvxhost_store_calls_total{call=\"CeCreateDatabaseEx\"} 1",
           "tvxhost_store_calls_total{call=\"CeOpenDatabaseEx\"} 2",
           "tvxhost_store_calls_total{call=\"CeWriteRecordProps\"} 4",
           "tvxhost_store_calls_total{call=\"CeSeekDatabase\"} 2",
           "tvxhost_store_call_failures_total{call=\"CeOpenDatabaseEx\"} 0",
           "tvxhost_store_call_failures_total{call=\"CeSeekDatabase\"} 1",
           "tvxhost_store_call_failures_total{call=\"CeWriteRecordProps\"} 1",
           "tvxhost_store_call_duration_seconds_count{call=\"CeWriteRecordProps\"} 4",
           "tvxhost_posts_stored_total 2",
       }) {
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  }
}

TEST(StoreCallMeterTest, OnlyWhatTheStoreCouldNotDoIsAFailure) {
  struct Case {
    DWORD code;
    bool failed;
  } cases[] = {
      {ERROR_NOT_READY, true},       {ERROR_TIMEOUT, true},         {ERROR_READ_FAULT, true},
      {ERROR_WRITE_FAULT, true},     {ERROR_DISK_FULL, true},       {ERROR_NOT_ENOUGH_MEMORY, true},
      {ERROR_NO_MORE_ITEMS, false},  {ERROR_FILE_NOT_FOUND, false}, {ERROR_KEY_DELETED, false},
      {ERROR_DUP_NAME, false},       {ERROR_INVALID_PARAMETER, false},
      {ERROR_INVALID_HANDLE, false}, {ERROR_INSUFFICIENT_BUFFER, false},
  };
  for (const Case& c : cases) EXPECT_EQ(c.failed, StoreCallFailed(c.code)) << c.code;
}

}  // namespace
