// The board's entry: fnTvx (tvx_export.h) shows the board page for every
// request but a POST; a POST stores a post (postitem), deletes one
// (deleteitem with deleteitemid), or both, and is answered with a redirect to
// the script ("Location: " SCRIPT_NAME "\r\n\r\n") or with an error page.
#ifndef BOARD_BOARD_DISPATCHER_H_
#define BOARD_BOARD_DISPATCHER_H_

// Copies the value of the first `name` found anywhere in the (decoded) query
// string, from the '=' after it up to '&', at most size - 1 bytes, and
// URL-decodes the copy. `out` is zero-filled first and stays empty when the
// query is NULL or has no such value.
void CopyQueryValue(const char* query, const char* name, char* out, int size);

#endif  // BOARD_BOARD_DISPATCHER_H_
