#include "board_dispatcher.h"

#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "board_database.h"
#include "board_page.h"
#include "multipart_fields.h"
#include "post_renderer.h"
#include "error_page.h"
#include "form_field.h"
#include "page_writer.h"
#include "request_form.h"
#include "string_util.h"
#include "tvx_export.h"
#include "wince.h"

namespace {

const int kNameSize = 256;
const int kRowSize = 12;
const int kItemSize = 32;
const int kMessageSize = 12;

// atoi's reading of the text, held to the range of int.
int DecimalValue(const char* text) {
  long value = strtol(text, NULL, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// The board database's name for the store: 0 when SCRIPT_NAME is absent or
// the name is longer than the store keeps (31 units). Two long script names
// must never share a board because their names were cut.
int StoreName(ServerVariables* variables, WCHAR* wide) {
  char narrow[kNameSize];
  memset(narrow, 0, sizeof(narrow));
  if (!BoardDatabaseName(variables->GetNoCase("SCRIPT_NAME"), narrow, kNameSize)) return 0;
  int units = MultiByteToWideChar(CP_ACP, 0, narrow, -1, wide, kNameSize);
  return units > 0 && units <= CEDB_MAXDBASENAMELEN;
}

void Redirect(ServerVariables* variables, TextBuffer* response) {
  EmptyResponse(response);
  PageWriter page(response);
  page.Put("Location: ");
  page.Put(variables->Get("SCRIPT_NAME"));
  page.Put("\r\n\r\n");
  if (page.failed()) ErrorPage(response, kNotEnoughMemory);
}

// Reads one of the form's own parameters (postitem, deleteitem,
// deleteitemid). A URL-encoded form is read from what the client sent, by
// whole item name, so that text typed into a post ("... deleteitemid=2")
// never poses as the form's own request to delete a post; a multipart form
// from its parts, rewritten the same way.
int FormValue(RequestForm* form, TextBuffer* original, const char* key, char* out, int size) {
  if (RequestForm::IsUrlEncoded(form->variables) || RequestForm::IsMultipart(form->variables)) {
    return CopyFormValue(original->data, key, out, size);
  }
  memset(out, 0, size);
  return form->GetParameter(key, out, size - 1);
}

// A posted form: a new post, a deletion, or both, then the redirect.
// `original` is the body as the client sent it (for the post's fields and
// the form's parameters), or NULL when it could not be copied.
void HandlePost(RequestForm* form, TextBuffer* original, WCHAR* name) {
  TextBuffer* response = form->response;
  if (original == NULL) {
    ErrorPage(response, kNotEnoughMemory);
    return;
  }
  char item[kItemSize];
  if (FormValue(form, original, "postitem", item, kItemSize) > 0 &&
      !AddPost(name, original, response)) {
    return;
  }

  if (FormValue(form, original, "deleteitem", item, kItemSize) > 0) {
    char id[kRowSize];
    FormValue(form, original, "deleteitemid", id, kRowSize);
    int record = DecimalValue(id);
    // Only a board whose page offers delete buttons takes a deletion; any
    // other answers as if none had been asked for.
    int open = record != 0 ? ShowsDeleteButtons(form->variables) : 0;
    if (open < 0) {
      ErrorPage(response, kNotEnoughMemory);
      return;
    }
    if (open && !DeletePost(name, record, response)) {
      char message[kMessageSize];
      snprintf(message, sizeof(message), "%X", static_cast<unsigned>(record));
      ErrorPage(response, message);
      return;
    }
  }
  Redirect(form->variables, response);
}

}  // namespace

void CopyQueryValue(const char* query, const char* name, char* out, int size) {
  memset(out, 0, size);
  // As the request form reads its parameters: "row" anywhere in the query.
  const char* value = FindFormField(query, name, kFieldSubstring);
  if (value == NULL) return;
  int n = 0;
  while (n < size - 1 && value[n] != '\0' && value[n] != '&') {
    out[n] = value[n];
    n++;
  }
  UrlDecode(out);
}

TVX_EXPORT int fnTvx(ServerVariables* variables, TextBuffer* body, TextBuffer* response) {
  if (response == NULL) return 0;
  // One block kept from here on: whatever fails later still has room for
  // its error page.
  ReserveResponse(response);
  if (variables == NULL) {
    ErrorPage(response, "Bad script name");
    return response->length;
  }
  TextBuffer noBody;
  if (body == NULL) body = &noBody;

  const char* method = variables->Get("REQUEST_METHOD");
  int isPost = method != NULL && strcmp(method, "POST") == 0;

  // The request form decodes the body in place, after which a visitor's "&",
  // "+" or "%" can no longer be told from the form's own. The post's fields
  // are read from this copy of what the client sent.
  TextBuffer original;
  int originalComplete = 1;
  if (isPost && body->data != NULL && body->length > 0) {
    originalComplete = original.Append(body->data, body->length) == body->length;
  }

  RequestForm form(variables, body, response);
  // A multipart form's fields are read from its parts, rewritten as the
  // URL-encoded text of the board's own form.
  if (isPost && originalComplete && !RequestForm::IsUrlEncoded(variables) &&
      RequestForm::IsMultipart(variables)) {
    originalComplete = MultipartAsUrlEncoded(&form, &original);
  }

  WCHAR name[kNameSize];
  memset(name, 0, sizeof(name));
  if (!StoreName(variables, name)) {
    ErrorPage(response, "Bad script name");
  } else if (!isPost) {
    char row[kRowSize];
    CopyQueryValue(variables->GetNoCase("QUERY_STRING"), "row", row, kRowSize);
    WriteBoardPage(variables, response, name, DecimalValue(row));
  } else {
    HandlePost(&form, originalComplete ? &original : NULL, name);
  }
  return response->length;
}
