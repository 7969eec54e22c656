#include "record_browser.h"

#include <stdlib.h>
#include <string.h>

#include "admin_parameters.h"
#include "append_format.h"
#include "board_record.h"
#include "error_page.h"
#include "store_calls.h"
#include "string_util.h"
#include "strip_tags.h"
#include "wince.h"

namespace {

const int kNameArea = 256;
const int kPostTextArea = 256;

const char kDeleteLink[] = "<A HREF=\"%s?cmd=deleteitem&dbname=%s&deleteitem=%d\">delete:</A>";
const char kTopLink[] = "<A HREF=\"%s?\">TOP</A> ";

const char* ScriptName(RequestForm* form) {
  const char* script = form->variables->GetNoCase("SCRIPT_NAME");
  return script != NULL ? script : "";
}

void WritePostLine(RequestForm* form, PageWriter* page, const char* databaseName, CEOID record,
                   const CEBLOB& post) {
  // The board stores its HTML with a terminator; the count still bounds the
  // scan so that a record written by anything else cannot lead past its bytes.
  char text[kPostTextArea];
  memset(text, 0, sizeof(text));
  StripTagsBounded(text, kPostTextArea - 1, reinterpret_cast<const char*>(post.lpb),
                   post.dwCount);

  AppendFormat(page, kDeleteLink, ScriptName(form), databaseName, static_cast<int>(record));
  page->Put("<TT>");
  page->Put(text);
  page->Put("</TT>");
  page->Put("<BR>\n");
}

}  // namespace

int ListBoardRecords(RequestForm* form, PageWriter* page) {
  // A value that fills the whole area has no terminator and is longer than
  // any database name; it is refused like a missing one.
  char name[kNameArea];
  int received = GetAdminParameter(form, "name=", name, kNameArea);
  if (received <= 0 || received >= kNameArea) {
    ErrorPage(page->buffer(), "DB not found");
    return 0;
  }
  if (CompareNoCaseN(name, BOARD_DATABASE_PREFIX, BOARD_DATABASE_PREFIX_LENGTH) != 0) {
    ErrorPage(page->buffer(), "It is not TULVAN DB.");
    return 0;
  }
  WCHAR wideName[kNameArea];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, kNameArea) == 0) {
    ErrorPage(page->buffer(), "MultiByteToWideChar failed.");
    return 0;
  }
  HANDLE database = OpenDatabaseByName(wideName);
  if (database == INVALID_HANDLE_VALUE) {
    ErrorPage(page->buffer(), "CeOpenDatabaseEx failed.");
    return 0;
  }

  LPBYTE buffer = NULL;
  DWORD bufferSize = 0;
  DWORD endCode = ERROR_NO_MORE_ITEMS;
  // A page the heap could not hold is lost already: reading on through a
  // huge board would only delay its answer.
  while (!page->failedSoFar()) {
    WORD propCount = 0;
    CEOID record = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &propCount, NULL, &buffer,
                                     &bufferSize);
    if (record == 0) {
      endCode = GetLastError();
      break;
    }
    const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(buffer);
    for (WORD i = 0; values != NULL && i < propCount; i++) {
      if (values[i].propid == BOARD_PROP_HTML) {
        WritePostLine(form, page, name, record, values[i].val.blob);
      }
    }
    LocalFree(buffer);
    buffer = NULL;
  }
  if (buffer != NULL) LocalFree(buffer);

  if (endCode == ERROR_SUCCESS || endCode == ERROR_NO_MORE_ITEMS) {
    AppendFormat(page, kTopLink, ScriptName(form));
  } else if (endCode == ERROR_INSUFFICIENT_BUFFER) {
    ErrorPage(page->buffer(), "Re-allocation of database records failed.");
  } else {
    ErrorPage(page->buffer(), "Other errors.");
  }
  CloseHandle(database);
  return 1;
}

int DeleteBoardRecord(RequestForm* form, PageWriter* page) {
  TextBuffer* response = page->buffer();
  CEOID record = static_cast<CEOID>(GetAdminIntParameter(form, "deleteitem="));

  char name[kNameArea];
  memset(name, 0, sizeof(name));
  if (GetAdminParameter(form, "dbname=", name, kNameArea - 1) == 0) {
    ErrorPage(response, "Open database Error");
    return 0;
  }
  WCHAR wideName[kNameArea];
  if (MultiByteToWideChar(CP_ACP, 0, name, -1, wideName, kNameArea - 1) == 0) {
    ErrorPage(response, "MultiByteToWideChar failed.");
    return 0;
  }
  HANDLE database = OpenDatabaseByName(wideName);
  if (database == INVALID_HANDLE_VALUE) {
    ErrorPage(response, "Open database Error");
    return 0;
  }
  if (CeDeleteRecord(database, record)) {
    CloseHandle(database);
    return 1;
  }

  DWORD code = GetLastError();
  CloseHandle(database);
  DeleteRecordFailurePage(response, code, database, record);
  return 0;
}

void DeleteBoardDatabase(RequestForm* form, PageWriter* page) {
  TextBuffer* response = page->buffer();
  CEOID oid = static_cast<CEOID>(GetAdminIntParameter(form, "db="));

  CEOIDINFO info;
  if (!CeOidGetInfo(oid, &info)) {
    ErrorPage(response, "CeOidGetInfo failed with error.");
    return;
  }
  if (info.wObjType != OBJTYPE_DATABASE) {
    ErrorPage(response, "This oid is not database type.");
    return;
  }
  info.infDatabase.szDbaseName[CEDB_MAXDBASENAMELEN - 1] = 0;
  char* name = WideToNarrow(info.infDatabase.szDbaseName);
  if (name == NULL) {
    ErrorPage(response, "Memory alloc failed.");
    return;
  }

  const char* outcome;
  if (!HasBoardPrefix(name)) {
    outcome = "This is not TULVAN family.";
  } else if (CeDeleteDatabase(oid)) {
    outcome = "Database deleted.";
  } else {
    outcome = "Database failed.";
  }
  free(name);
  ErrorPage(response, outcome);
}
