#include "board_page.h"

#include <stdio.h>
#include <string.h>

#include "board_database.h"
#include "string_util.h"

namespace {

const char kHideDeleteFlag[] = "$HIDE_DELETE_FLAG$";
// The script directory may take this many bytes (and its NUL); with the base
// name, a part of the same path, and the file name, the path fits its area.
const int kDirectorySize = 220;
const int kPathSize = 260;
const int kBaseNameSize = 64;
const int kReadBlock = 256;

const char* ScriptName(ServerVariables* variables) {
  const char* script = variables->GetNoCase("SCRIPT_NAME");
  return script != NULL ? script : "";
}

// Forms <directory><base><file> in `path`; 0 when the script's directory is
// unknown (no DOCUMENT_ROOT or SCRIPT_NAME, or a path too long).
int TemplatePath(ServerVariables* variables, const char* base, const char* file, char* path) {
  memset(path, 0, kPathSize);
  if (!GetScriptDirectory(variables, path, kDirectorySize)) return 0;
  size_t used = strlen(path);
  if (used + strlen(base) + strlen(file) + 1 > static_cast<size_t>(kPathSize)) return 0;
  strcat(path, base);
  strcat(path, file);
  return 1;
}

void ReleaseRecord(LPBYTE* record, DWORD* size) {
  if (*record != NULL) LocalFree(*record);
  *record = NULL;
  *size = 0;
}

void WritePost(const CEPROPVAL& value, CEOID oid, const char* script, PageWriter* page, int hide) {
  page->Put("<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%\"><tr>");
  page->Put("<td width=\"100%\">");
  const CEBLOB& blob = value.val.blob;
  // The post's HTML runs to its NUL, never past the record's bytes.
  int n = 0;
  if (blob.lpb != NULL && blob.dwCount > 0) {
    const void* end = memchr(blob.lpb, 0, blob.dwCount);
    n = static_cast<int>(end != NULL ? static_cast<const BYTE*>(end) - blob.lpb : blob.dwCount);
  }
  page->Put(reinterpret_cast<const char*>(blob.lpb), n);
  page->Put("</td><td>");
  if (!hide) {
    // Written in pieces: a script name of any length gives a whole button.
    page->Put("<form METHOD=\"POST\" ACTION=\"");
    page->Put(script);
    page->Put("\"><input type=\"SUBMIT\" name=\"deleteitem\" value=\"\x8D\xED\x8F\x9C\">"
              "<input type=\"hidden\" name=\"deleteitemid\" value=\"");
    page->PutInt(static_cast<int>(oid));
    page->Put("\"></form>");
  }
  page->Put("</td>");
  page->Put("</tr></table><HR>\n");
}

}  // namespace

int ScriptBaseName(const char* scriptName, char* out, int capacity) {
  out[0] = '\0';
  if (scriptName == NULL) return 0;
  const char* start = scriptName;
  for (const char* p = scriptName; *p != '\0'; p++) {
    if (*p == '/' || *p == '\\') start = p + 1;
  }
  int n = 0;
  while (n < capacity - 1 && start[n] != '\0' && start[n] != '.') {
    out[n] = start[n];
    n++;
  }
  out[n] = '\0';
  return 1;
}

HANDLE OpenFileNarrow(const char* path, DWORD access, DWORD share,
                      LPSECURITY_ATTRIBUTES security, DWORD disposition,
                      DWORD attributes, HANDLE templateFile) {
  int units = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
  if (units <= 0) return INVALID_HANDLE_VALUE;
  HANDLE heap = GetProcessHeap();
  WCHAR* wide = static_cast<WCHAR*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, units * sizeof(WCHAR)));
  if (wide == NULL) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE file = INVALID_HANDLE_VALUE;
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, units) > 0) {
    file = CreateFileW(wide, access, share, security, disposition, attributes, templateFile);
  }
  DWORD code = GetLastError();
  HeapFree(heap, HEAP_NO_SERIALIZE, wide);
  SetLastError(code);
  return file;
}

int ReadTemplateFile(const char* path, PageWriter* page) {
  HANDLE file = OpenFileNarrow(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    // The owner's template is there, we only could not get at it.
    if (GetLastError() == ERROR_NOT_ENOUGH_MEMORY) page->Fail();
    return 0;
  }
  // A file that fails half-way is taken back whole: half a header could end
  // inside a tag, or before the form.
  TextBuffer* out = page->buffer();
  int mark = out->length;
  char block[kReadBlock];
  DWORD got = 0;
  BOOL read = TRUE;
  while ((read = ReadFile(file, block, sizeof(block), &got, NULL)) && got > 0) {
    page->Put(block, static_cast<int>(got));
  }
  CloseHandle(file);
  if (!read && out->data != NULL && out->length > mark) {
    out->length = mark;
    out->data[mark] = '\0';
  }
  return read ? 1 : 0;
}

void WriteBoardHeader(ServerVariables*, PageWriter* page) {
  page->Put("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=shift_jis\">\n"
            "<HTML><HEAD>\n<TITLE>TULVAN BBS</TITLE>\n</HEAD>\n<BODY BGCOLOR=#FFFFFF>\n");
}

void WriteBoardForm(ServerVariables* variables, PageWriter* page) {
  page->Put("<form method=POST action=\"");
  page->Put(ScriptName(variables));
  page->Put("\"><TT>");
  // 投稿者, メール, 題　名, 内　容; the button says 投稿, the reset 消す.
  page->Put("\x93\x8A\x8D\x65\x8E\xD2 <input type=text name=\"name\" size=20 value=\"\" maxlength=24><br>"
            "\x83\x81\x81\x5B\x83\x8B <input type=text name=\"email\" size=30 value=\"\"><br>"
            "\x91\xE8\x81\x40\x96\xBC <input type=text name=\"subject\" size=30><br>"
            "\x93\xE0\x81\x40\x97\x65 <br></TT><textarea name=\"body\" rows=5 cols=80></textarea>"
            "<input type=submit name=\"postitem\" value=\"     \x93\x8A\x8D\x65     \">"
            "<input type=reset value=\"\x8F\xC1\x82\xB7\"></form>");
}

void WriteBoardFooter(ServerVariables*, PageWriter* page) {
  page->Put("<P><A HREF=\"https://corkwall.example/\">TULVAN BBS by Vandrel</A></BODY></HTML>\n");
}

int ListPosts(WCHAR* name, ServerVariables* variables, PageWriter* page, int offset, int hide) {
  if (offset < 0) offset = 0;
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID none = 0;
  HANDLE database = CeOpenDatabaseEx(&volume, &none, name, 0, CEDB_AUTOINCREMENT, NULL);
  if (database == INVALID_HANDLE_VALUE) {
    // No database yet means no posts; a store out of memory is a failure,
    // and so is a store that cannot be read: its posts are there, unseen.
    DWORD code = GetLastError();
    if (code == ERROR_NOT_ENOUGH_MEMORY) page->Fail();
    if (code == ERROR_READ_FAULT) ErrorPage(page->buffer(), "Other errors.");
    return 1;
  }
  const char* script = ScriptName(variables);

  int skip = offset;
  int shown = 0;
  LPBYTE record = NULL;
  DWORD size = 0;
  DWORD code = 0;
  for (;;) {
    WORD count = 0;
    CEOID oid = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &count, NULL, &record, &size);
    if (oid == 0) {
      code = GetLastError();
      break;
    }
    if (skip > 0) {
      skip--;
      ReleaseRecord(&record, &size);
      continue;
    }
    if (shown == BOARD_PAGE_POSTS) {
      code = 0;  // a post follows this page
      ReleaseRecord(&record, &size);
      break;
    }
    const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(record);
    for (WORD i = 0; values != NULL && i < count; i++) {
      if (values[i].propid == BOARD_PROP_HTML) WritePost(values[i], oid, script, page, hide);
    }
    shown++;
    ReleaseRecord(&record, &size);
  }
  ReleaseRecord(&record, &size);

  if (code == 0 || code == ERROR_NO_MORE_ITEMS) {
    page->Put("<A HREF=\"");
    page->Put(script);
    page->Put("?\">TOP</A> ");
    if (code == 0) {
      page->Put("<A HREF=\"");
      page->Put(script);
      page->Put("?row=");
      char next[24];
      snprintf(next, sizeof(next), "%lld", static_cast<long long>(offset) + BOARD_PAGE_POSTS);
      page->Put(next);
      page->Put("\">NEXT</A>");
    }
  } else if (code == ERROR_INSUFFICIENT_BUFFER) {
    ErrorPage(page->buffer(), "Re-allocation of database records failed.");
  } else {
    ErrorPage(page->buffer(), "Other errors.");
  }
  CloseHandle(database);
  return 1;
}

void WriteBoardPage(ServerVariables* variables, TextBuffer* response, WCHAR* name, int offset) {
  EmptyResponse(response);
  PageWriter page(response);
  page.Put("Content-Type: text/html; Charset=Shift_JIS\r\n\r\n");

  char base[kBaseNameSize];
  ScriptBaseName(variables->GetNoCase("SCRIPT_NAME"), base, sizeof(base));

  char path[kPathSize];
  int havePath = TemplatePath(variables, base, "HEAD.HTML", path);
  if (!havePath || !ReadTemplateFile(path, &page)) {
    WriteBoardHeader(variables, &page);
    // Without a directory nothing was tried, so there is no path to name.
    if (havePath) {
      page.Put("\n<!-- ERROR READ FILE ");
      page.Put(path);
      page.Put(" -->\n");
    }
    WriteBoardForm(variables, &page);
  }
  // The marker is looked for in the page written so far, read as text: a
  // header with a NUL byte in it is searched up to that byte.
  int hide = response->data != NULL && strstr(response->data, kHideDeleteFlag) != NULL ? 0 : 1;

  ListPosts(name, variables, &page, offset, hide);

  havePath = TemplatePath(variables, base, "FOOT.HTML", path);
  if (!havePath || !ReadTemplateFile(path, &page)) WriteBoardFooter(variables, &page);

  if (page.failed()) ErrorPage(response, kNotEnoughMemory);
}
