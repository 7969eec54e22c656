#include "database_catalogue.h"

#include <string.h>

#include "append_format.h"
#include "board_record.h"
#include "row_text.h"
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

const char kEnumerationFailed[] = "CeFindFirstDatabase failed with error (%ld)\n";
const char kOidGetInfoFailed[] = "CeOidGetInfo failed with error (%ld)";

// The messages print the code with "%ld" as the device does, where long is 32
// bits wide: a code with its top bit set reads as a negative number.
long ErrorCode(DWORD code) { return static_cast<LONG>(code); }

// The request's SCRIPT_NAME, looked up once for the whole page.
struct Script {
  explicit Script(RequestForm* form) {
    const char* value = form->variables->Get("SCRIPT_NAME");
    text = value != NULL ? value : "";
    length = strlen(text);
  }
  const char* text;
  size_t length;
};

// Room for any database name in the ANSI code page: at most 31 UTF-16 units
// and the terminator, each at most two bytes in Shift_JIS; four leave a margin.
const int kNarrowNameSize = CEDB_MAXDBASENAMELEN * 4;

// The store's name in `narrow` as terminated narrow text; 0 when the
// conversion fails.
int ConvertName(const WCHAR* wide, char* narrow) {
  int converted = WideCharToMultiByte(CP_ACP, 0, wide, -1, narrow, kNarrowNameSize, NULL, NULL);
  if (converted <= 0) return 0;
  narrow[converted - 1] = '\0';
  return 1;
}

// The four number cells of a row, each opened by `cell`: size, records, the
// identifier as %#X; the sort orders' cell always has two blanks.
template <size_t N>
void AddNumberCells(RowText* row, const CEDBASEINFO& info, CEOID oid, const char (&cell)[N]) {
  row->Add(cell);
  row->AddDecimal(static_cast<int>(info.dwSize));
  row->Add(cell);
  row->AddDecimal(info.wNumRecords);
  row->Add(cell);
  row->AddHex(oid);
  row->Add("</td>\n  <td align=\"right\">  ");
  row->AddDecimal(info.wNumSortOrder);
  row->Add("</td>\n");
}

// A board's row (the two links carry SCRIPT_NAME and the database):
//  <tr bgcolor="#CCCCFF">
//   <td><a href="SCRIPT?cmd=enum&name=NAME">\tNAME  </a></td>
//   <td align="right">  SIZE</td> ... RECORDS, OID as %#X, SORT ORDERS
//   <td><a href="SCRIPT?cmd=deleteDB&db=OID as %d">DELETE DB</a></td>
//  </tr>
// Every database has a row, so rows are built by hand, never through printf.
void WriteBoardRow(PageWriter* page, const Script& script, CEOID oid, const CEDBASEINFO& info,
                   const char* name) {
  size_t nameLength = strlen(name);
  RowText row;
  row.Add(" <tr bgcolor=\"#CCCCFF\">\n  <td><a href=\"");
  row.Add(script.text, script.length);
  row.Add("?cmd=enum&name=");
  row.Add(name, nameLength);
  row.Add("\">\t");
  row.Add(name, nameLength);
  row.Add("  </a>");
  AddNumberCells(&row, info, oid, "</td>\n  <td align=\"right\">  ");
  row.Add("  <td><a href=\"");
  row.Add(script.text, script.length);
  row.Add("?cmd=deleteDB&db=");
  row.AddDecimal(static_cast<int>(oid));
  row.Add("\">DELETE DB</a></td>\n </tr>\n");
  row.WriteTo(page);
}

// Any other database's row: name, size, records and oid in plain cells, and
// the sort orders after two blanks.
void WriteOtherRow(PageWriter* page, CEOID oid, const CEDBASEINFO& info, const char* name) {
  RowText row;
  row.Add(" <tr bgcolor=\"#FFFFFF\">\n  <td>");
  row.Add(name, strlen(name));
  AddNumberCells(&row, info, oid, "</td>\n  <td align=\"right\">");
  row.Add(" </tr>\n");
  row.WriteTo(page);
}

}  // namespace

void WriteDatabaseCatalogue(RequestForm* form, PageWriter* page) {
  HANDLE enumeration = CeFindFirstDatabase(0);
  if (enumeration == INVALID_HANDLE_VALUE) {
    AppendFormat(page, kEnumerationFailed, ErrorCode(GetLastError()));
    return;
  }

  page->Put(kTableHead);
  const Script script(form);
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
      AppendFormat(page, kOidGetInfoFailed, ErrorCode(endCode));
      break;
    }
    // The store terminates its names; the last unit is forced anyway, so the
    // conversion can never run past the field.
    info.infDatabase.szDbaseName[CEDB_MAXDBASENAMELEN - 1] = 0;
    char name[kNarrowNameSize];
    if (!ConvertName(info.infDatabase.szDbaseName, name)) continue;
    if (HasBoardPrefix(name)) {
      WriteBoardRow(page, script, oid, info.infDatabase, name);
    } else {
      WriteOtherRow(page, oid, info.infDatabase, name);
    }
  }

  page->Put("</table>\n");
  if (endCode != ERROR_NO_MORE_ITEMS) {
    AppendFormat(page, kEnumerationFailed, ErrorCode(endCode));
  }
  CloseHandle(enumeration);
}
