// WriteDatabaseCatalogue: the default page of the administration plug-in.
#ifndef ADMIN_DATABASE_CATALOGUE_H_
#define ADMIN_DATABASE_CATALOGUE_H_

#include "page_writer.h"
#include "request_form.h"

// Puts on `page` one HTML table of every database of the object store, in
// the order the store enumerates them: name, size in bytes, record count,
// object identifier ("%#X") and number of sort orders. Rows of board
// databases (name beginning with "TULVAN_", letter case observed) get their
// own colour, a link to their record listing and a "DELETE DB" link carrying
// the identifier as a signed decimal. SCRIPT_NAME (exact lookup; empty when
// absent) and the database name go into the links unchanged.
//
// Failures of the store are shown as messages in place of or after the table:
// "CeFindFirstDatabase failed with error (N)\n" when the enumeration cannot
// start (no table) or ends with a code other than ERROR_NO_MORE_ITEMS, and
// "CeOidGetInfo failed with error (N)" where a database cannot be described
// (the enumeration stops there). A database whose name cannot be converted is
// left out. A row the heap cannot hold marks the page failed. Never clears
// the page; holds the enumeration handle only during the call.
void WriteDatabaseCatalogue(RequestForm* form, PageWriter* page);

#endif  // ADMIN_DATABASE_CATALOGUE_H_
