// The code-page conversions, Shift_JIS (CP_ACP) and UTF-8, both ways. The
// first byte of the input picks the direction, code page and flags; the rest
// is the text (narrow bytes, or UTF-16 units little-endian).
//
// Properties: the size query gives what the conversion writes; a buffer one
// unit short fails with ERROR_INSUFFICIENT_BUFFER and writes nothing past its
// end (each buffer is a heap block of exactly its size); MB_ERR_INVALID_CHARS
// fails exactly when glibc iconv calls the text invalid, and valid text
// converts as iconv converts it; converting there and back is stable after
// one round, and exact for valid UTF-8 and for UTF-16 without lone
// surrogates.
#include <errno.h>
#include <iconv.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_check.h"
#include "wince.h"

namespace {

// What glibc iconv makes of `in`: false when it calls the input invalid.
bool Iconv(const char* to, const char* from, const std::string& in, std::string* out) {
  iconv_t cd = iconv_open(to, from);
  FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1));
  out->assign(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  size_t src_left = in.size();
  char* dst = &(*out)[0];
  size_t dst_left = out->size();
  size_t result = iconv(cd, &src, &src_left, &dst, &dst_left);
  iconv_close(cd);
  if (result == static_cast<size_t>(-1)) return false;
  out->resize(out->size() - dst_left);
  return true;
}

std::u16string ToWide(UINT code_page, DWORD flags, const std::string& narrow, bool* ok) {
  *ok = false;
  if (narrow.empty()) return std::u16string();
  int len = static_cast<int>(narrow.size());
  int n = MultiByteToWideChar(code_page, flags, narrow.data(), len, nullptr, 0);
  if (n == 0) {
    FUZZ_CHECK(flags == MB_ERR_INVALID_CHARS && GetLastError() == ERROR_NO_UNICODE_TRANSLATION);
    return std::u16string();
  }
  FUZZ_CHECK(n > 0 && n <= len);
  std::unique_ptr<WCHAR[]> exact(new WCHAR[n]);
  FUZZ_CHECK(MultiByteToWideChar(code_page, flags, narrow.data(), len, exact.get(), n) == n);
  if (n > 1) {
    std::unique_ptr<WCHAR[]> short_of(new WCHAR[n - 1]);
    SetLastError(0);
    FUZZ_CHECK(MultiByteToWideChar(code_page, flags, narrow.data(), len, short_of.get(), n - 1) == 0);
    FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  }
  *ok = true;
  return std::u16string(reinterpret_cast<const char16_t*>(exact.get()), n);
}

std::string ToNarrow(UINT code_page, const std::u16string& wide, bool* used_default) {
  *used_default = false;
  if (wide.empty()) return std::string();
  const WCHAR* src = reinterpret_cast<const WCHAR*>(wide.data());
  int len = static_cast<int>(wide.size());
  BOOL used = FALSE;
  int n = WideCharToMultiByte(code_page, 0, src, len, nullptr, 0, nullptr, &used);
  FUZZ_CHECK(n > 0 && n <= len * 3);
  std::unique_ptr<char[]> exact(new char[n]);
  BOOL used_again = FALSE;
  FUZZ_CHECK(WideCharToMultiByte(code_page, 0, src, len, exact.get(), n, nullptr, &used_again) == n);
  FUZZ_CHECK(used == used_again);
  std::unique_ptr<char[]> short_of(new char[n - 1 > 0 ? n - 1 : 1]);
  if (n > 1) {
    SetLastError(0);
    FUZZ_CHECK(WideCharToMultiByte(code_page, 0, src, len, short_of.get(), n - 1, nullptr, nullptr) == 0);
    FUZZ_CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
  }
  *used_default = used != FALSE;
  return std::string(exact.get(), n);
}

// Shift_JIS lone bytes the device maps where iconv's CP932 has nothing.
bool HasDeviceOnlyBytes(const std::string& narrow) {
  for (unsigned char c : narrow) {
    if (c == 0x80 || c == 0xA0 || c >= 0xFD) return true;
  }
  return false;
}

bool HasLoneSurrogate(const std::u16string& wide) {
  for (size_t i = 0; i < wide.size(); i++) {
    char16_t u = wide[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 &&
        wide[i + 1] <= 0xDFFF) {
      i++;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      return true;
    }
  }
  return false;
}

std::string Utf16Bytes(const std::u16string& wide) {
  return std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2);
}

void Narrow(UINT code_page, const std::string& text) {
  const char* iconv_name = code_page == CP_UTF8 ? "UTF-8" : "CP932";
  bool ok = false;
  std::u16string wide = ToWide(code_page, 0, text, &ok);
  FUZZ_CHECK(ok == !text.empty());
  bool strict_ok = false;
  std::u16string strict = ToWide(code_page, MB_ERR_INVALID_CHARS, text, &strict_ok);
  if (strict_ok) FUZZ_CHECK(strict == wide);

  bool used = false;
  std::string back = ToNarrow(code_page, wide, &used);
  bool again_ok = false;
  std::u16string again = ToWide(code_page, 0, back, &again_ok);
  FUZZ_CHECK(again == wide);
  if (code_page == CP_UTF8 && strict_ok) FUZZ_CHECK(back == text && !used);

  if (text.empty() || (code_page == CP_ACP && HasDeviceOnlyBytes(text))) return;
  std::string reference;
  bool iconv_ok = Iconv("UTF-16LE", iconv_name, text, &reference);
  FUZZ_CHECK(iconv_ok == strict_ok);
  if (iconv_ok) FUZZ_CHECK(reference == Utf16Bytes(wide));
}

void Wide(UINT code_page, const std::u16string& wide) {
  bool used = false;
  std::string narrow = ToNarrow(code_page, wide, &used);
  bool ok = false;
  std::u16string back = ToWide(code_page, 0, narrow, &ok);
  bool used_again = false;
  FUZZ_CHECK(ToNarrow(code_page, back, &used_again) == narrow && !used_again);
  if (code_page == CP_UTF8) {
    FUZZ_CHECK(used == HasLoneSurrogate(wide));
    if (!used) FUZZ_CHECK(back == wide);
    std::string reference;
    if (!used && !wide.empty()) {
      FUZZ_CHECK(Iconv("UTF-8", "UTF-16LE", Utf16Bytes(wide), &reference));
      FUZZ_CHECK(reference == narrow);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  uint8_t mode = data[0] % 4;
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  if (mode < 2) {
    Narrow(mode == 0 ? CP_ACP : CP_UTF8, text);
  } else {
    std::u16string wide(text.size() / 2, u'\0');
    memcpy(&wide[0], text.data(), wide.size() * 2);
    Wide(mode == 2 ? CP_ACP : CP_UTF8, wide);
  }
  return 0;
}
