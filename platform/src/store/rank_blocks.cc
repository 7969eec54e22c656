#include "rank_blocks.h"

#include "connection.h"

namespace ceplatform {
namespace store {
namespace {

std::string Number(long long value) { return std::to_string(value); }

std::string Param(Dialect dialect, int n) {
  return (dialect == Dialect::kSqlite ? "?" : "$") + Number(n);
}

std::string Greatest(Dialect dialect, const std::string& a, const std::string& b) {
  return (dialect == Dialect::kSqlite ? "max(" : "GREATEST(") + a + ", " + b + ")";
}

std::string Least(Dialect dialect, const std::string& a, const std::string& b) {
  return (dialect == Dialect::kSqlite ? "min(" : "LEAST(") + a + ", " + b + ")";
}

// How the records of one order are compared and walked: by (key, oid), or in
// creation order by oid alone.
struct OrderText {
  explicit OrderText(int order) : creation(order == kCreationOrder) {
    std::string k = "k" + Number(order);
    key = creation ? "" : k;
    tuple = creation ? "oid" : "(" + k + ", oid)";
    columns = creation ? "oid" : k + ", oid";
    present = creation ? "k0 IS NULL" : k + " IS NOT NULL";
    block_start = creation ? "boid" : "bkey, boid";
  }

  std::string Walk(bool descending) const {
    if (creation) return descending ? "oid DESC" : "oid";
    return descending ? key + " DESC, oid DESC" : columns;
  }

  bool creation;
  std::string key;          // the key column; empty in creation order
  std::string tuple;        // a record's place, to compare
  std::string columns;      // the same as select columns
  std::string present;      // the records the order holds
  std::string block_start;  // a block's start, as compared with `tuple`
};

// "db = <db> AND ord = <order>": the blocks of one database and order.
std::string OfOrder(const std::string& db, int order) {
  return "db = " + db + " AND ord = " + Number(order);
}

// The start of the block that holds `record`: the last block starting at or
// below it.
std::string Holding(int order, const RecordRef& record, const std::string& columns) {
  return "(SELECT " + columns + " FROM blocks WHERE " + OfOrder(record.db, order) +
         " AND (bkey, boid) <= (" + record.key + ", " + record.oid +
         ") ORDER BY bkey DESC, boid DESC LIMIT 1)";
}

// A column of the block that holds `record`.
std::string HoldingColumn(int order, const RecordRef& record, const std::string& column) {
  return "(SELECT " + column + " FROM blocks WHERE " + OfOrder(record.db, order) +
         " AND (bkey, boid) = " + Holding(order, record, "bkey, boid") + ")";
}

// The start of the block below the one that holds `record`.
std::string BelowHolding(int order, const RecordRef& record) {
  return "(SELECT bkey, boid FROM blocks WHERE " + OfOrder(record.db, order) +
         " AND (bkey, boid) < " + Holding(order, record, "bkey, boid") +
         " ORDER BY bkey DESC, boid DESC LIMIT 1)";
}

const char kOrders[] =
    "(SELECT 0 AS o UNION ALL SELECT 1 UNION ALL SELECT 2 UNION ALL SELECT 3"
    " UNION ALL SELECT 4) orders";

// Whether a database whose sort orders are `sorts` keeps order `o`: each of
// its sort orders, or creation order when it has none.
std::string Keeps(const std::string& sorts) {
  return "((o < 4 AND o < length(" + sorts + ") / 8) OR (o = 4 AND length(" + sorts +
         ") = 0))";
}

}  // namespace

std::string EmptyKeySql(Dialect dialect) {
  return dialect == Dialect::kSqlite ? "X''" : "'\\x'::bytea";
}

std::string CountRecordSql(Dialect, int order, const RecordRef& record, int delta) {
  std::string step = delta > 0 ? " + 1" : " - 1";
  return "UPDATE blocks SET n = n" + step + " WHERE " + OfOrder(record.db, order) +
         " AND (bkey, boid) = " + Holding(order, record, "bkey, boid") + ";" +
         "UPDATE blocks SET below = below" + step + " WHERE " + OfOrder(record.db, order) +
         " AND (bkey, boid) > (" + record.key + ", " + record.oid + ");";
}

std::string SplitBlockSql(Dialect dialect, int order, const RecordRef& record) {
  const OrderText text(order);
  std::string n = HoldingColumn(order, record, "n");
  std::string first_key = text.creation ? record.key : text.key;
  std::string past_limit = n + " > " + Number(kMaxBlockRecords);
  // SQLite tests a condition of the WHERE clause on every record it walks,
  // even one that names none of them: gated there, a post would walk its
  // whole block only to cut nothing. A LIMIT of 0 ends the statement before
  // its walk. PostgreSQL tests such a condition once, before the walk.
  bool lite = dialect == Dialect::kSqlite;
  std::string filter = lite ? "" : " AND " + past_limit;
  std::string limit = lite ? " LIMIT CASE WHEN " + past_limit + " THEN 1 ELSE 0 END" : " LIMIT 1";
  // The new block starts at the middle record and takes the upper half.
  std::string cut =
      "INSERT INTO blocks(db, ord, bkey, boid, below, n) SELECT " + record.db + ", " +
      Number(order) + ", " + first_key + ", oid, " +
      HoldingColumn(order, record, "below + n / 2") + ", " +
      HoldingColumn(order, record, "n - n / 2") + " FROM records WHERE db = " + record.db +
      " AND " + text.present + " AND " + text.tuple + " >= " +
      Holding(order, record, text.block_start) + filter + " ORDER BY " + text.Walk(false) +
      limit + " OFFSET coalesce(" + HoldingColumn(order, record, "n / 2") + ", 0);";
  // The old block keeps the lower half: it is the one past the limit among
  // the two blocks at or below the record.
  std::string keep = "UPDATE blocks SET n = n / 2 WHERE " + OfOrder(record.db, order) +
                     " AND n > " + Number(kMaxBlockRecords) +
                     " AND (bkey, boid) IN (SELECT bkey, boid FROM blocks WHERE " +
                     OfOrder(record.db, order) + " AND (bkey, boid) <= (" + record.key + ", " +
                     record.oid + ") ORDER BY bkey DESC, boid DESC LIMIT 2);";
  return cut + keep;
}

std::string MergeBlockSql(Dialect, int order, const RecordRef& record) {
  std::string n = HoldingColumn(order, record, "n");
  std::string below = BelowHolding(order, record);
  // The block below takes the records over, when both fit in one block.
  std::string take = "UPDATE blocks SET n = n + " + n + " WHERE " + OfOrder(record.db, order) +
                     " AND (bkey, boid) = " + below + " AND " + n + " < " +
                     Number(kMinBlockRecords) + " AND n + " + n + " <= " +
                     Number(kMaxBlockRecords) + ";";
  // Then its end reaches past this block's start, unless this block was
  // empty; an empty block can go in any case. The first block has none
  // below it and stays.
  std::string drop = "DELETE FROM blocks WHERE " + OfOrder(record.db, order) +
                     " AND (bkey, boid) = " + Holding(order, record, "bkey, boid") + " AND n < " +
                     Number(kMinBlockRecords) + " AND (SELECT below + n FROM blocks WHERE " +
                     OfOrder(record.db, order) + " AND (bkey, boid) = " + below +
                     ") >= below + n;";
  return take + drop;
}

std::string FirstBlocksSql(Dialect dialect, const std::string& oid, const std::string& sorts) {
  return "INSERT INTO blocks(db, ord, bkey, boid, below, n) SELECT " + oid + ", o, " +
         EmptyKeySql(dialect) + ", 0, 0, 0 FROM " + kOrders + " WHERE " + Keeps(sorts) + ";";
}

std::string RebuildBlocksSql(Dialect dialect, const std::string& databases) {
  std::string only = databases.empty() ? "" : " AND db IN (" + databases + ")";
  std::string sql = "DELETE FROM blocks WHERE TRUE" + only + ";";
  for (int order = 0; order <= kCreationOrder; ++order) {
    const OrderText text(order);
    std::string key = text.creation ? EmptyKeySql(dialect) : text.key;
    sql += "INSERT INTO blocks(db, ord, bkey, boid, below, n) SELECT db, " + Number(order) +
           ", CASE WHEN rn = 0 THEN " + EmptyKeySql(dialect) +
           " ELSE k END, CASE WHEN rn = 0 THEN 0 ELSE oid END, rn, " +
           Least(dialect, Number(kBlockRecords), "c - rn") + " FROM (SELECT db, " + key +
           " AS k, oid, row_number() OVER (PARTITION BY db ORDER BY " + text.Walk(false) +
           ") - 1 AS rn, count(*) OVER (PARTITION BY db) AS c FROM records WHERE " +
           text.present + only + ") numbered WHERE rn % " + Number(kBlockRecords) + " = 0;";
  }
  // The databases without records in an order they keep.
  sql += "INSERT INTO blocks(db, ord, bkey, boid, below, n) SELECT databases.oid, o, " +
         EmptyKeySql(dialect) + ", 0, 0, 0 FROM databases, " + kOrders + " WHERE " +
         Keeps("databases.sorts") +
         (databases.empty() ? "" : " AND databases.oid IN (" + databases + ")") +
         " AND NOT EXISTS (SELECT 1 FROM blocks WHERE blocks.db = databases.oid"
         " AND blocks.ord = o);";
  return sql;
}

std::string CountedBlocksSql(bool derived_top) {
  if (!derived_top) return "blocks";
  return "(SELECT db, ord, bkey, boid, below, CASE WHEN lead(boid) OVER (PARTITION BY db, ord"
         " ORDER BY bkey, boid) IS NULL THEN (SELECT records FROM database_totals t"
         " WHERE t.oid = blocks.db) - below ELSE n END AS n FROM blocks)";
}

std::string WrongBlocksSql(Dialect dialect, int order, bool derived_top) {
  const std::string blocks = CountedBlocksSql(derived_top) + " blocks";
  const OrderText text(order);
  std::string o = Number(order);
  std::string r_tuple = text.creation ? "r.oid" : "(r." + text.key + ", r.oid)";
  std::string present = text.creation ? "r.k0 IS NULL" : "r." + text.key + " IS NOT NULL";
  std::string start = text.creation ? "b.boid" : "(b.bkey, b.boid)";
  std::string next = text.creation ? "b.noid" : "(b.nkey, b.noid)";
  // Each block against the records between its start and the next one's,
  // and against the blocks before it.
  std::string miscounted =
      "(SELECT count(*) FROM (SELECT db, bkey, boid, below, n,"
      " lead(bkey) OVER w AS nkey, lead(boid) OVER w AS noid,"
      " coalesce(sum(n) OVER (w ROWS BETWEEN UNBOUNDED PRECEDING AND 1 PRECEDING), 0) AS counted"
      " FROM " + blocks + " WHERE ord = " + o +
      " WINDOW w AS (PARTITION BY db ORDER BY bkey, boid)) b"
      " WHERE b.below <> b.counted OR b.n <> (SELECT count(*) FROM records r WHERE r.db = b.db"
      " AND " + present + " AND " + r_tuple + " >= " + start + " AND (b.noid IS NULL OR " +
      r_tuple + " < " + next + ")))";
  std::string databases =
      "(SELECT count(*) FROM databases d, " + std::string(kOrders) + " WHERE o = " + o + " AND " +
      Keeps("d.sorts") + " AND ((SELECT count(*) FROM " + blocks +
      " WHERE db = d.oid AND ord = o" +
      " AND bkey = " + EmptyKeySql(dialect) + " AND boid = 0) <> 1" +
      " OR (SELECT coalesce(sum(n), 0) FROM " + blocks + " WHERE db = d.oid AND ord = o) <>" +
      " (SELECT count(*) FROM records r WHERE r.db = d.oid AND " + present + ")))";
  std::string strays = "(SELECT count(*) FROM blocks b WHERE b.ord = " + o +
                       " AND NOT EXISTS (SELECT 1 FROM databases d, " + kOrders +
                       " WHERE d.oid = b.db AND o = " + o + " AND " + Keeps("d.sorts") + "))";
  return "SELECT " + miscounted + " + " + databases + " + " + strays;
}

std::string WrongBlocksProblem(int order, long long count) {
  std::string which = order == kCreationOrder ? "creation order"
                                              : "sort order " + Number(order);
  return "the blocks that count the records in " + which + " are wrong in " + Number(count) +
         (count == 1 ? " place" : " places") +
         ": pages found by their place would be wrong (a restore or copy of the store makes them"
         " anew)";
}

std::string ReadAtSql(Dialect dialect, int order, bool descending) {
  const OrderText text(order);
  const std::string db = Param(dialect, 1);
  const std::string position = Param(dialect, 2);
  const std::string count = Param(dialect, 3);
  const std::string blocks = "blocks WHERE " + OfOrder(db, order);
  // The record at ascending position A: from the start of the last block
  // with no more than A records below it, A - below records on. (Blocks of
  // equal `below` are taken in one order, so that the start's key, oid and
  // count all come from the same block.) The walk starts at the block's key
  // alone, which the key index seeks to, and also passes over the records of
  // that key below the block's oid.
  auto at = [&](const std::string& a, const std::string& columns, const std::string& limit) {
    auto block = [&](const char* column) {
      return "(SELECT " + std::string(column) + " FROM " + blocks + " AND below <= " + a +
             " ORDER BY below DESC, bkey DESC, boid DESC LIMIT 1)";
    };
    std::string walk = Greatest(dialect, "0", "coalesce(" + a + " - " + block("below") + ", 0)");
    if (text.creation) {
      return "SELECT " + columns + " FROM records WHERE db = " + db + " AND " + text.present +
             " AND oid >= " + block("boid") + " ORDER BY oid LIMIT " + limit + " OFFSET " + walk;
    }
    return "SELECT " + columns + " FROM records WHERE db = " + db + " AND " + text.present +
           " AND " + text.key + " >= " + block("bkey") + " ORDER BY " + text.Walk(false) +
           " LIMIT " + limit + " OFFSET " + walk + " + (SELECT count(*) FROM records WHERE db = " +
           db + " AND " + text.key + " = " + block("bkey") + " AND oid < " + block("boid") + ")";
  };
  std::string key_column = text.creation
                               ? (dialect == Dialect::kSqlite ? "NULL" : "NULL::bytea")
                               : text.key;
  std::string columns = "oid, " + key_column + ", props";
  if (!descending) return at(position, columns, count);
  // Counted from the top: ascending position total - 1 - position, and the
  // records from there down. Every record of a database is in each of its
  // orders, so the total is the database's count (on PostgreSQL its row's
  // and its slots', pg_counts.h).
  std::string total = std::string("(SELECT records FROM ") +
                      (dialect == Dialect::kSqlite ? "databases" : "database_totals") +
                      " WHERE oid = " + db + ")";
  std::string target = at("(" + total + " - 1 - " + position + ")", text.columns, "1");
  return "SELECT " + columns + " FROM records WHERE db = " + db + " AND " + text.present +
         " AND " + text.tuple + " <= (" + target + ") ORDER BY " + text.Walk(true) + " LIMIT " +
         count;
}

}  // namespace store
}  // namespace ceplatform
