// Everything the plug-ins use of the device's operating system, under the
// device's names. Plug-in and framework code includes this header and nothing
// of Linux.
#ifndef CEPLATFORM_WINCE_H_
#define CEPLATFORM_WINCE_H_

#include "wince_types.h"
#include "wince_kernel.h"
#include "wince_codepage.h"
#include "wince_db.h"

#endif  // CEPLATFORM_WINCE_H_
