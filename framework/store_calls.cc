#include "store_calls.h"

#include <stdint.h>
#include <stdio.h>

#include "error_page.h"

HANDLE OpenDatabaseByName(WCHAR* name) {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID byName = 0;
  return CeOpenDatabaseEx(&volume, &byName, name, 0, CEDB_AUTOINCREMENT, NULL);
}

int DeleteRecordFailurePage(TextBuffer* response, DWORD code, HANDLE database, CEOID record) {
  // A handle is a 32-bit value on the device; the page shows those bits.
  DWORD handleBits = static_cast<DWORD>(reinterpret_cast<uintptr_t>(database));
  char message[256];
  snprintf(message, sizeof(message),
           "CeDeleteRecord was fail with error %d<BR>\nDatabase %d(%08X)<BR>\nRecord %d(%08X)",
           static_cast<int>(code), static_cast<int>(handleBits), static_cast<unsigned>(handleBits),
           static_cast<int>(record), static_cast<unsigned>(record));
  return ErrorPage(response, message);
}
