// The operations of the administration plug-in on board databases: the record
// listing and the two deletions. Each takes the call's RequestForm, reads its
// own parameters and writes onto the call's page; every failure is reported as
// an ErrorPage in the page's buffer, which replaces whatever the call had
// written before.
#ifndef ADMIN_RECORD_BROWSER_H_
#define ADMIN_RECORD_BROWSER_H_

#include "page_writer.h"
#include "request_form.h"

// Lists the posts of the board database named by "name=" (prefix "TULVAN_",
// ASCII letter case ignored): one line per record holding property 65601, a
// "delete:" link (cmd=deleteitem&dbname=<name>&deleteitem=<oid as %d>) and the
// post's text without tags in <TT>, at most 255 bytes of whole characters;
// then the TOP link. SCRIPT_NAME (any letter case; empty when absent) and the
// name go into the links unchanged. One record buffer at a time. A line the
// heap cannot hold marks the page failed, and no further record is read.
//
// Returns 0 after an ErrorPage when the database was never opened: "DB not
// found" (name absent, empty, or 256 bytes or more), "It is not TULVAN DB.",
// "MultiByteToWideChar failed.", "CeOpenDatabaseEx failed.". Returns 1 once it
// was opened, also when reading stopped with ERROR_INSUFFICIENT_BUFFER
// (ErrorPage "Re-allocation of database records failed.") or any code other
// than 0 and ERROR_NO_MORE_ITEMS (ErrorPage "Other errors.").
int ListBoardRecords(RequestForm* form, PageWriter* page);

// Deletes record "deleteitem=" from the database named by "dbname=" (any
// database; the name is not checked for the board prefix). Returns 1 with the
// page untouched, or 0 after an ErrorPage: "Open database Error" (no name,
// or the database cannot be opened), "MultiByteToWideChar failed.", or
// "CeDeleteRecord was fail with error %d<BR>\nDatabase %d(%08X)<BR>\nRecord
// %d(%08X)" with the store's code, the database handle and the record.
int DeleteBoardRecord(RequestForm* form, PageWriter* page);

// Deletes the board database whose identifier is "db=" (a signed decimal),
// refusing objects that are not databases or whose name does not begin with
// "TULVAN_" in exactly that letter case. Always ends with an ErrorPage naming
// the outcome: "Database deleted.", "Database failed.", "CeOidGetInfo failed
// with error.", "This oid is not database type.", "Memory alloc failed." or
// "This is not TULVAN family.".
void DeleteBoardDatabase(RequestForm* form, PageWriter* page);

#endif  // ADMIN_RECORD_BROWSER_H_
