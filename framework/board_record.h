// The board's records in the object store, as both plug-ins read them: the
// board plug-in writes them, the administration page lists and deletes them,
// and their tests check them. Stored data depends on every value here.
//
// Every board keeps its posts in one database named "TULVAN_" and the file
// name of its script, created by its first post with one sort order: the
// time of posting, descending. Each post is one record of two properties, in
// this order:
//   64     (0x40)     CEVT_FILETIME  the local time of posting
//   65601  (0x10041)  CEVT_BLOB      the post's HTML and one NUL; the byte
//                                    count is the text's length plus 1
// A reader finds the post by the whole 32-bit identifier.
#ifndef FRAMEWORK_BOARD_RECORD_H_
#define FRAMEWORK_BOARD_RECORD_H_

#include <string.h>

#include "wince.h"

// The name prefix that marks a database of the store as a board's.
#define BOARD_DATABASE_PREFIX "TULVAN_"
#define BOARD_DATABASE_PREFIX_LENGTH 7

// Property identifiers of a post record.
#define BOARD_PROP_TIME 0x40     // MAKEPROPID(0, CEVT_FILETIME)
#define BOARD_PROP_HTML 0x10041  // MAKEPROPID(1, CEVT_BLOB)

// The database's creation parameters: name, type, sort orders and database
// flags valid (the flags themselves 0), type 0, one sort order on the time
// of posting, newest first.
#define BOARD_DATABASE_FLAGS (CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDDBFLAGS)
#define BOARD_DATABASE_TYPE 0
#define BOARD_SORT_FLAGS CEDB_SORT_DESCENDING

// 1 when `name` begins with the prefix in exactly its letter case, else 0. A
// shorter name differs at its terminator.
inline int HasBoardPrefix(const char* name) {
  return strncmp(name, BOARD_DATABASE_PREFIX, BOARD_DATABASE_PREFIX_LENGTH) == 0 ? 1 : 0;
}

#endif  // FRAMEWORK_BOARD_RECORD_H_
