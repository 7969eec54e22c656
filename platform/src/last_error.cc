#include "wince_kernel.h"

namespace {
thread_local DWORD last_error = ERROR_SUCCESS;
}  // namespace

extern "C" DWORD GetLastError(void) { return last_error; }

extern "C" void SetLastError(DWORD code) { last_error = code; }
