#include "pg_connection.h"

#include "pg_counts.h"
#include "rank_blocks.h"
#include "snapshot_listing.h"
#include "store_schema.h"

#include <endian.h>
#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>

#include <new>

namespace ceplatform {
namespace store {
namespace {

// Taken while one host creates the schema, so that others wait and see it.
constexpr long long kSchemaLockKey = 0x636F726B77616C6CLL;

// Type identifiers of the parameters.
constexpr Oid kInt8 = 20;
constexpr Oid kBytea = 17;

struct StatementText {
  const char* text;
  int count;
  Oid types[8];
};

// The time of a write, in this session's count slot of database d.oid.
#define TOUCH(time)                                                                        \
  "INSERT INTO database_counts AS c(db, slot, modified) SELECT oid, pg_backend_pid() % 64, " \
  time " FROM d ON CONFLICT (db, slot) DO UPDATE"                                          \
  " SET modified = GREATEST(c.modified, EXCLUDED.modified)"

const StatementText kStatements[PgConnection::kReadFirst] = {
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE name = $1",
     1, {kBytea}},
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE oid = $1",
     1, {kInt8}},
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE oid > $1 ORDER BY oid LIMIT $2",
     2, {kInt8, kInt8}},
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE type = $3 AND oid > $1 ORDER BY oid LIMIT $2",
     3, {kInt8, kInt8, kInt8}},
    {"SELECT 1 FROM databases WHERE oid = $1", 1, {kInt8}},
    {"SELECT db FROM records WHERE oid = $1", 1, {kInt8}},
    // An identifier is drawn only when no database has the name.
    {"INSERT INTO databases(oid, name, type, flags, sorts, modified)"
     " SELECT nextval('oids'), $1, $2, $3, $4, $5"
     " WHERE NOT EXISTS (SELECT 1 FROM databases WHERE name = $1)"
     " ON CONFLICT (name) DO NOTHING RETURNING oid",
     5, {kBytea, kInt8, kInt8, kBytea, kInt8}},
    // A record with an identifier drawn as it is added, so that the order of
    // identifiers is the order of the writes; none is drawn when the
    // database is gone. The database's row is only shared (pg_counts.h).
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $1 FOR KEY SHARE),"
     " t AS (" TOUCH("$2") ")"
     " INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
     " SELECT nextval('oids'), d.oid, $3, $4, $5, $6, $7 FROM d RETURNING oid",
     7, {kInt8, kInt8, kBytea, kBytea, kBytea, kBytea, kBytea}},
    // The same with the identifier that the first try drew. Sent again after
    // a lost answer, it adds nothing when the first one was committed.
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $2 FOR KEY SHARE),"
     " t AS (" TOUCH("$3") ")"
     " INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
     " SELECT $1, d.oid, $4, $5, $6, $7, $8 FROM d"
     " ON CONFLICT (oid) DO NOTHING RETURNING oid",
     8, {kInt8, kInt8, kInt8, kBytea, kBytea, kBytea, kBytea, kBytea}},
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $2 FOR KEY SHARE),"
     " t AS (" TOUCH("$3") "),"
     " r AS (DELETE FROM records WHERE oid = $1 AND db IN (SELECT oid FROM d) RETURNING oid)"
     " SELECT (SELECT count(*) FROM d), (SELECT count(*) FROM r)",
     3, {kInt8, kInt8, kInt8}},
    {"SELECT 1 FROM databases WHERE oid = $1 FOR UPDATE", 1, {kInt8}},
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $1 FOR KEY SHARE),"
     " t AS (" TOUCH("$2") ") SELECT oid FROM d",
     2, {kInt8, kInt8}},
    {"SELECT props FROM records WHERE oid = $1 AND db = $2 FOR UPDATE", 2, {kInt8, kInt8}},
    {"UPDATE records SET k0 = $3, k1 = $4, k2 = $5, k3 = $6, props = $7"
     " WHERE oid = $1 AND db = $2",
     7, {kInt8, kInt8, kBytea, kBytea, kBytea, kBytea, kBytea}},
    {"DELETE FROM records WHERE db = $1", 1, {kInt8}},
    {"DELETE FROM databases WHERE oid = $1", 1, {kInt8}},
};
#undef TOUCH
static_assert(kCountSlots == 64, "the slot in TOUCH");

// The text of a read statement; every read from the top or after a record
// takes the database ($1), the key and oid after which to start ($2, $3) and
// a count of rows ($4); a read from a position takes $1 to $3 (rank_blocks.h).
std::string ReadText(int index) {
  if (index >= PgConnection::kReadAtFirst - PgConnection::kReadFirst) {
    index -= PgConnection::kReadAtFirst - PgConnection::kReadFirst;
    return ReadAtSql(Dialect::kPostgres, index / 2, (index & 1) != 0);
  }
  int order = index / 4;
  bool descending = (index & 2) != 0;
  bool after = (index & 1) != 0;
  if (order == kCreationOrder) {
    return std::string("SELECT oid, NULL::bytea, props FROM records WHERE db = $1") +
           (after ? " AND oid > $3" : "") + " ORDER BY oid LIMIT $4";
  }
  std::string k = "k" + std::to_string(order);
  // The key index holds only the records that have the key.
  std::string text = "SELECT oid, " + k + ", props FROM records WHERE db = $1 AND " + k +
                     " IS NOT NULL";
  if (after) text += " AND (" + k + ", oid) " + (descending ? "<" : ">") + " ($2, $3)";
  const char* direction = descending ? " DESC" : "";
  text += " ORDER BY " + k + direction + ", oid" + direction + " LIMIT $4";
  return text;
}

int64_t MonotonicNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Pause(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000 * 1000L};
  nanosleep(&pause, nullptr);
}

std::string StatementName(int id) { return "s" + std::to_string(id); }

bool Starts(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

// The parameters of one statement, all in binary form.
class PgConnection::Params {
 public:
  void Int(int64_t value) {
    uint64_t big = htobe64(static_cast<uint64_t>(value));
    memcpy(ints_[count_], &big, 8);
    Set(ints_[count_], 8);
  }
  void Bytes(const std::string& bytes) { Set(bytes.data(), static_cast<int>(bytes.size())); }
  void Null() { Set(nullptr, 0); }

  int count() const { return count_; }
  const char* const* values() const { return values_; }
  const int* lengths() const { return lengths_; }
  const int* formats() const { return formats_; }

 private:
  void Set(const char* value, int length) {
    values_[count_] = value;
    lengths_[count_] = length;
    formats_[count_] = 1;
    count_++;
  }
  static constexpr int kMax = 8;
  const char* values_[kMax] = {};
  int lengths_[kMax] = {};
  int formats_[kMax] = {};
  char ints_[kMax][8] = {};
  int count_ = 0;
};

// The result of a statement, released with it.
class PgConnection::Rows {
 public:
  Rows() = default;
  ~Rows() { PQclear(result_); }
  Rows(const Rows&) = delete;
  Rows& operator=(const Rows&) = delete;

  void Reset(PGresult* result) {
    PQclear(result_);
    result_ = result;
  }
  PGresult* get() const { return result_; }
  int count() const { return result_ != nullptr ? PQntuples(result_) : 0; }
  bool Null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  int64_t Int(int row, int column) const {
    if (PQgetlength(result_, row, column) != 8) return 0;
    uint64_t big;
    memcpy(&big, PQgetvalue(result_, row, column), 8);
    return static_cast<int64_t>(be64toh(big));
  }
  const uint8_t* Bytes(int row, int column, size_t* size) const {
    *size = static_cast<size_t>(PQgetlength(result_, row, column));
    return reinterpret_cast<const uint8_t*>(PQgetvalue(result_, row, column));
  }
  std::string String(int row, int column) const {
    size_t size = 0;
    const uint8_t* bytes = Bytes(row, column, &size);
    return std::string(reinterpret_cast<const char*>(bytes), size);
  }

 private:
  PGresult* result_ = nullptr;
};

Result PgConnection::Open(const std::string& uri, uint64_t generation, Connection** out,
                          std::string* message, bool create) {
  PgConnection* connection = new (std::nothrow) PgConnection(uri, generation);
  if (connection == nullptr) return Result::kNoMemory;
  connection->create_ = create;
  Result result = connection->Connect();
  if (result == Result::kOk) result = connection->EnsureSchema();
  if (result != Result::kOk) {
    *message = connection->LastMessage();
    delete connection;
    return result;
  }
  *out = connection;
  return Result::kOk;
}

PgConnection::~PgConnection() { Drop(); }

void PgConnection::Drop() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
  memset(prepared_, 0, sizeof(prepared_));
}

Result PgConnection::Connect() {
  Drop();
  // Later keywords win: the URI (expanded from dbname) overrides the
  // defaults before it.
  const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* values[] = {kConnectTimeoutSeconds, "corkwall", uri_.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (conn_ == nullptr) return Result::kNoMemory;
  farewell_ = false;
  PQsetNoticeReceiver(conn_, &PgConnection::OnNotice, this);
  if (PQstatus(conn_) != CONNECTION_OK) {
    last_message_ = PQerrorMessage(conn_);
    while (!last_message_.empty() && last_message_.back() == '\n') last_message_.pop_back();
    Drop();
    return Result::kUnreachable;
  }
  return Configure();
}

Result PgConnection::Connected() { return conn_ != nullptr ? Result::kOk : Connect(); }

int64_t PgConnection::CallDeadline() const {
  return MonotonicNs() + (timeout_ms_ + kClientGraceMs) * 1000000;
}

Result PgConnection::Configure() {
  // A statement timeout and synchronous commits unless the URI, the role or
  // the server already chose; the client's own bound follows the timeout.
  Rows rows;
  std::string sql = std::string(
                        "SELECT set_config('statement_timeout', '") +
                    kStatementTimeout +
                    "', false) WHERE current_setting('statement_timeout') = '0';"
                    "SELECT set_config('synchronous_commit', 'on', false)"
                    " WHERE current_setting('synchronous_commit') IN ('off', 'local');"
                    "SELECT (extract(epoch FROM current_setting('statement_timeout')::interval)"
                    " * 1000)::bigint::text";
  Result result = RunText(sql.c_str(), &rows);
  if (result != Result::kOk) return result;
  if (rows.count() == 1) timeout_ms_ = atoll(PQgetvalue(rows.get(), 0, 0));
  if (timeout_ms_ <= 0) timeout_ms_ = 5000;
  return Result::kOk;
}

Result PgConnection::EnsureSchema(bool retried) {
  Rows rows;
  Result result = RunText(
      "SELECT current_schema() IS NULL, to_regclass('meta') IS NULL,"
      " current_setting('search_path')",
      &rows);
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  bool no_schema = PQgetvalue(rows.get(), 0, 0)[0] == 't';
  bool no_tables = PQgetvalue(rows.get(), 0, 1)[0] == 't';
  if (!create_ && (no_schema || no_tables)) {
    last_message_ = std::string("no store here: the search path (") + PQgetvalue(rows.get(), 0, 2) +
                    ") holds no store tables";
    return Result::kFault;
  }
  if (no_schema) {
    // The first schema of the search path, as the URI named it.
    std::string path = PQgetvalue(rows.get(), 0, 2);
    std::string first = path.substr(0, path.find(','));
    while (!first.empty() && first.front() == ' ') first.erase(0, 1);
    while (!first.empty() && first.back() == ' ') first.pop_back();
    if (first.empty() || first == "\"$user\"") {
      last_message_ = "no schema to create the store in (search_path: " + path + ")";
      return Result::kFault;
    }
    char* quoted = PQescapeIdentifier(conn_, first.c_str(), first.size());
    if (quoted == nullptr) return Result::kNoMemory;
    bool already_quoted = first.front() == '"';
    std::string create = "CREATE SCHEMA IF NOT EXISTS " + (already_quoted ? first : quoted);
    PQfreemem(quoted);
    result = RunText(create.c_str(), &rows);
    // Two hosts creating one schema at once: one of them fails.
    if (result == Result::kFault && !retried) return EnsureSchema(true);
    if (result != Result::kOk) return result;
  }
  if (!no_schema && !no_tables) {
    long long format = 0;
    result = ReadFormat(&format);
    if (result != Result::kOk) return result;
    if (format == kStoreFormat) return Result::kOk;
    bool readable = format >= kOldestReadableFormat && format < kStoreFormat;
    if (readable && !create_) return Result::kOk;  // read as it is
    if (!readable) {
      last_message_ = "the store's tables have format " + std::to_string(format) +
                      "; this program knows formats " + std::to_string(kOldestReadableFormat) +
                      " to " + std::to_string(kStoreFormat);
      return Result::kFault;
    }
  }
  // One host at a time makes the tables or brings them up to date; the
  // others wait and find it done. Filling the blocks of a large store takes
  // longer than a statement may, once.
  std::string create = "BEGIN; SELECT pg_advisory_xact_lock(" +
                       std::to_string(kSchemaLockKey) + "); SET LOCAL statement_timeout = 0;";
  result = RunText(create.c_str(), &rows);
  if (result == Result::kOk) result = RunText("SELECT to_regclass('meta') IS NULL", &rows);
  if (result == Result::kOk && rows.count() == 1 && PQgetvalue(rows.get(), 0, 0)[0] == 't') {
    result = RunText(BaseSchemaSql(Dialect::kPostgres).c_str(), &rows);
  }
  long long format = 0;
  if (result == Result::kOk) result = ReadFormat(&format);
  if (result == Result::kOk && format < 2) {
    result = RunText(UpgradeToBlocksSql(Dialect::kPostgres).c_str(), &rows, LongDeadline());
  }
  if (result == Result::kOk && format < 3) {
    result = RunText(UpgradeToCountsSql(Dialect::kPostgres).c_str(), &rows, LongDeadline());
  }
  if (result == Result::kOk) result = RunText("COMMIT", &rows);
  if (result == Result::kOk) return result;
  if (conn_ != nullptr) {
    Rows ignored;
    std::string kept = last_message_;
    RunText("ROLLBACK", &ignored);
    last_message_ = kept;
  }
  // Another host may have created the same tables (or schema) meanwhile:
  // look once more.
  if (result == Result::kFault && conn_ != nullptr && !retried) {
    return EnsureSchema(true);
  }
  return result;
}

void PgConnection::OnNotice(void* self, const PGresult* notice) {
  // A FATAL message that comes while no statement runs is the server ending
  // the session (a shutdown or pg_terminate_backend); the socket closes
  // after it. Other notices (a table already there, ...) are of no use.
  PgConnection* connection = static_cast<PgConnection*>(self);
  const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
  if (severity != nullptr && (strcmp(severity, "FATAL") == 0 || strcmp(severity, "PANIC") == 0)) {
    connection->farewell_ = true;
  }
  // A write found a top block to cut (pg_counts.h): noted for after it.
  DueCut due;
  if (ParseCutDue(PQresultErrorField(notice, PG_DIAG_MESSAGE_PRIMARY), &due.db, &due.order)) {
    for (int i = 0; i < connection->due_count_; ++i) {
      if (connection->due_[i].db == due.db && connection->due_[i].order == due.order) return;
    }
    if (connection->due_count_ < kMaxDueCuts) connection->due_[connection->due_count_++] = due;
  }
}

void PgConnection::CutDueBlocks() {
  int count = due_count_;
  due_count_ = 0;
  std::string kept = last_message_;
  for (int i = 0; i < count && conn_ != nullptr; ++i) {
    Rows rows;
    if (RunText(CutTopBlockSql(due_[i].db, due_[i].order).c_str(), &rows) != Result::kOk &&
        conn_ != nullptr) {
      RunText("ROLLBACK", &rows);  // left to a later write
    }
  }
  last_message_ = kept;
}

bool PgConnection::Usable() {
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) return false;
  // A server that shut down has sent its farewell and closed the socket.
  struct pollfd socket = {PQsocket(conn_), POLLIN, 0};
  if (poll(&socket, 1, 0) > 0) {
    if (!PQconsumeInput(conn_)) return false;
    while (!PQisBusy(conn_)) {
      PGresult* stray = PQgetResult(conn_);
      if (stray == nullptr) break;
      PQclear(stray);
    }
  }
  return PQstatus(conn_) == CONNECTION_OK && !farewell_;
}

Result PgConnection::Lost(const char* what) {
  last_message_ = std::string(what) + ": " + (conn_ != nullptr ? PQerrorMessage(conn_) : "");
  while (!last_message_.empty() && last_message_.back() == '\n') last_message_.pop_back();
  Drop();
  return Result::kUnreachable;
}

Result PgConnection::WaitForResult(int64_t deadline_ns) {
  int socket = PQsocket(conn_);
  int flushed;
  while ((flushed = PQflush(conn_)) == 1 || PQisBusy(conn_)) {
    if (flushed < 0) return Lost("sending");
    int64_t left_ms = (deadline_ns - MonotonicNs()) / 1000000;
    if (left_ms <= 0) {
      Lost("no answer");
      last_message_ = "the server did not answer within " +
                      std::to_string(timeout_ms_ + kClientGraceMs) + " ms";
      return Result::kTimeout;
    }
    struct pollfd wait = {socket, static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
    int ready = poll(&wait, 1, static_cast<int>(left_ms > 1000 ? 1000 : left_ms));
    if (ready < 0 && errno != EINTR) return Lost("waiting");
    if (ready > 0 && (wait.revents & (POLLIN | POLLERR | POLLHUP)) && !PQconsumeInput(conn_)) {
      return Lost("receiving");
    }
  }
  if (flushed < 0) return Lost("sending");
  return Result::kOk;
}

Result PgConnection::Await(int64_t deadline_ns, Rows* rows) {
  bool failed = false;
  for (;;) {
    Result waited = WaitForResult(deadline_ns);
    if (waited != Result::kOk) return waited;
    PGresult* next = PQgetResult(conn_);
    if (next == nullptr) break;
    ExecStatusType status = PQresultStatus(next);
    bool error = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
    // Keep the first error, or else the last result.
    if (failed) {
      PQclear(next);
    } else {
      rows->Reset(next);
      failed = error;
    }
  }
  return Finish(rows);
}

Result PgConnection::Finish(Rows* rows) {
  if (PQstatus(conn_) != CONNECTION_OK) {
    Result lost = Lost("connection");
    if (rows->get() != nullptr) {
      last_message_ = PQresultErrorMessage(rows->get());
      while (!last_message_.empty() && last_message_.back() == '\n') last_message_.pop_back();
    }
    return lost;
  }
  return Classify(rows);
}

Result PgConnection::Classify(Rows* rows) {
  PGresult* result = rows->get();
  if (result == nullptr) {
    last_message_ = "no result";
    return Result::kFault;
  }
  ExecStatusType status = PQresultStatus(result);
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Result::kOk;
  last_message_ = PQresultErrorMessage(result);
  while (!last_message_.empty() && last_message_.back() == '\n') last_message_.pop_back();
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (state == nullptr) state = "";
  if (strcmp(state, "2200H") == 0) return Result::kExhausted;  // the sequence is used up
  if (strcmp(state, "23505") == 0) return Result::kDuplicate;
  if (strcmp(state, "57014") == 0) return Result::kTimeout;  // statement timeout
  if (strcmp(state, "53100") == 0) return Result::kDiskFull;
  if (strcmp(state, "53200") == 0) return Result::kNoMemory;
  if (strcmp(state, "54000") == 0) return Result::kTooBig;
  if (Starts(state, "08") || Starts(state, "57P")) {
    // Connection failures, and a server shutting down or starting up.
    std::string kept = last_message_;
    Drop();
    last_message_ = kept;
    return Result::kUnreachable;
  }
  return Result::kFault;
}

bool PgConnection::Uncertain(Result result) const {
  // A statement the server cancelled was rolled back: only a connection
  // lost with the statement on it leaves the outcome open.
  return (result == Result::kUnreachable || result == Result::kTimeout) && conn_ == nullptr;
}

Result PgConnection::RunText(const char* sql, Rows* rows, int64_t deadline_ns) {
  if (conn_ == nullptr) return Result::kUnreachable;
  if (!PQsendQuery(conn_, sql)) return Lost("sending");
  return Await(deadline_ns != 0 ? deadline_ns : CallDeadline(), rows);
}

int64_t PgConnection::LongDeadline() const {
  return MonotonicNs() + kLongWorkSeconds * 1000000000ll;
}

Result PgConnection::ReadFormat(long long* format) {
  Rows rows;
  Result result = RunText("SELECT value FROM meta WHERE key = 'schema'", &rows);
  if (result != Result::kOk) return result;
  *format = rows.count() == 1 ? atoll(PQgetvalue(rows.get(), 0, 0)) : 0;
  return Result::kOk;
}

Result PgConnection::Ready(StatementId id, Rows* rows, int64_t* deadline_ns) {
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  *deadline_ns = CallDeadline();
  if (prepared_[id]) return Result::kOk;
  std::string read_text;
  const char* text;
  int count;
  const Oid* types;
  static const Oid kReadTypes[4] = {kInt8, kBytea, kInt8, kInt8};
  static const Oid kReadAtTypes[3] = {kInt8, kInt8, kInt8};
  if (id >= kReadFirst) {
    read_text = ReadText(id - kReadFirst);
    text = read_text.c_str();
    count = id >= kReadAtFirst ? 3 : 4;
    types = id >= kReadAtFirst ? kReadAtTypes : kReadTypes;
  } else {
    text = kStatements[id].text;
    count = kStatements[id].count;
    types = kStatements[id].types;
  }
  if (!PQsendPrepare(conn_, StatementName(id).c_str(), text, count, types)) {
    return Lost("sending");
  }
  Result result = Await(*deadline_ns, rows);
  if (result == Result::kOk) prepared_[id] = true;
  return result;
}

Result PgConnection::Run(StatementId id, const Params& params, Rows* rows, bool* sent) {
  if (sent != nullptr) *sent = false;
  int64_t deadline;
  Result result = Ready(id, rows, &deadline);
  if (result != Result::kOk) return result;
  if (!PQsendQueryPrepared(conn_, StatementName(id).c_str(), params.count(), params.values(),
                           params.lengths(), params.formats(), 1)) {
    return Lost("sending");
  }
  if (sent != nullptr) *sent = true;
  return Await(deadline, rows);
}

Result PgConnection::RunRowsBeforeCommit(StatementId id, const Params& params, Rows* rows,
                                         Heard* heard) {
  *heard = Heard::kNotSent;
  int64_t deadline;
  Result result = Ready(id, rows, &deadline);
  if (result != Result::kOk) return result;
  // The statement runs in the implicit transaction that the sync point
  // commits; the flush request before it makes the server send the rows
  // first.
  if (!PQenterPipelineMode(conn_) ||
      !PQsendQueryPrepared(conn_, StatementName(id).c_str(), params.count(), params.values(),
                           params.lengths(), params.formats(), 1) ||
      !PQsendFlushRequest(conn_) || !PQpipelineSync(conn_)) {
    return Lost("sending");
  }
  *heard = Heard::kNothing;
  // The statement's result, the end of its results, then the sync point;
  // an error at the commit comes before the sync point.
  Rows failure;
  for (;;) {
    Result waited = WaitForResult(deadline);
    if (waited != Result::kOk) return waited;
    PGresult* next = PQgetResult(conn_);
    if (next == nullptr) {
      if (PQstatus(conn_) != CONNECTION_OK) break;
      continue;
    }
    ExecStatusType status = PQresultStatus(next);
    if (status == PGRES_PIPELINE_SYNC) {
      PQclear(next);
      break;
    }
    bool first = *heard == Heard::kNothing && failure.get() == nullptr;
    if (status == PGRES_TUPLES_OK && first) {
      rows->Reset(next);
      *heard = Heard::kRows;
    } else if (failure.get() == nullptr) {
      // The first failure is the one reported; one that the server sent
      // (not libpq's own) before the rows means the write was not made.
      if (first && PQresultErrorField(next, PG_DIAG_SQLSTATE) != nullptr) {
        *heard = Heard::kRefusal;
      }
      failure.Reset(next);
    } else {
      PQclear(next);
    }
  }
  if (PQstatus(conn_) == CONNECTION_OK && !PQexitPipelineMode(conn_)) return Lost("pipeline");
  return Finish(failure.get() != nullptr ? &failure : rows);
}

Result PgConnection::RunRead(StatementId id, const Params& params, Rows* rows) {
  Result result = Run(id, params, rows);
  if (result == Result::kUnreachable) result = Run(id, params, rows);
  return result;
}

template <typename Body>
Result PgConnection::InTransaction(Body body) {
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  Rows rows;
  Result result = RunText("BEGIN", &rows);
  if (result != Result::kOk) return result;
  result = body();
  if (result == Result::kOk) {
    result = RunText("COMMIT", &rows);
    // The COMMIT went out and its answer did not come back.
    return Uncertain(result) ? Result::kOutcomeUnknown : result;
  }
  if (conn_ != nullptr) {
    std::string kept = last_message_;
    RunText("ROLLBACK", &rows);
    last_message_ = kept;
  }
  return result;
}

Result PgConnection::CreateDatabase(DatabaseRow* row) {
  Params params;
  params.Bytes(row->name);
  params.Int(row->type);
  params.Int(row->flags);
  params.Bytes(row->sorts);
  params.Int(row->modified);
  Rows rows;
  bool sent = false;
  Result result = Run(kInsertDatabase, params, &rows, &sent);
  if (result == Result::kUnreachable && !sent) result = Run(kInsertDatabase, params, &rows, &sent);
  if (sent && Uncertain(result)) return Result::kOutcomeUnknown;
  if (result != Result::kOk) return result;
  if (rows.count() == 0) return Result::kDuplicate;
  row->oid = static_cast<CEOID>(rows.Int(0, 0));
  return Result::kOk;
}

Result PgConnection::DeleteDatabase(CEOID database) {
  return InTransaction([&]() -> Result {
    Params params;
    params.Int(database);
    Rows rows;
    // Locking the row first makes writers of the database wait, and the
    // records deleted next include every record committed before.
    Result result = Run(kLockDatabase, params, &rows);
    if (result != Result::kOk) return result;
    if (rows.count() == 0) return Result::kNoDatabase;
    // The row first: its trigger removes the database's blocks, so that the
    // records' triggers pass over them.
    result = Run(kDeleteDatabaseRow, params, &rows);
    if (result != Result::kOk) return result;
    return Run(kDeleteDatabaseRecords, params, &rows);
  });
}

Result PgConnection::InsertRecord(CEOID database, int64_t now, const RecordBytes& record,
                                  CEOID* written) {
  // The database, the time and the fields (after the identifier, once known).
  auto fill = [&](Params* params) {
    params->Int(database);
    params->Int(now);
    for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
      if (i < record.key_count) {
        params->Bytes(record.keys[i]);
      } else {
        params->Null();
      }
    }
    params->Bytes(record.props);
  };
  Params fields;
  fill(&fields);
  Rows rows;
  Heard heard;
  Result result = RunRowsBeforeCommit(kInsertNewRecord, fields, &rows, &heard);
  if (heard == Heard::kRefusal && result == Result::kUnreachable) {
    // The server ended the session before it ran the write (it was
    // restarting): once more, on a new connection.
    result = RunRowsBeforeCommit(kInsertNewRecord, fields, &rows, &heard);
  }
  // No row: nothing was inserted, the database is gone.
  if (heard == Heard::kRows && rows.count() == 0) return Result::kNoDatabase;
  if (result == Result::kOk) {
    *written = static_cast<CEOID>(rows.Int(0, 0));
    CutDueBlocks();
    return Result::kOk;
  }
  if (heard != Heard::kRows) {
    // Without the identifier there is no telling whether a commit was made.
    return heard == Heard::kNothing && Uncertain(result) ? Result::kOutcomeUnknown : result;
  }
  if (!Uncertain(result)) return result;

  // The identifier is this call's alone, so sending the insert again with it
  // is safe: it adds the record, or finds it committed by the first one
  // (waiting for that one to end if it still runs). Tried until the
  // statement timeout; past that, the write was made once or not at all.
  CEOID oid = static_cast<CEOID>(rows.Int(0, 0));
  Params again;
  again.Int(oid);
  fill(&again);
  int64_t give_up = MonotonicNs() + timeout_ms_ * 1000000;
  std::string first = last_message_;
  for (;;) {
    result = Run(kInsertRecord, again, &rows);
    if (result != Result::kUnreachable || MonotonicNs() > give_up) break;
    Pause(100);
  }
  if (result == Result::kOk && rows.count() == 0) {
    // Already there, or its database deleted since.
    Params record_id;
    record_id.Int(oid);
    Rows parent;
    result = RunRead(kRecordParent, record_id, &parent);
    if (result == Result::kOk && parent.count() == 0) return Result::kNoDatabase;
  }
  if (result == Result::kOk) {
    *written = oid;
    return Result::kOk;
  }
  last_message_ = first + "; then: " + last_message_;
  return Result::kOutcomeUnknown;
}

Result PgConnection::UpdateRecord(CEOID database, CEOID record, int64_t now,
                                  const RecordRewrite& rewrite) {
  return InTransaction([&]() -> Result {
    Params touch;
    touch.Int(database);
    touch.Int(now);
    Rows rows;
    Result result = Run(kTouchDatabase, touch, &rows);
    if (result != Result::kOk) return result;
    if (rows.count() == 0) return Result::kNoDatabase;
    Params key;
    key.Int(record);
    key.Int(database);
    result = Run(kRecordPropsForUpdate, key, &rows);
    if (result != Result::kOk) return result;
    if (rows.count() == 0) return Result::kNoRecord;
    RecordBytes rewritten;
    size_t size = 0;
    const uint8_t* bytes = rows.Bytes(0, 0, &size);
    result = rewrite(bytes, size, &rewritten);
    if (result != Result::kOk) return result;
    Params params;
    params.Int(record);
    params.Int(database);
    for (int i = 0; i < CEDB_MAXSORTORDER; ++i) {
      if (i < rewritten.key_count) {
        params.Bytes(rewritten.keys[i]);
      } else {
        params.Null();
      }
    }
    params.Bytes(rewritten.props);
    return Run(kUpdateRecord, params, &rows);
  });
}

Result PgConnection::DeleteRecord(CEOID database, CEOID record, int64_t now) {
  Params params;
  params.Int(record);
  params.Int(database);
  params.Int(now);
  Rows rows;
  bool sent = false;
  Result result = Run(kDeleteRecord, params, &rows, &sent);
  if (result == Result::kUnreachable && !sent) result = Run(kDeleteRecord, params, &rows, &sent);
  if (sent && Uncertain(result)) return Result::kOutcomeUnknown;
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  if (rows.Int(0, 0) == 0) return Result::kNoDatabase;
  if (rows.Int(0, 1) == 0) return Result::kNoRecord;
  return Result::kOk;
}

Result PgConnection::ReadRecords(const ReadQuery& query, RecordSink* sink) {
  Params params;
  params.Int(query.database);
  bool after = query.start == ReadQuery::Start::kAfter;
  int id;
  if (query.start == ReadQuery::Start::kAt) {
    params.Int(query.position);
    id = kReadAtFirst + query.order * 2 + (query.descending ? 1 : 0);
  } else {
    if (after) {
      params.Bytes(*query.key);
      params.Int(query.oid);
    } else {
      params.Null();
      params.Null();
    }
    id = kReadFirst + query.order * 4 + (query.descending ? 2 : 0) + (after ? 1 : 0);
  }
  params.Int(query.limit);
  Rows rows;
  Result result = RunRead(static_cast<StatementId>(id), params, &rows);
  if (result != Result::kOk) return result;
  for (int i = 0; i < rows.count(); ++i) {
    size_t key_size = 0, props_size = 0;
    const uint8_t* key = rows.Null(i, 1) ? nullptr : rows.Bytes(i, 1, &key_size);
    const uint8_t* props = rows.Bytes(i, 2, &props_size);
    if (!sink->Add(static_cast<CEOID>(rows.Int(i, 0)), key, key_size, props, props_size)) break;
  }
  return Result::kOk;
}

Result PgConnection::DatabaseExists(CEOID database, bool* exists) {
  Params params;
  params.Int(database);
  Rows rows;
  Result result = RunRead(kDatabaseExists, params, &rows);
  if (result != Result::kOk) return result;
  *exists = rows.count() > 0;
  return Result::kOk;
}

Result PgConnection::RecordParent(CEOID record, CEOID* database) {
  Params params;
  params.Int(record);
  Rows rows;
  Result result = RunRead(kRecordParent, params, &rows);
  if (result != Result::kOk) return result;
  if (rows.count() == 0) return Result::kNoRecord;
  *database = static_cast<CEOID>(rows.Int(0, 0));
  return Result::kOk;
}

Result PgConnection::ReadDatabaseRows(StatementId id, const Params& params,
                                      DatabaseSink* sink) {
  Rows rows;
  Result result = RunRead(id, params, &rows);
  if (result != Result::kOk) return result;
  for (int i = 0; i < rows.count(); ++i) {
    DatabaseRow row;
    row.oid = static_cast<CEOID>(rows.Int(i, 0));
    row.name = rows.String(i, 1);
    row.type = static_cast<DWORD>(rows.Int(i, 2));
    row.flags = static_cast<DWORD>(rows.Int(i, 3));
    row.sorts = rows.String(i, 4);
    row.modified = rows.Int(i, 5);
    row.records = rows.Int(i, 6);
    row.size = rows.Int(i, 7);
    sink->Add(std::move(row));
  }
  return Result::kOk;
}

Result PgConnection::DatabaseByName(const std::string& name, DatabaseSink* sink) {
  Params params;
  params.Bytes(name);
  return ReadDatabaseRows(kDatabaseRowByName, params, sink);
}

Result PgConnection::DatabaseByOid(CEOID database, DatabaseSink* sink) {
  Params params;
  params.Int(database);
  return ReadDatabaseRows(kDatabaseRowByOid, params, sink);
}

Result PgConnection::DatabasesAfter(CEOID after, DWORD type, int limit, DatabaseSink* sink) {
  Params params;
  params.Int(after);
  params.Int(limit);
  if (type != 0) params.Int(type);
  return ReadDatabaseRows(type != 0 ? kDatabasesOfTypeAfter : kDatabasesAfter, params, sink);
}

// ---- Whole stores ---------------------------------------------------------------

Result PgConnection::RunParams(const char* sql, const Oid* types, const Params& params,
                               Rows* rows) {
  if (conn_ == nullptr) return Result::kUnreachable;
  if (!PQsendQueryParams(conn_, sql, params.count(), types, params.values(), params.lengths(),
                         params.formats(), 1)) {
    return Lost("sending");
  }
  return Await(CallDeadline(), rows);
}

namespace {

// Rows fetched from a snapshot's cursor at a time.
constexpr int kFetchRows = 500;

}  // namespace

Result PgConnection::ReadSnapshot(SnapshotSink* sink, SnapshotOrder order) {
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  Rows rows;
  // One snapshot for every statement that follows, taken by the first, and
  // no write possible in it. Binary cursors hand the rows over in pieces,
  // in the same form as the prepared statements' results; each reads
  // through an index in the order it lists, never a sort of a whole table
  // that its first fetch would wait for.
  // Before format 3 a database's row holds its counts alone.
  long long format = 0;
  Result result = RunText(
      "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY; SET LOCAL enable_sort = off", &rows);
  if (result == Result::kOk) result = ReadFormat(&format);
  if (result == Result::kOk) {
    std::string declare = std::string(
                              "DECLARE snapshot_databases BINARY NO SCROLL CURSOR FOR"
                              " SELECT oid, name, type, flags, sorts, modified, records, size"
                              " FROM ") +
                          (format >= 3 ? "database_totals" : "databases") + " ORDER BY oid";
    result = RunText(declare.c_str(), &rows);
  }
  bool go_on = true;
  // Fetches the rows of an open cursor a batch at a time and hands each
  // (its row in `rows`) to `take`, while the sink goes on.
  auto fetch = [&](const char* cursor, const std::function<void(int)>& take) {
    const std::string text = "FETCH " + std::to_string(kFetchRows) + " FROM " + cursor;
    Result fetched = Result::kOk;
    while (fetched == Result::kOk && go_on) {
      fetched = RunText(text.c_str(), &rows);
      if (fetched != Result::kOk || rows.count() == 0) break;
      for (int i = 0; i < rows.count() && go_on; ++i) take(i);
    }
    return fetched;
  };
  // Hands the records of `sql` (the columns of AllRecordsSql) to `sink`
  // from a cursor of their own; *count: how many, when asked.
  auto fetch_records = [&](const std::string& sql, int64_t* count) {
    std::string declare = "DECLARE snapshot_records BINARY NO SCROLL CURSOR FOR " + sql;
    Result fetched = RunText(declare.c_str(), &rows);
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
    if (fetched == Result::kOk) fetched = RunText("CLOSE snapshot_records", &rows);
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
    result = RunText("SELECT last_value, is_called FROM oids", &rows);
    if (result == Result::kOk && rows.count() == 1) {
      long long last = atoll(PQgetvalue(rows.get(), 0, 0));
      bool called = PQgetvalue(rows.get(), 0, 1)[0] == 't';
      sink->Counter(static_cast<uint64_t>(called ? last + 1 : last));
    } else if (result == Result::kOk) {
      last_message_ = "the identifier sequence has no row";
      result = Result::kCorrupt;
    }
  }
  if (conn_ != nullptr) {
    std::string kept = last_message_;
    Rows ignored;
    RunText("ROLLBACK", &ignored);
    last_message_ = kept;
  }
  return result;
}

Result PgConnection::CountContent(bool* empty) {
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  Rows rows;
  Result result = RunText(
      "SELECT EXISTS (SELECT 1 FROM databases) OR EXISTS (SELECT 1 FROM records)", &rows);
  if (result != Result::kOk) return result;
  if (rows.count() != 1) return Result::kFault;
  *empty = PQgetvalue(rows.get(), 0, 0)[0] != 't';
  return Result::kOk;
}

namespace {

// Inserts what a snapshot hands it, inside the writer's transaction.
class PgInserter : public SnapshotSink {
 public:
  using Runner = std::function<Result(const char*, const Oid*, const PgConnection::Params&)>;
  explicit PgInserter(Runner run) : run_(std::move(run)) {}

  bool Database(const SnapshotDatabase& row) override {
    static const Oid kTypes[6] = {kInt8, kBytea, kInt8, kInt8, kBytea, kInt8};
    PgConnection::Params params;
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
    static const Oid kTypes[7] = {kInt8, kInt8, kBytea, kBytea, kBytea, kBytea, kBytea};
    PgConnection::Params params;
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
    Rows rows;
    // Hosts that keep writing wait until the whole store is in.
    // The records go in without block upkeep; the blocks are made once at
    // the end.
    std::string lock = std::string("LOCK TABLE databases, records IN SHARE ROW EXCLUSIVE MODE;"
                                   "SELECT set_config('") +
                       kBulkLoadSetting + "', 'on', true)";
    Result step = RunText(lock.c_str(), &rows);
    if (step != Result::kOk) return step;
    bool empty = false;
    step = CountContent(&empty);
    if (step != Result::kOk) return step;
    if (!empty && !replace) {
      refused = true;
      return Result::kDuplicate;  // rolled back below; reported as not empty
    }
    if (!empty) {
      step = RunText("DELETE FROM records; DELETE FROM databases", &rows);
      if (step != Result::kOk) return step;
    }
    PgInserter inserter([this](const char* sql, const Oid* types, const Params& params) {
      Rows ignored;
      return RunParams(sql, types, params, &ignored);
    });
    bool fed = feed(&inserter);
    if (inserter.result() != Result::kOk) return inserter.result();
    if (!fed) {
      last_message_ = "the source could not be read whole";
      return Result::kFault;
    }
    uint64_t next = inserter.next_oid();
    std::string counter = next > 1 ? "SELECT setval('oids', " + std::to_string(next - 1) + ", true)"
                                   : std::string("SELECT setval('oids', 1, false)");
    step = RunText(counter.c_str(), &rows);
    if (step != Result::kOk) return step;
    std::string blocks = "SET LOCAL statement_timeout = 0;" + RebuildBlocksSql(Dialect::kPostgres) +
                         "SELECT set_config('" + kBulkLoadSetting + "', 'off', true)";
    return RunText(blocks.c_str(), &rows, LongDeadline());
  });
  if (refused) {
    *not_empty = true;
    return Result::kOk;
  }
  return result;
}

Result PgConnection::CheckIntegrity(std::vector<std::string>* problems) {
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  Rows rows;
  Result result = RunText(
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
    if (PQgetvalue(rows.get(), 0, i)[0] != 't') {
      problems->push_back(std::string("the ") + kObjects[i] + " is missing");
    }
  }
  if (atoi(PQgetvalue(rows.get(), 0, 4)) != 3) {
    problems->push_back("the triggers that count each database's records are not all there");
  }
  int block_triggers = atoi(PQgetvalue(rows.get(), 0, 5));
  result = RunText("SELECT value FROM meta WHERE key = 'schema'", &rows);
  if (result != Result::kOk) return result;
  long long format = rows.count() == 1 ? atoll(PQgetvalue(rows.get(), 0, 0)) : 0;
  if (rows.count() != 1) {
    problems->push_back("the schema version row is missing");
  } else if (format < kOldestReadableFormat || format > kStoreFormat) {
    problems->push_back(std::string("schema version ") + PQgetvalue(rows.get(), 0, 0) +
                        ", expected " + std::to_string(kStoreFormat));
  } else if (format >= 2 && block_triggers != 3) {
    problems->push_back("the triggers that keep each database's blocks are not all there");
  }
  if (format >= 3) {
    result = RunText(
        "SELECT to_regclass('database_counts') IS NULL OR to_regclass('database_totals') IS NULL"
        " OR (SELECT count(*) FROM pg_trigger WHERE tgname = 'databases_counts_delete'"
        "  AND tgrelid = to_regclass('databases')) <> 1",
        &rows);
    if (result != Result::kOk) return result;
    if (rows.count() != 1 || PQgetvalue(rows.get(), 0, 0)[0] != 'f') {
      problems->push_back("the tables and triggers that count each database's records in"
                          " slots are not all there");
      return Result::kOk;
    }
    result = RunText("SELECT count(DISTINCT db) FROM database_counts c WHERE NOT EXISTS"
                     " (SELECT 1 FROM databases d WHERE d.oid = c.db)",
                     &rows);
    if (result != Result::kOk) return result;
    long long strays = rows.count() == 1 ? atoll(PQgetvalue(rows.get(), 0, 0)) : 0;
    if (strays != 0) {
      problems->push_back("the counts of " + std::to_string(strays) +
                          " deleted database(s) are still kept");
    }
  }
  if (format < 2) return Result::kOk;  // no blocks to check
  // Every record is read once per order: longer than a statement may take
  // on a large store.
  result = RunText("BEGIN READ ONLY; SET LOCAL statement_timeout = 0", &rows);
  for (int order = 0; result == Result::kOk && order <= kCreationOrder; ++order) {
    result = RunText(WrongBlocksSql(Dialect::kPostgres, order, format >= 3).c_str(), &rows,
                     LongDeadline());
    long long count = rows.count() == 1 ? atoll(PQgetvalue(rows.get(), 0, 0)) : 0;
    if (result == Result::kOk && count != 0) {
      problems->push_back(WrongBlocksProblem(order, count));
    }
  }
  if (conn_ != nullptr) {
    std::string kept = last_message_;
    Rows ignored;
    RunText("COMMIT", &ignored);
    last_message_ = kept;
  }
  return result;
}

bool IsServerLocation(const char* location) {
  return location != nullptr &&
         (strncmp(location, "postgresql://", 13) == 0 || strncmp(location, "postgres://", 11) == 0);
}

}  // namespace store
}  // namespace ceplatform
