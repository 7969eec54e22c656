#include "shift_jis_table.h"

#include <iconv.h>

#include <memory>
#include <new>

namespace ceplatform {
namespace {

// One conversion of a short byte string through `cd`; the number of output
// bytes, or -1 when the input has no conversion.
int Convert(iconv_t cd, const unsigned char* in, size_t in_length, unsigned char* out,
            size_t out_size) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);  // back to the initial state
  char* in_ptr = reinterpret_cast<char*>(const_cast<unsigned char*>(in));
  char* out_ptr = reinterpret_cast<char*>(out);
  size_t in_left = in_length;
  size_t out_left = out_size;
  if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) == static_cast<size_t>(-1)) return -1;
  if (in_left != 0) return -1;
  return static_cast<int>(out_size - out_left);
}

// The UTF-16 unit that `bytes` decode to, or -1 when they are not exactly one
// BMP character.
int DecodeOne(iconv_t to_utf16, const unsigned char* bytes, size_t length) {
  unsigned char out[8];
  if (Convert(to_utf16, bytes, length, out, sizeof(out)) != 2) return -1;
  return (out[0] << 8) | out[1];
}

}  // namespace

bool ShiftJisTable::Fill() {
  iconv_t to_utf16 = iconv_open("UTF-16BE", "CP932");
  if (to_utf16 == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_t from_utf16 = iconv_open("CP932", "UTF-16BE");
  if (from_utf16 == reinterpret_cast<iconv_t>(-1)) {
    iconv_close(to_utf16);
    return false;
  }

  for (int b = 0; b < 256; ++b) {
    single_[b] = kNoChar;
    if (IsLeadByte(static_cast<uint8_t>(b))) continue;
    unsigned char in[1] = {static_cast<unsigned char>(b)};
    int unit = DecodeOne(to_utf16, in, 1);
    if (unit >= 0 && unit != kNoChar) single_[b] = static_cast<uint16_t>(unit);
  }
  // Bytes the C library's table leaves out but the device's own table maps to
  // U+0080 and the private-use area, so that they survive a round trip.
  static const struct {
    uint8_t byte;
    uint16_t unit;
  } kDeviceSingles[] = {{0x80, 0x0080}, {0xA0, 0xF8F0}, {0xFD, 0xF8F1}, {0xFE, 0xF8F2},
                        {0xFF, 0xF8F3}};
  for (const auto& extra : kDeviceSingles) {
    if (single_[extra.byte] == kNoChar) single_[extra.byte] = extra.unit;
  }
  for (int i = 0; i < 65536; ++i) double_[i] = 0;
  for (int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!IsLeadByte(static_cast<uint8_t>(lead))) continue;
    for (int trail = 0x40; trail <= 0xFC; ++trail) {
      if (!IsTrailByte(static_cast<uint8_t>(trail))) continue;
      unsigned char in[2] = {static_cast<unsigned char>(lead), static_cast<unsigned char>(trail)};
      int unit = DecodeOne(to_utf16, in, 2);
      if (unit > 0) double_[(lead << 8) | trail] = static_cast<uint16_t>(unit);
    }
  }

  // The reverse direction asks the converter for every BMP character, so the
  // choice among codes that share a character (and the one-way mappings such
  // as U+00A5 to 0x5C) is the converter's.
  for (int unit = 0; unit < 65536; ++unit) {
    encode_[unit] = kNoCode;
    if (unit >= 0xD800 && unit <= 0xDFFF) continue;
    unsigned char in[2] = {static_cast<unsigned char>(unit >> 8), static_cast<unsigned char>(unit)};
    unsigned char out[8];
    int length = Convert(from_utf16, in, 2, out, sizeof(out));
    if (length == 1 && single_[out[0]] != kNoChar) {
      encode_[unit] = out[0];
    } else if (length == 2 && Decode2(out[0], out[1]) != 0) {
      encode_[unit] = static_cast<uint16_t>((out[0] << 8) | out[1]);
    }
  }

  for (const auto& extra : kDeviceSingles) {
    if (encode_[extra.unit] == kNoCode && single_[extra.byte] == extra.unit) {
      encode_[extra.unit] = extra.byte;
    }
  }

  iconv_close(from_utf16);
  iconv_close(to_utf16);
  return true;
}

const ShiftJisTable* ShiftJisTable::Get() {
  // Built once, kept for the life of the process.
  static const ShiftJisTable* table = []() -> const ShiftJisTable* {
    std::unique_ptr<ShiftJisTable> built(new (std::nothrow) ShiftJisTable());
    if (!built || !built->Fill()) return nullptr;
    return built.release();
  }();
  return table;
}

}  // namespace ceplatform
