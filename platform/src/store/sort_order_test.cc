// The order in which a handle reads: the database's sort orders, their
// flags, and creation order when it has none.
#include <gmock/gmock.h>

#include "record_format.h"
#include "store_test_util.h"

namespace ceplatform {
namespace store {
namespace {

using ::testing::ElementsAre;

class SortOrderTest : public OnEachBackend<StoreTest> {
 protected:
  CEOID Create(const std::u16string& name, std::vector<SORTORDERSPEC> sorts) {
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEDBASEINFO info = BoardInfo(name);
    info.wNumSortOrder = static_cast<WORD>(sorts.size());
    for (size_t i = 0; i < sorts.size(); ++i) info.rgSortSpecs[i] = sorts[i];
    return CeCreateDatabaseEx(&volume, &info);
  }

  // Writes a record of one UI4 property (or none with `value` < 0) and a
  // label, returning its identifier.
  CEOID WriteNumbered(HANDLE h, CEPROPID prop, long long value) {
    CEPROPVAL values[2];
    memset(values, 0, sizeof(values));
    values[0].propid = MAKEPROPID(50, CEVT_UI2);
    values[0].val.uiVal = 1;
    values[1].propid = prop;
    if (TypeFromPropID(prop) == CEVT_I4) values[1].val.lVal = static_cast<LONG>(value);
    if (TypeFromPropID(prop) == CEVT_UI4) values[1].val.ulVal = static_cast<ULONG>(value);
    if (TypeFromPropID(prop) == CEVT_R8) values[1].val.dblVal = static_cast<double>(value) / 4;
    return CeWriteRecordProps(h, 0, value == kNone ? 1 : 2, values);
  }

  CEOID WriteString(HANDLE h, CEPROPID prop, const std::u16string& text) {
    std::u16string copy = text;
    CEPROPVAL value;
    memset(&value, 0, sizeof(value));
    value.propid = prop;
    value.val.lpwstr = &copy[0];
    return CeWriteRecordProps(h, 0, 1, &value);
  }

  std::vector<CEOID> ReadOrder(const std::u16string& name, CEPROPID sortProperty = 0) {
    CEGUID volume;
    CREATE_SYSTEMGUID(&volume);
    CEOID id = 0;
    std::u16string copy = name;
    HANDLE h = CeOpenDatabaseEx(&volume, &id, &copy[0], sortProperty, CEDB_AUTOINCREMENT,
                                nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, h);
    std::vector<CEOID> oids = Oids(ReadAll(h));
    CloseHandle(h);
    return oids;
  }

  static constexpr long long kNone = -999999;
};

STORE_TEST_ON_EACH_BACKEND(SortOrderTest);

// The board's order: newest post first; posts of the same time newest first.
TEST_P(SortOrderTest, BoardReadsNewestFirstAndTiesByNewestRecord) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_order"));
  HANDLE h = OpenByName(u"TULVAN_order");
  CEOID t5 = WritePost(h, 5, "t5");
  CEOID t9 = WritePost(h, 9, "t9");
  CEOID t1 = WritePost(h, 1, "t1");
  CEOID t5b = WritePost(h, 5, "t5b");
  CEOID t5c = WritePost(h, 5, "t5c");
  CEOID big = WritePost(h, 0xFFFFFFFF00000000ull, "far future");  // top bit set
  CloseHandle(h);
  EXPECT_THAT(ReadOrder(u"TULVAN_order"), ElementsAre(big, t9, t5c, t5b, t5, t1));
}

TEST_P(SortOrderTest, NoSortOrderReadsInCreationOrder) {
  ASSERT_NE(0u, Create(u"plain", {}));
  HANDLE h = OpenByName(u"plain");
  std::vector<CEOID> written;
  for (long long v : {30, 10, 20}) written.push_back(WriteNumbered(h, MAKEPROPID(1, CEVT_UI4), v));
  ASSERT_TRUE(CeDeleteRecord(h, written[1]));
  written.erase(written.begin() + 1);
  written.push_back(WriteNumbered(h, MAKEPROPID(1, CEVT_UI4), 5));
  CloseHandle(h);
  EXPECT_EQ(written, ReadOrder(u"plain"));
}

struct NumericCase {
  const char* what;
  WORD type;
  DWORD flags;
  std::vector<long long> values;  // written in this order; kNone: no property
  std::vector<int> expected;      // indexes into values, in read order
};

TEST_P(SortOrderTest, NumericOrders) {
  const long long kNo = kNone;
  const NumericCase cases[] = {
      {"UI4 ascending, unknown last", CEVT_UI4, 0, {3, kNo, 1, 4000000000LL, 2}, {2, 4, 0, 3, 1}},
      {"UI4 ascending, unknown first", CEVT_UI4, CEDB_SORT_UNKNOWNFIRST, {3, kNo, 1}, {1, 2, 0}},
      {"UI4 descending, unknown last", CEVT_UI4, CEDB_SORT_DESCENDING, {3, kNo, 1, 7}, {3, 0, 2, 1}},
      {"UI4 descending, unknown first", CEVT_UI4, CEDB_SORT_DESCENDING | CEDB_SORT_UNKNOWNFIRST,
       {3, kNo, 1}, {1, 0, 2}},
      {"I4 negatives", CEVT_I4, 0, {-1, 5, -2000000000, 0}, {2, 0, 3, 1}},
      {"R8 negatives and fractions", CEVT_R8, CEDB_SORT_DESCENDING, {-3, 1, -1, 2}, {3, 1, 2, 0}},
      {"ties ascending by oid", CEVT_UI4, 0, {2, 1, 2, 1}, {1, 3, 0, 2}},
  };
  int n = 0;
  for (const NumericCase& c : cases) {
    SCOPED_TRACE(c.what);
    std::u16string name = U16("num" + std::to_string(n++));
    CEPROPID prop = MAKEPROPID(1, c.type);
    ASSERT_NE(0u, Create(name, {{prop, c.flags}}));
    HANDLE h = OpenByName(name);
    std::vector<CEOID> oids;
    for (long long v : c.values) oids.push_back(WriteNumbered(h, prop, v));
    CloseHandle(h);
    std::vector<CEOID> expected;
    for (int i : c.expected) expected.push_back(oids[i]);
    EXPECT_EQ(expected, ReadOrder(name));
  }
}

TEST_P(SortOrderTest, StringsWithAndWithoutLetterCase) {
  CEPROPID prop = MAKEPROPID(2, CEVT_LPWSTR);
  for (DWORD flags : {0u, static_cast<DWORD>(CEDB_SORT_CASEINSENSITIVE)}) {
    SCOPED_TRACE(flags);
    std::u16string name = flags ? u"nocase" : u"case";
    ASSERT_NE(0u, Create(name, {{prop, flags}}));
    HANDLE h = OpenByName(name);
    CEOID b = WriteString(h, prop, u"b");
    CEOID bigA = WriteString(h, prop, u"Ab");
    CEOID a = WriteString(h, prop, u"a");
    CEOID kanji = WriteString(h, prop, u"\u65e5");
    CEOID empty = WriteString(h, prop, u"");
    CloseHandle(h);
    if (flags == 0) {
      // By UTF-16 unit: "" < "Ab" < "a" < "b" < U+65E5.
      EXPECT_THAT(ReadOrder(name), ElementsAre(empty, bigA, a, b, kanji));
    } else {
      // Letters folded: "" < "A" < "AB" < "B" < U+65E5.
      EXPECT_THAT(ReadOrder(name), ElementsAre(empty, a, bigA, b, kanji));
    }
  }
}

TEST_P(SortOrderTest, OpenInAnotherSortOrder) {
  CEPROPID number = MAKEPROPID(1, CEVT_UI4);
  CEPROPID text = MAKEPROPID(2, CEVT_LPWSTR);
  ASSERT_NE(0u, Create(u"two", {{number, CEDB_SORT_DESCENDING}, {text, CEDB_SORT_CASEINSENSITIVE}}));
  HANDLE h = OpenByName(u"two");
  std::u16string labels[] = {u"b", u"C", u"a"};
  std::vector<CEOID> oids;
  for (int i = 0; i < 3; ++i) {
    CEPROPVAL values[2];
    memset(values, 0, sizeof(values));
    values[0].propid = number;
    values[0].val.ulVal = static_cast<ULONG>(i);
    values[1].propid = text;
    values[1].val.lpwstr = &labels[i][0];
    oids.push_back(CeWriteRecordProps(h, 0, 2, values));
  }
  CloseHandle(h);
  EXPECT_THAT(ReadOrder(u"two"), ElementsAre(oids[2], oids[1], oids[0]));
  EXPECT_THAT(ReadOrder(u"two", text), ElementsAre(oids[2], oids[0], oids[1]));
}

// Rewriting the sort property moves the record in the order.
TEST_P(SortOrderTest, RewriteMovesTheRecord) {
  ASSERT_NE(0u, CreateBoard(u"TULVAN_move"));
  HANDLE h = OpenByName(u"TULVAN_move");
  CEOID a = WritePost(h, 1, "a");
  CEOID b = WritePost(h, 2, "b");
  CEPROPVAL later;
  memset(&later, 0, sizeof(later));
  later.propid = kTimeProp;
  later.val.filetime.dwLowDateTime = 3;
  ASSERT_EQ(a, CeWriteRecordProps(h, a, 1, &later));
  CloseHandle(h);
  EXPECT_THAT(ReadOrder(u"TULVAN_move"), ElementsAre(a, b));
}

// Keys compare as the values do, for each type.
TEST(SortKeyTest, KeysOrderAsValues) {
  struct Pair {
    const char* what;
    CEPROPVAL low;
    CEPROPVAL high;
  };
  auto value = [](WORD type, auto set) {
    CEPROPVAL v;
    memset(&v, 0, sizeof(v));
    v.propid = MAKEPROPID(1, type);
    set(v.val);
    return v;
  };
  WCHAR shortText[] = u"ab";
  WCHAR longText[] = u"abc";
  WCHAR upper[] = u"Z";
  WCHAR lower[] = u"a";
  BYTE blobLow[] = {1, 2};
  BYTE blobHigh[] = {1, 2, 0};
  const Pair pairs[] = {
      {"I2", value(CEVT_I2, [](CEVALUNION& u) { u.iVal = -2; }),
       value(CEVT_I2, [](CEVALUNION& u) { u.iVal = 1; })},
      {"UI2", value(CEVT_UI2, [](CEVALUNION& u) { u.uiVal = 2; }),
       value(CEVT_UI2, [](CEVALUNION& u) { u.uiVal = 40000; })},
      {"I4", value(CEVT_I4, [](CEVALUNION& u) { u.lVal = -70000; }),
       value(CEVT_I4, [](CEVALUNION& u) { u.lVal = -1; })},
      {"UI4", value(CEVT_UI4, [](CEVALUNION& u) { u.ulVal = 0x7FFFFFFF; }),
       value(CEVT_UI4, [](CEVALUNION& u) { u.ulVal = 0x80000000u; })},
      {"BOOL", value(CEVT_BOOL, [](CEVALUNION& u) { u.boolVal = FALSE; }),
       value(CEVT_BOOL, [](CEVALUNION& u) { u.boolVal = TRUE; })},
      {"R8", value(CEVT_R8, [](CEVALUNION& u) { u.dblVal = -0.5; }),
       value(CEVT_R8, [](CEVALUNION& u) { u.dblVal = 0.25; })},
      {"R8 negatives", value(CEVT_R8, [](CEVALUNION& u) { u.dblVal = -8; }),
       value(CEVT_R8, [](CEVALUNION& u) { u.dblVal = -2; })},
      {"FILETIME high word", value(CEVT_FILETIME, [](CEVALUNION& u) { u.filetime = {0xFFFFFFFF, 1}; }),
       value(CEVT_FILETIME, [](CEVALUNION& u) { u.filetime = {0, 2}; })},
      {"FILETIME top bit", value(CEVT_FILETIME, [](CEVALUNION& u) { u.filetime = {0, 0x7FFFFFFF}; }),
       value(CEVT_FILETIME, [](CEVALUNION& u) { u.filetime = {0, 0x80000000u}; })},
      {"string prefix", value(CEVT_LPWSTR, [&](CEVALUNION& u) { u.lpwstr = shortText; }),
       value(CEVT_LPWSTR, [&](CEVALUNION& u) { u.lpwstr = longText; })},
      {"string case", value(CEVT_LPWSTR, [&](CEVALUNION& u) { u.lpwstr = upper; }),
       value(CEVT_LPWSTR, [&](CEVALUNION& u) { u.lpwstr = lower; })},
      {"BLOB prefix", value(CEVT_BLOB, [&](CEVALUNION& u) { u.blob = {2, blobLow}; }),
       value(CEVT_BLOB, [&](CEVALUNION& u) { u.blob = {3, blobHigh}; })},
  };
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.what);
    std::vector<StoredProperty> low, high, none;
    MergeValues(1, &p.low, &low);
    MergeValues(1, &p.high, &high);
    SORTORDERSPEC spec = {p.low.propid, 0};
    std::string lowKey, highKey, noneKey;
    SortKey(spec, low, &lowKey);
    SortKey(spec, high, &highKey);
    EXPECT_LT(lowKey, highKey);
    // A record without the property sorts after every value (ascending).
    SortKey(spec, none, &noneKey);
    EXPECT_LT(highKey, noneKey);
    spec.dwFlags = CEDB_SORT_UNKNOWNFIRST;
    SortKey(spec, none, &noneKey);
    EXPECT_LT(noneKey, lowKey);
  }
}

// Stored bytes that are not a record are refused, never read past.
TEST(RecordFormatTest, DamagedRecordsAreRefused) {
  CEPROPVAL v[2];
  memset(v, 0, sizeof(v));
  BYTE bytes[] = {'h', 'i', 0};
  v[0].propid = kTimeProp;
  v[1].propid = kTextProp;
  v[1].val.blob = {3, bytes};
  std::vector<StoredProperty> properties;
  MergeValues(2, v, &properties);
  std::string good;
  SerializeRecord(properties, &good);
  ASSERT_TRUE(ParseRecord(reinterpret_cast<const uint8_t*>(good.data()), good.size(),
                          &properties));
  ASSERT_EQ(2u, properties.size());

  auto damaged = [&](size_t at, uint8_t byte) {
    std::string copy = good;
    copy[at] = static_cast<char>(byte);
    return copy;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"cut short", good.substr(0, good.size() - 1)},
      {"cut in a header", good.substr(0, 20)},
      {"length past the end", damaged(20, 0xFF)},
      {"unknown type", damaged(0, 99)},
      {"FILETIME of 7 bytes", damaged(4, 7)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    EXPECT_FALSE(ParseRecord(reinterpret_cast<const uint8_t*>(c.second.data()), c.second.size(),
                             &properties));
    RecordLayout layout(reinterpret_cast<const uint8_t*>(c.second.data()), c.second.size(),
                        nullptr, 0);
    EXPECT_FALSE(layout.Measure());
  }
  // A string without its terminator.
  WCHAR text[] = u"ab";
  CEPROPVAL s;
  memset(&s, 0, sizeof(s));
  s.propid = MAKEPROPID(3, CEVT_LPWSTR);
  s.val.lpwstr = text;
  MergeValues(1, &s, &properties);
  properties.erase(properties.begin(), properties.end() - 1);
  std::string stored;
  SerializeRecord(properties, &stored);
  stored[stored.size() - 2] = 'x';
  EXPECT_FALSE(ParseRecord(reinterpret_cast<const uint8_t*>(stored.data()), stored.size(),
                           &properties));
}

}  // namespace
}  // namespace store
}  // namespace ceplatform
