// The object store: the device's databases of records, kept on Linux in one
// SQLite file or in a PostgreSQL database that several hosts share (see
// ceplatform.h for how the store is named).
//
// The structures keep the device's names and field order, so code written for
// the device compiles unchanged. Every function is thread-safe, and several
// processes (on PostgreSQL: several hosts) may use one store at once.
//
// Object identifiers (CEOID) share one 32-bit space for databases and
// records; 0 means none, and an identifier is never reused in a store:
// they are handed out in increasing order from one counter kept in the
// store, so a later object has a larger identifier. When all 0xFFFFFFFF have
// been used, creating a database or a record fails with ERROR_DISK_FULL.
//
// What other processes (on PostgreSQL: other hosts) write shows in every
// call of this process within 20 ms of its commit; this process's own writes
// show at once. (Reads may answer from what one query read for up to 20 ms:
// the first records of a database, the records after a handle's position,
// a database found by name, the databases an enumeration read ahead.)
// Opening a database, describing one and each step of an enumeration cost
// one indexed lookup at most, however many databases the store holds.
//
// Every write is on disk when the call returns, and succeeds or fails as a
// whole, on its own. On PostgreSQL it is one transaction committed with
// synchronous_commit. In an SQLite file the writes that threads of one
// process make at the same time are committed together, in one transaction
// with one sync, each under a savepoint of its own (see ceplatform.h); a
// failed commit or sync fails each of them. With the store on PostgreSQL
// any call below may also fail with:
//   ERROR_NOT_READY (21)  the server cannot be reached, is starting up or
//                         shutting down, or the connection broke before a
//                         write was sent: nothing was written. The store
//                         connects again by itself at a later call.
//   ERROR_TIMEOUT (1460)  the connect timeout or the statement timeout
//                         passed (defaults 5 s each; the URI may set both):
//                         nothing was written.
//   ERROR_WRITE_FAULT     also when the connection broke after a write was
//                         sent and the store could not learn its outcome
//                         within the statement timeout: the write was made
//                         once or not at all, never twice. (A new record's
//                         write is sent again under the same identifier
//                         until its outcome is known, so it ends so only
//                         when the server stays away.)
// A failed call never waits longer than those timeouts.
// With the store in an SQLite file, a call whose file stays locked by another
// process past the busy timeout fails with ERROR_TIMEOUT too, having written
// nothing.
#ifndef CEPLATFORM_WINCE_DB_H_
#define CEPLATFORM_WINCE_DB_H_

#include "wince_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD CEOID;
typedef CEOID* PCEOID;
typedef DWORD CEPROPID;
typedef CEPROPID* PCEPROPID;

// A volume identifier. The store has one volume, the system volume: all zero.
typedef struct _CEGUID {
  DWORD Data1;
  DWORD Data2;
  DWORD Data3;
  DWORD Data4;
} CEGUID, *PCEGUID;

#define CREATE_SYSTEMGUID(pguid) \
  ((pguid)->Data1 = (pguid)->Data2 = (pguid)->Data3 = (pguid)->Data4 = 0)

// A property identifier carries the property number in its upper 16 bits and
// the value type in its lower 16 bits.
#define TypeFromPropID(propid) ((WORD)((propid)&0xFFFF))
#define PropIdFromPropID(propid) ((WORD)((propid) >> 16))
#define MAKEPROPID(number, type) ((CEPROPID)(((DWORD)(number) << 16) | (WORD)(type)))

// Value types.
#define CEVT_I2 2
#define CEVT_I4 3
#define CEVT_R8 5
#define CEVT_BOOL 11
#define CEVT_UI2 18
#define CEVT_UI4 19
#define CEVT_LPWSTR 31
#define CEVT_FILETIME 64
#define CEVT_BLOB 65

typedef struct _CEBLOB {
  DWORD dwCount;  // number of bytes
  LPBYTE lpb;     // the bytes
} CEBLOB;

typedef union _CEVALUNION {
  short iVal;
  USHORT uiVal;
  LONG lVal;
  ULONG ulVal;
  FILETIME filetime;
  LPWSTR lpwstr;
  CEBLOB blob;
  BOOL boolVal;
  double dblVal;
} CEVALUNION;

// wFlags of a property value.
#define CEDB_PROPNOTFOUND 0x0100
#define CEDB_PROPDELETE 0x0200

typedef struct _CEPROPVAL {
  CEPROPID propid;
  WORD wLenData;  // unused, 0
  WORD wFlags;
  CEVALUNION val;
} CEPROPVAL, *PCEPROPVAL;

#define CEDB_MAXDBASENAMELEN 32  // UTF-16 units, terminator included
#define CEDB_MAXSORTORDER 4

// Sort flags.
#define CEDB_SORT_DESCENDING 0x00000001
#define CEDB_SORT_CASEINSENSITIVE 0x00000002
#define CEDB_SORT_UNKNOWNFIRST 0x00000004

typedef struct _SORTORDERSPEC {
  CEPROPID propid;
  DWORD dwFlags;
} SORTORDERSPEC;

// dwFlags of CEDBASEINFO: which fields are valid. The database flags sit in
// the upper 16 bits.
#define CEDB_VALIDNAME 0x0001
#define CEDB_VALIDTYPE 0x0002
#define CEDB_VALIDSORTSPEC 0x0004
#define CEDB_VALIDMODTIME 0x0008
#define CEDB_VALIDDBFLAGS 0x0010

typedef struct _CEDBASEINFO {
  DWORD dwFlags;
  WCHAR szDbaseName[CEDB_MAXDBASENAMELEN];
  DWORD dwDbaseType;
  WORD wNumRecords;    // 0xFFFF for a database of 65535 records or more
  WORD wNumSortOrder;
  DWORD dwSize;        // bytes its records take in the store (each property's
                       // value plus 8 bytes); 0xFFFFFFFF at 4 GiB or more
  FILETIME ftLastModified;
  SORTORDERSPEC rgSortSpecs[CEDB_MAXSORTORDER];
} CEDBASEINFO, *PCEDBASEINFO;

typedef struct _CERECORDINFO {
  CEOID oidParent;  // the database that holds the record
} CERECORDINFO;

typedef struct _CEFILEINFO {
  DWORD dwAttributes;
  CEOID oidParent;
  WCHAR szFileName[260];
  FILETIME ftLastChanged;
  DWORD dwLength;
} CEFILEINFO;

typedef struct _CEDIRINFO {
  DWORD dwAttributes;
  CEOID oidParent;
  WCHAR szDirName[260];
} CEDIRINFO;

// Object types.
#define OBJTYPE_INVALID 0
#define OBJTYPE_FILE 1
#define OBJTYPE_DIRECTORY 2
#define OBJTYPE_DATABASE 3
#define OBJTYPE_RECORD 4

typedef struct _CEOIDINFO {
  WORD wObjType;
  WORD wPad;
  union {
    CEFILEINFO infFile;
    CEDIRINFO infDirectory;
    CEDBASEINFO infDatabase;
    CERECORDINFO infRecord;
  };
} CEOIDINFO, *PCEOIDINFO;

// A notification request; this store sends no notifications and ignores it.
typedef struct _CENOTIFYREQUEST {
  DWORD dwSize;
  HANDLE hwnd;
  DWORD dwFlags;
  HANDLE hHeap;
  DWORD dwParam;
} CENOTIFYREQUEST, *PCENOTIFYREQUEST;

// Flags of CeOpenDatabaseEx and CeReadRecordProps.
#define CEDB_AUTOINCREMENT 0x00000001  // open: each read moves to the next record
#define CEDB_ALLOWREALLOC 0x00000001   // read: the store may (re)allocate the buffer

// Creates a database from `info`: the name (CEDB_VALIDNAME, required; at most
// 31 UTF-16 units, compared exactly, letter case observed), its type
// (CEDB_VALIDTYPE), its database flags (CEDB_VALIDDBFLAGS: the upper 16 bits
// of dwFlags, kept and reported) and up to CEDB_MAXSORTORDER sort orders
// (CEDB_VALIDSORTSPEC, wNumSortOrder of them).
// A sort order's flags: CEDB_SORT_DESCENDING; CEDB_SORT_CASEINSENSITIVE
// (strings compare with the ASCII letters folded; otherwise by UTF-16 unit);
// CEDB_SORT_UNKNOWNFIRST (records without the property come first in the
// order's direction, otherwise last). Records of equal keys follow the
// order's direction by identifier too: a descending order reads the newest
// of them first.
// Returns the new database's CEOID, or 0 with: ERROR_DUP_NAME (a database of
// that name exists), ERROR_INVALID_PARAMETER (no name, an empty name, a name
// without a terminator within 32 units (never cut), more than 4 sort orders, a
// sort order on an unknown type, a volume other than the system volume, NULL
// info), or ERROR_DISK_FULL (also: no identifier left) / ERROR_WRITE_FAULT /
// ERROR_NOT_ENOUGH_MEMORY (the store cannot be written).
CEOID CeCreateDatabaseEx(PCEGUID volume, CEDBASEINFO* info);

// Opens a database: by identifier when *oid is not 0, else by name (then *oid
// receives the database's identifier). `sortProperty` 0 reads in the
// database's first sort order, or in creation order when it has none; a
// property identifier of one of its sort orders reads in that order.
// CEDB_AUTOINCREMENT makes each CeReadRecordProps move on to the next record.
// `notify` is ignored.
// The handle keeps its position as the key of the record last read, not as
// an open cursor: other handles, threads and processes may write and delete
// meanwhile, and the next read finds the record after that key.
// Returns a handle (close it with CloseHandle), or INVALID_HANDLE_VALUE with:
// ERROR_FILE_NOT_FOUND (no such database; an identifier of a record),
// ERROR_INVALID_PARAMETER (no name and no identifier, an empty name or one too
// long, a sort property the database lacks, a volume other than the system
// volume), ERROR_NOT_ENOUGH_MEMORY, or ERROR_READ_FAULT (the store cannot be
// read).
HANDLE CeOpenDatabaseEx(PCEGUID volume, PCEOID oid, LPWSTR name,
                        CEPROPID sortProperty, DWORD flags,
                        CENOTIFYREQUEST* notify);

// Writes a record. `record` 0 writes a new record; otherwise the properties
// given replace those of the same identifier in that record (others stay; a
// value with CEDB_PROPDELETE removes the property; one marked
// CEDB_PROPNOTFOUND, as a read returns it, is passed over). A property is
// matched by its whole identifier, type included; a new one comes after the
// record's others. Types CEVT_I2, CEVT_UI2, CEVT_I4, CEVT_UI4, CEVT_R8,
// CEVT_BOOL, CEVT_FILETIME, CEVT_LPWSTR and CEVT_BLOB are stored exactly. The
// write is on disk when the call returns.
// Returns the record's CEOID, or 0 with: ERROR_INVALID_HANDLE,
// ERROR_INVALID_PARAMETER (0 properties, NULL values, an unknown type, a
// record that is not in the database, a BLOB with bytes NULL but a count, a
// NULL string, a record past 65535 properties or the backend's size limit (SQLite's, or
// PostgreSQL's 1 GiB)),
// ERROR_KEY_DELETED (the database was deleted), ERROR_DISK_FULL (also: no
// identifier left) / ERROR_WRITE_FAULT, ERROR_NOT_ENOUGH_MEMORY.
CEOID CeWriteRecordProps(HANDLE database, CEOID record, WORD propCount,
                         CEPROPVAL* values);

// Reads the record at the handle's position (then moves on, with
// CEDB_AUTOINCREMENT). `propIds` NULL reads every property, in the order they
// were written; otherwise those listed, in that order (a missing one comes
// back with wFlags CEDB_PROPNOTFOUND). *propCount receives the count.
// The buffer receives an array of CEPROPVAL followed by the BLOB and string
// bytes they point to (each piece 8-byte aligned). Every BLOB's bytes are
// followed by two zero bytes that dwCount does not count, so a reader that
// takes a BLOB for a string never runs past the buffer. With
// CEDB_ALLOWREALLOC, *buffer may be NULL: the store allocates it with
// LocalAlloc, or grows a buffer that is too small with LocalReAlloc, and
// *bufferSize receives its size; the caller releases it with LocalFree. A
// buffer that is big enough is used as it is. Without the flag a buffer that
// is too small gives ERROR_INSUFFICIENT_BUFFER and *bufferSize the size
// needed.
// A failed read leaves the position where it was and hands out no buffer;
// the caller's buffer is left as it was, and *bufferSize changes only with
// ERROR_INSUFFICIENT_BUFFER.
// Returns the record's CEOID, or 0 with: ERROR_NO_MORE_ITEMS (259: past the
// last record), ERROR_INSUFFICIENT_BUFFER (122), ERROR_NOT_ENOUGH_MEMORY (8:
// the buffer cannot be allocated or grown), ERROR_INVALID_HANDLE,
// ERROR_INVALID_PARAMETER (propCount, buffer or bufferSize NULL; propIds with
// a count of 0), ERROR_KEY_DELETED (the database was deleted under the
// handle), ERROR_READ_FAULT (the store cannot be read, or a damaged record).
CEOID CeReadRecordProps(HANDLE database, DWORD flags, LPWORD propCount,
                        CEPROPID* propIds, LPBYTE* buffer, LPDWORD bufferSize);

// Seek types of CeSeekDatabase. This store supports CEDB_SEEK_BEGINNING.
#define CEDB_SEEK_CEOID 0x00000001
#define CEDB_SEEK_BEGINNING 0x00000002
#define CEDB_SEEK_END 0x00000004
#define CEDB_SEEK_CURRENT 0x00000008

// Moves the handle's position to a record: with CEDB_SEEK_BEGINNING, to the
// record `value` places from the first one in the handle's order (0: the
// first record), counted as the reads would count them. The next
// CeReadRecordProps reads that record (and, with CEDB_AUTOINCREMENT, moves on
// from it). The store keeps a count of each order's records in blocks, so it
// finds the record without reading the ones before it: a seek costs about
// the same at any place of any database. It reads the records after the one
// found ahead too, so the reads that follow need no query.
// Like a read, the seek counts the records as they are when it runs; the
// position it leaves is a key, as after a read (see CeOpenDatabaseEx).
// Returns the record's CEOID, and *index (when not NULL) receives its place
// (`value`). Returns 0, the position left where it was, with:
// ERROR_NO_MORE_ITEMS (`value` is the number of records or more),
// ERROR_NOT_SUPPORTED (another seek type), ERROR_INVALID_HANDLE,
// ERROR_KEY_DELETED (the database was deleted under the handle),
// ERROR_NOT_ENOUGH_MEMORY, ERROR_READ_FAULT (the store cannot be read).
CEOID CeSeekDatabase(HANDLE database, DWORD seekType, DWORD value, LPDWORD index);

// Deletes a record of the handle's database. Returns TRUE, or FALSE with:
// ERROR_INVALID_PARAMETER (no such record in this database, 0),
// ERROR_INVALID_HANDLE, ERROR_KEY_DELETED, ERROR_WRITE_FAULT / ERROR_DISK_FULL
// / ERROR_NOT_ENOUGH_MEMORY.
BOOL CeDeleteRecord(HANDLE database, CEOID record);

// Enumerates the databases of the given type (0: all), in creation order. A
// database created during the enumeration is listed when the enumeration
// reaches it; a deleted one is not.
// Returns an enumeration handle (close it with CloseHandle) or
// INVALID_HANDLE_VALUE with ERROR_NOT_ENOUGH_MEMORY or ERROR_READ_FAULT.
HANDLE CeFindFirstDatabase(DWORD databaseType);
// The next database's CEOID, or 0 with ERROR_NO_MORE_ITEMS at the end,
// ERROR_INVALID_HANDLE for a handle that is not an enumeration.
CEOID CeFindNextDatabase(HANDLE enumeration);

// Describes an object: a database (OBJTYPE_DATABASE with infDatabase: name,
// type, record count, size in bytes, sort orders, last change) or a record
// (OBJTYPE_RECORD with infRecord.oidParent). Returns FALSE with
// ERROR_INVALID_PARAMETER when no object has the identifier (0 included) or
// `info` is NULL, ERROR_READ_FAULT when the store cannot be read.
BOOL CeOidGetInfo(CEOID oid, CEOIDINFO* info);

// Deletes a database and all its records. Open handles on it stay valid to
// close; their reads fail with ERROR_KEY_DELETED. Returns TRUE, or FALSE with
// ERROR_INVALID_PARAMETER (no database has the identifier), ERROR_WRITE_FAULT.
BOOL CeDeleteDatabase(CEOID oid);

#ifdef __cplusplus
}
#endif

#endif  // CEPLATFORM_WINCE_DB_H_
