// The PostgreSQL store's tables: made on first use, brought to the current
// format by the first program that writes, read as they are by the owner's
// tools.
#include "pg_connection.h"
#include "pg_counts.h"
#include "store_schema.h"

namespace ceplatform {
namespace store {
namespace {

// Taken while one host creates the schema, so that others wait and see it.
constexpr long long kSchemaLockKey = 0x636F726B77616C6CLL;

// The body (between its $$) of function `name` as `sql` creates it: the text
// the server keeps as its source.
std::string BodyOf(const std::string& sql, const std::string& name) {
  size_t at = sql.find("FUNCTION " + name + "(");
  size_t start = at == std::string::npos ? at : sql.find("$$", at);
  size_t end = start == std::string::npos ? start : sql.find("$$", start + 2);
  return end == std::string::npos ? std::string() : sql.substr(start + 2, end - start - 2);
}

}  // namespace

Result PgConnection::ReadFormat(long long* format) {
  PgRows rows;
  Result result = session_.RunText("SELECT value FROM meta WHERE key = 'schema'", &rows);
  if (result != Result::kOk) return result;
  *format = rows.count() == 1 ? atoll(rows.Text(0, 0)) : 0;
  return Result::kOk;
}

Result PgConnection::HasCurrentFunctions(bool* current) {
  PgRows rows;
  Result result = session_.RunText(
      "SELECT (SELECT prosrc FROM pg_proc WHERE oid ="
      " to_regprocedure('top_block_held(bigint,integer,bytea,bigint,boolean)')),"
      " (SELECT prosrc FROM pg_proc WHERE oid = to_regprocedure('blocks_added()'))",
      &rows);
  if (result != Result::kOk) return result;
  *current = rows.count() == 1 && TopBlockHeldBody() == rows.Text(0, 0) &&
             BodyOf(PostgresRecordFunctionsSql(), "blocks_added") == rows.Text(0, 1);
  return Result::kOk;
}

Result PgConnection::EnsureSchema(int retried) {
  PgRows rows;
  Result result = session_.RunText(
      "SELECT current_schema() IS NULL, to_regclass('meta') IS NULL,"
      " current_setting('search_path')",
      &rows);
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  bool no_schema = rows.Text(0, 0)[0] == 't';
  bool no_tables = rows.Text(0, 1)[0] == 't';
  std::string path = rows.Text(0, 2);
  if (!create_ && (no_schema || no_tables)) {
    session_.set_message("no store here: the search path (" + path +
                         ") holds no store tables");
    return Result::kFault;
  }
  if (no_schema) {
    // The first schema of the search path, as the URI or the role named it.
    std::string first = path.substr(0, path.find(','));
    while (!first.empty() && first.front() == ' ') first.erase(0, 1);
    while (!first.empty() && first.back() == ' ') first.pop_back();
    if (first.empty() || first == "\"$user\"") {
      session_.set_message("no schema to create the store in (search_path: " + path + ")");
      return Result::kFault;
    }
    std::string quoted = first.front() == '"' ? first : session_.QuoteIdentifier(first);
    if (quoted.empty()) return Result::kNoMemory;
    std::string create = "CREATE SCHEMA IF NOT EXISTS " + quoted;
    result = session_.RunText(create.c_str(), &rows);
    // Two hosts creating one schema at once: one of them fails, as a taken
    // name in the catalog.
    if ((result == Result::kFault || result == Result::kDuplicate) && retried < 3) {
      return EnsureSchema(retried + 1);
    }
    if (result != Result::kOk) return result;
  }
  if (!no_schema && !no_tables) {
    long long format = 0;
    result = ReadFormat(&format);
    if (result != Result::kOk) return result;
    bool readable = format >= kOldestReadableFormat && format <= kStoreFormat;
    if (readable && !create_) return Result::kOk;  // read as it is
    if (format == kStoreFormat) {
      bool current = false;
      result = HasCurrentFunctions(&current);
      if (result != Result::kOk || current) return result;
    }
    if (!readable) {
      session_.set_message("the store's tables have format " + std::to_string(format) +
                           "; this program knows formats " +
                           std::to_string(kOldestReadableFormat) + " to " +
                           std::to_string(kStoreFormat));
      return Result::kFault;
    }
  }
  // One host at a time makes the tables or brings them up to date; the
  // others wait and find it done. Filling the blocks of a large store takes
  // longer than a statement may, once.
  result = session_.Begin();
  std::string lock = "SELECT pg_advisory_xact_lock(" + std::to_string(kSchemaLockKey) +
                     "); SET LOCAL statement_timeout = 0;";
  if (result == Result::kOk) result = session_.RunText(lock.c_str(), &rows);
  if (result == Result::kOk) result = session_.RunText("SELECT to_regclass('meta') IS NULL", &rows);
  if (result == Result::kOk && rows.count() == 1 && rows.Text(0, 0)[0] == 't') {
    result = session_.RunText(BaseSchemaSql(Dialect::kPostgres).c_str(), &rows);
  }
  long long format = 0;
  if (result == Result::kOk) result = ReadFormat(&format);
  if (result == Result::kOk && format < 2) {
    result = session_.RunText(UpgradeToBlocksSql(Dialect::kPostgres).c_str(), &rows,
                              session_.LongDeadline());
  }
  if (result == Result::kOk && format < 3) {
    result = session_.RunText(UpgradeToCountsSql(Dialect::kPostgres).c_str(), &rows,
                              session_.LongDeadline());
  }
  if (result == Result::kOk && format == kStoreFormat) {
    result = session_.RunText((TopBlockHeldFunctionSql() + PostgresRecordFunctionsSql()).c_str(),
                              &rows);
  }
  if (result == Result::kOk) result = session_.Commit();
  if (result == Result::kOk) return result;
  session_.Rollback();
  // Another host may have created the same tables (or schema) meanwhile:
  // look once more.
  if ((result == Result::kFault || result == Result::kDuplicate) && session_.connected() &&
      retried < 3) {
    return EnsureSchema(retried + 1);
  }
  return result;
}

}  // namespace store
}  // namespace ceplatform
