#include "board_page.h"

#include <stdio.h>
#include <string.h>

#include "board_record.h"
#include "store_calls.h"
#include "string_util.h"

namespace {

const char kHideDeleteFlag[] = "$HIDE_DELETE_FLAG$";
// The script directory may take this many bytes (and its NUL); with the base
// name, a part of the same path, and the file name, the path fits its area.
const int kDirectorySize = 220;
const int kPathSize = 260;
const int kBaseNameSize = 64;
const int kReadBlock = 256;

// The longest template file name, "HEAD.HTML" or "FOOT.HTML".
const int kTemplateNameSize = 9;

// Where a board's templates lie: <directory><base>, the part the two
// template paths share, and how much of it is the document root, which the
// page never shows.
struct TemplatePlace {
  char prefix[kPathSize];
  int found;      // 0 when the script's directory is unknown
  int rootBytes;  // the bytes of `prefix` that the document root gave
};

// Fills `place` for the board of `base`; `found` is 0 when the script's
// directory is unknown (no DOCUMENT_ROOT or SCRIPT_NAME, or a path too long
// for the area).
void FindTemplates(ServerVariables* variables, const char* base, TemplatePlace* place) {
  memset(place->prefix, 0, kPathSize);
  place->found = 0;
  place->rootBytes = 0;
  if (!GetScriptDirectory(variables, place->prefix, kDirectorySize)) return;
  size_t used = strlen(place->prefix);
  size_t baseLength = strlen(base);
  if (used + baseLength + kTemplateNameSize + 1 > static_cast<size_t>(kPathSize)) return;
  memcpy(place->prefix + used, base, baseLength + 1);
  // The directory is the root's bytes, then the script's; a script without
  // a folder of its own can leave less than the root.
  size_t root = strlen(variables->Get("DOCUMENT_ROOT"));
  place->rootBytes = static_cast<int>(root < used ? root : used);
  place->found = 1;
}

// <prefix><file> in `path`.
void TemplatePath(const char* prefix, const char* file, char* path) {
  size_t used = strlen(prefix);
  memcpy(path, prefix, used);
  memcpy(path + used, file, strlen(file) + 1);
}

void WritePost(const CEPROPVAL& value, CEOID oid, const char* script, PageWriter* page, int hide) {
  page->Put("<table border=\"0\" cellpadding=\"0\" cellspacing=\"0\" width=\"100%\"><tr>"
            "<td width=\"100%\">");
  const CEBLOB& blob = value.val.blob;
  // The post's HTML runs to its NUL, never past the record's bytes.
  int n = 0;
  if (blob.lpb != NULL && blob.dwCount > 0) {
    const void* end = memchr(blob.lpb, 0, blob.dwCount);
    n = static_cast<int>(end != NULL ? static_cast<const BYTE*>(end) - blob.lpb : blob.dwCount);
  }
  page->Put(reinterpret_cast<const char*>(blob.lpb), n);
  if (hide) {
    page->Put("</td><td></td></tr></table><HR>\n");
    return;
  }
  // Written in pieces: a script name of any length gives a whole button.
  page->Put("</td><td><form METHOD=\"POST\" ACTION=\"");
  page->Put(script);
  page->Put("\"><input type=\"SUBMIT\" name=\"deleteitem\" value=\"\x8D\xED\x8F\x9C\">"
            "<input type=\"hidden\" name=\"deleteitemid\" value=\"");
  page->PutInt(static_cast<int>(oid));
  page->Put("\"></form></td></tr></table><HR>\n");
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
  // A path of the template area converts in one go on the stack; only a
  // longer one is measured first and converted on the heap.
  WCHAR area[kPathSize];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, area, kPathSize) > 0) {
    return CreateFileW(area, access, share, security, disposition, attributes, templateFile);
  }
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return INVALID_HANDLE_VALUE;
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
  out = page->buffer();  // the staged bytes too
  if (!read && out->data != NULL && out->length > mark) {
    out->length = mark;
    out->data[mark] = '\0';
  }
  return read ? 1 : 0;
}

void WriteBoardHeader(PageWriter* page) {
  page->Put("<meta http-equiv=\"Content-Type\" content=\"text/html; charset=shift_jis\">\n"
            "<HTML><HEAD>\n<TITLE>TULVAN BBS</TITLE>\n</HEAD>\n<BODY BGCOLOR=#FFFFFF>\n");
}

void WriteBoardForm(const char* script, PageWriter* page) {
  page->Put("<form method=POST action=\"");
  page->Put(script);
  page->Put("\"><TT>");
  // 投稿者, メール, 題　名, 内　容; the button says 投稿, the reset 消す.
  page->Put("\x93\x8A\x8D\x65\x8E\xD2 <input type=text name=\"name\" size=20 value=\"\" maxlength=24><br>"
            "\x83\x81\x81\x5B\x83\x8B <input type=text name=\"email\" size=30 value=\"\"><br>"
            "\x91\xE8\x81\x40\x96\xBC <input type=text name=\"subject\" size=30><br>"
            "\x93\xE0\x81\x40\x97\x65 <br></TT><textarea name=\"body\" rows=5 cols=80></textarea>"
            "<input type=submit name=\"postitem\" value=\"     \x93\x8A\x8D\x65     \">"
            "<input type=reset value=\"\x8F\xC1\x82\xB7\"></form>");
}

void WriteBoardFooter(PageWriter* page) {
  page->Put("<P><A HREF=\"https://corkwall.example/\">TULVAN BBS by Vandrel</A></BODY></HTML>\n");
}

int ListPosts(WCHAR* name, const char* script, PageWriter* page, int offset, int hide) {
  if (offset < 0) offset = 0;
  HANDLE database = OpenDatabaseByName(name);
  if (database == INVALID_HANDLE_VALUE) {
    // Only a database that is not there means no posts. Any other failure
    // (a store out of memory, unreadable, unreachable or timed out) leaves
    // posts that may be there unseen, so the page says it failed.
    DWORD code = GetLastError();
    if (code == ERROR_NOT_ENOUGH_MEMORY) {
      page->Fail();
    } else if (code != ERROR_FILE_NOT_FOUND) {
      ErrorPage(page->buffer(), "Other errors.");
    }
    return 1;
  }

  // The page's first record is found by its place, not by reading every
  // record before it: a page deep in a large board costs what the first
  // does. A place past the last record leaves nothing to list.
  int shown = 0;
  LPBYTE record = NULL;
  DWORD size = 0;
  DWORD code = 0;
  DWORD place = 0;
  int listing = 1;
  if (offset > 0 && CeSeekDatabase(database, CEDB_SEEK_BEGINNING, offset, &place) == 0) {
    code = GetLastError();
    listing = 0;
  }
  // One record buffer serves every read: the store grows it when a record
  // needs more room, and it holds only the record just read.
  while (listing) {
    WORD count = 0;
    CEOID oid = CeReadRecordProps(database, CEDB_ALLOWREALLOC, &count, NULL, &record, &size);
    if (oid == 0) {
      code = GetLastError();
      break;
    }
    if (shown == BOARD_PAGE_POSTS) {
      code = 0;  // a post follows this page
      break;
    }
    const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(record);
    for (WORD i = 0; values != NULL && i < count; i++) {
      if (values[i].propid == BOARD_PROP_HTML) WritePost(values[i], oid, script, page, hide);
    }
    shown++;
  }
  if (record != NULL) LocalFree(record);

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

namespace {

// Writes the page's top: the header block, then the header template, or the
// built-in header, a comment naming the template tried and the built-in form.
// The comment names the template below the document root (\bbs\boardHEAD.HTML):
// every visitor reads it, and the server's own folders are nobody's business.
// Returns the hide flag: 0 when the text written carries the marker, read as
// text (a header with a NUL byte in it is searched up to that byte).
int WritePageTop(const char* script, const TemplatePlace& place, PageWriter* page) {
  page->Put("Content-Type: text/html; Charset=Shift_JIS\r\n\r\n");
  char path[kPathSize];
  if (place.found) TemplatePath(place.prefix, "HEAD.HTML", path);
  if (!place.found || !ReadTemplateFile(path, page)) {
    WriteBoardHeader(page);
    // Without a directory nothing was tried, so there is no path to name.
    if (place.found) {
      page->Put("\n<!-- ERROR READ FILE ");
      page->Put(path + place.rootBytes);
      page->Put(" -->\n");
    }
    WriteBoardForm(script, page);
  }
  const char* text = page->buffer()->data;
  return text != NULL && strstr(text, kHideDeleteFlag) != NULL ? 0 : 1;
}

}  // namespace

int ShowsDeleteButtons(ServerVariables* variables) {
  const char* scriptName = variables->GetNoCase("SCRIPT_NAME");
  char base[kBaseNameSize];
  ScriptBaseName(scriptName, base, sizeof(base));
  TemplatePlace place;
  FindTemplates(variables, base, &place);
  TextBuffer top;
  PageWriter page(&top);
  int hide = WritePageTop(scriptName != NULL ? scriptName : "", place, &page);
  if (page.failed()) return -1;
  return hide ? 0 : 1;
}

void WriteBoardPage(ServerVariables* variables, TextBuffer* response, WCHAR* name, int offset) {
  EmptyResponse(response);
  PageWriter page(response);

  // SCRIPT_NAME as the page shows it: looked up once, "" when absent.
  const char* scriptName = variables->GetNoCase("SCRIPT_NAME");
  const char* script = scriptName != NULL ? scriptName : "";
  char base[kBaseNameSize];
  ScriptBaseName(scriptName, base, sizeof(base));
  TemplatePlace place;
  FindTemplates(variables, base, &place);
  int hide = WritePageTop(script, place, &page);

  ListPosts(name, script, &page, offset, hide);

  char path[kPathSize];
  if (place.found) TemplatePath(place.prefix, "FOOT.HTML", path);
  if (!place.found || !ReadTemplateFile(path, &page)) WriteBoardFooter(&page);

  if (page.failed()) ErrorPage(response, kNotEnoughMemory);
}
