// RowText: one row of a page, built piece by piece without printf.
#ifndef ADMIN_ROW_TEXT_H_
#define ADMIN_ROW_TEXT_H_

#include <stddef.h>

#include "page_writer.h"

// Collects the pieces of one table row: literal text, strings of known
// length, and numbers written as printf's "%d" and "%#X" would write them.
// The row is built in a 512-byte work area; a row that outgrows it (a long
// script or database name) moves to a block of the process heap, twice as
// large as it needs, so that every row is written whole. Nothing is
// NUL-terminated: the row is `Length()` bytes at `Bytes()`.
//
// When the heap cannot give the larger block, the piece and every later one
// are dropped and Ok() turns 0 for good: then nothing of the row is written
// rather than half of it, and the page it was meant for is marked failed.
class RowText {
 public:
  static constexpr size_t kWorkArea = 512;

  RowText() : bytes_(area_), length_(0), capacity_(kWorkArea), ok_(1) {}
  ~RowText();

  // `length` bytes of `text`.
  void Add(const char* text, size_t length);
  // A string literal without its terminator.
  template <size_t N>
  void Add(const char (&literal)[N]) {
    Add(literal, N - 1);
  }
  // Signed decimal, as "%d".
  void AddDecimal(int value);
  // "0X" and upper-case hexadecimal digits, as "%#X" (0 is written "0").
  void AddHex(unsigned value);

  // Puts the whole row on `page` when every piece was kept; otherwise puts
  // nothing of it and marks the page failed (PageWriter::Fail).
  void WriteTo(PageWriter* page) const;

  // 1 while every piece has been kept, else 0.
  int Ok() const { return ok_; }
  const char* Bytes() const { return bytes_; }
  size_t Length() const { return length_; }

 private:
  RowText(const RowText&) = delete;
  RowText& operator=(const RowText&) = delete;

  // Moves the row to a heap block with room for `needed` bytes; 0 when the
  // heap has none.
  int Grow(size_t needed);

  char area_[kWorkArea];
  char* bytes_;  // area_, or the heap block
  size_t length_;
  size_t capacity_;
  int ok_;
};

#endif  // ADMIN_ROW_TEXT_H_
