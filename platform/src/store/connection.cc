#include "connection.h"

#include <stdio.h>
#include <time.h>

#include <new>

#include "store_vfs.h"

namespace ceplatform {
namespace store {
namespace {

constexpr int kSchemaVersion = 1;

const char kSchema[] =
    "CREATE TABLE IF NOT EXISTS meta("
    "  key TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;"
    "INSERT OR IGNORE INTO meta(key, value) VALUES('schema', 1), ('next_oid', 1);"
    "CREATE TABLE IF NOT EXISTS databases("
    "  oid INTEGER PRIMARY KEY,"
    "  name BLOB NOT NULL UNIQUE,"
    "  type INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  sorts BLOB NOT NULL,"
    "  modified INTEGER NOT NULL,"
    "  records INTEGER NOT NULL DEFAULT 0,"
    "  size INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS databases_type ON databases(type, oid);"
    "CREATE TABLE IF NOT EXISTS records("
    "  oid INTEGER PRIMARY KEY,"
    "  db INTEGER NOT NULL,"
    "  k0 BLOB, k1 BLOB, k2 BLOB, k3 BLOB,"
    "  props BLOB NOT NULL);"
    "CREATE INDEX IF NOT EXISTS records_db ON records(db, oid);"
    "CREATE INDEX IF NOT EXISTS records_k0 ON records(db, k0, oid);"
    "CREATE INDEX IF NOT EXISTS records_k1 ON records(db, k1, oid);"
    "CREATE INDEX IF NOT EXISTS records_k2 ON records(db, k2, oid);"
    "CREATE INDEX IF NOT EXISTS records_k3 ON records(db, k3, oid);"
    "CREATE TRIGGER IF NOT EXISTS records_insert AFTER INSERT ON records BEGIN"
    "  UPDATE databases SET records = records + 1, size = size + length(NEW.props)"
    "  WHERE oid = NEW.db; END;"
    "CREATE TRIGGER IF NOT EXISTS records_delete AFTER DELETE ON records BEGIN"
    "  UPDATE databases SET records = records - 1, size = size - length(OLD.props)"
    "  WHERE oid = OLD.db; END;"
    "CREATE TRIGGER IF NOT EXISTS records_update AFTER UPDATE OF props ON records BEGIN"
    "  UPDATE databases SET size = size - length(OLD.props) + length(NEW.props)"
    "  WHERE oid = NEW.db; END;";

const char* const kStatementText[kReadFirst] = {
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
    // Identifiers stop at 0xFFFFFFFF: past it no row is updated.
    "UPDATE meta SET value = value + 1"
    " WHERE key = 'next_oid' AND value BETWEEN 1 AND 4294967295 RETURNING value - 1",
    "SELECT oid, sorts FROM databases WHERE name = ?1",
    "SELECT oid, name, type, flags, sorts, modified, records, size FROM databases ORDER BY oid",
    "SELECT 1 FROM databases WHERE oid = ?1",
    "INSERT INTO databases(oid, name, type, flags, sorts, modified)"
    " VALUES(?1, ?2, ?3, ?4, ?5, ?6)",
    "UPDATE databases SET modified = ?2 WHERE oid = ?1",
    "DELETE FROM databases WHERE oid = ?1",
    "DELETE FROM records WHERE db = ?1",
    "SELECT db FROM records WHERE oid = ?1",
    "SELECT props FROM records WHERE oid = ?1 AND db = ?2",
    "INSERT INTO records(oid, db, k0, k1, k2, k3, props) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)",
    "UPDATE records SET k0 = ?3, k1 = ?4, k2 = ?5, k3 = ?6, props = ?7"
    " WHERE oid = ?1 AND db = ?2",
    "DELETE FROM records WHERE oid = ?1 AND db = ?2",
};

// The text of a read statement. Rows of equal keys follow the order's
// direction by oid too, so that a descending order gives the newest first.
// Every read names ?1 to ?3, so all of them bind alike, and ?4: how many
// records to return.
std::string ReadText(int index) {
  int order = index / 4;
  bool descending = (index & 2) != 0;
  bool after = (index & 1) != 0;
  if (order == kCreationOrder) {
    return std::string("SELECT oid, NULL, props FROM records WHERE db = ?1") +
           (after ? " AND oid > ?3" : " AND ?3 IS ?3") + " ORDER BY oid LIMIT ?4";
  }
  std::string k = "k" + std::to_string(order);
  std::string text = "SELECT oid, " + k + ", props FROM records WHERE db = ?1";
  if (after) {
    text += " AND (" + k + ", oid) " + (descending ? "<" : ">") + " (?2, ?3)";
  } else {
    text += " AND ?3 IS ?3";
  }
  const char* direction = descending ? " DESC" : "";
  text += " ORDER BY " + k + direction + ", oid" + direction + " LIMIT ?4";
  return text;
}

void SleepBriefly(int attempt) {
  struct timespec pause = {0, (attempt + 1) * 20 * 1000 * 1000L};
  nanosleep(&pause, nullptr);
}

int Exec(sqlite3* db, const char* sql) {
  for (int attempt = 0;; ++attempt) {
    int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if ((rc & 0xFF) != SQLITE_BUSY || attempt == kBusyRetries) return rc;
    SleepBriefly(attempt);
  }
}

}  // namespace

int Connection::Open(const std::string& path, uint64_t generation, Connection** out) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                           StoreVfsName());
  if (rc != SQLITE_OK) {  // the caller logs the failure with its call
    sqlite3_close(db);
    return rc == SQLITE_OK ? SQLITE_CANTOPEN : rc;
  }
  Connection* connection = new (std::nothrow) Connection(db, generation);
  if (connection == nullptr) {
    sqlite3_close(db);
    return SQLITE_NOMEM;
  }
  rc = connection->Configure();
  if (rc == SQLITE_OK) rc = connection->EnsureSchema();
  if (rc != SQLITE_OK) {
    fprintf(stderr, "ceplatform: store %s: %s\n", path.c_str(), sqlite3_errmsg(db));
    delete connection;
    return rc;
  }
  *out = connection;
  return SQLITE_OK;
}

Connection::~Connection() {
  for (sqlite3_stmt* statement : statements_) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

int Connection::Configure() {
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  // WAL lets readers go on while one process writes. With synchronous=FULL
  // every commit syncs the log, so a record is on disk when its write
  // returns, even across a power loss.
  int rc = Exec(db_, "PRAGMA journal_mode=WAL");
  if (rc == SQLITE_OK) rc = Exec(db_, "PRAGMA synchronous=FULL");
  return rc;
}

int Connection::EnsureSchema() {
  sqlite3_stmt* statement = nullptr;
  int rc = sqlite3_prepare_v2(db_, "SELECT value FROM meta WHERE key = 'schema'", -1,
                              &statement, nullptr);
  int version = 0;
  if (rc == SQLITE_OK) {
    rc = Step(statement);
    if (rc == SQLITE_ROW) version = sqlite3_column_int(statement, 0);
    rc = (rc == SQLITE_ROW || rc == SQLITE_DONE) ? SQLITE_OK : rc;
  } else if (sqlite3_errcode(db_) == SQLITE_ERROR) {
    rc = SQLITE_OK;  // no table yet: a new file
  }
  sqlite3_finalize(statement);
  if (rc != SQLITE_OK) return rc;
  if (version == kSchemaVersion) return SQLITE_OK;
  if (version > kSchemaVersion) return SQLITE_CANTOPEN;  // a newer format
  // Several processes may find a new file at once; the IMMEDIATE transaction
  // makes one of them create the schema and the others see it done.
  rc = Exec(db_, "BEGIN IMMEDIATE");
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) rc = Exec(db_, "COMMIT");
  if (rc != SQLITE_OK) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return rc;
}

sqlite3_stmt* Connection::Statement(StatementId id, int* rc) {
  sqlite3_stmt*& slot = statements_[id];
  if (slot != nullptr) return slot;
  std::string read_text;
  if (id >= kReadFirst) {
    try {
      read_text = ReadText(id - kReadFirst);
    } catch (...) {
      *rc = SQLITE_NOMEM;
      return nullptr;
    }
  }
  const char* text = id >= kReadFirst ? read_text.c_str() : kStatementText[id];
  *rc = sqlite3_prepare_v3(db_, text, -1, SQLITE_PREPARE_PERSISTENT, &slot, nullptr);
  if (*rc != SQLITE_OK) {
    fprintf(stderr, "ceplatform: store: cannot prepare \"%s\": %s\n", text,
            sqlite3_errmsg(db_));
    sqlite3_finalize(slot);
    slot = nullptr;
  }
  return slot;
}

int Connection::Step(sqlite3_stmt* statement) {
  for (int attempt = 0;; ++attempt) {
    int rc = sqlite3_step(statement);
    if ((rc & 0xFF) != SQLITE_BUSY || attempt == kBusyRetries) return rc;
    sqlite3_reset(statement);
    SleepBriefly(attempt);
  }
}

void Connection::Checkpoint() {
  sqlite3_wal_checkpoint_v2(db_, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
}

}  // namespace store
}  // namespace ceplatform
