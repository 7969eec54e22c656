// PlatformProbeStore: whether the store answers, for a host's readiness.
#include <string.h>

#include "ceplatform.h"
#include "store.h"
#include "wince_kernel.h"

using namespace ceplatform::store;

namespace {

BOOL Failed(Result result, const std::string& message, char* reason, size_t capacity) {
  if (capacity > 0) {
    size_t length = message.size() < capacity - 1 ? message.size() : capacity - 1;
    memcpy(reason, message.data(), length);
    reason[length] = '\0';
  }
  SetLastError(ReadError(result));
  return FALSE;
}

}  // namespace

extern "C" BOOL PlatformProbeStore(char* reason, size_t capacity) {
  if (capacity > 0) reason[0] = '\0';
  // Borrowed without a lease: a host asks this every few seconds while the
  // store is down, and each failure is the caller's to report, not a line in
  // the log.
  Store& store = Store::Instance();
  Result result = Result::kOk;
  std::string message;
  Connection* connection = store.Acquire(&result, &message);
  if (connection == nullptr) return Failed(result, message, reason, capacity);
  bool exists = false;
  result = connection->DatabaseExists(0, &exists);
  if (result != Result::kOk) message = connection->LastMessage();
  store.Release(connection);
  if (result != Result::kOk) return Failed(result, message, reason, capacity);
  return TRUE;
}
