// The countdown behind the test builds of the plug-ins, whose malloc, free,
// new and delete are linked (-Wl,--wrap) to the wrappers of
// alloc_wrappers.cc: after a chosen number of allocations every further one
// fails, so that a test reaches the plug-ins' own out-of-memory answers.
// The shipped plug-ins call the C library directly and never come here.
#ifndef TESTS_FAULTS_ALLOC_COUNTDOWN_H_
#define TESTS_FAULTS_ALLOC_COUNTDOWN_H_

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// After `count` more successful allocations, every allocation of the
// wrapped plug-ins fails until AllocFaultAfter(-1). Also clears the fired
// flag.
void AllocFaultAfter(long count);
// Whether an allocation failed since the last AllocFaultAfter.
int AllocFaultFired(void);
// Blocks the wrapped plug-ins allocated and have not freed.
long AllocFaultLiveBlocks(void);

// For the wrappers: 1 when the allocation about to be made is to fail
// (counted as fired), 0 when it may go ahead.
int AllocFaultTake(void);
// For the wrappers: a block was handed out (1) or freed (-1).
void AllocFaultCount(long change);

#ifdef __cplusplus
}
#endif

#endif  // TESTS_FAULTS_ALLOC_COUNTDOWN_H_
