// A test plug-in that answers with what the host gave it, so the host's side
// of the contract can be checked over HTTP. The query string picks a mode:
//   (none)     text/plain page: every variable as NAME=VALUE, then the body;
//              the method also in the header X-Method
//   redirect   "Location: " + SCRIPT_NAME, like the board after a post
//   raw        text without a header block
//   bare-lf    a header block ended by "\n\n" instead of "\r\n\r\n"
//   badlen     returns more bytes than the response holds
//   status     "Status: 404 Not Found" with a page
//   neighbour  reads "echo.txt" beside the script, found the way the board
//              finds its templates (DOCUMENT_ROOT + SCRIPT_NAME, '/' as '\')
//   slow       waits one second before answering
//   store      opens the database "echo" and answers a text/plain page
//              "open failed <last error>" (or "opened")
//   store-redirect  the same open, then the redirect whatever it gave, like
//              a post that was stored after its first try failed
//   big=N      a text/plain page of N MiB (1 to 1024): lines of 16 bytes, each
//              its own number in 15 digits, so that a byte out of place shows
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <thread>

#include "server_variables.h"
#include "text_buffer.h"
#include "tvx_export.h"
#include "wince.h"

static int Neighbour(ServerVariables* variables, TextBuffer* response) {
  const char* root = variables->Get("DOCUMENT_ROOT");
  const char* script = variables->Get("SCRIPT_NAME");
  char path[1024];
  if (root == NULL || script == NULL || strlen(root) + strlen(script) + 16 > sizeof path) {
    response->AppendString("Content-Type: text/plain\r\n\r\nno variables");
    return response->length;
  }
  strcpy(path, root);
  strcat(path, script);
  for (char* p = path; *p; ++p) {
    if (*p == '/') *p = '\\';
  }
  char* slash = strrchr(path, '\\');
  strcpy(slash + 1, "echo.txt");
  WCHAR wide[1024];
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, 1024) == 0) {
    response->AppendString("Content-Type: text/plain\r\n\r\nconversion failed");
    return response->length;
  }
  HANDLE file = CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  response->AppendString("Content-Type: text/plain\r\n\r\n");
  if (file == INVALID_HANDLE_VALUE) {
    response->AppendString("not found");
    return response->length;
  }
  char bytes[256];
  DWORD got = 0;
  if (ReadFile(file, bytes, sizeof bytes, &got, NULL) && got > 0) {
    response->Append(bytes, static_cast<int>(got));
  }
  CloseHandle(file);
  return response->length;
}

static int BigPage(const char* mebibytes, TextBuffer* response) {
  int count = atoi(mebibytes);
  if (count < 1 || count > 1024) {
    response->AppendString(
        "Status: 400 Bad Request\r\nContent-Type: text/plain\r\n\r\nbig=1..1024");
    return response->length;
  }
  response->AppendString("Content-Type: text/plain\r\n\r\n");
  char chunk[4096];
  char text[17];  // one line and snprintf's NUL
  const int lines = static_cast<int>(sizeof chunk / 16);
  for (int line = 0; line < count * 65536; line += lines) {
    for (int i = 0; i < lines; ++i) {
      snprintf(text, sizeof text, "%015d\n", line + i);
      memcpy(chunk + 16 * i, text, 16);
    }
    if (response->Append(chunk, static_cast<int>(sizeof chunk)) == 0) {
      response->Clear();
      response->AppendString("Status: 500 Internal Server Error\r\nContent-Type: text/plain"
                             "\r\n\r\nout of memory");
      return response->length;
    }
  }
  return response->length;
}

// Opens the database "echo" and closes it again; 0, or the open's last error.
static DWORD OpenEchoDatabase() {
  CEGUID volume;
  CREATE_SYSTEMGUID(&volume);
  CEOID oid = 0;
  WCHAR name[] = {'e', 'c', 'h', 'o', 0};
  HANDLE database = CeOpenDatabaseEx(&volume, &oid, name, 0, 0, NULL);
  if (database == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(database);
  return 0;
}

TVX_EXPORT int fnTvx(ServerVariables* variables, TextBuffer* body, TextBuffer* response) {
  response->Clear();
  const char* query = variables->Get("QUERY_STRING");
  if (query == NULL) query = "";
  if (strcmp(query, "redirect") == 0) {
    response->AppendString("Location: ");
    response->AppendString(variables->Get("SCRIPT_NAME"));
    response->AppendString("\r\n\r\n");
    return response->length;
  }
  if (strcmp(query, "store") == 0) {
    DWORD code = OpenEchoDatabase();
    char text[64] = "opened";
    if (code != 0) snprintf(text, sizeof text, "open failed %lu", static_cast<unsigned long>(code));
    response->AppendString("Content-Type: text/plain\r\n\r\n");
    response->AppendString(text);
    return response->length;
  }
  if (strcmp(query, "store-redirect") == 0) {
    OpenEchoDatabase();
    response->AppendString("Location: ");
    response->AppendString(variables->Get("SCRIPT_NAME"));
    response->AppendString("\r\n\r\n");
    return response->length;
  }
  if (strcmp(query, "raw") == 0) {
    response->AppendString("<html>no header block</html>");
    return response->length;
  }
  if (strcmp(query, "bare-lf") == 0) {
    response->AppendString("Content-Type: text/plain\n\nhello");
    return response->length;
  }
  if (strcmp(query, "badlen") == 0) {
    response->AppendString("Content-Type: text/plain\r\n\r\nshort");
    return response->length + 100;
  }
  if (strcmp(query, "status") == 0) {
    response->AppendString("Status: 404 Not Found\r\nContent-Type: text/plain\r\n\r\nmissing");
    return response->length;
  }
  if (strcmp(query, "neighbour") == 0) return Neighbour(variables, response);
  if (strncmp(query, "big=", 4) == 0) return BigPage(query + 4, response);
  if (strcmp(query, "slow") == 0) std::this_thread::sleep_for(std::chrono::seconds(1));

  // The method also as a header, so that a HEAD shows what the plug-in saw.
  response->AppendString("X-Method: ");
  response->AppendString(variables->Get("REQUEST_METHOD"));
  response->AppendString("\r\nContent-Type: text/plain\r\n\r\n");
  for (char* name = variables->Rewind(); name != NULL; name = variables->Next()) {
    response->AppendString(name);
    response->AppendString("=");
    response->AppendString(variables->CurrentValue());
    response->AppendString("\n");
  }
  response->AppendString("BODY=");
  if (body->data != NULL) response->Append(body->data, body->length);
  return response->length;
}
