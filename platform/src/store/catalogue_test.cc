// The catalogue of databases that opening, enumerating and describing
// consult: changes of this process seen at once, another process's within
// the stamp lifetime, and a row that cannot be decoded reported as a read
// fault without hiding the other databases.
#include <sys/wait.h>
#include <time.h>

#include <functional>

#include "ceplatform_snapshot.h"
#include "store_call.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

class CatalogueTest : public OnEachBackend<StoreTest> {};

std::vector<CEOID> Enumerate(DWORD type = 0) {
  std::vector<CEOID> oids;
  HANDLE walk = CeFindFirstDatabase(type);
  if (walk == INVALID_HANDLE_VALUE) return oids;
  for (CEOID oid; (oid = CeFindNextDatabase(walk)) != 0;) oids.push_back(oid);
  CloseHandle(walk);
  return oids;
}

STORE_TEST_ON_EACH_BACKEND(CatalogueTest);

TEST_P(CatalogueTest, ChangesOfThisProcessShowAtOnce) {
  CEOID a = CreateBoard(u"a");
  ASSERT_NE(0u, a);
  // Read the catalogue, then change the store and look again at once.
  EXPECT_EQ(std::vector<CEOID>{a}, Enumerate());
  CEOID b = CreateBoard(u"b");
  ASSERT_NE(0u, b);
  EXPECT_EQ((std::vector<CEOID>{a, b}), Enumerate());
  HANDLE h = OpenByName(u"b");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CEOIDINFO info;
  ASSERT_TRUE(CeOidGetInfo(b, &info));
  EXPECT_EQ(0, info.infDatabase.wNumRecords);
  ASSERT_NE(0u, WritePost(h, 1, "one"));
  ASSERT_TRUE(CeOidGetInfo(b, &info));
  EXPECT_EQ(1, info.infDatabase.wNumRecords);
  CloseHandle(h);

  ASSERT_TRUE(CeDeleteDatabase(a));
  EXPECT_EQ(std::vector<CEOID>{b}, Enumerate());
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"a"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  EXPECT_FALSE(CeOidGetInfo(a, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST_P(CatalogueTest, DatabaseOfAnotherProcessShowsWithinTheLifetime) {
  CEOID a = CreateBoard(u"a");
  ASSERT_NE(0u, a);
  EXPECT_EQ(std::vector<CEOID>{a}, Enumerate());
  pid_t child = fork();
  ASSERT_NE(-1, child);
  if (child == 0) _exit(CreateBoard(u"from the child") != 0 ? 0 : 1);
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  struct timespec pause = {0, 2 * kStampLifetimeNs};
  nanosleep(&pause, nullptr);
  CEOID oid = 0;
  HANDLE h = OpenByName(u"from the child", CEDB_AUTOINCREMENT, &oid);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_EQ((std::vector<CEOID>{a, oid}), Enumerate());
}

TEST_P(CatalogueTest, UndecodableRowIsAReadFaultOfItsOwn) {
  CEOID good = CreateBoard(u"good");
  CEOID bad = CreateBoard(u"bad");
  ASSERT_NE(0u, good);
  ASSERT_NE(0u, bad);
  Sql("UPDATE databases SET sorts = " + BlobLiteral("010203") + " WHERE oid = " +
      std::to_string(bad));

  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"bad"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());
  CEOIDINFO info;
  EXPECT_FALSE(CeOidGetInfo(bad, &info));
  EXPECT_EQ(static_cast<DWORD>(ERROR_READ_FAULT), GetLastError());

  // The other database is untouched, and both are still enumerated.
  HANDLE h = OpenByName(u"good");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  ASSERT_TRUE(CeOidGetInfo(good, &info));
  EXPECT_EQ((std::vector<CEOID>{good, bad}), Enumerate());
}

TEST_P(CatalogueTest, EnumerationByTypeAcrossManyDatabases) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  std::vector<CEOID> all, odd;
  for (int i = 0; i < 300; ++i) {
    CEDBASEINFO info = BoardInfo(U16("db" + std::to_string(i)));
    info.dwDbaseType = static_cast<DWORD>(i % 2);
    CEOID oid = CeCreateDatabaseEx(&volume, &info);
    ASSERT_NE(0u, oid) << i;
    all.push_back(oid);
    if (i % 2 == 1) odd.push_back(oid);
  }
  EXPECT_EQ(all, Enumerate());
  EXPECT_EQ(odd, Enumerate(1));
  for (int i : {0, 150, 299}) {
    CEOID oid = 0;
    HANDLE h = OpenByName(U16("db" + std::to_string(i)), 0, &oid);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << i;
    EXPECT_EQ(all[static_cast<size_t>(i)], oid);
    CloseHandle(h);
  }
}

// Each change another process makes shows here within the stamp lifetime:
// to opening by name, to enumerating, and to describing, both for a thread
// that just enumerated (and may describe from the rows it read) and for one
// that did not.
TEST_P(CatalogueTest, ChangesOfAnotherProcessShowWithinTheLifetime) {
  CEOID kept = CreateBoard(u"kept");
  CEOID doomed = CreateBoard(u"doomed");
  ASSERT_NE(0u, kept);
  ASSERT_NE(0u, doomed);
  auto inChild = [&](const std::function<bool()>& change) {
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
      PlatformCloseStore();
      _exit(change() ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    struct timespec pause = {0, 2 * kStampLifetimeNs};
    nanosleep(&pause, nullptr);
  };
  // Everything read once, so that each lookup below has a copy to outlive.
  CEOIDINFO info;
  ASSERT_EQ((std::vector<CEOID>{kept, doomed}), Enumerate());
  ASSERT_TRUE(CeOidGetInfo(kept, &info));
  HANDLE h = OpenByName(u"doomed");
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);

  inChild([&] {
    HANDLE w = OpenByName(u"kept");
    bool written = w != INVALID_HANDLE_VALUE && WritePost(w, 1, "from the child") != 0;
    CloseHandle(w);
    return written && CeDeleteDatabase(doomed);
  });
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"doomed"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
  ASSERT_TRUE(CeOidGetInfo(kept, &info));
  EXPECT_EQ(1, info.infDatabase.wNumRecords);
  EXPECT_EQ(std::vector<CEOID>{kept}, Enumerate());
  ASSERT_TRUE(CeOidGetInfo(kept, &info));  // from the rows just enumerated
  EXPECT_EQ(1, info.infDatabase.wNumRecords);

  inChild([&] {
    HANDLE w = OpenByName(u"kept");
    bool written = w != INVALID_HANDLE_VALUE && WritePost(w, 2, "another") != 0;
    CloseHandle(w);
    return written;
  });
  ASSERT_TRUE(CeOidGetInfo(kept, &info));
  EXPECT_EQ(2, info.infDatabase.wNumRecords);
  inChild([&] { return CreateBoard(u"doomed") != 0; });
  CEOID again = 0;
  h = OpenByName(u"doomed", CEDB_AUTOINCREMENT, &again);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  CloseHandle(h);
  EXPECT_GT(again, doomed);
}

// Ten thousand databases, loaded in bulk: each opens by its own name, the
// enumeration lists them all in creation order in batches, and each is
// described as stored, also between the steps of an enumeration.
TEST_P(CatalogueTest, TenThousandDatabasesOpenEnumerateAndDescribe) {
  const int kCount = 10000;
  std::string error;
  std::unique_ptr<WholeStore> store = WholeStore::Open(path_, true, &error);
  ASSERT_NE(nullptr, store) << error;
  ASSERT_EQ(WholeStore::WriteResult::kOk,
            store->Write(
                [&](SnapshotSink* sink) {
                  for (int i = 0; i < kCount; ++i) {
                    SnapshotDatabase database;
                    database.oid = static_cast<uint32_t>(100 + 2 * i);
                    std::u16string name = U16("TULVAN_" + std::to_string(i) + ".tvx");
                    database.name.assign(reinterpret_cast<const char*>(name.data()),
                                         name.size() * 2);
                    database.type = static_cast<uint32_t>(i % 3);
                    SortOrders sorts;
                    sorts.count = 1;
                    sorts.specs[0] = BoardInfo(name).rgSortSpecs[0];
                    sorts.Encode(&database.sorts);
                    if (!sink->Database(database)) return false;
                  }
                  return sink->Counter(100 + 2 * kCount);
                },
                false, &error))
      << error;
  store.reset();

  for (int i = 0; i < kCount; ++i) {
    CEOID oid = 0;
    HANDLE h = OpenByName(U16("TULVAN_" + std::to_string(i) + ".tvx"), 0, &oid);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << i;
    ASSERT_EQ(static_cast<CEOID>(100 + 2 * i), oid);
    CloseHandle(h);
  }
  EXPECT_EQ(INVALID_HANDLE_VALUE, OpenByName(u"TULVAN_10000.tvx"));

  HANDLE walk = CeFindFirstDatabase(0);
  ASSERT_NE(INVALID_HANDLE_VALUE, walk);
  int listed = 0;
  for (CEOID oid; (oid = CeFindNextDatabase(walk)) != 0; ++listed) {
    ASSERT_EQ(static_cast<CEOID>(100 + 2 * listed), oid);
    CEOIDINFO info;
    ASSERT_TRUE(CeOidGetInfo(oid, &info));
    std::u16string name = U16("TULVAN_" + std::to_string(listed) + ".tvx");
    ASSERT_EQ(0, memcmp(info.infDatabase.szDbaseName, name.c_str(),
                        (name.size() + 1) * sizeof(WCHAR)));
    ASSERT_EQ(static_cast<DWORD>(listed % 3), info.infDatabase.dwDbaseType);
    ASSERT_FALSE(CeOidGetInfo(oid + 1, &info));
  }
  EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_ITEMS), GetLastError());
  CloseHandle(walk);
  EXPECT_EQ(kCount, listed);
  EXPECT_EQ(static_cast<size_t>(kCount / 3), Enumerate(2).size());
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
