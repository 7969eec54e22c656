// PostgreSQL: a database's counts and the top block of each of its orders,
// kept without a row that every write to the database updates, so that
// writers to one board on several hosts do not queue behind one another's
// commits (format 3, store_schema.h).
//
// Counts. A database's records, size and last change are its `databases`
// row's columns plus the sums (for the time, the latest) of its rows in
//   database_counts(db, slot, records, size, modified)
// to which each server session adds through slot pg_backend_pid() %
// kCountSlots. The view `database_totals` gives each databases row with
// those totals, and every read of the figures goes through it. A write
// takes FOR KEY SHARE on its database's row instead of updating it: writers
// do not conflict, and a deletion of the database (FOR UPDATE) waits for
// them; the deletion removes the database's slots.
//
// Top blocks. The top block of an order (the one with the highest start,
// where a board's newest post lands) keeps no count of its own: its n is
// the database's count less its `below`, and its n column means nothing.
// A record added or removed inside it touches no block row; its writer holds
// FOR KEY SHARE on the top block's row until it commits. A record anywhere
// else is counted as rank_blocks.h says while its writer holds FOR UPDATE on
// the top block, so such writes (rare on a board: an old post deleted) go
// one at a time. The top block is never folded into the one below it.
//
// Cutting a top block. A write that leaves the top block past
// kMaxBlockRecords sends the notice kCutDueNotice; once the write has
// committed, the connection runs CutTopBlockSql, a short transaction that
// waits at most kCutLockTimeout for FOR UPDATE on the top block, counts its
// records exactly and cuts it at the middle one. Without the lock in time it
// gives up and a later write tries again; the write's own result never
// depends on it.
#ifndef CEPLATFORM_STORE_PG_COUNTS_H_
#define CEPLATFORM_STORE_PG_COUNTS_H_

#include <string>

#include "rank_blocks.h"

namespace ceplatform {
namespace store {

constexpr int kCountSlots = 64;
constexpr const char* kCutLockTimeout = "100ms";
// The notice's text: this, then the database's identifier and the order.
constexpr const char* kCutDueNotice = "corkwall: the top block is due to be cut:";

// The count slots, the totals view, the functions below and the record
// triggers' new counting, for the step from format 2 to 3.
std::string CountsSchemaSql();

// The function top_block_held, and the text PostgreSQL keeps for its body:
// a store whose function reads otherwise (made by an older build) has it
// put anew when a program that writes opens it.
std::string TopBlockHeldFunctionSql();
std::string TopBlockHeldBody();
// The message of the serialization failure that undoes a write which held a
// top block as a cut put another above it, and found the new one taken.
constexpr const char* kTopMovedMessage = "corkwall: the top block moved; the write goes again";

// An expression that holds the top block of `record`'s order for the rest of
// the transaction and tells whether the record lies inside it: true (held
// FOR KEY SHARE, or FOR UPDATE when `exclusive`), false (held FOR UPDATE),
// NULL when the database has no blocks in the order.
std::string TopBlockHeldSql(int order, const RecordRef& record, bool exclusive);
// A statement that sends kCutDueNotice when the top block of `record`'s
// order holds more than kMaxBlockRecords.
std::string TopBlockDueSql(int order, const RecordRef& record);
// The same, for records added inside the held top block (`added` of them,
// an expression): a cheap look at the totals first, and TopBlockDueSql only
// when the block is due.
std::string TopBlockDueCheckSql(int order, const RecordRef& record,
                                const std::string& added = "1");
// The statements, run in a transaction of their own, that cut the top block
// of `order` in database `db` when it holds more than kMaxBlockRecords (see
// above).
std::string CutTopBlockSql(long long db, int order);
// Whether a notice's text is kCutDueNotice; its database and order then.
bool ParseCutDue(const char* message, long long* db, int* order);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_PG_COUNTS_H_
