// The store calls that tvxhost and its plug-ins make, counted and timed for
// /metrics:
//   tvxhost_store_calls_total{call}               calls made
//   tvxhost_store_call_failures_total{call}       of those, the ones the store
//                                                 could not do (StoreCallFailed)
//   tvxhost_store_call_duration_seconds{call}     their time (histogram)
//   tvxhost_posts_stored_total                    new records written: a
//                                                 board's post is one
// call is the function's name (CeWriteRecordProps).
//
// The plug-ins call the store through the platform library, and the host
// does not touch their code: instead tvxhost defines the store functions of
// wince_db.h itself and exports them (host/store_calls.dynlist), so that
// the plug-ins it loads bind to these, which time the platform library's own
// (found with dlsym(RTLD_NEXT)) and count the outcome. A program that links
// store_call_meter.cc gets the same for its own calls.
#ifndef HOST_STORE_CALL_METER_H_
#define HOST_STORE_CALL_METER_H_

#include "metrics_registry.h"
#include "wince_types.h"

// Adds the families above to `registry`, which must outlive every store call
// made after this; the calls are counted from then on. Before it (and with
// nullptr) they are only passed through. Call it once, before the plug-ins
// run.
void AttachStoreCallMeter(MetricsRegistry* registry);

// Whether a store call that failed with last-error `code` failed because
// the store could not do it (unreachable, timed out, a read or write fault,
// a full disk, no memory) rather than because it answered "no" (no more
// records, no such database or record, a taken name, a bad argument).
bool StoreCallFailed(DWORD code);

#endif  // HOST_STORE_CALL_METER_H_
