// RowText: one row of a page built in a fixed work area without printf.
#ifndef ADMIN_ROW_TEXT_H_
#define ADMIN_ROW_TEXT_H_

#include <stddef.h>

// Collects the pieces of one table row in a 512-byte work area: literal text,
// strings of known length, and numbers written as printf's "%d" and "%#X"
// would write them. A piece that would not fit is dropped and the row is
// marked as not fitting; the caller then formats that row another way (see
// AppendFormat). Nothing is NUL-terminated: the row is `Length()` bytes at
// `Bytes()`.
class RowText {
 public:
  static constexpr size_t kCapacity = 512;

  RowText() : length_(0), fits_(1) {}

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

  // 1 while every piece has fitted, else 0.
  int Fits() const { return fits_; }
  const char* Bytes() const { return area_; }
  size_t Length() const { return length_; }

 private:
  RowText(const RowText&) = delete;
  RowText& operator=(const RowText&) = delete;

  char area_[kCapacity];
  size_t length_;
  int fits_;
};

#endif  // ADMIN_ROW_TEXT_H_
