// Counted blocks: how the store finds the record at any position of a
// database's order without reading the records before it.
//
// The records of a database in one of its orders (a sort order, or creation
// order for a database that has none) are cut into runs of neighbouring
// records, the blocks. A row of the table `blocks` describes one:
//   blocks(db, ord, bkey, boid, below, n)
//     db, ord     the database and the order (0..3, or kCreationOrder)
//     bkey, boid  where the block starts: it holds the records whose (key,
//                 oid) is at or above this and below the next block's start
//                 (in creation order the key is empty and only oid counts)
//     below       how many records of the order sort below the block
//     n           how many records the block holds
// Every maintained order has a first block that starts below every record
// (empty key, oid 0), so each record lies in exactly one block.
//
// Finding the record at ascending position A is then one index lookup (the
// block with the largest `below` not above A) and a walk of at most
// kMaxBlockRecords records of the key index, whatever the size of the
// database. Records are counted from the lowest key up, so a record added
// above every other one (a board's newest post, the highest time) changes
// one row; a record added or removed lower down also moves `below` of each
// block above it, one row per kBlockRecords records or so.
//
// Triggers keep the blocks whatever writes the records, the same statements
// on both backends (PostgreSQL leaves the top block of each order to its
// own rules, pg_counts.h): a record added counts in its block, a block past
// kMaxBlockRecords is cut in two at its middle record, a block that falls
// under kMinBlockRecords joins the one below it when both fit in one. The
// functions below give those statements, the rebuild of every block after a
// load in bulk, and the read that starts at a position.
#ifndef CEPLATFORM_STORE_RANK_BLOCKS_H_
#define CEPLATFORM_STORE_RANK_BLOCKS_H_

#include <string>

namespace ceplatform {
namespace store {

// A block is cut when it passes kMaxBlockRecords; a rebuild fills blocks of
// kBlockRecords, so that they have room to grow.
constexpr int kBlockRecords = 256;
constexpr int kMaxBlockRecords = 2 * kBlockRecords;
constexpr int kMinBlockRecords = kBlockRecords / 8;

// The two SQL dialects the statements are written in.
enum class Dialect { kSqlite, kPostgres };

// The empty key that starts every first block, as a literal.
std::string EmptyKeySql(Dialect dialect);

// A record as a statement sees it: SQL expressions for its database, its
// identifier and its key under the order (for creation order, unused).
struct RecordRef {
  std::string db;
  std::string oid;
  std::string key;
};

// The statements (each ended by ';') that count a record added (delta +1) or
// removed (-1) in order `order`: its block's n and the `below` of every
// block above it.
std::string CountRecordSql(Dialect dialect, int order, const RecordRef& record, int delta);
// The statements that cut the block holding `record` at its middle record
// when it holds more than kMaxBlockRecords. Run after CountRecordSql, once the
// records table holds the record.
std::string SplitBlockSql(Dialect dialect, int order, const RecordRef& record);
// The statements that fold the block that held a removed `record` into the
// block below it when it holds fewer than kMinBlockRecords and both fit in one.
std::string MergeBlockSql(Dialect dialect, int order, const RecordRef& record);

// The statement that gives a new database its first block in each order it
// keeps, `oid` and `sorts` being SQL expressions for its row's columns.
std::string FirstBlocksSql(Dialect dialect, const std::string& oid, const std::string& sorts);

// Statements that make every block anew from the records: for after a load
// in bulk, and for a store that had none. With `databases` (a query that
// gives database identifiers), only those databases' blocks.
std::string RebuildBlocksSql(Dialect dialect, const std::string& databases = "");

// A query of one row and column: how many things are wrong with the blocks
// of order `order` across the store (0 when they are sound): a block whose
// `below` or `n` is not what the records give, a database that keeps the
// order without exactly one first block or whose blocks do not hold all its
// records, a block of a database that does not keep the order. It reads
// every record once. With `derived_top` (PostgreSQL, pg_counts.h) the top
// block's n is its database's count less its `below`, not its column.
std::string WrongBlocksSql(Dialect dialect, int order, bool derived_top = false);
// The blocks as a table expression whose n is each block's count: `blocks`
// itself, or with `derived_top` the top block of each order given the n
// that its database's count leaves it.
std::string CountedBlocksSql(bool derived_top);
// How the owner's check words `count` such things in order `order`.
std::string WrongBlocksProblem(int order, long long count);

// The read that starts at a position: parameters 1 the database, 2 the
// position in the order's direction (from 0), 3 how many records; the
// columns are oid, key (NULL in creation order) and props, as every read's.
// A position past the last record gives no row.
std::string ReadAtSql(Dialect dialect, int order, bool descending);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_RANK_BLOCKS_H_
