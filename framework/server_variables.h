// ServerVariables: the request's variables as one block of NUL-terminated
// strings, name and value in turn, ended by an empty name, kept in a
// TextBuffer. The server builds it (Set, Remove); plug-ins look names up
// exactly (Get) or with ASCII letter case ignored (GetNoCase).
//
// The field order is part of the contract with the server. Pointers returned
// by the lookups point into the block and stay valid until the next Set or
// Remove; a caller may rewrite a value in place as long as the block keeps its
// pairing. Lookups move the shared cursor: one thread per object.
#ifndef FRAMEWORK_SERVER_VARIABLES_H_
#define FRAMEWORK_SERVER_VARIABLES_H_

#include "text_buffer.h"

class ServerVariables {
 public:
  // Creates the TextBuffer with new; buffer is NULL if that fails.
  ServerVariables();
  virtual ~ServerVariables();

  // The first pair whose name equals `name` exactly; moves the cursor there.
  char* Find(const char* name);
  // The same with ASCII letter case ignored.
  char* FindNoCase(const char* name);
  // The value of that pair (possibly empty), or NULL when the name is absent.
  char* Get(const char* name);
  char* GetNoCase(const char* name);

  // Replaces or adds the pair (a replaced pair moves to the end). Returns the
  // bytes added (name, value and their NULs), or 0 for a NULL name or value,
  // an empty name (it would end the list) or a failed allocation. When the
  // old pair cannot be dropped nothing changes; when the new one cannot be
  // added after it, the old pair is gone. Rewinds the cursor.
  int Set(const char* name, const char* value);
  // Drops the pair with that exact name by rebuilding the block; the others
  // keep their order. 1, or 0 when absent or out of memory, and then the
  // block is exactly as it was. Rewinds the cursor.
  int Remove(const char* name);

  // Cursor to the first pair (NULL for an empty block); returns it.
  char* Rewind();
  // Cursor to the following pair; NULL at the end of the list. Walks never
  // go past the block's `length` bytes and the NUL after them.
  char* Next();
  char* CurrentName();
  // The value at the cursor; NULL when the cursor is NULL.
  char* CurrentValue();
  // The block itself (the buffer's data).
  char* Block();

  TextBuffer* buffer;
  char* cursor;

 private:
  template <typename Match>
  char* FindPair(const char* name, Match matches);

  ServerVariables(const ServerVariables&) = delete;
  ServerVariables& operator=(const ServerVariables&) = delete;
};

#endif  // FRAMEWORK_SERVER_VARIABLES_H_
