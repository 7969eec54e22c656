// How the new records of a server store reach it: the threads of one process
// that add records at the same time share one statement and its
// transaction, and with it the server's commit and its wait for a synchronous
// standby. The write queue
// (write_queue.h) gathers them as it does the writes to an SQLite file; its
// leader has the group written (Connection::InsertRecords), and each writer
// then finishes its own record on its own thread: one that its group could
// not write is written alone, as if it had never been grouped, and one whose
// commit is in doubt is sent again under the identifier it drew. So a group
// never reports a record it did not store, and the slow ways out of a
// failure (a reconnection, a resend until the server answers) run side by
// side, not one after another on the leader's thread.
#ifndef CEPLATFORM_STORE_INSERT_GROUP_H_
#define CEPLATFORM_STORE_INSERT_GROUP_H_

#include <stddef.h>

#include "write_queue.h"

namespace ceplatform {
namespace store {

// Writes the group of new records (each write's `insert`) on one borrowed
// connection; a group of one is written as WriteAlone writes it. Settles the
// records that the group settled. The GroupRunner of the queue of new
// records; never throws.
void WriteInserts(QueuedWrite* const* writes, size_t count);

// On the writer's thread, after its group: writes the record alone or sends
// it again, as the group left it, and settles it. Never throws.
void FinishInsert(QueuedWrite* write);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_INSERT_GROUP_H_
