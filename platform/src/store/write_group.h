// How the writes of the store's calls reach a connection: alone, or as the
// group that the leader of the write queue took (write_queue.h).
#ifndef CEPLATFORM_STORE_WRITE_GROUP_H_
#define CEPLATFORM_STORE_WRITE_GROUP_H_

#include <stddef.h>

#include <string>

#include "write_queue.h"

namespace ceplatform {
namespace store {

// Sets a write's result and message; without the memory to copy the
// message, the result alone. Never throws.
void Settle(QueuedWrite* write, Result result, const std::string& message);

// A connection of the pool for a write, or nullptr with the failure and
// its message. Never throws.
Connection* BorrowConnection(Result* result, std::string* message);

// Writes `write` on a connection borrowed for it alone, in a transaction of
// its own. Sets its result and, for a failure, its message. Never throws.
void WriteAlone(QueuedWrite* write);

// Writes a group on one borrowed connection. A group of one is written as
// WriteAlone writes it. A larger one goes into one transaction, committed
// and synced once, each write under a savepoint of its own: a write that
// fails or is refused fails alone, and the others go on. When a failure ends
// the whole transaction (SQLite undoes it all for some I/O errors and when
// memory runs out), the failed write keeps its failure and the others are
// written again in a new one. A failure to get a connection, to begin, or to
// commit and sync fails every write that had not failed on its own: none of
// them is reported done. The GroupRunner of the write queue; never throws.
void WriteGroup(QueuedWrite* const* writes, size_t count);

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_WRITE_GROUP_H_
