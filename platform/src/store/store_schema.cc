#include "store_schema.h"

#include "connection.h"
#include "pg_counts.h"

namespace ceplatform {
namespace store {
namespace {

const char kSqliteBase[] =
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
    "CREATE TRIGGER IF NOT EXISTS records_insert AFTER INSERT ON records BEGIN"
    "  UPDATE databases SET records = records + 1, size = size + length(NEW.props)"
    "  WHERE oid = NEW.db; END;"
    "CREATE TRIGGER IF NOT EXISTS records_delete AFTER DELETE ON records BEGIN"
    "  UPDATE databases SET records = records - 1, size = size - length(OLD.props)"
    "  WHERE oid = OLD.db; END;"
    "CREATE TRIGGER IF NOT EXISTS records_update AFTER UPDATE OF props ON records BEGIN"
    "  UPDATE databases SET size = size - length(OLD.props) + length(NEW.props)"
    "  WHERE oid = NEW.db; END;";

const char kPostgresBase[] =
    "CREATE TABLE meta(key text PRIMARY KEY, value bigint NOT NULL);"
    "INSERT INTO meta(key, value) VALUES ('schema', 1);"
    "CREATE SEQUENCE oids AS bigint MINVALUE 1 MAXVALUE 4294967295 NO CYCLE;"
    "CREATE TABLE databases("
    "  oid bigint PRIMARY KEY,"
    "  name bytea NOT NULL UNIQUE,"
    "  type bigint NOT NULL,"
    "  flags bigint NOT NULL,"
    "  sorts bytea NOT NULL,"
    "  modified bigint NOT NULL,"
    "  records bigint NOT NULL DEFAULT 0,"
    "  size bigint NOT NULL DEFAULT 0);"
    "CREATE TABLE records("
    "  oid bigint PRIMARY KEY,"
    "  db bigint NOT NULL,"
    "  k0 bytea, k1 bytea, k2 bytea, k3 bytea,"
    "  props bytea NOT NULL);"
    "CREATE INDEX records_db ON records(db, oid);"
    // The record count and size of each database follow its records, once
    // per statement.
    "CREATE FUNCTION records_added() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
    "  UPDATE databases d SET records = d.records + n.c, size = d.size + n.s"
    "  FROM (SELECT db, count(*) AS c, sum(length(props)) AS s FROM new_rows GROUP BY db) n"
    "  WHERE d.oid = n.db; RETURN NULL; END $$;"
    "CREATE FUNCTION records_removed() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
    "  UPDATE databases d SET records = d.records - n.c, size = d.size - n.s"
    "  FROM (SELECT db, count(*) AS c, sum(length(props)) AS s FROM old_rows GROUP BY db) n"
    "  WHERE d.oid = n.db; RETURN NULL; END $$;"
    "CREATE FUNCTION records_rewritten() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
    "  UPDATE databases d SET size = d.size + n.s"
    "  FROM (SELECT db, sum(s) AS s FROM (SELECT db, length(props) AS s FROM new_rows"
    "        UNION ALL SELECT db, -length(props) FROM old_rows) x GROUP BY db) n"
    "  WHERE d.oid = n.db; RETURN NULL; END $$;"
    "CREATE TRIGGER records_insert AFTER INSERT ON records REFERENCING NEW TABLE AS new_rows"
    "  FOR EACH STATEMENT EXECUTE FUNCTION records_added();"
    "CREATE TRIGGER records_delete AFTER DELETE ON records REFERENCING OLD TABLE AS old_rows"
    "  FOR EACH STATEMENT EXECUTE FUNCTION records_removed();"
    "CREATE TRIGGER records_update AFTER UPDATE ON records"
    "  REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows"
    "  FOR EACH STATEMENT EXECUTE FUNCTION records_rewritten();";

std::string Number(int value) { return std::to_string(value); }

// A record of a trigger (NEW, OLD, or a loop's row) in one order.
RecordRef Ref(Dialect dialect, const std::string& row, int order,
              const std::string& key_column = "") {
  RecordRef record;
  record.db = row + ".db";
  record.oid = row + ".oid";
  record.key = order == kCreationOrder
                   ? EmptyKeySql(dialect)
                   : row + "." + (key_column.empty() ? "k" + Number(order) : key_column);
  return record;
}

std::string KeyColumn(int order) { return "k" + Number(order); }

std::string TriggerName(const char* event, int order) {
  return std::string("blocks_") + event + "_" +
         (order == kCreationOrder ? std::string("c") : Number(order));
}

// Whether `row` belongs to order `order`: it has the key, or in creation
// order it has none.
std::string InOrder(const std::string& row, int order) {
  return order == kCreationOrder ? row + ".k0 IS NULL"
                                 : row + "." + KeyColumn(order) + " IS NOT NULL";
}

std::string CreateDatabaseTriggers(Dialect dialect) {
  if (dialect == Dialect::kSqlite) {
    return "CREATE TRIGGER databases_blocks_insert AFTER INSERT ON databases BEGIN " +
           FirstBlocksSql(dialect, "NEW.oid", "NEW.sorts") +
           " END;"
           "CREATE TRIGGER databases_blocks_delete AFTER DELETE ON databases BEGIN"
           " DELETE FROM blocks WHERE db = OLD.oid; END;";
  }
  return "CREATE FUNCTION databases_blocks_added() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " +
         FirstBlocksSql(dialect, "NEW.oid", "NEW.sorts") +
         " RETURN NULL; END $$;"
         "CREATE FUNCTION databases_blocks_removed() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
         " DELETE FROM blocks WHERE db = OLD.oid; RETURN NULL; END $$;"
         "CREATE TRIGGER databases_blocks_insert AFTER INSERT ON databases"
         " FOR EACH ROW EXECUTE FUNCTION databases_blocks_added();"
         "CREATE TRIGGER databases_blocks_delete AFTER DELETE ON databases"
         " FOR EACH ROW EXECUTE FUNCTION databases_blocks_removed();";
}

// PostgreSQL counts every record of a statement first and cuts or folds
// blocks after, since its triggers run once the statement has written all its
// rows: a block is cut at its middle record only when its count is that of
// the records table. With `top_apart` (format 3, pg_counts.h) a record inside
// the top block of an order is left to the top block's own rules, and the
// others count as before while their writer holds the top block.
std::string PostgresRecordFunctions(bool top_apart) {
  const Dialect pg = Dialect::kPostgres;
  const std::string guard = "IF current_setting('" + std::string(kBulkLoadSetting) +
                            "', true) = 'on' THEN RETURN NULL; END IF;";
  // Per order, the database, key and identifier of the lowest record that a
  // statement found inside its held top block so far.
  std::string inside_marks;
  for (int order = 0; order <= kCreationOrder; ++order) {
    const std::string o = Number(order);
    inside_marks += " v_db" + o + " bigint; v_key" + o + " bytea; v_oid" + o + " bigint;";
  }
  const std::string head =
      " RETURNS trigger LANGUAGE plpgsql AS $$\n#variable_conflict use_column\n"
      "DECLARE r record; v_rows bigint; v_held boolean; v_fast boolean;" + inside_marks +
      " BEGIN " + guard;
  // A statement that writes many records at once has their databases'
  // blocks made anew, which costs less than cutting them one at a time.
  auto many = [&](const char* rows, const std::string& count) {
    std::string changed = std::string("SELECT db FROM ") + rows;
    return "IF " + count + " > " + std::to_string(kBlockRecords) + " THEN " +
           RebuildBlocksSql(pg, changed) + " RETURN NULL; END IF;";
  };
  auto counted = [](const char* rows) {
    return std::string("(SELECT count(*) FROM ") + rows + ")";
  };
  // `sql` for a record outside the top block of `order`; for one inside it,
  // `inside` (when there is such a block at all).
  auto outside = [&](int order, const RecordRef& record, bool exclusive, const std::string& sql,
                     const std::string& inside = "NULL;") {
    if (!top_apart) return sql;
    return "CASE " + TopBlockHeldSql(order, record, exclusive) + " WHEN false THEN " + sql +
           " WHEN true THEN " + inside + " ELSE NULL; END CASE;";
  };
  std::string added_count, added_split, removed_count, removed_merge;
  std::string moved_count, moved_fix, added_alone, few_held, few_due, few_orders;
  for (int order = 0; order <= kCreationOrder; ++order) {
    RecordRef row = Ref(pg, "r", order);
    std::string in = "IF " + InOrder("r", order) + " THEN ";
    std::string due = TopBlockDueSql(order, row);
    // A record added alone (a post) looks at its order's top block once:
    // held, the record is inside it and only tells whether the block is due
    // to be cut; otherwise it is counted and its block split, as below.
    added_alone += in + "v_held := " + TopBlockHeldSql(order, row, false) +
                   "; IF v_held THEN " + TopBlockDueCheckSql(order, row) +
                   " ELSIF NOT v_held THEN " + CountRecordSql(pg, order, row, +1) +
                   SplitBlockSql(pg, order, row) + " END IF; END IF;";
    // A few records added at once (a group of posts): each holds its top
    // blocks as a lone one does, and while all are inside them, each
    // database's blocks are looked at once. Once a record is inside its held
    // top block, no cut can put another above it before this transaction
    // ends, so a later record of the same database at or above it in the
    // order is inside too and holds nothing again.
    const std::string o = Number(order);
    few_held += in + "IF v_db" + o + " IS DISTINCT FROM r.db OR (" + row.key +
                ", r.oid) < (v_key" + o + ", v_oid" + o + ") THEN v_held := " +
                TopBlockHeldSql(order, row, false) +
                "; IF v_held = false THEN v_fast := false; EXIT; END IF; IF v_held THEN v_db" + o +
                " := r.db; v_key" + o + " := " + row.key + "; v_oid" + o +
                " := r.oid; END IF; END IF; END IF;";
    few_orders += ", bool_or(" + InOrder("new_rows", order) + ") AS in" + o;
    few_due += "IF r.in" + o + " THEN " + TopBlockDueCheckSql(order, row, "r.n") + " END IF;";
    added_count += in + outside(order, row, false, CountRecordSql(pg, order, row, +1)) + " END IF;";
    added_split += in + outside(order, row, false, SplitBlockSql(pg, order, row), due) + " END IF;";
    removed_count +=
        in + outside(order, row, false, CountRecordSql(pg, order, row, -1)) + " END IF;";
    removed_merge += in + outside(order, row, false, MergeBlockSql(pg, order, row)) + " END IF;";
    if (order == kCreationOrder) continue;  // a record keeps its identifier
    RecordRef was = Ref(pg, "r", order, "o" + Number(order));
    RecordRef now = Ref(pg, "r", order, "n" + Number(order));
    std::string changed = "IF r.o" + Number(order) + " IS DISTINCT FROM r.n" + Number(order) +
                          " AND r.o" + Number(order) + " IS NOT NULL AND r.n" + Number(order) +
                          " IS NOT NULL THEN ";
    // A record that moves holds the top block alone: it may leave it or
    // come into it.
    moved_count += changed + outside(order, was, true, CountRecordSql(pg, order, was, -1)) +
                   outside(order, now, true, CountRecordSql(pg, order, now, +1)) + " END IF;";
    moved_fix += changed + outside(order, was, true, MergeBlockSql(pg, order, was)) +
                 outside(order, now, true, SplitBlockSql(pg, order, now),
                         TopBlockDueSql(order, now)) +
                 " END IF;";
  }
  const std::string added_rows =
      "FOR r IN SELECT db, oid, k0, k1, k2, k3 FROM new_rows ORDER BY oid LOOP ";
  const std::string removed_rows =
      "FOR r IN SELECT o.db, o.oid, o.k0, o.k1, o.k2, o.k3 FROM old_rows o WHERE EXISTS"
      " (SELECT 1 FROM blocks b WHERE b.db = o.db) ORDER BY o.oid LOOP ";
  const std::string moved_rows =
      "FOR r IN SELECT o.db, o.oid, o.k0 AS o0, o.k1 AS o1, o.k2 AS o2, o.k3 AS o3,"
      " n.k0 AS n0, n.k1 AS n1, n.k2 AS n2, n.k3 AS n3"
      " FROM old_rows o JOIN new_rows n ON n.oid = o.oid AND n.db = o.db ORDER BY o.oid LOOP ";
  const std::string added_start =
      top_apart ? "SELECT count(*) INTO v_rows FROM new_rows; " + many("new_rows", "v_rows") +
                      "IF v_rows = 1 THEN SELECT db, oid, k0, k1, k2, k3 INTO r FROM new_rows; " +
                      added_alone + " RETURN NULL; END IF; IF v_rows <= " +
                      Number(kFewRecords) + " THEN v_fast := true; " + added_rows + few_held +
                      " END LOOP; IF v_fast THEN FOR r IN SELECT db, count(*) AS n" + few_orders +
                      " FROM new_rows GROUP BY db LOOP " + few_due +
                      " END LOOP; RETURN NULL; END IF; END IF; "
                : many("new_rows", counted("new_rows"));
  return "CREATE OR REPLACE FUNCTION blocks_added()" + head + added_start + added_rows +
         added_count + " END LOOP; " + added_rows + added_split +
         " END LOOP; RETURN NULL; END $$;" + "CREATE OR REPLACE FUNCTION blocks_removed()" + head +
         many("old_rows", counted("old_rows")) + removed_rows + removed_count + " END LOOP; " +
         removed_rows + removed_merge + " END LOOP; RETURN NULL; END $$;" +
         "CREATE OR REPLACE FUNCTION blocks_moved()" + head +
         many("new_rows", counted("new_rows")) + moved_rows + moved_count + " END LOOP; " +
         moved_rows + moved_fix + " END LOOP; RETURN NULL; END $$;";
}

const char kPostgresRecordTriggers[] =
    "CREATE TRIGGER blocks_insert AFTER INSERT ON records REFERENCING NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION blocks_added();"
    "CREATE TRIGGER blocks_delete AFTER DELETE ON records REFERENCING OLD TABLE AS old_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION blocks_removed();"
    "CREATE TRIGGER blocks_update AFTER UPDATE ON records"
    " REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows"
    " FOR EACH STATEMENT EXECUTE FUNCTION blocks_moved();";

}  // namespace

std::string BaseSchemaSql(Dialect dialect) {
  return dialect == Dialect::kSqlite ? kSqliteBase : kPostgresBase;
}

std::vector<std::string> SqliteRecordBlockTriggers() {
  const Dialect lite = Dialect::kSqlite;
  std::vector<std::string> triggers;
  for (int order = 0; order <= kCreationOrder; ++order) {
    RecordRef added = Ref(lite, "NEW", order);
    RecordRef removed = Ref(lite, "OLD", order);
    // A record of a database being deleted finds its blocks gone already.
    std::string kept = "EXISTS (SELECT 1 FROM blocks WHERE db = OLD.db AND ord = " +
                       Number(order) + ")";
    triggers.push_back("CREATE TRIGGER " + TriggerName("insert", order) +
                       " AFTER INSERT ON records WHEN " + InOrder("NEW", order) + " BEGIN " +
                       CountRecordSql(lite, order, added, +1) +
                       SplitBlockSql(lite, order, added) + " END");
    triggers.push_back("CREATE TRIGGER " + TriggerName("delete", order) +
                       " AFTER DELETE ON records WHEN " + InOrder("OLD", order) + " AND " +
                       kept + " BEGIN " + CountRecordSql(lite, order, removed, -1) +
                       MergeBlockSql(lite, order, removed) + " END");
    if (order == kCreationOrder) continue;  // a record keeps its identifier
    std::string k = KeyColumn(order);
    triggers.push_back("CREATE TRIGGER " + TriggerName("update", order) + " AFTER UPDATE OF " +
                       k + " ON records WHEN OLD." + k + " IS NOT NEW." + k + " AND OLD." + k +
                       " IS NOT NULL AND NEW." + k + " IS NOT NULL BEGIN " +
                       CountRecordSql(lite, order, removed, -1) +
                       MergeBlockSql(lite, order, removed) +
                       CountRecordSql(lite, order, added, +1) +
                       SplitBlockSql(lite, order, added) + " END");
  }
  return triggers;
}

std::string SqliteRecordBlockTriggersSql() {
  std::string sql;
  for (const std::string& trigger : SqliteRecordBlockTriggers()) sql += trigger + ";";
  return sql;
}

std::string DropSqliteRecordBlockTriggersSql() {
  std::string sql;
  for (int order = 0; order <= kCreationOrder; ++order) {
    for (const char* event : {"insert", "delete", "update"}) {
      sql += "DROP TRIGGER IF EXISTS " + TriggerName(event, order) + ";";
    }
  }
  return sql;
}

std::string UpgradeToBlocksSql(Dialect dialect) {
  std::string sql;
  for (int order = 0; order < CEDB_MAXSORTORDER; ++order) {
    std::string k = KeyColumn(order);
    sql += "DROP INDEX IF EXISTS records_" + k + ";CREATE INDEX records_" + k +
           " ON records(db, " + k + ", oid) WHERE " + k + " IS NOT NULL;";
  }
  bool lite = dialect == Dialect::kSqlite;
  sql += std::string("CREATE TABLE blocks(db ") + (lite ? "INTEGER" : "bigint") +
         " NOT NULL, ord " + (lite ? "INTEGER" : "bigint") + " NOT NULL, bkey " +
         (lite ? "BLOB" : "bytea") + " NOT NULL, boid " + (lite ? "INTEGER" : "bigint") +
         " NOT NULL, below " + (lite ? "INTEGER" : "bigint") + " NOT NULL, n " +
         (lite ? "INTEGER" : "bigint") + " NOT NULL, PRIMARY KEY(db, ord, bkey, boid))" +
         (lite ? " WITHOUT ROWID" : "") + ";CREATE INDEX blocks_below ON blocks(db, ord, below, bkey, boid);";
  sql += CreateDatabaseTriggers(dialect);
  sql += lite ? SqliteRecordBlockTriggersSql()
              : PostgresRecordFunctions(false) + kPostgresRecordTriggers;
  sql += RebuildBlocksSql(dialect);
  sql += "UPDATE meta SET value = 2 WHERE key = 'schema';";
  return sql;
}

std::string PostgresRecordFunctionsSql() { return PostgresRecordFunctions(true); }

std::string UpgradeToCountsSql(Dialect dialect) {
  std::string sql;
  if (dialect == Dialect::kPostgres) sql = CountsSchemaSql() + PostgresRecordFunctionsSql();
  return sql + "UPDATE meta SET value = 3 WHERE key = 'schema';";
}

}  // namespace store
}  // namespace ceplatform
