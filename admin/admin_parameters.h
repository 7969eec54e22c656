// The administration page's parameter reads. Its parameters are asked for
// with their '=' ("cmd=", "name=", "dbname=", "deleteitem=", "db="), so that
// in a query string "name=" is found inside "dbname=" (the listing after a
// deletion relies on it) and "deleteitem=" is not taken from "deleteitemid".
// In a multipart body a part's name is followed by its closing quote, not by
// '=', so there the same name is asked for with the quote: a form posted by a
// browser or by curl -F is read like the page's own links.
#ifndef ADMIN_ADMIN_PARAMETERS_H_
#define ADMIN_ADMIN_PARAMETERS_H_

#include <string.h>

#include "request_form.h"

// Longest parameter name asked for, '=' included.
static const int kAdminKeyMax = 15;

// `key` as it is to be found in this request's body or query: into `out`,
// which holds kAdminKeyMax + 1 bytes. Returns `out`, or `key` unchanged.
inline const char* AdminParameterKey(RequestForm* form, const char* key, char* out) {
  size_t length = strlen(key);
  if (length == 0 || length > static_cast<size_t>(kAdminKeyMax) || key[length - 1] != '=') {
    return key;
  }
  if (!form->IsPost() || RequestForm::IsUrlEncoded(form->variables) ||
      !RequestForm::IsMultipart(form->variables)) {
    return key;
  }
  memcpy(out, key, length + 1);
  out[length - 1] = '"';
  return out;
}

// GetParameter and GetIntParameter of the request form, with the key above.
inline int GetAdminParameter(RequestForm* form, const char* key, char* buffer, int size) {
  char multipartKey[kAdminKeyMax + 1];
  return form->GetParameter(AdminParameterKey(form, key, multipartKey), buffer, size);
}

inline int GetAdminIntParameter(RequestForm* form, const char* key) {
  char multipartKey[kAdminKeyMax + 1];
  return form->GetIntParameter(AdminParameterKey(form, key, multipartKey));
}

#endif  // ADMIN_ADMIN_PARAMETERS_H_
