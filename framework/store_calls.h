// The object-store calls that both plug-ins make alike: opening a database
// by name, and reporting a record that could not be deleted.
#ifndef FRAMEWORK_STORE_CALLS_H_
#define FRAMEWORK_STORE_CALLS_H_

#include "text_buffer.h"
#include "wince.h"

// Opens the database `name` of the system volume by name, reading in its
// first sort order and moving on with every read (CEDB_AUTOINCREMENT).
// Returns the handle, or INVALID_HANDLE_VALUE with CeOpenDatabaseEx's last
// error.
HANDLE OpenDatabaseByName(WCHAR* name);

// Writes the error page of a CeDeleteRecord that failed with `code`:
// "CeDeleteRecord was fail with error <code><BR>\nDatabase <handle>(<hex>)
// <BR>\nRecord <record>(<hex>)", the handle and the record each as a signed
// decimal and as 8 upper-case hexadecimal digits of their 32 bits, as the
// device prints them. Returns what ErrorPage returned.
int DeleteRecordFailurePage(TextBuffer* response, DWORD code, HANDLE database, CEOID record);

#endif  // FRAMEWORK_STORE_CALLS_H_
