#include "board_database.h"

#include <string.h>

#include "error_page.h"
#include "page_writer.h"
#include "post_renderer.h"
#include "store_calls.h"

namespace {

// Creates the board's database and opens it; INVALID_HANDLE_VALUE after
// writing the error page.
HANDLE CreateBoardDatabase(WCHAR* name, TextBuffer* response) {
  CEDBASEINFO info;
  memset(&info, 0, sizeof(info));
  info.dwFlags = BOARD_DATABASE_FLAGS;
  for (int i = 0; i < CEDB_MAXDBASENAMELEN - 1 && name[i] != 0; i++) info.szDbaseName[i] = name[i];
  info.dwDbaseType = BOARD_DATABASE_TYPE;
  info.wNumSortOrder = 1;
  info.rgSortSpecs[0].propid = BOARD_PROP_TIME;
  info.rgSortSpecs[0].dwFlags = BOARD_SORT_FLAGS;

  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = CeCreateDatabaseEx(&volume, &info);
  if (oid == 0) {
    if (GetLastError() != ERROR_DUP_NAME) {
      ErrorPage(response, "ERROR: CeCreateDatabaseEx failed.");
      return INVALID_HANDLE_VALUE;
    }
    // Another request created the board between our open and our create:
    // its database serves this post as well.
    HANDLE database = OpenDatabaseByName(name);
    if (database == INVALID_HANDLE_VALUE) ErrorPage(response, "ERROR: CeOpenDatabaseEx failed.");
    return database;
  }
  HANDLE database = CeOpenDatabaseEx(&volume, &oid, name, 0, 0, NULL);
  if (database == INVALID_HANDLE_VALUE) ErrorPage(response, "ERROR: CeOpenDatabaseEx failed.");
  return database;
}

}  // namespace

int BoardDatabaseName(const char* scriptName, char* out, int capacity) {
  if (scriptName == NULL) return 0;
  // The end: the closing quote of a quoted name, else the terminator. The
  // first byte is skipped so that an opening quote does not end the name.
  const char* end = scriptName;
  if (*end != '\0') {
    end++;
    while (*end != '\0' && *end != '"') end++;
  }
  const char* start = scriptName;
  for (const char* p = end; p > scriptName;) {
    --p;
    if (*p == '/' || *p == '\\' || *p == '"') {
      start = p + 1;
      break;
    }
  }
  const int prefix = BOARD_DATABASE_PREFIX_LENGTH;
  memcpy(out, BOARD_DATABASE_PREFIX, prefix);
  int n = 0;
  while (n < capacity - 8 && start[n] != '\0' && start[n] != '"') {
    out[prefix + n] = start[n];
    n++;
  }
  out[prefix + n] = '\0';
  return 1;
}

int AddPost(WCHAR* name, TextBuffer* body, TextBuffer* response) {
  TextBuffer post;
  if (!RenderPost(body, response, &post)) return 0;

  HANDLE database = OpenDatabaseByName(name);
  if (database == INVALID_HANDLE_VALUE) {
    // Only a database that is not there is made anew: after any other
    // failure the board's database may well exist, out of reach.
    DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND) {
      ErrorPage(response, code == ERROR_NOT_ENOUGH_MEMORY ? kNotEnoughMemory
                                                          : "Open database Error");
      return 0;
    }
    database = CreateBoardDatabase(name, response);
    if (database == INVALID_HANDLE_VALUE) return 0;
  }

  SYSTEMTIME now;
  GetLocalTime(&now);
  FILETIME posted = {0, 0};
  SystemTimeToFileTime(&now, &posted);

  CEPROPVAL values[2];
  memset(values, 0, sizeof(values));
  values[0].propid = BOARD_PROP_TIME;
  values[0].val.filetime = posted;
  values[1].propid = BOARD_PROP_HTML;
  values[1].val.blob.dwCount = static_cast<DWORD>(strlen(post.data)) + 1;
  values[1].val.blob.lpb = reinterpret_cast<LPBYTE>(post.data);

  int result = 1;
  if (CeWriteRecordProps(database, 0, 2, values) == 0) {
    ErrorPage(response, "Write Record Error");
    result = 0;
  }
  CloseHandle(database);
  return result;
}

int DeletePost(WCHAR* name, int record, TextBuffer* response) {
  HANDLE database = OpenDatabaseByName(name);
  if (database == INVALID_HANDLE_VALUE) {
    ErrorPage(response, "Open database Error");
    return 0;
  }
  if (CeDeleteRecord(database, static_cast<CEOID>(record))) {
    CloseHandle(database);
    return 1;
  }
  DWORD code = GetLastError();
  CloseHandle(database);
  DeleteRecordFailurePage(response, code, database, static_cast<CEOID>(record));
  return 0;
}
