// TextBuffer: the growable byte buffer of the plug-ins, and the layout of the
// request-body and response objects the server passes to fnTvx.
//
// It holds `length` bytes and always a NUL after them. Storage comes from the
// process heap and grows in whole blocks of `blockSize` (512) bytes: an append
// reallocates exactly when the bytes plus their NUL need more blocks than
// before. The server's objects share this class, so the field order and the
// order of the virtual operations (destructor, Clear, IsEmpty) are part of the
// contract with the server and must not change.
#ifndef FRAMEWORK_TEXT_BUFFER_H_
#define FRAMEWORK_TEXT_BUFFER_H_

#include "wince.h"

class TextBuffer {
 public:
  TextBuffer();
  // Releases the storage (HeapFree, HEAP_NO_SERIALIZE).
  virtual ~TextBuffer();
  // Releases the storage; data NULL, length 0. Nothing happens without storage.
  virtual void Clear();
  // 1 when no storage is held (data NULL), else 0. Not the same as length 0.
  virtual int IsEmpty();

  // Appends `count` bytes (NULs included) and keeps a NUL after them. The
  // source may lie inside this buffer's own storage.
  // Returns count, or 0 when count is 0 or <0, source is NULL, the heap fails,
  // the total would not fit in an int, or blockSize is not positive; on
  // failure the contents stay as they were (a failed growth on the first
  // append keeps the fresh, empty block: IsEmpty then gives 0).
  // Pointers into data taken before an Append may be invalid after it.
  int Append(const char* source, int count);
  // Append of a NUL-terminated string without its NUL; NULL gives 0.
  int AppendString(const char* text);

  char* data;
  int length;
  int blockSize;

 private:
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
};

#endif  // FRAMEWORK_TEXT_BUFFER_H_
