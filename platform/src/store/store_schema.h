// The store's tables, indexes and triggers in both dialects, and the step
// from the first format to the current one. The connections run these texts
// when they find a new or an older store (see connection.h for the tables).
//
// Format 1: meta, databases, records, with an index on every key column.
// Format 2: the key indexes hold only the records that have the key (a
// board's records fill k0 alone), and the counted blocks of each database's
// orders (rank_blocks.h) are kept by triggers.
// Format 3: on PostgreSQL, a database's counts in slots beside its row and
// its top blocks kept apart (pg_counts.h), so that writers to one database
// do not queue on one row; on SQLite nothing changes but the number.
// An older store is brought to format 3 in one transaction when a program
// that writes opens it; the owner's tools read every format.
#ifndef CEPLATFORM_STORE_STORE_SCHEMA_H_
#define CEPLATFORM_STORE_STORE_SCHEMA_H_

#include <string>
#include <vector>

#include "rank_blocks.h"

namespace ceplatform {
namespace store {

constexpr int kStoreFormat = 3;
// On PostgreSQL a statement that adds up to this many records (a group of
// posts, write_queue.h) has its blocks looked at in one pass when all of
// them land in their top blocks.
constexpr int kFewRecords = 32;
// The oldest format a reading tool still takes as it is.
constexpr int kOldestReadableFormat = 1;

// The tables of format 1 without its key indexes, for a new store: meta
// (schema 1, and on SQLite the identifier counter), databases, records, the
// triggers that count each database's records and bytes (on PostgreSQL also
// the identifier sequence).
std::string BaseSchemaSql(Dialect dialect);

// From format 1 to format 2: the key indexes made partial, the blocks table,
// its triggers and its rows for the records already stored; meta's schema
// set to 2.
std::string UpgradeToBlocksSql(Dialect dialect);

// From format 2 to format 3: on PostgreSQL the count slots, the totals view
// and the block triggers that keep each top block apart (pg_counts.h); meta's
// schema set to 3. The counts and blocks already there stay as they are.
std::string UpgradeToCountsSql(Dialect dialect);

// PostgreSQL: the functions of the record triggers that keep the blocks, as
// this build makes them for format 3. A store whose functions read otherwise
// (an older build's) has them put anew when a program that writes opens it.
std::string PostgresRecordFunctionsSql();

// SQLite: the record triggers that keep the blocks, and their removal, so
// that a load in bulk can go without them and rebuild the blocks once at its
// end (RebuildBlocksSql). On PostgreSQL the triggers look at the setting
// kBulkLoadSetting instead.
std::string SqliteRecordBlockTriggersSql();
std::string DropSqliteRecordBlockTriggersSql();
// The same triggers one by one, each CREATE TRIGGER without its ';': the text
// SQLite keeps in its schema for them. A store whose triggers read otherwise
// (made by an older build, the same blocks kept at a higher cost) has them
// put anew when a program that writes opens it.
std::vector<std::string> SqliteRecordBlockTriggers();

// PostgreSQL: while this setting is "on" in a transaction, the record
// triggers leave the blocks alone.
constexpr const char* kBulkLoadSetting = "corkwall.bulk_load";

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_STORE_SCHEMA_H_
