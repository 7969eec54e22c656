// The object store's calls as the board and the administration page use
// them, with each failure and its last-error code.
#include <gmock/gmock.h>

#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

class ObjectStoreTest : public OnEachBackend<StoreTest> {};

STORE_TEST_ON_EACH_BACKEND(ObjectStoreTest);

// What only a store in an SQLite file has.
class SqliteStoreFileTest : public StoreTest {};

// The board's whole road: create on the first post, open by name, write,
// read newest first with a store-allocated buffer, 259 at the end.
TEST_P(ObjectStoreTest, BoardRoundTrip) {
  CEOID db = CreateBoard(u"TULVAN_board.tvx");
  ASSERT_NE(0u, db);

  CEOID opened = 0;
  HANDLE h = OpenByName(u"TULVAN_board.tvx", CEDB_AUTOINCREMENT, &opened);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(db, opened) << "open by name reports the database's identifier";
  CEOID first = WritePost(h, 100, "first");
  CEOID second = WritePost(h, 200, "second");
  ASSERT_NE(0u, first);
  ASSERT_NE(0u, second);
  EXPECT_NE(first, second);
  EXPECT_TRUE(CloseHandle(h));

  long blocks = PlatformLiveHeapBlocks();
  h = OpenByName(u"TULVAN_board.tvx");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  ASSERT_EQ(second, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  ASSERT_NE(nullptr, buffer);
  EXPECT_GE(size, 2 * sizeof(CEPROPVAL) + 7);
  ASSERT_EQ(2, count);
  const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
  EXPECT_EQ(kTimeProp, values[0].propid);
  EXPECT_EQ(0, values[0].wLenData);
  EXPECT_EQ(0, values[0].wFlags);
  EXPECT_EQ(200u, values[0].val.filetime.dwLowDateTime);
  EXPECT_EQ(kTextProp, values[1].propid);
  EXPECT_EQ(7u, values[1].val.blob.dwCount);
  EXPECT_STREQ("second", reinterpret_cast<const char*>(values[1].val.blob.lpb));
  // The bytes live in the same buffer, after the array.
  EXPECT_GE(values[1].val.blob.lpb, buffer + 2 * sizeof(CEPROPVAL));
  EXPECT_LE(values[1].val.blob.lpb + 7, buffer + size);
  EXPECT_EQ(nullptr, LocalFree(buffer));
  buffer = nullptr;

  ASSERT_EQ(first, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  LocalFree(buffer);
  buffer = nullptr;
  SetLastError(0);
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ(nullptr, buffer) << "a failed read hands out no buffer";
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError()) << "the end stays the end";
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_EQ(blocks, PlatformLiveHeapBlocks()) << "every read buffer went back";
}

TEST_P(ObjectStoreTest, OpenByIdentifierIgnoresTheName) {
  CEOID db = CreateBoard(u"TULVAN_a");
  ASSERT_NE(0u, db);
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID id = db;
  WCHAR other[] = u"no such name";
  HANDLE h = CeOpenDatabaseEx(&volume, &id, other, 0, 0, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  EXPECT_EQ(db, id);
  EXPECT_NE(0u, WritePost(h, 1, "x"));
  EXPECT_TRUE(CloseHandle(h));
}

struct OpenFailure {
  const char* what;
  const char16_t* name;  // nullptr: no name
  bool byRecordId;       // open by the identifier of a record
  bool longName;
  CEPROPID sortProperty;
  DWORD error;
};

TEST_P(ObjectStoreTest, OpenFailures) {
  CEOID db = CreateBoard(u"TULVAN_x");
  HANDLE h = OpenByName(u"TULVAN_x");
  CEOID record = WritePost(h, 1, "x");
  CloseHandle(h);
  ASSERT_NE(0u, db);
  ASSERT_NE(0u, record);

  const OpenFailure cases[] = {
      {"no such name", u"TULVAN_y", false, false, 0, ERROR_FILE_NOT_FOUND},
      {"other letter case", u"tulvan_x", false, false, 0, ERROR_FILE_NOT_FOUND},
      {"no name, no identifier", nullptr, false, false, 0, ERROR_INVALID_PARAMETER},
      {"empty name", u"", false, false, 0, ERROR_INVALID_PARAMETER},
      {"name of 32 units", nullptr, false, true, 0, ERROR_INVALID_PARAMETER},
      {"identifier of a record", nullptr, true, false, 0, ERROR_FILE_NOT_FOUND},
      {"sort property it lacks", u"TULVAN_x", false, false, kTextProp, ERROR_INVALID_PARAMETER},
  };
  std::u16string longName(32, u'a');
  for (const OpenFailure& c : cases) {
    SCOPED_TRACE(c.what);
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEOID id = c.byRecordId ? record : 0;
    std::u16string name = c.longName ? longName : c.name ? c.name : u"";
    SetLastError(0);
    HANDLE opened = CeOpenDatabaseEx(&volume, &id, c.name || c.longName ? &name[0] : nullptr,
                                     c.sortProperty, CEDB_AUTOINCREMENT, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, opened);
    EXPECT_EQ(c.error, GetLastError());
  }
}

// The board tells "no database yet" (create it) from "out of memory" (give
// up) by the open's error code.
TEST_P(ObjectStoreTest, OpenReportsOutOfMemoryAsEight) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_m"));
  PlatformFailStoreCall(0, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_m"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
  HANDLE h = OpenByName(u"TULVAN_m");
  EXPECT_NE(INVALID_HANDLE_VALUE, h) << "only the one call fails";
  CloseHandle(h);
}

TEST_P(ObjectStoreTest, CreateFailures) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_dup"));
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  struct Case {
    const char* what;
    CEDBASEINFO info;
    DWORD error;
  };
  std::vector<Case> cases;
  cases.push_back({"existing name", BoardInfo(u"TULVAN_dup"), ERROR_DUP_NAME});
  cases.push_back({"empty name", BoardInfo(u""), ERROR_INVALID_PARAMETER});
  cases.push_back({"32 units, no terminator", BoardInfo(std::u16string(32, u'n')),
                   ERROR_INVALID_PARAMETER});
  Case noName{"name not marked valid", BoardInfo(u"TULVAN_q"), ERROR_INVALID_PARAMETER};
  noName.info.dwFlags &= ~CEDB_VALIDNAME;
  cases.push_back(noName);
  Case fiveSorts{"five sort orders", BoardInfo(u"TULVAN_q"), ERROR_INVALID_PARAMETER};
  fiveSorts.info.wNumSortOrder = 5;
  cases.push_back(fiveSorts);
  Case badSort{"sort on an unknown type", BoardInfo(u"TULVAN_q"), ERROR_INVALID_PARAMETER};
  badSort.info.rgSortSpecs[0].propid = MAKEPROPID(3, 99);
  cases.push_back(badSort);
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_EQ(0u, CeCreateDatabaseEx(&volume, &c.info));
    EXPECT_EQ(c.error, GetLastError());
  }
  SetLastError(0);
  EXPECT_EQ(0u, CeCreateDatabaseEx(&volume, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  CEGUID otherVolume = {1, 0, 0, 0};
  CEDBASEINFO info = BoardInfo(u"TULVAN_v");
  EXPECT_EQ(0u, CeCreateDatabaseEx(&otherVolume, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  // None of the refused names was created under a cut name either.
  HANDLE e = CeFindFirstDatabase(0);
  EXPECT_NE(0u, CeFindNextDatabase(e));
  EXPECT_EQ(0u, CeFindNextDatabase(e));
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  CloseHandle(e);
}

TEST_P(ObjectStoreTest, NamesAreComparedExactlyAndNeverCut) {
  CEOID lower = CreateBoard(u"TULVAN_a.tvx");
  CEOID upper = CreateBoard(u"TULVAN_A.tvx");
  ASSERT_NE(0u, lower);
  ASSERT_NE(0u, upper);
  EXPECT_NE(lower, upper);
  CEOID id = 0;
  HANDLE h = OpenByName(u"TULVAN_A.tvx", 0, &id);
  EXPECT_EQ(upper, id);
  CloseHandle(h);

  std::u16string longest(31, u'z');
  CEOID full = CreateBoard(longest);
  ASSERT_NE(0u, full);
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(full, &info));
  EXPECT_EQ(longest, std::u16string(info.infDatabase.szDbaseName));
  h = OpenByName(longest, 0, &id);
  EXPECT_EQ(full, id);
  CloseHandle(h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(longest + u"z"))
      << "a 32-unit name must not find the 31-unit one";
}

// A write is on disk and survives closing the store.
TEST_P(ObjectStoreTest, PostsSurviveClosingTheStore) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_p"));
  HANDLE h = OpenByName(u"TULVAN_p");
  CEOID oid = WritePost(h, 5, "kept");
  ASSERT_NE(0u, oid);
  CloseHandle(h);
  PlatformCloseStore();
  EXPECT_EQ(1, SqlValue("SELECT count(*) FROM records WHERE oid = " + std::to_string(oid)));
  h = OpenByName(u"TULVAN_p");
  Post post;
  ASSERT_TRUE(ReadPost(h, &post));
  EXPECT_EQ(oid, post.oid);
  EXPECT_EQ("kept", post.text);
  CloseHandle(h);
}

TEST_F(SqliteStoreFileTest, FileIsWalWithFullSync) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_w"));
  sqlite3* db = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db));
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(SQLITE_OK, sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &statement, nullptr));
  ASSERT_EQ(SQLITE_ROW, sqlite3_step(statement));
  EXPECT_STREQ("wal", reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
  sqlite3_finalize(statement);
  sqlite3_close(db);
  // PlatformCloseStore checkpoints: the log is empty afterwards.
  HANDLE h = OpenByName(u"TULVAN_w");
  WritePost(h, 1, "x");
  CloseHandle(h);
  PlatformCloseStore();
  struct stat st;
  if (stat((path_ + "-wal").c_str(), &st) == 0) {
    EXPECT_EQ(0, st.st_size);
  }
}

TEST_P(ObjectStoreTest, HandlesOfAClosedStoreAreRefused) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_c"));
  HANDLE h = OpenByName(u"TULVAN_c");
  HANDLE e = CeFindFirstDatabase(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, e);
  PlatformCloseStore();
  EXPECT_EQ(0u, WritePost(h, 1, "x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  Post post;
  DWORD error = 0;
  EXPECT_FALSE(ReadPost(h, &post, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), error);
  EXPECT_EQ(0u, CeFindNextDatabase(e));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_TRUE(CloseHandle(h)) << "a refused handle can still be closed";
  EXPECT_TRUE(CloseHandle(e));
  h = OpenByName(u"TULVAN_c");
  EXPECT_NE(0u, WritePost(h, 1, "x")) << "the next call opens the store again";
  CloseHandle(h);
}

TEST_P(ObjectStoreTest, CloseHandleReleasesOnce) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_h"));
  long before = PlatformOpenHandles();
  HANDLE h = OpenByName(u"TULVAN_h");
  HANDLE e = CeFindFirstDatabase(0);
  EXPECT_EQ(before + 2, PlatformOpenHandles());
  EXPECT_TRUE(CloseHandle(h));
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_EQ(before, PlatformOpenHandles());
  EXPECT_FALSE(CloseHandle(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(0u, WritePost(h, 1, "closed"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  // Handles of one kind are not accepted for the other.
  h = OpenByName(u"TULVAN_h");
  e = CeFindFirstDatabase(0);
  EXPECT_EQ(0u, CeFindNextDatabase(h));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  EXPECT_EQ(0u, WritePost(e, 1, "x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  CloseHandle(h);
  CloseHandle(e);
}

TEST_P(ObjectStoreTest, WriteFailures) {
  CEOID db = CreateBoard(u"TULVAN_wf");
  CEOID otherDb = CreateBoard(u"TULVAN_other");
  HANDLE h = OpenByName(u"TULVAN_wf");
  HANDLE other = OpenByName(u"TULVAN_other");
  CEOID foreign = WritePost(other, 1, "foreign");
  ASSERT_NE(0u, db);
  ASSERT_NE(0u, otherDb);
  ASSERT_NE(0u, foreign);

  CEPROPVAL good;
  memset(&good, 0, sizeof(good));
  good.propid = kTimeProp;
  CEPROPVAL unknownType = good;
  unknownType.propid = MAKEPROPID(2, 99);
  CEPROPVAL nullBlob = good;
  nullBlob.propid = kTextProp;
  nullBlob.val.blob.dwCount = 4;
  nullBlob.val.blob.lpb = nullptr;
  CEPROPVAL nullString = good;
  nullString.propid = MAKEPROPID(3, CEVT_LPWSTR);
  nullString.val.lpwstr = nullptr;
  struct Case {
    const char* what;
    HANDLE handle;
    CEOID record;
    WORD count;
    CEPROPVAL* values;
    DWORD error;
  } cases[] = {
      {"no properties", h, 0, 0, &good, ERROR_INVALID_PARAMETER},
      {"no values", h, 0, 1, nullptr, ERROR_INVALID_PARAMETER},
      {"unknown type", h, 0, 1, &unknownType, ERROR_INVALID_PARAMETER},
      {"BLOB without bytes", h, 0, 1, &nullBlob, ERROR_INVALID_PARAMETER},
      {"string without text", h, 0, 1, &nullString, ERROR_INVALID_PARAMETER},
      {"record of another database", h, foreign, 1, &good, ERROR_INVALID_PARAMETER},
      {"record that does not exist", h, foreign + 1000, 1, &good, ERROR_INVALID_PARAMETER},
      {"not a handle", reinterpret_cast<HANDLE>(0x7FFF0000), 0, 1, &good, ERROR_INVALID_HANDLE},
      {"invalid handle value", INVALID_HANDLE_VALUE, 0, 1, &good, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_EQ(0u, CeWriteRecordProps(c.handle, c.record, c.count, c.values));
    EXPECT_EQ(c.error, GetLastError());
  }
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(0, info.infDatabase.wNumRecords) << "no refused write left a record";
  CloseHandle(h);
  CloseHandle(other);
}

// Every value type comes back exactly, in the order written.
TEST_P(ObjectStoreTest, EveryTypeRoundTrips) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEDBASEINFO dbInfo = BoardInfo(u"types");
  dbInfo.wNumSortOrder = 0;
  ASSERT_NE(0u, CeCreateDatabaseEx(&volume, &dbInfo));
  HANDLE h = OpenByName(u"types");

  const BYTE blobBytes[] = {0, 1, 0xFF, 0, 'a'};
  WCHAR text[] = u"\u65e5\u672c abc";
  CEPROPVAL values[10];
  memset(values, 0, sizeof(values));
  values[0].propid = MAKEPROPID(9, CEVT_I2);
  values[0].val.iVal = -12345;
  values[1].propid = MAKEPROPID(2, CEVT_UI2);
  values[1].val.uiVal = 65535;
  values[2].propid = MAKEPROPID(3, CEVT_I4);
  values[2].val.lVal = -2000000000;
  values[3].propid = MAKEPROPID(4, CEVT_UI4);
  values[3].val.ulVal = 0xFFFFFFFEu;
  values[4].propid = MAKEPROPID(5, CEVT_BOOL);
  values[4].val.boolVal = TRUE;
  values[5].propid = MAKEPROPID(6, CEVT_R8);
  values[5].val.dblVal = -1.0 / 3.0;
  values[6].propid = MAKEPROPID(7, CEVT_FILETIME);
  values[6].val.filetime = {0xDEADBEEFu, 0x80000001u};
  values[7].propid = MAKEPROPID(8, CEVT_LPWSTR);
  values[7].val.lpwstr = text;
  values[8].propid = MAKEPROPID(1, CEVT_BLOB);
  values[8].val.blob.dwCount = sizeof(blobBytes);
  values[8].val.blob.lpb = const_cast<LPBYTE>(blobBytes);
  values[9].propid = MAKEPROPID(10, CEVT_BLOB);  // empty BLOB
  CEOID oid = CeWriteRecordProps(h, 0, 10, values);
  ASSERT_NE(0u, oid);
  CloseHandle(h);

  h = OpenByName(u"types");
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  ASSERT_EQ(oid, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  ASSERT_EQ(10, count);
  const CEPROPVAL* read = reinterpret_cast<const CEPROPVAL*>(buffer);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(values[i].propid, read[i].propid) << i;
  EXPECT_EQ(-12345, read[0].val.iVal);
  EXPECT_EQ(65535, read[1].val.uiVal);
  EXPECT_EQ(-2000000000, read[2].val.lVal);
  EXPECT_EQ(0xFFFFFFFEu, read[3].val.ulVal);
  EXPECT_EQ(TRUE, read[4].val.boolVal);
  EXPECT_EQ(-1.0 / 3.0, read[5].val.dblVal);
  EXPECT_EQ(0xDEADBEEFu, read[6].val.filetime.dwLowDateTime);
  EXPECT_EQ(0x80000001u, read[6].val.filetime.dwHighDateTime);
  EXPECT_EQ(std::u16string(text), std::u16string(read[7].val.lpwstr));
  ASSERT_EQ(sizeof(blobBytes), read[8].val.blob.dwCount);
  EXPECT_EQ(0, memcmp(blobBytes, read[8].val.blob.lpb, sizeof(blobBytes)));
  EXPECT_EQ(0u, read[9].val.blob.dwCount);
  ASSERT_NE(nullptr, read[9].val.blob.lpb);
  EXPECT_EQ(0, read[9].val.blob.lpb[0]) << "an empty BLOB still reads as an empty string";
  for (int i = 7; i < 10; ++i) {
    const BYTE* p = i == 7 ? reinterpret_cast<const BYTE*>(read[i].val.lpwstr)
                           : read[i].val.blob.lpb;
    EXPECT_TRUE(p >= buffer && p < buffer + size) << "value " << i << " points outside";
  }
  LocalFree(buffer);

  // Chosen properties, in the order asked, a missing one flagged.
  CloseHandle(h);
  h = OpenByName(u"types");
  CEPROPID ids[] = {MAKEPROPID(1, CEVT_BLOB), MAKEPROPID(77, CEVT_I4), MAKEPROPID(9, CEVT_I2)};
  count = 3;
  buffer = nullptr;
  ASSERT_EQ(oid, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, ids, &buffer, &size));
  ASSERT_EQ(3, count);
  read = reinterpret_cast<const CEPROPVAL*>(buffer);
  EXPECT_EQ(ids[0], read[0].propid);
  EXPECT_EQ(sizeof(blobBytes), read[0].val.blob.dwCount);
  EXPECT_EQ(ids[1], read[1].propid);
  EXPECT_EQ(CEDB_PROPNOTFOUND, read[1].wFlags);
  EXPECT_EQ(-12345, read[2].val.iVal);
  EXPECT_EQ(0, read[2].wFlags);
  LocalFree(buffer);
  CloseHandle(h);
}

// Rewriting a record: a property replaced keeps its place, a new one comes
// last, CEDB_PROPDELETE removes one.
TEST_P(ObjectStoreTest, RewriteKeepsOrderAndDeletes) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_rw"));
  HANDLE h = OpenByName(u"TULVAN_rw", 0);
  CEOID oid = WritePost(h, 10, "old");
  ASSERT_NE(0u, oid);
  CEPROPVAL change[3];
  memset(change, 0, sizeof(change));
  char text[] = "new text";
  change[0].propid = kTextProp;
  change[0].val.blob = {sizeof(text), reinterpret_cast<LPBYTE>(text)};
  change[1].propid = MAKEPROPID(5, CEVT_UI4);
  change[1].val.ulVal = 77;
  change[2].propid = kTimeProp;
  change[2].wFlags = CEDB_PROPDELETE;
  EXPECT_EQ(oid, CeWriteRecordProps(h, oid, 3, change));
  WORD count = 0;
  LPBYTE buffer = nullptr;
  DWORD size = 0;
  ASSERT_EQ(oid, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  ASSERT_EQ(2, count);
  const CEPROPVAL* read = reinterpret_cast<const CEPROPVAL*>(buffer);
  EXPECT_EQ(kTextProp, read[0].propid);
  EXPECT_STREQ("new text", reinterpret_cast<const char*>(read[0].val.blob.lpb));
  EXPECT_EQ(MAKEPROPID(5, CEVT_UI4), read[1].propid);
  EXPECT_EQ(77u, read[1].val.ulVal);
  LocalFree(buffer);
  CloseHandle(h);
}

TEST_P(ObjectStoreTest, ReadBufferCodes) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_rb"));
  HANDLE h = OpenByName(u"TULVAN_rb");
  std::string text(1000, 'x');
  CEOID newest = WritePost(h, 2, text);
  CEOID oldest = WritePost(h, 1, "short");
  ASSERT_NE(0u, oldest);

  // Without CEDB_ALLOWREALLOC a small buffer gives 122 and the size needed;
  // the position stays.
  BYTE small[16];
  LPBYTE buffer = small;
  DWORD size = sizeof(small);
  WORD count = 0;
  EXPECT_EQ(0u, CeReadRecordProps(h, 0, &count, nullptr, &buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
  EXPECT_EQ(small, buffer);
  EXPECT_GE(size, 2 * sizeof(CEPROPVAL) + 1001);
  std::vector<BYTE> big(size);
  buffer = big.data();
  EXPECT_EQ(newest, CeReadRecordProps(h, 0, &count, nullptr, &buffer, &size))
      << "the refused read did not move on";
  EXPECT_EQ(big.data(), buffer);

  // With it, a caller's buffer that is too small grows.
  CloseHandle(h);
  h = OpenByName(u"TULVAN_rb");
  buffer = static_cast<LPBYTE>(LocalAlloc(LMEM_FIXED, 8));
  ASSERT_NE(nullptr, buffer);
  size = 8;
  EXPECT_EQ(newest, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  EXPECT_GE(size, 2 * sizeof(CEPROPVAL) + 1001);
  const CEPROPVAL* read = reinterpret_cast<const CEPROPVAL*>(buffer);
  EXPECT_EQ(text, reinterpret_cast<const char*>(read[1].val.blob.lpb));
  // A buffer big enough is used as it is.
  LPBYTE kept = buffer;
  EXPECT_EQ(oldest, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  EXPECT_EQ(kept, buffer);
  LocalFree(buffer);

  // An allocation that fails gives 8, hands out nothing and keeps the position.
  CloseHandle(h);
  h = OpenByName(u"TULVAN_rb");
  long blocks = PlatformLiveHeapBlocks();
  buffer = nullptr;
  size = 0;
  PlatformFailHeapAfter(0);
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  DWORD error = GetLastError();
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), error);
  EXPECT_EQ(nullptr, buffer);
  EXPECT_EQ(blocks, PlatformLiveHeapBlocks());
  // Growing the caller's buffer fails: it stays the caller's, unchanged.
  LPBYTE mine = static_cast<LPBYTE>(LocalAlloc(LMEM_FIXED, 8));
  ASSERT_NE(nullptr, mine);
  memset(mine, 0x5A, 8);
  buffer = mine;
  size = 8;
  PlatformFailHeapAfter(0);
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  error = GetLastError();
  PlatformFailHeapAfter(-1);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), error);
  EXPECT_EQ(mine, buffer);
  EXPECT_EQ(8u, size);
  EXPECT_EQ(0x5A, mine[7]);
  LocalFree(mine);
  buffer = nullptr;
  EXPECT_EQ(newest, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, &size));
  LocalFree(buffer);

  // Missing arguments.
  buffer = nullptr;
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, nullptr, nullptr, &buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, nullptr, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0u, CeReadRecordProps(h, CEDB_ALLOWREALLOC, &count, nullptr, &buffer, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_EQ(0u, CeReadRecordProps(INVALID_HANDLE_VALUE, CEDB_ALLOWREALLOC, &count, nullptr,
                                  &buffer, &size));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
  CloseHandle(h);
}

// Without CEDB_AUTOINCREMENT every read gives the record at the position.
TEST_P(ObjectStoreTest, ReadWithoutAutoIncrementStays) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_s"));
  HANDLE h = OpenByName(u"TULVAN_s", 0);
  WritePost(h, 1, "a");
  CEOID newest = WritePost(h, 2, "b");
  Post post;
  ASSERT_TRUE(ReadPost(h, &post));
  EXPECT_EQ(newest, post.oid);
  ASSERT_TRUE(ReadPost(h, &post));
  EXPECT_EQ(newest, post.oid);
  CloseHandle(h);
}

TEST_P(ObjectStoreTest, DeleteRecord) {
  CEOID db = CreateBoard(u"TULVAN_d");
  CreateBoard(u"TULVAN_e");
  HANDLE h = OpenByName(u"TULVAN_d");
  HANDLE other = OpenByName(u"TULVAN_e");
  CEOID a = WritePost(h, 1, "a");
  CEOID b = WritePost(h, 2, "b");
  CEOID foreign = WritePost(other, 3, "c");
  EXPECT_TRUE(CeDeleteRecord(h, a));
  struct Case {
    const char* what;
    HANDLE handle;
    CEOID record;
    DWORD error;
  } cases[] = {
      {"deleted already", h, a, ERROR_INVALID_PARAMETER},
      {"record 0", h, 0, ERROR_INVALID_PARAMETER},
      {"record of another database", h, foreign, ERROR_INVALID_PARAMETER},
      {"the database itself", h, db, ERROR_INVALID_PARAMETER},
      {"not a handle", nullptr, b, ERROR_INVALID_HANDLE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_FALSE(CeDeleteRecord(c.handle, c.record));
    EXPECT_EQ(c.error, GetLastError());
  }
  EXPECT_THAT(Oids(ReadAll(h)), ElementsAre(b));
  CEOIDINFO info;
  EXPECT_FALSE(CeOidGetInfo(a, &info)) << "a deleted record is no object any more";
  EXPECT_TRUE(CeOidGetInfo(foreign, &info));
  CloseHandle(h);
  CloseHandle(other);
}

TEST_P(ObjectStoreTest, EnumerationListsEveryDatabaseInCreationOrder) {
  HANDLE e = CeFindFirstDatabase(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, e);
  SetLastError(0);
  EXPECT_EQ(0u, CeFindNextDatabase(e)) << "an empty store";
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  CloseHandle(e);

  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  std::vector<CEOID> created;
  const char* names[] = {"zeta", "TULVAN_b", "alpha", "TULVAN_a", "m"};
  for (int i = 0; i < 5; ++i) {
    CEDBASEINFO info = BoardInfo(U16(names[i]));
    info.dwDbaseType = i % 2 == 0 ? 7 : 0;
    created.push_back(CeCreateDatabaseEx(&volume, &info));
    // Records take identifiers too; the enumeration still lists databases only.
    HANDLE h = OpenByName(U16(names[i]));
    WritePost(h, 1, "x");
    CloseHandle(h);
  }
  ASSERT_TRUE(CeDeleteDatabase(created[2]));
  std::vector<CEOID> expected = {created[0], created[1], created[3], created[4]};

  e = CeFindFirstDatabase(0);
  std::vector<CEOID> listed;
  CEOID oid;
  while ((oid = CeFindNextDatabase(e)) != 0) listed.push_back(oid);
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  EXPECT_EQ(expected, listed);
  CloseHandle(e);

  e = CeFindFirstDatabase(7);
  listed.clear();
  while ((oid = CeFindNextDatabase(e)) != 0) listed.push_back(oid);
  EXPECT_THAT(listed, ElementsAre(created[0], created[4]));
  CloseHandle(e);
}

TEST_P(ObjectStoreTest, OidGetInfoTellsDatabaseRecordAndNothing) {
  SYSTEMTIME fixed = {2024, 2, 0, 29, 13, 45, 30, 0};
  PlatformFixClock(&fixed);
  FILETIME expectedTime;
  ASSERT_TRUE(SystemTimeToFileTime(&fixed, &expectedTime));
  CEOID db = CreateBoard(u"TULVAN_info");
  HANDLE h = OpenByName(u"TULVAN_info");
  CEOID a = WritePost(h, 1, "one");
  CEOID b = WritePost(h, 2, std::string(300, 'y'));
  PlatformFixClock(nullptr);

  CEOIDINFO info;
  memset(&info, 0xAB, sizeof(info));
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(OBJTYPE_DATABASE, info.wObjType);
  const CEDBASEINFO& d = info.infDatabase;
  EXPECT_EQ(std::u16string(u"TULVAN_info"), std::u16string(d.szDbaseName));
  EXPECT_EQ(0u, d.dwDbaseType);
  EXPECT_EQ(2, d.wNumRecords);
  EXPECT_EQ(1, d.wNumSortOrder);
  EXPECT_EQ(kTimeProp, d.rgSortSpecs[0].propid);
  EXPECT_EQ(static_cast<DWORD>(CEDB_SORT_DESCENDING), d.rgSortSpecs[0].dwFlags);
  EXPECT_EQ(0u, d.rgSortSpecs[1].propid);
  EXPECT_GT(d.dwSize, 300u + 4u);
  EXPECT_EQ(expectedTime.dwLowDateTime, d.ftLastModified.dwLowDateTime);
  EXPECT_EQ(expectedTime.dwHighDateTime, d.ftLastModified.dwHighDateTime);
  EXPECT_EQ(static_cast<DWORD>(CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC),
            d.dwFlags & (CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC));

  // Size and count follow deletions.
  DWORD sizeBefore = d.dwSize;
  ASSERT_TRUE(CeDeleteRecord(h, b));
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(1, info.infDatabase.wNumRecords);
  EXPECT_LT(info.infDatabase.dwSize, sizeBefore - 300);

  memset(&info, 0xAB, sizeof(info));
  ASSERT_TRUE(CeOidGetInfo(a, &info));
  EXPECT_EQ(OBJTYPE_RECORD, info.wObjType);
  EXPECT_EQ(db, info.infRecord.oidParent);

  for (CEOID nothing : {CEOID(0), b, a + 1000}) {
    SetLastError(0);
    EXPECT_FALSE(CeOidGetInfo(nothing, &info)) << nothing;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  EXPECT_FALSE(CeOidGetInfo(a, nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  CloseHandle(h);
}

TEST_P(ObjectStoreTest, DeleteDatabaseRemovesItsRecords) {
  CEOID db = CreateBoard(u"TULVAN_gone");
  HANDLE h = OpenByName(u"TULVAN_gone");
  CEOID record = WritePost(h, 1, "x");
  CloseHandle(h);
  EXPECT_TRUE(CeDeleteDatabase(db));
  CEOIDINFO info;
  EXPECT_FALSE(CeOidGetInfo(db, &info));
  EXPECT_FALSE(CeOidGetInfo(record, &info));
  EXPECT_EQ(0, SqlValue("SELECT count(*) FROM records"));
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_gone"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  for (CEOID nothing : {db, CEOID(0), record}) {
    SetLastError(0);
    EXPECT_FALSE(CeDeleteDatabase(nothing));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  }
  // The name is free again; the new database gets a new identifier.
  CEOID again = CreateBoard(u"TULVAN_gone");
  EXPECT_GT(again, record);
}

// A database deleted under an open handle: the handle's calls fail with
// ERROR_KEY_DELETED and it can still be closed.
TEST_P(ObjectStoreTest, DeletedUnderAnOpenHandle) {
  CEOID db = CreateBoard(u"TULVAN_k");
  HANDLE h = OpenByName(u"TULVAN_k");
  CEOID a = WritePost(h, 1, "a");
  WritePost(h, 2, "b");
  Post post;
  ASSERT_TRUE(ReadPost(h, &post));
  ASSERT_TRUE(CeDeleteDatabase(db));
  DWORD error = 0;
  EXPECT_FALSE(ReadPost(h, &post, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error);
  EXPECT_EQ(0u, WritePost(h, 3, "c"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), GetLastError());
  EXPECT_FALSE(CeDeleteRecord(h, a));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), GetLastError());
  // A new database of the same name is not the deleted one.
  ASSERT_NE(0u, CreateBoard(u"TULVAN_k"));
  EXPECT_FALSE(ReadPost(h, &post, &error));
  EXPECT_EQ(static_cast<DWORD>(ERROR_KEY_DELETED), error);
  EXPECT_TRUE(CloseHandle(h));
}

// An injected failure: the call fails with the chosen code and changes
// nothing; the calls before it and after it work.
TEST_P(ObjectStoreTest, InjectedFailureChangesNothing) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID db = CreateBoard(u"TULVAN_f");
  HANDLE h = OpenByName(u"TULVAN_f");
  CEOID kept = WritePost(h, 1, "kept");
  CloseHandle(h);
  const DWORD code = ERROR_DISK_FULL;

  struct Call {
    const char* name;
    bool (*failed)(CEOID db, CEOID record);  // runs the call, true when it failed
  } calls[] = {
      {"CeCreateDatabaseEx",
       [](CEOID, CEOID) {
         CEDBASEINFO info = BoardInfo(u"TULVAN_new");
         CEGUID v;
         CREATE_SYSTEMGUID(&v);
         return CeCreateDatabaseEx(&v, &info) == 0;
       }},
      {"CeOpenDatabaseEx",
       [](CEOID, CEOID) {
         HANDLE h = OpenByName(u"TULVAN_f");
         if (h == INVALID_HANDLE_VALUE) return true;
         CloseHandle(h);
         return false;
       }},
      {"CeFindFirstDatabase",
       [](CEOID, CEOID) {
         HANDLE e = CeFindFirstDatabase(0);
         if (e == INVALID_HANDLE_VALUE) return true;
         CloseHandle(e);
         return false;
       }},
      {"CeOidGetInfo",
       [](CEOID db, CEOID) {
         CEOIDINFO info;
         return !CeOidGetInfo(db, &info);
       }},
      {"CeDeleteDatabase", [](CEOID db, CEOID) { return !CeDeleteDatabase(db); }},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.name);
    PlatformFailStoreCall(0, code);
    SetLastError(0);
    EXPECT_TRUE(call.failed(db, kept));
    EXPECT_EQ(code, GetLastError());
  }
  // Nothing changed: the database and its record are there, no new one.
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(db, &info));
  EXPECT_EQ(1, info.infDatabase.wNumRecords);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_new"));

  // Calls on an open handle: the failure is counted from the open on.
  h = OpenByName(u"TULVAN_f");
  PlatformFailStoreCall(1, code);  // one write works, the next fails
  CEOID written = WritePost(h, 2, "second");
  EXPECT_NE(0u, written);
  EXPECT_EQ(0u, WritePost(h, 3, "third"));
  EXPECT_EQ(code, GetLastError());
  PlatformFailStoreCall(0, code);
  EXPECT_FALSE(CeDeleteRecord(h, kept));
  EXPECT_EQ(code, GetLastError());
  PlatformFailStoreCall(0, code);
  Post post;
  DWORD error = 0;
  EXPECT_FALSE(ReadPost(h, &post, &error));
  EXPECT_EQ(code, error);
  EXPECT_THAT(Oids(ReadAll(h)), ElementsAre(written, kept))
      << "the failed read did not move on, and nothing was deleted or added";
  CloseHandle(h);

  HANDLE e = CeFindFirstDatabase(0);
  PlatformFailStoreCall(0, code);
  EXPECT_EQ(0u, CeFindNextDatabase(e));
  EXPECT_EQ(code, GetLastError());
  EXPECT_EQ(db, CeFindNextDatabase(e)) << "the failed step did not move on";
  CloseHandle(e);

  // A cancelled failure does not fire.
  PlatformFailStoreCall(0, code);
  PlatformFailStoreCall(-1, 0);
  EXPECT_TRUE(CeOidGetInfo(db, &info));
}

TEST_F(SqliteStoreFileTest, StorePath) {
  EXPECT_STREQ(path_.c_str(), PlatformStorePath());
  EXPECT_FALSE(PlatformSetStorePath(nullptr));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_FALSE(PlatformSetStorePath(""));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
  EXPECT_STREQ(path_.c_str(), PlatformStorePath()) << "a refused path changes nothing";

  // Switching files: each holds its own databases.
  ASSERT_NE(0u, CreateBoard(u"TULVAN_one"));
  std::string second = dir_ + "/second.db";
  ASSERT_TRUE(PlatformSetStorePath(second.c_str()));
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_one"));
  ASSERT_NE(0u, CreateBoard(u"TULVAN_two"));
  ASSERT_TRUE(PlatformSetStorePath(path_.c_str()));
  HANDLE h = OpenByName(u"TULVAN_one");
  EXPECT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_two"));
  PlatformCloseStore();
  for (const char* suffix : {"", "-wal", "-shm"}) unlink((second + suffix).c_str());
}

// A store file that cannot be opened: reads report 30, writes 29.
TEST_F(SqliteStoreFileTest, UnopenableStoreFile) {
  std::string missing = dir_ + "/no/such/dir/store.db";
  ASSERT_TRUE(PlatformSetStorePath(missing.c_str()));
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());
  EXPECT_EQ(INVALID_HANDLE_VALUE, CeFindFirstDatabase(0));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_FAULT), GetLastError());
  EXPECT_FALSE(CeDeleteDatabase(5));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_FAULT), GetLastError());

  // A file that is no SQLite database is reported, and left as it was.
  std::string garbage = dir_ + "/garbage.db";
  FILE* f = fopen(garbage.c_str(), "wb");
  ASSERT_NE(nullptr, f);
  std::string junk(4096, 'j');
  fwrite(junk.data(), 1, junk.size(), f);
  fclose(f);
  ASSERT_TRUE(PlatformSetStorePath(garbage.c_str()));
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());
  EXPECT_EQ(0u, CreateBoard(u"TULVAN_x"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_WRITE_FAULT), GetLastError());
  struct stat st;
  ASSERT_EQ(0, stat(garbage.c_str(), &st));
  EXPECT_EQ(4096, st.st_size);
  ASSERT_TRUE(PlatformSetStorePath(path_.c_str()));
  unlink(garbage.c_str());
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
