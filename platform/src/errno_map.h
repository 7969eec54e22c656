// The one place where Linux errno values become the device's last-error codes.
#ifndef CEPLATFORM_ERRNO_MAP_H_
#define CEPLATFORM_ERRNO_MAP_H_

#include "wince_types.h"

namespace ceplatform {

// The last-error code for `error` (an errno value). Values with no closer
// meaning (EIO among them, whose meaning depends on whether the caller read or
// wrote) give `fallback`.
DWORD ErrnoToLastError(int error, DWORD fallback);

// SetLastError(ErrnoToLastError(error, fallback)).
void SetLastErrorFromErrno(int error, DWORD fallback);

}  // namespace ceplatform

#endif  // CEPLATFORM_ERRNO_MAP_H_
