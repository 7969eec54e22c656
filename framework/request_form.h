// RequestForm: the parameters of one request, by name.
//
// Built by fnTvx on its stack over the server's three objects. Construction
// URL-decodes the query string and a URL-encoded body in place, once. For a
// POST the parameters come from the body (URL-encoded or multipart), for any
// other method from QUERY_STRING. It owns nothing; `status` names the last
// failure.
//
// Decoding QUERY_STRING shortens its value inside the variable block: the
// rest of the block moves down over the freed bytes and the block's length
// shrinks with it, so every other variable is still found. A URL-encoded
// body is decoded up to its first NUL and keeps its length.
//
// An object built over a NULL pointer reports "Bad param." and answers every
// operation with 0 without touching anything.
#ifndef FRAMEWORK_REQUEST_FORM_H_
#define FRAMEWORK_REQUEST_FORM_H_

#include "server_variables.h"
#include "text_buffer.h"

// Status messages, exactly as the plug-ins report them.
extern const char kStatusNoError[];         // "NOERROR"
extern const char kStatusBadParam[];        // "Bad param."
extern const char kStatusBadContentType[];  // "Bad content type."
extern const char kStatusBadBoundary[];     // "Bad boundary post data."
extern const char kStatusNoMemory[];        // "Memory not enough."

class RequestForm {
 public:
  RequestForm(ServerVariables* variables, TextBuffer* requestBody, TextBuffer* response);
  ~RequestForm() {}

  // Zero-fills `size` bytes of `buffer`, then copies the value (at most size
  // bytes; NUL-terminated only when shorter). Returns the bytes copied; 0 when
  // absent, empty or on failure (status says why: "Bad param." for a NULL
  // name or buffer or a size <= 0). Pass one less than the buffer's capacity
  // to be sure of a terminator.
  int GetParameter(const char* name, char* buffer, int size);
  // The value's first 11 characters as a decimal (atoi); 0 when absent.
  int GetIntParameter(const char* name);
  int GetQueryParameter(const char* name, char* buffer, int size);
  int GetBodyParameter(const char* name, char* buffer, int size);

  // 1 when REQUEST_METHOD is exactly "POST".
  int IsPost();
  // Prefix tests of CONTENT_TYPE, letter case ignored.
  static int IsUrlEncoded(ServerVariables* variables);
  static int IsMultipart(ServerVariables* variables);

  // Finds `name` anywhere in URL-encoded `text` (kFieldSubstring of
  // form_field.h), takes the value after the first '=' from there up to '&'
  // or the end, and copies min(length, size) bytes (a NUL follows only a
  // shorter value; an absent name leaves a NUL in the first byte). Returns
  // the bytes copied. Writes nothing when size <= 0.
  static int FindValue(const char* text, const char* name, char* buffer, int size);

  // Multipart bodies: the named part's value, in place (out) or copied whole
  // (a value longer than size is refused with "Memory not enough."). The
  // scan reads only the body's bytes, also when CONTENT_LENGTH claims more;
  // a body that cannot be scanned, or a boundary longer than 70 bytes (the
  // text after "boundary=", as it stands), gives "Bad boundary post data.".
  int FindMultipartValue(const char* name, const char** out);
  int CopyMultipartValue(const char* name, char* buffer, int size);

  ServerVariables* variables;
  TextBuffer* requestBody;
  TextBuffer* response;
  const char* status;

 private:
  // 0 (and status "Bad param.") when built over a NULL object, else 1.
  int Usable();
};

#endif  // FRAMEWORK_REQUEST_FORM_H_
