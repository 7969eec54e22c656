// Whole stores on PostgreSQL, for the owner's tools: a snapshot read in
// batches, a store written in one transaction, and the integrity check.
#include <functional>

#include "pg_connection.h"
#include "rank_blocks.h"
#include "snapshot_listing.h"
#include "store_schema.h"

namespace ceplatform {
namespace store {
namespace {

// PgRows fetched from a snapshot's cursor at a time.
constexpr int kFetchRows = 500;

}  // namespace

Result PgConnection::ReadSnapshot(SnapshotSink* sink, SnapshotOrder order) {
  PgRows rows;
  // One snapshot for every statement that follows, taken by the first, and
  // no write possible in it. Binary cursors hand the rows over in pieces,
  // in the same form as the statements' binary results; each reads
  // through an index in the order it lists, never a sort of a whole table
  // that its first fetch would wait for.
  Result result = session_.Begin("ISOLATION LEVEL REPEATABLE READ, READ ONLY");
  if (result != Result::kOk) return result;
  result = session_.RunText("SET LOCAL enable_sort = off", &rows);
  // Before format 3 a database's row holds its counts alone.
  long long format = 0;
  if (result == Result::kOk) result = ReadFormat(&format);
  if (result == Result::kOk) {
    std::string declare = std::string(
                              "DECLARE snapshot_databases BINARY NO SCROLL CURSOR FOR"
                              " SELECT oid, name, type, flags, sorts, modified, records, size"
                              " FROM ") +
                          (format >= 3 ? "database_totals" : "databases") + " ORDER BY oid";
    result = session_.RunText(declare.c_str(), &rows);
  }
  bool go_on = true;
  // Fetches the rows of an open cursor a batch at a time and hands each
  // (its row in `rows`) to `take`, while the sink goes on.
  auto fetch = [&](const char* cursor, const std::function<void(int)>& take) {
    const std::string text = "FETCH " + std::to_string(kFetchRows) + " FROM " + cursor;
    Result fetched = Result::kOk;
    while (fetched == Result::kOk && go_on) {
      fetched = session_.RunText(text.c_str(), &rows);
      if (fetched != Result::kOk || rows.count() == 0) break;
      for (int i = 0; i < rows.count() && go_on; ++i) take(i);
    }
    return fetched;
  };
  // Hands the records of `sql` (the columns of AllRecordsSql) to `sink`
  // from a cursor of their own; *count: how many, when asked.
  auto fetch_records = [&](const std::string& sql, int64_t* count) {
    std::string declare = "DECLARE snapshot_records BINARY NO SCROLL CURSOR FOR " + sql;
    Result fetched = session_.RunText(declare.c_str(), &rows);
    int64_t handed = 0;
    if (fetched == Result::kOk) {
      fetched = fetch("snapshot_records", [&](int i) {
        SnapshotRecord row;
        row.oid = static_cast<uint32_t>(rows.Int(i, 0));
        row.database = static_cast<uint32_t>(rows.Int(i, 1));
        for (int k = 0; k < CEDB_MAXSORTORDER && !rows.Null(i, 2 + k); ++k) {
          row.keys[k] = rows.String(i, 2 + k);
          row.key_count = static_cast<uint16_t>(k + 1);
        }
        row.props = rows.String(i, 6);
        go_on = sink->Record(row);
        ++handed;
      });
    }
    if (count != nullptr) *count = handed;
    if (fetched == Result::kOk) fetched = session_.RunText("CLOSE snapshot_records", &rows);
    return fetched;
  };
  std::vector<DatabaseListing> listings;
  if (result == Result::kOk) {
    result = fetch("snapshot_databases", [&](int i) {
      SnapshotDatabase row;
      row.oid = static_cast<uint32_t>(rows.Int(i, 0));
      row.name = rows.String(i, 1);
      row.type = static_cast<uint32_t>(rows.Int(i, 2));
      row.flags = static_cast<uint32_t>(rows.Int(i, 3));
      row.sorts = rows.String(i, 4);
      row.modified = rows.Int(i, 5);
      row.records = rows.Int(i, 6);
      row.size = rows.Int(i, 7);
      go_on = sink->Database(row);
      if (go_on && order == SnapshotOrder::kDatabase && sink->WantsRecords(row)) {
        listings.push_back(ListingOf(row));
      }
    });
  }
  if (result == Result::kOk && go_on && order == SnapshotOrder::kIdentifier) {
    result = fetch_records(AllRecordsSql(), nullptr);
  }
  for (size_t i = 0; i < listings.size() && result == Result::kOk && go_on; ++i) {
    const std::string database = std::to_string(listings[i].database);
    int64_t read = 0;
    result = fetch_records(ListingSql(listings[i], database), &read);
    if (result == Result::kOk && go_on && ListsUnkeyed(listings[i], read)) {
      result = fetch_records(UnkeyedSql(listings[i], database), nullptr);
    }
  }
  if (result == Result::kOk && go_on) {
    // The sequence stands outside the snapshot; read after every record, it
    // is past each of them.
    result = session_.RunText("SELECT last_value, is_called FROM oids", &rows);
    if (result == Result::kOk && rows.count() == 1) {
      long long last = atoll(rows.Text(0, 0));
      bool called = rows.Text(0, 1)[0] == 't';
      sink->Counter(static_cast<uint64_t>(called ? last + 1 : last));
    } else if (result == Result::kOk) {
      session_.set_message("the identifier sequence has no row");
      result = Result::kCorrupt;
    }
  }
  session_.Rollback();
  return result;
}

Result PgConnection::CountContent(bool* empty) {
  Result connected = session_.Connected();
  if (connected != Result::kOk) return connected;
  PgRows rows;
  Result result = session_.RunText(
      "SELECT EXISTS (SELECT 1 FROM databases) OR EXISTS (SELECT 1 FROM records)", &rows);
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  *empty = rows.Text(0, 0)[0] != 't';
  return Result::kOk;
}

namespace {

// Inserts what a snapshot hands it, inside the writer's transaction.
class PgInserter : public SnapshotSink {
 public:
  using Runner = std::function<Result(const char*, const Oid*, const PgParams&)>;
  explicit PgInserter(Runner run) : run_(std::move(run)) {}

  bool Database(const SnapshotDatabase& row) override {
    static const Oid kTypes[6] = {kPgInt8, kPgBytea, kPgInt8, kPgInt8, kPgBytea, kPgInt8};
    PgParams params;
    params.Int(row.oid);
    params.Bytes(row.name);
    params.Int(row.type);
    params.Int(row.flags);
    params.Bytes(row.sorts);
    params.Int(row.modified);
    return Done(run_("INSERT INTO databases(oid, name, type, flags, sorts, modified)"
                     " VALUES ($1, $2, $3, $4, $5, $6)",
                     kTypes, params),
                row.oid);
  }

  bool Record(const SnapshotRecord& row) override {
    static const Oid kTypes[7] = {kPgInt8,  kPgInt8,  kPgBytea, kPgBytea,
                                  kPgBytea, kPgBytea, kPgBytea};
    PgParams params;
    params.Int(row.oid);
    params.Int(row.database);
    for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
      if (i < row.key_count) {
        params.Bytes(row.keys[i]);
      } else {
        params.Null();
      }
    }
    params.Bytes(row.props);
    return Done(run_("INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
                     " VALUES ($1, $2, $3, $4, $5, $6, $7)",
                     kTypes, params),
                row.oid);
  }

  bool Counter(uint64_t next_oid) override {
    counter_ = next_oid;
    return result_ == Result::kOk;
  }

  Result result() const { return result_; }
  uint64_t next_oid() const { return counter_ > highest_ ? counter_ : highest_ + 1; }

 private:
  bool Done(Result result, uint32_t oid) {
    if (result != Result::kOk) {
      result_ = result;
      return false;
    }
    if (oid > highest_) highest_ = oid;
    return true;
  }

  Runner run_;
  Result result_ = Result::kOk;
  uint64_t counter_ = 1;
  uint64_t highest_ = 0;
};

}  // namespace

Result PgConnection::WriteSnapshot(const std::function<bool(SnapshotSink*)>& feed, bool replace,
                                   bool* not_empty) {
  *not_empty = false;
  bool refused = false;
  Result result = InTransaction([&]() -> Result {
    PgRows rows;
    // Hosts that keep writing wait until the whole store is in.
    // The records go in without block upkeep; the blocks are made once at
    // the end.
    std::string lock = std::string("LOCK TABLE databases, records IN SHARE ROW EXCLUSIVE MODE;"
                                   "SELECT set_config('") +
                       kBulkLoadSetting + "', 'on', true)";
    Result step = session_.RunText(lock.c_str(), &rows);
    if (step != Result::kOk) return step;
    bool empty = false;
    step = CountContent(&empty);
    if (step != Result::kOk) return step;
    if (!empty && !replace) {
      refused = true;
      return Result::kDuplicate;  // rolled back below; reported as not empty
    }
    if (!empty) {
      step = session_.RunText("DELETE FROM records; DELETE FROM databases", &rows);
      if (step != Result::kOk) return step;
    }
    PgInserter inserter([this](const char* sql, const Oid* types, const PgParams& params) {
      PgRows ignored;
      PgStatement statement = {sql, params.count(), types};
      return session_.Run(statement, params, &ignored);
    });
    bool fed = feed(&inserter);
    if (inserter.result() != Result::kOk) return inserter.result();
    if (!fed) {
      session_.set_message("the source could not be read whole");
      return Result::kFault;
    }
    uint64_t next = inserter.next_oid();
    std::string counter = next > 1 ? "SELECT setval('oids', " + std::to_string(next - 1) + ", true)"
                                   : std::string("SELECT setval('oids', 1, false)");
    step = session_.RunText(counter.c_str(), &rows);
    if (step != Result::kOk) return step;
    std::string blocks = "SET LOCAL statement_timeout = 0;" + RebuildBlocksSql(Dialect::kPostgres) +
                         "SELECT set_config('" + kBulkLoadSetting + "', 'off', true)";
    return session_.RunText(blocks.c_str(), &rows, session_.LongDeadline());
  });
  if (refused) {
    *not_empty = true;
    return Result::kOk;
  }
  return result;
}

Result PgConnection::CheckIntegrity(std::vector<std::string>* problems) {
  Result connected = session_.Connected();
  if (connected != Result::kOk) return connected;
  PgRows rows;
  Result result = session_.RunText(
      "SELECT to_regclass('meta') IS NOT NULL, to_regclass('databases') IS NOT NULL,"
      " to_regclass('records') IS NOT NULL, to_regclass('oids') IS NOT NULL,"
      " (SELECT count(*) FROM pg_trigger WHERE tgrelid = to_regclass('records')"
      "  AND tgname IN ('records_insert', 'records_delete', 'records_update')),"
      " (SELECT count(*) FROM pg_trigger WHERE tgrelid = to_regclass('records')"
      "  AND tgname IN ('blocks_insert', 'blocks_delete', 'blocks_update'))",
      &rows);
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  static const char* const kObjects[4] = {"table meta", "table databases", "table records",
                                          "sequence oids"};
  for (int i = 0; i < 4; ++i) {
    if (rows.Text(0, i)[0] != 't') {
      problems->push_back(std::string("the ") + kObjects[i] + " is missing");
    }
  }
  if (atoi(rows.Text(0, 4)) != 3) {
    problems->push_back("the triggers that count each database's records are not all there");
  }
  int block_triggers = atoi(rows.Text(0, 5));
  result = session_.RunText("SELECT value FROM meta WHERE key = 'schema'", &rows);
  if (result != Result::kOk) return result;
  long long format = rows.count() == 1 ? atoll(rows.Text(0, 0)) : 0;
  if (rows.count() != 1) {
    problems->push_back("the schema version row is missing");
  } else if (format < kOldestReadableFormat || format > kStoreFormat) {
    problems->push_back(std::string("schema version ") + rows.Text(0, 0) +
                        ", expected " + std::to_string(kStoreFormat));
  } else if (format >= 2 && block_triggers != 3) {
    problems->push_back("the triggers that keep each database's blocks are not all there");
  }
  if (format >= 3) {
    result = session_.RunText(
        "SELECT to_regclass('database_counts') IS NULL OR to_regclass('database_totals') IS NULL"
        " OR (SELECT count(*) FROM pg_trigger WHERE tgname = 'databases_counts_delete'"
        "  AND tgrelid = to_regclass('databases')) <> 1",
        &rows);
    if (result != Result::kOk) return result;
    if (rows.count() != 1 || rows.Text(0, 0)[0] != 'f') {
      problems->push_back("the tables and triggers that count each database's records in"
                          " slots are not all there");
      return Result::kOk;
    }
    result = session_.RunText("SELECT count(DISTINCT db) FROM database_counts c WHERE NOT EXISTS"
                              " (SELECT 1 FROM databases d WHERE d.oid = c.db)",
                              &rows);
    if (result != Result::kOk) return result;
    long long strays = rows.count() == 1 ? atoll(rows.Text(0, 0)) : 0;
    if (strays != 0) {
      problems->push_back("the counts of " + std::to_string(strays) +
                          " deleted database(s) are still kept");
    }
  }
  if (format < 2) return Result::kOk;  // no blocks to check
  // Every record is read once per order: longer than a statement may take
  // on a large store.
  result = session_.Begin("READ ONLY");
  if (result == Result::kOk) result = session_.RunText("SET LOCAL statement_timeout = 0", &rows);
  for (int order = 0; result == Result::kOk && order <= kCreationOrder; ++order) {
    result = session_.RunText(WrongBlocksSql(Dialect::kPostgres, order, format >= 3).c_str(), &rows,
                              session_.LongDeadline());
    long long count = rows.count() == 1 ? atoll(rows.Text(0, 0)) : 0;
    if (result == Result::kOk && count != 0) {
      problems->push_back(WrongBlocksProblem(order, count));
    }
  }
  session_.Rollback();  // it wrote nothing
  return result;
}


}  // namespace store
}  // namespace ceplatform
