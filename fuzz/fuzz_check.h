// FUZZ_CHECK: a property a fuzz target holds for every input. A broken one
// prints what failed and aborts, which libFuzzer reports as a crash and keeps
// the input; the replay driver in the test build fails the same way.
#ifndef FUZZ_FUZZ_CHECK_H_
#define FUZZ_FUZZ_CHECK_H_

#include <stdio.h>
#include <stdlib.h>

[[noreturn]] inline void FuzzCheckFailed(const char* what, const char* file, int line) {
  fprintf(stderr, "%s:%d: property broken: %s\n", file, line, what);
  abort();
}

#define FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : FuzzCheckFailed(#condition, __FILE__, __LINE__))

#endif  // FUZZ_FUZZ_CHECK_H_
