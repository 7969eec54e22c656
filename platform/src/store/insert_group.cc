#include "insert_group.h"

#include <new>
#include <string>

#include "store.h"
#include "write_group.h"

namespace ceplatform {
namespace store {
namespace {

// A new record's write settled: nothing more is left for FinishInsert.
void SettleInsert(QueuedWrite* write, Result result, const std::string& message) {
  write->insert->then = RecordInsert::Then::kSettled;
  Settle(write, result, message);
}

}  // namespace

void WriteInserts(QueuedWrite* const* writes, size_t count) {
  if (count == 1) {
    writes[0]->insert->then = RecordInsert::Then::kSettled;
    WriteAlone(writes[0]);
    return;
  }
  Result acquired;
  std::string message;
  Connection* connection = BorrowConnection(&acquired, &message);
  if (connection == nullptr) {
    for (size_t i = 0; i < count; ++i) SettleInsert(writes[i], acquired, message);
    return;
  }
  RecordInsert* inserts[kMaxGroupWrites];
  for (size_t i = 0; i < count; ++i) {
    inserts[i] = writes[i]->insert;
    inserts[i]->then = RecordInsert::Then::kAlone;
  }
  try {
    connection->InsertRecords(inserts, count);
  } catch (const std::bad_alloc&) {
    for (size_t i = 0; i < count; ++i) {
      inserts[i]->then = RecordInsert::Then::kSettled;
      inserts[i]->result = Result::kNoMemory;
    }
  }
  Store::Instance().Release(connection);
  for (size_t i = 0; i < count; ++i) {
    if (inserts[i]->then == RecordInsert::Then::kSettled) {
      SettleInsert(writes[i], inserts[i]->result, inserts[i]->message);
    }
  }
}

void FinishInsert(QueuedWrite* write) {
  RecordInsert* insert = write->insert;
  if (insert->then == RecordInsert::Then::kAlone) {
    insert->then = RecordInsert::Then::kSettled;
    WriteAlone(write);
    return;
  }
  if (insert->then != RecordInsert::Then::kResend) return;
  Result result;
  std::string message;
  Connection* connection = BorrowConnection(&result, &message);
  if (connection != nullptr) {
    try {
      result = connection->ResendRecord(insert->database, insert->now, insert->written,
                                        *insert->record, &insert->written);
      if (result != Result::kOk) message = connection->LastMessage();
    } catch (const std::bad_alloc&) {
      result = Result::kNoMemory;
    }
    Store::Instance().Release(connection);
  }
  SettleInsert(write, result, message);
}

}  // namespace store
}  // namespace ceplatform
