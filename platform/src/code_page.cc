// MultiByteToWideChar and WideCharToMultiByte for Shift_JIS (code page 932)
// and UTF-8. Both run over the whole input once, either counting the output
// (a size query) or writing it; Shift_JIS is a table lookup per character.
#include <climits>
#include <cstring>
#include <string>

#include "shift_jis_table.h"
#include "unicode.h"
#include "wince_codepage.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace {

// The device's replacement for a Shift_JIS byte sequence it cannot convert:
// the katakana middle dot, which converts back to Shift_JIS (0x8145), so a
// name with a bad byte still comes back to the same UTF-16 name.
constexpr char16_t kShiftJisReplacement = 0x30FB;
constexpr char16_t kUtf8Replacement = 0xFFFD;

enum class Page { kShiftJis, kUtf8, kUnknown };

Page PageOf(UINT code_page) {
  switch (code_page) {
    case CP_ACP:
    case CP_OEMCP:  // the device's OEM code page is Shift_JIS as well
    case 932:
      return Page::kShiftJis;
    case CP_UTF8:
      return Page::kUtf8;
    default:
      return Page::kUnknown;
  }
}

enum class Status { kOk, kInvalid, kOverflow };

// Receives UTF-16 units: writes them to dst, or only counts them when dst is
// NULL (a size query). A surrogate pair goes in whole or not at all.
class WideSink {
 public:
  WideSink(char16_t* dst, size_t capacity) : dst_(dst), capacity_(capacity) {}

  bool Put(uint32_t cp) {
    size_t units = cp >= 0x10000 ? 2 : 1;
    if (dst_ != nullptr) {
      if (capacity_ - count_ < units) return false;
      if (units == 1) {
        dst_[count_] = static_cast<char16_t>(cp);
      } else {
        dst_[count_] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
        dst_[count_ + 1] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
      }
    }
    count_ += units;
    return true;
  }
  size_t count() const { return count_; }

 private:
  char16_t* const dst_;
  const size_t capacity_;
  size_t count_ = 0;
};

// The same for bytes; a character of several bytes goes in whole or not at
// all.
class NarrowSink {
 public:
  NarrowSink(char* dst, size_t capacity) : dst_(dst), capacity_(capacity) {}

  bool Put(const char* bytes, size_t length) {
    if (dst_ != nullptr) {
      if (capacity_ - count_ < length) return false;
      memcpy(dst_ + count_, bytes, length);
    }
    count_ += length;
    return true;
  }
  size_t count() const { return count_; }

 private:
  char* const dst_;
  const size_t capacity_;
  size_t count_ = 0;
};

// A lead byte with a trail byte that has no character becomes one
// replacement for the pair, unless the trail byte is ASCII: then only the
// lead byte is replaced and the ASCII byte stands, so a broken character never
// swallows a quote or an angle bracket that follows it.
Status DecodeShiftJis(const ShiftJisTable& table, const uint8_t* src, size_t length, bool strict,
                      WideSink* sink) {
  size_t i = 0;
  while (i < length) {
    uint8_t b = src[i];
    uint32_t cp = table.Decode1(b);
    size_t used = 1;
    if (cp == ShiftJisTable::kNoChar) {
      cp = kShiftJisReplacement;
      if (ShiftJisTable::IsLeadByte(b) && i + 1 < length &&
          ShiftJisTable::IsTrailByte(src[i + 1])) {
        uint16_t unit = table.Decode2(b, src[i + 1]);
        if (unit != 0) {
          cp = unit;
          used = 2;
        } else {
          if (strict) return Status::kInvalid;
          if (src[i + 1] >= 0x80) used = 2;
        }
      } else if (strict) {
        return Status::kInvalid;
      }
    }
    if (!sink->Put(cp)) return Status::kOverflow;
    i += used;
  }
  return Status::kOk;
}

// Follows the Unicode recommendation for bad UTF-8: each maximal part of a
// sequence that could have begun a character becomes one U+FFFD, and the byte
// that broke it off is read again. Overlong forms, encoded surrogates and
// values past U+10FFFF are bad.
Status DecodeUtf8(const uint8_t* src, size_t length, bool strict, WideSink* sink) {
  size_t i = 0;
  while (i < length) {
    uint8_t b = src[i];
    if (b < 0x80) {
      if (!sink->Put(b)) return Status::kOverflow;
      ++i;
      continue;
    }
    size_t needed = 0;
    uint32_t cp = 0;
    uint8_t lower = 0x80;
    uint8_t upper = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      needed = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      needed = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lower = 0xA0;
      if (b == 0xED) upper = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      needed = 3;
      cp = b & 0x07;
      if (b == 0xF0) lower = 0x90;
      if (b == 0xF4) upper = 0x8F;
    }
    size_t j = i + 1;
    size_t seen = 0;
    while (seen < needed && j < length && src[j] >= lower && src[j] <= upper) {
      cp = (cp << 6) | (src[j] & 0x3F);
      lower = 0x80;
      upper = 0xBF;
      ++seen;
      ++j;
    }
    if (needed == 0 || seen < needed) {
      if (strict) return Status::kInvalid;
      cp = kUtf8Replacement;
    }
    if (!sink->Put(cp)) return Status::kOverflow;
    i = j;
  }
  return Status::kOk;
}

Status EncodeShiftJis(const ShiftJisTable& table, const char16_t* src, size_t length,
                      const std::string& fallback, NarrowSink* sink, bool* used_default) {
  size_t i = 0;
  while (i < length) {
    uint32_t unit = src[i];
    uint16_t code = ShiftJisTable::kNoCode;
    if (IsHighSurrogate(unit) && i + 1 < length && IsLowSurrogate(src[i + 1])) {
      ++i;  // nothing beyond the BMP has a Shift_JIS code
    } else if (!IsHighSurrogate(unit) && !IsLowSurrogate(unit)) {
      code = table.Encode(static_cast<uint16_t>(unit));
    }
    bool ok;
    if (code == ShiftJisTable::kNoCode) {
      *used_default = true;
      ok = sink->Put(fallback.data(), fallback.size());
    } else if (code < 0x100) {
      char byte = static_cast<char>(code);
      ok = sink->Put(&byte, 1);
    } else {
      char bytes[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
      ok = sink->Put(bytes, 2);
    }
    if (!ok) return Status::kOverflow;
    ++i;
  }
  return Status::kOk;
}

Status Utf16ToUtf8(const char16_t* src, size_t length, NarrowSink* sink, bool* used_default) {
  size_t i = 0;
  while (i < length) {
    uint32_t cp = src[i];
    if (IsHighSurrogate(cp) && i + 1 < length && IsLowSurrogate(src[i + 1])) {
      cp = CombineSurrogates(cp, src[i + 1]);
      ++i;
    } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
      *used_default = true;
      cp = kUtf8Replacement;
    }
    char bytes[4];
    if (!sink->Put(bytes, EncodeUtf8(cp, bytes))) return Status::kOverflow;
    ++i;
  }
  return Status::kOk;
}

// The replacement bytes for WideCharToMultiByte: '?' by default, else the
// caller's character (one byte, or two when it is a Shift_JIS pair).
std::string FallbackBytes(LPCSTR default_char) {
  if (default_char == nullptr) return "?";
  uint8_t first = static_cast<uint8_t>(default_char[0]);
  if (ShiftJisTable::IsLeadByte(first) &&
      ShiftJisTable::IsTrailByte(static_cast<uint8_t>(default_char[1]))) {
    return std::string(default_char, 2);
  }
  return std::string(1, default_char[0]);
}

// The checks both directions share. On success *length receives the number
// of source units to convert.
template <typename Char>
bool CheckArguments(const Char* src, int src_length, const void* dst, int dst_count,
                    size_t* length) {
  if (src == nullptr || src_length == 0 || src_length < -1 || dst_count < 0 ||
      (dst == nullptr && dst_count != 0) ||
      (dst != nullptr && dst_count != 0 && static_cast<const void*>(src) == dst)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  *length = src_length == -1 ? std::char_traits<Char>::length(src) + 1
                             : static_cast<size_t>(src_length);
  if (*length > INT_MAX) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

int Finish(Status status, size_t count) {
  switch (status) {
    case Status::kInvalid:
      SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return 0;
    case Status::kOverflow:
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    case Status::kOk:
      break;
  }
  if (count > INT_MAX) {  // UTF-8 can need three bytes per UTF-16 unit
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return static_cast<int>(count);
}

}  // namespace
}  // namespace ceplatform

using ceplatform::Page;
using ceplatform::Status;

extern "C" int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR src, int srcLength,
                                   LPWSTR dst, int dstCount) {
  Page page = ceplatform::PageOf(codePage);
  if (page == Page::kUnknown || (flags & ~DWORD{MB_PRECOMPOSED | MB_ERR_INVALID_CHARS}) != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t length;
  if (!ceplatform::CheckArguments(src, srcLength, dst, dstCount, &length)) return 0;
  ceplatform::WideSink sink(dstCount == 0 ? nullptr : dst, static_cast<size_t>(dstCount));
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(src);
  bool strict = (flags & MB_ERR_INVALID_CHARS) != 0;
  Status status;
  if (page == Page::kUtf8) {
    status = ceplatform::DecodeUtf8(bytes, length, strict, &sink);
  } else {
    const ceplatform::ShiftJisTable* table = ceplatform::ShiftJisTable::Get();
    if (table == nullptr) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return 0;
    }
    status = ceplatform::DecodeShiftJis(*table, bytes, length, strict, &sink);
  }
  return ceplatform::Finish(status, sink.count());
}

extern "C" int WideCharToMultiByte(UINT codePage, DWORD flags, LPCWSTR src, int srcLength,
                                   LPSTR dst, int dstCount, LPCSTR defaultChar,
                                   LPBOOL usedDefault) {
  Page page = ceplatform::PageOf(codePage);
  if (page == Page::kUnknown || flags != 0) {
    SetLastError(ERROR_INVALID_FLAGS);
    return 0;
  }
  size_t length;
  if (!ceplatform::CheckArguments(src, srcLength, dst, dstCount, &length)) return 0;
  ceplatform::NarrowSink sink(dstCount == 0 ? nullptr : dst, static_cast<size_t>(dstCount));
  bool used = false;
  Status status;
  if (page == Page::kUtf8) {
    status = ceplatform::Utf16ToUtf8(src, length, &sink, &used);
  } else {
    const ceplatform::ShiftJisTable* table = ceplatform::ShiftJisTable::Get();
    if (table == nullptr) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return 0;
    }
    std::string fallback = ceplatform::FallbackBytes(defaultChar);
    status = ceplatform::EncodeShiftJis(*table, src, length, fallback, &sink, &used);
  }
  if (usedDefault != nullptr) *usedDefault = used ? TRUE : FALSE;
  return ceplatform::Finish(status, sink.count());
}
