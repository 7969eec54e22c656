#include "write_group.h"

#include <new>
#include <string>

#include "store.h"

namespace ceplatform {
namespace store {
namespace {

// Runs the write's body on `connection` and settles it with what it gave.
Result RunBody(QueuedWrite* write, Connection* connection) {
  Result result;
  try {
    result = write->body(connection);
  } catch (const std::bad_alloc&) {
    result = Result::kNoMemory;
  }
  write->result = result;
  if (result != Result::kOk) {
    try {
      write->message = connection->LastMessage();
    } catch (const std::bad_alloc&) {
      write->message.clear();
    }
  }
  return result;
}

// The writes not settled by a failure of their own.
size_t Pending(QueuedWrite* const* writes, size_t count, QueuedWrite** pending) {
  size_t n = 0;
  for (size_t i = 0; i < count; ++i) {
    if (!writes[i]->failed_alone) pending[n++] = writes[i];
  }
  return n;
}

// One round of a group on `connection`: true when it ended (committed, or
// failed as a whole), false when a failure ended the transaction and the
// writes still pending are to be written again.
bool WriteRound(Connection* connection, QueuedWrite* const* writes, size_t count) {
  QueuedWrite* pending[kMaxGroupWrites];
  size_t n = Pending(writes, count, pending);
  if (n == 0) return true;
  Result begun = connection->BeginGroup();
  if (begun != Result::kOk) {
    std::string message;
    try {
      message = connection->LastMessage();
    } catch (const std::bad_alloc&) {
    }
    for (size_t i = 0; i < n; ++i) Settle(pending[i], begun, message);
    return true;
  }
  for (size_t i = 0; i < n; ++i) {
    if (RunBody(pending[i], connection) != Result::kOk) pending[i]->failed_alone = true;
    if (!connection->GroupOpen()) {
      connection->EndGroup(false);
      return false;
    }
  }
  Result committed = connection->EndGroup(true);
  if (committed != Result::kOk) {
    std::string message;
    try {
      message = connection->LastMessage();
    } catch (const std::bad_alloc&) {
    }
    for (size_t i = 0; i < n; ++i) {
      if (!pending[i]->failed_alone) Settle(pending[i], committed, message);
    }
  }
  return true;
}

}  // namespace

void Settle(QueuedWrite* write, Result result, const std::string& message) {
  write->result = result;
  try {
    write->message = message;
  } catch (const std::bad_alloc&) {
    write->message.clear();  // the result still tells what happened
  }
}

Connection* BorrowConnection(Result* result, std::string* message) {
  *result = Result::kOk;
  try {
    return Store::Instance().Acquire(result, message);
  } catch (const std::bad_alloc&) {
    *result = Result::kNoMemory;
    return nullptr;
  }
}

void WriteAlone(QueuedWrite* write) { WriteGroup(&write, 1); }

void WriteGroup(QueuedWrite* const* writes, size_t count) {
  Result acquired;
  std::string message;
  Connection* connection = BorrowConnection(&acquired, &message);
  if (connection == nullptr) {
    for (size_t i = 0; i < count; ++i) Settle(writes[i], acquired, message);
    return;
  }
  if (count == 1) {
    RunBody(writes[0], connection);
  } else {
    // Each round settles at least the write that ended its transaction, so
    // count + 1 rounds end the group; more would mean a transaction that
    // ends without any write failing.
    bool ended = false;
    for (size_t round = 0; round <= count && !ended; ++round) {
      ended = WriteRound(connection, writes, count);
    }
    if (!ended) {
      for (size_t i = 0; i < count; ++i) {
        if (!writes[i]->failed_alone) {
          Settle(writes[i], Result::kFault, "a group lost its transaction");
        }
      }
    }
  }
  Store::Instance().Release(connection);
}

}  // namespace store
}  // namespace ceplatform
