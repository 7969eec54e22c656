// ErrorPage: the one way a plug-in reports a failure to the client.
#ifndef FRAMEWORK_ERROR_PAGE_H_
#define FRAMEWORK_ERROR_PAGE_H_

#include "text_buffer.h"

// Clears the response, then appends "Content-Type: text/html\r\n\r\n",
// "<HTML><BODY>", the message and "</BODY></HTML>". Returns the count of the
// last append.
int ErrorPage(TextBuffer* response, const char* message);

#endif  // FRAMEWORK_ERROR_PAGE_H_
