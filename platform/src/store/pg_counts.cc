#include "pg_counts.h"

#include <stdio.h>
#include <string.h>

#include "connection.h"

namespace ceplatform {
namespace store {
namespace {

std::string Number(long long value) { return std::to_string(value); }

// Adds what `changes` gives per database (columns db, c: records, s: bytes)
// to this session's slot of each database that still exists.
std::string AddToSlots(const std::string& changes) {
  return "INSERT INTO database_counts AS t(db, slot, records, size)"
         " SELECT n.db, pg_backend_pid() % " + Number(kCountSlots) + ", n.c, n.s FROM (" +
         changes + ") n WHERE EXISTS (SELECT 1 FROM databases d WHERE d.oid = n.db)"
         " ORDER BY n.db ON CONFLICT (db, slot) DO UPDATE"
         " SET records = t.records + EXCLUDED.records, size = t.size + EXCLUDED.size;";
}

std::string CountFunction(const char* name, const std::string& changes) {
  return std::string("CREATE OR REPLACE FUNCTION ") + name +
         "() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN " + AddToSlots(changes) +
         " RETURN NULL; END $$;";
}

// The top block of (p_db, p_ord): its row in `into`.
std::string TopBlock(const std::string& columns, const std::string& into) {
  return "SELECT " + columns + " INTO " + into +
         " FROM blocks WHERE db = p_db AND ord = p_ord ORDER BY bkey DESC, boid DESC LIMIT 1";
}

// Whether a block other than v_top starts above it.
const char kTopPassed[] =
    "EXISTS (SELECT 1 FROM blocks WHERE db = p_db AND ord = p_ord"
    " AND (bkey, boid) > (v_top.bkey, v_top.boid))";

const char kOfTop[] =
    "db = p_db AND ord = p_ord AND bkey = v_top.bkey AND boid = v_top.boid";

// A query on the records of order p_ord from the top block's start:
// `columns` (with `key` for the order's key) and `tail` after the filter.
std::string FromTop(const std::string& columns, const std::string& tail) {
  return "format('SELECT " + columns +
         " FROM records WHERE db = $1 AND %1$I IS NOT NULL"
         " AND (%1$I, oid) >= ($2, $3)" + tail + "', 'k' || p_ord)";
}

}  // namespace

std::string CountsSchemaSql() {
  const std::string empty = EmptyKeySql(Dialect::kPostgres);
  const std::string max = Number(kMaxBlockRecords);
  std::string sql =
      "CREATE TABLE database_counts(db bigint NOT NULL, slot integer NOT NULL,"
      " records bigint NOT NULL DEFAULT 0, size bigint NOT NULL DEFAULT 0,"
      " modified bigint NOT NULL DEFAULT 0, PRIMARY KEY (db, slot)) WITH (fillfactor = 50);"
      "CREATE VIEW database_totals AS SELECT d.oid, d.name, d.type, d.flags, d.sorts,"
      " GREATEST(d.modified, c.modified) AS modified,"
      " d.records + coalesce(c.records, 0) AS records, d.size + coalesce(c.size, 0) AS size"
      " FROM databases d CROSS JOIN LATERAL (SELECT sum(records)::bigint AS records,"
      " sum(size)::bigint AS size, max(modified) AS modified FROM database_counts"
      " WHERE db = d.oid) c;"
      "CREATE OR REPLACE FUNCTION database_counts_removed() RETURNS trigger LANGUAGE plpgsql"
      " AS $$ BEGIN DELETE FROM database_counts WHERE db = OLD.oid; RETURN NULL; END $$;"
      "CREATE TRIGGER databases_counts_delete AFTER DELETE ON databases"
      " FOR EACH ROW EXECUTE FUNCTION database_counts_removed();";
  sql += CountFunction("records_added",
                       "SELECT db, count(*) AS c, sum(length(props)) AS s FROM new_rows"
                       " GROUP BY db");
  sql += CountFunction("records_removed",
                       "SELECT db, -count(*) AS c, -sum(length(props)) AS s FROM old_rows"
                       " GROUP BY db");
  sql += CountFunction("records_rewritten",
                       "SELECT db, 0 AS c, sum(s) AS s FROM (SELECT db, length(props) AS s"
                       " FROM new_rows UNION ALL SELECT db, -length(props) FROM old_rows) x"
                       " GROUP BY db");
  sql += TopBlockHeldFunctionSql();
  // The statement's own records are not in the totals yet when the block
  // triggers run (the count triggers come after them), hence the one more.
  sql +=
      "CREATE OR REPLACE FUNCTION top_block_due(p_db bigint, p_ord integer) RETURNS void"
      " LANGUAGE plpgsql SET client_min_messages = notice AS $$"
      " DECLARE v_top record; BEGIN " + TopBlock("below", "v_top") +
      "; IF (SELECT records FROM database_totals WHERE oid = p_db) + 1 - v_top.below > " + max +
      " THEN RAISE NOTICE '% % %', '" + kCutDueNotice + "', p_db, p_ord; END IF; END $$;";
  // Counted under FOR UPDATE on the top block: no writer is inside it, and
  // every one that comes later sees the new block.
  sql +=
      "CREATE OR REPLACE FUNCTION cut_top_block(p_db bigint, p_ord integer) RETURNS boolean"
      " LANGUAGE plpgsql AS $$ DECLARE v_top record; v_count bigint; v_middle record; BEGIN " +
      TopBlock("bkey, boid, below", "v_top") +
      " FOR UPDATE; IF NOT FOUND OR " + kTopPassed + " THEN RETURN false; END IF;"
      " IF p_ord = " + Number(kCreationOrder) + " THEN"
      " SELECT count(*) INTO v_count FROM records WHERE db = p_db AND k0 IS NULL"
      " AND oid >= v_top.boid; ELSE EXECUTE " + FromTop("count(*)", "") +
      " INTO v_count USING p_db, v_top.bkey, v_top.boid; END IF;"
      " IF v_count <= " + max + " THEN RETURN false; END IF;"
      " IF p_ord = " + Number(kCreationOrder) + " THEN"
      " SELECT " + empty + " AS key, oid INTO v_middle FROM records WHERE db = p_db"
      " AND k0 IS NULL AND oid >= v_top.boid ORDER BY oid LIMIT 1 OFFSET v_count / 2;"
      " ELSE EXECUTE " + FromTop("%1$I AS key, oid", " ORDER BY %1$I, oid LIMIT 1 OFFSET $4") +
      " INTO v_middle USING p_db, v_top.bkey, v_top.boid, v_count / 2; END IF;"
      " UPDATE blocks SET n = v_count / 2 WHERE " + kOfTop + ";"
      " INSERT INTO blocks(db, ord, bkey, boid, below, n) VALUES (p_db, p_ord,"
      " v_middle.key, v_middle.oid, v_top.below + v_count / 2, 0);"
      " RETURN true; END $$;";
  return sql;
}

std::string TopBlockHeldBody() {
  // Holds the top block, and looks again once held: a cut that committed
  // meanwhile has put another block above it. Holding that older block, the
  // writer must not wait for the new one: a writer that took the new one
  // first may be waiting for the older (to count a record below it), and
  // the two would wait for each other until the server broke the circle a
  // second later. So the new one is taken only if free; if not, the
  // statement is undone as a serialization failure, which lets go of the
  // older block, and goes again.
  return std::string(
             " DECLARE v_top record; v_inside boolean; v_late boolean := false; BEGIN LOOP ") +
         TopBlock("bkey, boid", "v_top") +
         "; IF NOT FOUND THEN RETURN NULL; END IF;"
         " v_inside := (p_key, p_oid) >= (v_top.bkey, v_top.boid);"
         " IF v_inside AND NOT p_exclusive AND v_late THEN"
         " PERFORM 1 FROM blocks WHERE " + kOfTop + " FOR KEY SHARE SKIP LOCKED;"
         " ELSIF v_late THEN PERFORM 1 FROM blocks WHERE " + kOfTop + " FOR UPDATE SKIP LOCKED;"
         " ELSIF v_inside AND NOT p_exclusive THEN"
         " PERFORM 1 FROM blocks WHERE " + kOfTop + " FOR KEY SHARE;"
         " ELSE PERFORM 1 FROM blocks WHERE " + kOfTop + " FOR UPDATE; END IF;"
         " IF FOUND AND NOT " + kTopPassed + " THEN RETURN v_inside; END IF;"
         " IF v_late AND NOT FOUND THEN RAISE EXCEPTION '" + kTopMovedMessage +
         "' USING ERRCODE = 'serialization_failure'; END IF;"
         " v_late := v_late OR FOUND; END LOOP; END ";
}

std::string TopBlockHeldFunctionSql() {
  return "CREATE OR REPLACE FUNCTION top_block_held(p_db bigint, p_ord integer, p_key bytea,"
         " p_oid bigint, p_exclusive boolean) RETURNS boolean LANGUAGE plpgsql AS $$" +
         TopBlockHeldBody() + "$$;";
}

std::string TopBlockHeldSql(int order, const RecordRef& record, bool exclusive) {
  return "top_block_held(" + record.db + ", " + Number(order) + ", " + record.key + ", " +
         record.oid + ", " + (exclusive ? "true" : "false") + ")";
}

std::string TopBlockDueSql(int order, const RecordRef& record) {
  return "PERFORM top_block_due(" + record.db + ", " + Number(order) + ");";
}

std::string TopBlockDueCheckSql(int order, const RecordRef& record, const std::string& added) {
  return "IF (SELECT records FROM database_totals WHERE oid = " + record.db + ") + " + added +
         " - (SELECT below FROM blocks WHERE db = " + record.db + " AND ord = " +
         Number(order) + " ORDER BY bkey DESC, boid DESC LIMIT 1) > " + Number(kMaxBlockRecords) +
         " THEN " + TopBlockDueSql(order, record) + " END IF;";
}

std::string CutTopBlockSql(long long db, int order) {
  return std::string("SET LOCAL lock_timeout = '") + kCutLockTimeout +
         "'; SELECT cut_top_block(" + Number(db) + ", " + Number(order) + ")";
}

bool ParseCutDue(const char* message, long long* db, int* order) {
  size_t prefix = strlen(kCutDueNotice);
  if (message == nullptr || strncmp(message, kCutDueNotice, prefix) != 0) return false;
  return sscanf(message + prefix, "%lld %d", db, order) == 2 && *order >= 0 &&
         *order <= kCreationOrder;
}

}  // namespace store
}  // namespace ceplatform
