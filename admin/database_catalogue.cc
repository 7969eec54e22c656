#include "database_catalogue.h"

#include <stdlib.h>

#include "append_format.h"
#include "board_prefix.h"
#include "string_util.h"
#include "wince.h"

namespace {

const char kTableHead[] =
    "<table cellspacing=\"0\">\n"
    "<tr bgcolor=\"#CCFFCC\">\n"
    "<td>Database name</td>\n"
    "<td align=\"right\">size</td>\n"
    "<td align=\"right\">records</td>\n"
    "<td align=\"right\">oid</td>\n"
    "<td align=\"right\">wNumSortOrder</td>\n"
    "<td align=\"right\">command</td>\n"
    "</tr>\n";

const char kBoardRow[] =
    " <tr bgcolor=\"#CCCCFF\">\n"
    "  <td><a href=\"%s?cmd=enum&name=%s\">\t%s  </a></td>\n"
    "  <td align=\"right\">  %d</td>\n"
    "  <td align=\"right\">  %d</td>\n"
    "  <td align=\"right\">  %#X</td>\n"
    "  <td align=\"right\">  %d</td>\n"
    "  <td><a href=\"%s?cmd=deleteDB&db=%d\">DELETE DB</a></td>\n"
    " </tr>\n";

const char kOtherRow[] =
    " <tr bgcolor=\"#FFFFFF\">\n"
    "  <td>%s</td>\n"
    "  <td align=\"right\">%d</td>\n"
    "  <td align=\"right\">%d</td>\n"
    "  <td align=\"right\">%#X</td>\n"
    "  <td align=\"right\">  %d</td>\n"
    " </tr>\n";

const char kEnumerationFailed[] = "CeFindFirstDatabase failed with error (%ld)\n";
const char kOidGetInfoFailed[] = "CeOidGetInfo failed with error (%ld)";

// The messages print the code with "%ld" as the device does, where long is 32
// bits wide: a code with its top bit set reads as a negative number.
long ErrorCode(DWORD code) { return static_cast<LONG>(code); }

const char* ScriptName(RequestForm* form) {
  const char* script = form->variables->Get("SCRIPT_NAME");
  return script != NULL ? script : "";
}

void AppendRow(RequestForm* form, CEOID oid, const CEDBASEINFO& info, const char* name) {
  if (HasBoardPrefix(name)) {
    AppendFormat(form->response, kBoardRow, ScriptName(form), name, name,
                 static_cast<int>(info.dwSize), static_cast<int>(info.wNumRecords),
                 static_cast<unsigned>(oid), static_cast<int>(info.wNumSortOrder),
                 ScriptName(form), static_cast<int>(oid));
  } else {
    AppendFormat(form->response, kOtherRow, name, static_cast<int>(info.dwSize),
                 static_cast<int>(info.wNumRecords), static_cast<unsigned>(oid),
                 static_cast<int>(info.wNumSortOrder));
  }
}

}  // namespace

void WriteDatabaseCatalogue(RequestForm* form) {
  TextBuffer* response = form->response;
  HANDLE enumeration = CeFindFirstDatabase(0);
  if (enumeration == INVALID_HANDLE_VALUE) {
    AppendFormat(response, kEnumerationFailed, ErrorCode(GetLastError()));
    return;
  }

  response->AppendString(kTableHead);
  DWORD endCode;
  for (;;) {
    CEOID oid = CeFindNextDatabase(enumeration);
    if (oid == 0) {
      endCode = GetLastError();
      break;
    }
    CEOIDINFO info;
    if (!CeOidGetInfo(oid, &info)) {
      endCode = GetLastError();
      AppendFormat(response, kOidGetInfoFailed, ErrorCode(endCode));
      break;
    }
    // The store terminates its names; the last unit is forced anyway, so the
    // conversion can never run past the field.
    info.infDatabase.szDbaseName[CEDB_MAXDBASENAMELEN - 1] = 0;
    char* name = WideToNarrow(info.infDatabase.szDbaseName);
    if (name == NULL) continue;
    AppendRow(form, oid, info.infDatabase, name);
    free(name);
  }

  response->AppendString("</table>\n");
  if (endCode != ERROR_NO_MORE_ITEMS) {
    AppendFormat(response, kEnumerationFailed, ErrorCode(endCode));
  }
  CloseHandle(enumeration);
}
