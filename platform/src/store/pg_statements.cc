#include "pg_statements.h"

#include <string>

#include "pg_counts.h"
#include "rank_blocks.h"
#include "store_schema.h"

namespace ceplatform {
namespace store {
namespace {

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

const StatementText kStatements[kReadFirst] = {
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE name = $1",
     1, {kPgBytea}},
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE oid = $1",
     1, {kPgInt8}},
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE oid > $1 ORDER BY oid LIMIT $2",
     2, {kPgInt8, kPgInt8}},
    {"SELECT oid, name, type, flags, sorts, modified, records, size FROM database_totals"
     " WHERE type = $3 AND oid > $1 ORDER BY oid LIMIT $2",
     3, {kPgInt8, kPgInt8, kPgInt8}},
    {"SELECT 1 FROM databases WHERE oid = $1", 1, {kPgInt8}},
    {"SELECT db FROM records WHERE oid = $1", 1, {kPgInt8}},
    // What a record holds, to tell a record of this call from another.
    {"SELECT db, props FROM records WHERE oid = $1", 1, {kPgInt8}},
    // Draws identifiers until the sequence has passed $1, never moving it
    // back: after a record went in under an identifier that this server's
    // sequence may not have reached (drawn on a server it took over from).
    {"WITH RECURSIVE drawn(n) AS (SELECT nextval('oids') UNION ALL"
     " SELECT nextval('oids') FROM drawn WHERE n < $1) SELECT max(n) FROM drawn",
     1, {kPgInt8}},
    // An identifier is drawn only when no database has the name, and used
    // only when no record has it (a record sent again to a server that took
    // over may hold one its sequence has not passed). One row: the new
    // database's identifier or NULL, and 1 when the one drawn was taken.
    {"WITH n AS (SELECT nextval('oids') AS oid"
     "  WHERE NOT EXISTS (SELECT 1 FROM databases WHERE name = $1)),"
     " free AS (SELECT oid FROM n WHERE NOT EXISTS (SELECT 1 FROM records r WHERE r.oid = n.oid)),"
     " added AS (INSERT INTO databases(oid, name, type, flags, sorts, modified)"
     "  SELECT oid, $1, $2, $3, $4, $5 FROM free ON CONFLICT (name) DO NOTHING RETURNING oid)"
     " SELECT (SELECT oid FROM added), (SELECT count(*) FROM n) - (SELECT count(*) FROM free)",
     5, {kPgBytea, kPgInt8, kPgInt8, kPgBytea, kPgInt8}},
    // A record with an identifier drawn as it is added, so that the order of
    // identifiers is the order of the writes; none is drawn when the
    // database is gone. The database's row is only shared (pg_counts.h).
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $1 FOR KEY SHARE),"
     " t AS (" TOUCH("$2") ")"
     " INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
     " SELECT nextval('oids'), d.oid, $3, $4, $5, $6, $7 FROM d RETURNING oid",
     7, {kPgInt8, kPgInt8, kPgBytea, kPgBytea, kPgBytea, kPgBytea, kPgBytea}},
    // The same with the identifier that the first try drew. Sent again after
    // a lost answer, it adds nothing when the first one was committed; its
    // lock on the database's row makes its commit one that waits for a
    // synchronous standby, and with it for the first try's.
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $2 FOR KEY SHARE),"
     " t AS (" TOUCH("$3") ")"
     " INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
     " SELECT $1, d.oid, $4, $5, $6, $7, $8 FROM d"
     " ON CONFLICT (oid) DO NOTHING RETURNING oid",
     8, {kPgInt8, kPgInt8, kPgInt8, kPgBytea, kPgBytea, kPgBytea, kPgBytea, kPgBytea}},
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $2 FOR KEY SHARE),"
     " t AS (" TOUCH("$3") "),"
     " r AS (DELETE FROM records WHERE oid = $1 AND db IN (SELECT oid FROM d) RETURNING oid)"
     " SELECT (SELECT count(*) FROM d), (SELECT count(*) FROM r)",
     3, {kPgInt8, kPgInt8, kPgInt8}},
    {"SELECT 1 FROM databases WHERE oid = $1 FOR UPDATE", 1, {kPgInt8}},
    {"WITH d AS (SELECT oid FROM databases WHERE oid = $1 FOR KEY SHARE),"
     " t AS (" TOUCH("$2") ") SELECT oid FROM d",
     2, {kPgInt8, kPgInt8}},
    {"SELECT props FROM records WHERE oid = $1 AND db = $2 FOR UPDATE", 2, {kPgInt8, kPgInt8}},
    {"UPDATE records SET k0 = $3, k1 = $4, k2 = $5, k3 = $6, props = $7"
     " WHERE oid = $1 AND db = $2",
     7, {kPgInt8, kPgInt8, kPgBytea, kPgBytea, kPgBytea, kPgBytea, kPgBytea}},
    {"DELETE FROM records WHERE db = $1", 1, {kPgInt8}},
    {"DELETE FROM databases WHERE oid = $1", 1, {kPgInt8}},
};
// The new records of a group in one statement: $1 the time, then each
// record's database, keys and properties ($2 + 6i to $7 + 6i). A row for
// each record added: its place in the group (1 on) and its identifier,
// drawn in the group's order. A record whose database is gone adds nothing
// and has no row; every other row of w is added, since a WITH that writes
// runs to its end whether read or not. The databases' rows are only
// shared, in the order of their identifiers, so that groups on the same
// boards never wait for each other in a circle.
std::string GroupInsertText(int count) {
  std::string rows;
  for (int i = 0; i < count; ++i) {
    int first = 2 + 6 * i;
    rows += (i == 0 ? "(" : ", (") + std::to_string(i + 1);
    for (int p = first; p < first + 6; ++p) rows += ", $" + std::to_string(p);
    rows += ")";
  }
  return "WITH v(n, db, k0, k1, k2, k3, props) AS (VALUES " + rows + "),"
         " d AS (SELECT oid FROM databases WHERE oid IN (SELECT db FROM v) ORDER BY oid"
         " FOR KEY SHARE),"
         " t AS (" TOUCH("$1") "),"
         " w AS MATERIALIZED (SELECT v.n, nextval('oids') AS oid, v.db, v.k0, v.k1, v.k2, v.k3,"
         " v.props FROM v WHERE v.db IN (SELECT oid FROM d) ORDER BY v.n),"
         " i AS (INSERT INTO records(oid, db, k0, k1, k2, k3, props)"
         " SELECT oid, db, k0, k1, k2, k3, props FROM w)"
         " SELECT n::bigint, oid FROM w ORDER BY n";
}

#undef TOUCH
static_assert(kCountSlots == 64, "the slot in TOUCH");
static_assert(kMaxGroupWrites <= kFewRecords, "a group's records take the blocks' short way");

// The text of a read statement; every read from the top or after a record
// takes the database ($1), the key and oid after which to start ($2, $3) and
// a count of rows ($4); a read from a position takes $1 to $3 (rank_blocks.h).
std::string ReadText(int index) {
  if (index >= kReadAtFirst - kReadFirst) {
    index -= kReadAtFirst - kReadFirst;
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

// Every statement's text and types, made once.
class StatementTable {
 public:
  StatementTable() {
    static const Oid kReadTypes[4] = {kPgInt8, kPgBytea, kPgInt8, kPgInt8};
    static const Oid kReadAtTypes[3] = {kPgInt8, kPgInt8, kPgInt8};
    for (int id = 0; id < kReadFirst; ++id) {
      table_[id] = {kStatements[id].text, kStatements[id].count, kStatements[id].types, id};
    }
    // The group inserts share one list of types: the time, then six for
    // each record.
    group_types_[0] = kPgInt8;
    for (size_t i = 0; i < kMaxGroupWrites; ++i) {
      group_types_[1 + 6 * i] = kPgInt8;
      for (int k = 2; k <= 6; ++k) group_types_[6 * i + k] = kPgBytea;
    }
    for (int id = kInsertNewRecords; id < kPgStatementCount; ++id) {
      int count = id - kInsertNewRecords + 1;
      groups_[count - 1] = GroupInsertText(count);
      table_[id] = {groups_[count - 1].c_str(), 1 + 6 * count, group_types_, id};
    }
    for (int id = kReadFirst; id < kInsertNewRecords; ++id) {
      bool at = id >= kReadAtFirst;
      reads_[id - kReadFirst] = ReadText(id - kReadFirst);
      table_[id] = {reads_[id - kReadFirst].c_str(), at ? 3 : 4,
                    at ? kReadAtTypes : kReadTypes, id};
    }
  }
  const PgStatement& operator[](int id) const { return table_[id]; }

 private:
  std::string reads_[kInsertNewRecords - kReadFirst];
  std::string groups_[kMaxGroupWrites];
  Oid group_types_[1 + 6 * kMaxGroupWrites];
  PgStatement table_[kPgStatementCount];
};

}  // namespace

const PgStatement& Statement(int id) {
  static const StatementTable* table = new StatementTable();
  return (*table)[id];
}

}  // namespace store
}  // namespace ceplatform
