// The device's ANSI code page, Shift_JIS as Windows code page 932, as lookup
// tables. The tables are filled once from the C library's "CP932" converter,
// so every conversion after that is a table lookup.
#ifndef CEPLATFORM_SHIFT_JIS_TABLE_H_
#define CEPLATFORM_SHIFT_JIS_TABLE_H_

#include <cstdint>

namespace ceplatform {

// Immutable after construction; safe to share between threads.
class ShiftJisTable {
 public:
  // What Decode1 answers for a byte that is not a character by itself.
  static constexpr uint16_t kNoChar = 0xFFFF;
  // What Encode answers for a character the code page lacks.
  static constexpr uint16_t kNoCode = 0xFFFF;

  // The process-wide table, built on first use. nullptr when the C library
  // has no CP932 converter.
  static const ShiftJisTable* Get();

  ShiftJisTable(const ShiftJisTable&) = delete;
  ShiftJisTable& operator=(const ShiftJisTable&) = delete;

  static bool IsLeadByte(uint8_t b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
  static bool IsTrailByte(uint8_t b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC); }

  // The character of a one-byte code, or kNoChar (lead bytes included).
  uint16_t Decode1(uint8_t b) const { return single_[b]; }
  // The character of a two-byte code, or 0 when the pair has none.
  uint16_t Decode2(uint8_t lead, uint8_t trail) const {
    return double_[(static_cast<unsigned>(lead) << 8) | trail];
  }
  // The code of a BMP character: below 0x100 one byte, otherwise lead byte
  // in the high half and trail byte in the low half; kNoCode when none.
  uint16_t Encode(uint16_t unit) const { return encode_[unit]; }

 private:
  ShiftJisTable() = default;
  bool Fill();

  uint16_t single_[256];
  uint16_t double_[65536];
  uint16_t encode_[65536];
};

}  // namespace ceplatform

#endif  // CEPLATFORM_SHIFT_JIS_TABLE_H_
