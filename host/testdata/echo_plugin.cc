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
