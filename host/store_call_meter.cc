#include "store_call_meter.h"

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "wince.h"

namespace {

enum Call {
  kCreateDatabase,
  kOpenDatabase,
  kDeleteDatabase,
  kFindFirstDatabase,
  kFindNextDatabase,
  kOidGetInfo,
  kWriteRecord,
  kReadRecord,
  kSeekDatabase,
  kDeleteRecord,
  kCallCount
};

const char* const kCallNames[kCallCount] = {
    "CeCreateDatabaseEx", "CeOpenDatabaseEx",   "CeDeleteDatabase", "CeFindFirstDatabase",
    "CeFindNextDatabase", "CeOidGetInfo",       "CeWriteRecordProps", "CeReadRecordProps",
    "CeSeekDatabase",     "CeDeleteRecord"};

struct Meter {
  MetricCounter* calls[kCallCount];
  MetricCounter* failures[kCallCount];
  MetricHistogram* duration[kCallCount];
  MetricCounter* posts;
};

std::atomic<Meter*> g_meter{nullptr};

using Clock = std::chrono::steady_clock;

// The platform library's own function of that name, found once.
template <typename Function>
Function Next(Call call) {
  void* found = dlsym(RTLD_NEXT, kCallNames[call]);
  if (found == nullptr) {
    // Without the platform's function no store call can be made at all.
    fprintf(stderr, "tvxhost: the store function %s is missing: %s\n", kCallNames[call],
            dlerror());
    abort();
  }
  return reinterpret_cast<Function>(found);
}

// Counts a call that began at `start` and failed (last error kept) or not.
void Count(Call call, Clock::time_point start, bool ok) {
  Meter* meter = g_meter.load(std::memory_order_acquire);
  if (meter == nullptr) return;
  // The last error is the caller's answer: it is read, never changed, here.
  DWORD code = ok ? 0 : GetLastError();
  meter->calls[call]->Add();
  if (!ok && StoreCallFailed(code)) meter->failures[call]->Add();
  meter->duration[call]->Observe(std::chrono::duration<double>(Clock::now() - start).count());
}

// A store call's result: a handle, or an identifier or BOOL that is 0 on
// failure.
bool Succeeded(HANDLE handle) { return handle != INVALID_HANDLE_VALUE; }
template <typename Result>
bool Succeeded(Result result) {
  return result != 0;
}

// Calls the platform's function and counts the call.
template <typename Result, typename... Params, typename... Args>
Result Metered(Call call, Result (*real)(Params...), Args... args) {
  Clock::time_point start = Clock::now();
  Result result = real(args...);
  Count(call, start, Succeeded(result));
  return result;
}

}  // namespace

void AttachStoreCallMeter(MetricsRegistry* registry) {
  if (registry == nullptr) {
    g_meter.store(nullptr);
    return;
  }
  // Kept for the process's life: a plug-in call may still count after the
  // meter is replaced.
  static std::vector<std::unique_ptr<Meter>>* kept = new std::vector<std::unique_ptr<Meter>>;
  kept->push_back(std::make_unique<Meter>());
  Meter* meter = kept->back().get();
  static const std::vector<double> bounds = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                             0.01,   0.025,   0.05,   0.1,   0.25,   1, 5};
  for (int call = 0; call < kCallCount; ++call) {
    std::string label = MetricLabel("call", kCallNames[call]);
    meter->calls[call] = registry->Counter("tvxhost_store_calls_total",
                                           "Store calls made, by function.", label);
    meter->failures[call] = registry->Counter(
        "tvxhost_store_call_failures_total",
        "Store calls the store could not do (unreachable, timed out, a read or write fault, "
        "a full disk, no memory), by function.",
        label);
    meter->duration[call] = registry->Histogram("tvxhost_store_call_duration_seconds",
                                                "Time of the store calls, by function.", label,
                                                bounds);
  }
  meter->posts = registry->Counter("tvxhost_posts_stored_total",
                                   "New records written to the store; a board's post is one.");
  g_meter.store(meter, std::memory_order_release);
}

bool StoreCallFailed(DWORD code) {
  switch (code) {
    case ERROR_NOT_READY:
    case ERROR_TIMEOUT:
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_DISK_FULL:
    case ERROR_NOT_ENOUGH_MEMORY:
      return true;
    default:
      return false;
  }
}

extern "C" {

CEOID CeCreateDatabaseEx(PCEGUID volume, CEDBASEINFO* info) {
  static const auto real = Next<decltype(&CeCreateDatabaseEx)>(kCreateDatabase);
  return Metered(kCreateDatabase, real, volume, info);
}

HANDLE CeOpenDatabaseEx(PCEGUID volume, PCEOID oid, LPWSTR name, CEPROPID sortProperty,
                        DWORD flags, CENOTIFYREQUEST* notify) {
  static const auto real = Next<decltype(&CeOpenDatabaseEx)>(kOpenDatabase);
  return Metered(kOpenDatabase, real, volume, oid, name, sortProperty, flags, notify);
}

BOOL CeDeleteDatabase(CEOID oid) {
  static const auto real = Next<decltype(&CeDeleteDatabase)>(kDeleteDatabase);
  return Metered(kDeleteDatabase, real, oid);
}

HANDLE CeFindFirstDatabase(DWORD databaseType) {
  static const auto real = Next<decltype(&CeFindFirstDatabase)>(kFindFirstDatabase);
  return Metered(kFindFirstDatabase, real, databaseType);
}

CEOID CeFindNextDatabase(HANDLE enumeration) {
  static const auto real = Next<decltype(&CeFindNextDatabase)>(kFindNextDatabase);
  return Metered(kFindNextDatabase, real, enumeration);
}

BOOL CeOidGetInfo(CEOID oid, CEOIDINFO* info) {
  static const auto real = Next<decltype(&CeOidGetInfo)>(kOidGetInfo);
  return Metered(kOidGetInfo, real, oid, info);
}

CEOID CeWriteRecordProps(HANDLE database, CEOID record, WORD propCount, CEPROPVAL* values) {
  static const auto real = Next<decltype(&CeWriteRecordProps)>(kWriteRecord);
  CEOID oid = Metered(kWriteRecord, real, database, record, propCount, values);
  Meter* meter = g_meter.load(std::memory_order_acquire);
  if (oid != 0 && record == 0 && meter != nullptr) meter->posts->Add();
  return oid;
}

CEOID CeReadRecordProps(HANDLE database, DWORD flags, LPWORD propCount, CEPROPID* propIds,
                        LPBYTE* buffer, LPDWORD bufferSize) {
  static const auto real = Next<decltype(&CeReadRecordProps)>(kReadRecord);
  return Metered(kReadRecord, real, database, flags, propCount, propIds, buffer, bufferSize);
}

CEOID CeSeekDatabase(HANDLE database, DWORD seekType, DWORD value, LPDWORD index) {
  static const auto real = Next<decltype(&CeSeekDatabase)>(kSeekDatabase);
  return Metered(kSeekDatabase, real, database, seekType, value, index);
}

BOOL CeDeleteRecord(HANDLE database, CEOID record) {
  static const auto real = Next<decltype(&CeDeleteRecord)>(kDeleteRecord);
  return Metered(kDeleteRecord, real, database, record);
}

}  // extern "C"
