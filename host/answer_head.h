// The last step of every answer before it is sent: its headers finished and
// its status line and header block written out. Headers that every answer
// should carry are added here, in one place.
#ifndef HOST_ANSWER_HEAD_H_
#define HOST_ANSWER_HEAD_H_

#include <string>

#include "http_message.h"

// Whether an answer to `method` with `status` carries body bytes.
bool AnswerHasBody(const std::string& method, int status);

// Finishes *answer and returns its head (status line, header lines, empty
// line). An error status without a page of its own gets a short HTML page.
// Content-Length is the body's size (also for HEAD, where the body is not
// sent); "Connection: close" is added when the connection ends after this
// answer (`keep_alive` false, or answer->close). Every answer gets
// "X-Content-Type-Options: nosniff"; a guarded one (answer->guarded) gets
// GuardedPathHeaders() too, in place of any the plug-in set.
std::string FinishAnswer(bool keep_alive, HttpAnswer* answer);

#endif  // HOST_ANSWER_HEAD_H_
