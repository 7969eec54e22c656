// The one export of a plug-in: fnTvx, called by the server once per request.
//
//   int fnTvx(ServerVariables* variables, TextBuffer* body, TextBuffer* response)
//
// It returns the response's length: the bytes the server sends. Plug-ins are
// built with hidden visibility and a version script, so fnTvx is the only
// symbol they export.
#ifndef FRAMEWORK_TVX_EXPORT_H_
#define FRAMEWORK_TVX_EXPORT_H_

#include "server_variables.h"
#include "text_buffer.h"

#define TVX_EXPORT extern "C" __attribute__((visibility("default")))

// The entry as the server sees it.
typedef int (*TvxEntry)(ServerVariables* variables, TextBuffer* body, TextBuffer* response);

#define TVX_ENTRY_NAME "fnTvx"

#endif  // FRAMEWORK_TVX_EXPORT_H_
