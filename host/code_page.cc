#include "code_page.h"

#include <vector>

#include "wince.h"

namespace {

bool ToWide(UINT code_page, const std::string& text, std::vector<WCHAR>* wide) {
  int size = static_cast<int>(text.size());
  int needed = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
  if (needed <= 0) return false;
  wide->assign(static_cast<size_t>(needed), 0);
  return MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), size, wide->data(),
                             needed) == needed;
}

bool FromWide(UINT code_page, const std::vector<WCHAR>& wide, std::string* text) {
  int count = static_cast<int>(wide.size());
  BOOL used_default = FALSE;
  int needed = WideCharToMultiByte(code_page, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  std::string result(static_cast<size_t>(needed), '\0');
  if (WideCharToMultiByte(code_page, 0, wide.data(), count, &result[0], needed, nullptr,
                          code_page == CP_UTF8 ? nullptr : &used_default) != needed ||
      used_default) {
    return false;
  }
  *text = result;
  return true;
}

bool Convert(UINT from, UINT to, const std::string& text, std::string* out) {
  if (text.empty()) {
    out->clear();
    return true;
  }
  std::vector<WCHAR> wide;
  return ToWide(from, text, &wide) && FromWide(to, wide, out);
}

}  // namespace

bool Utf8ToAnsi(const std::string& utf8, std::string* ansi) {
  return Convert(CP_UTF8, CP_ACP, utf8, ansi);
}

bool AnsiToUtf8(const std::string& ansi, std::string* utf8) {
  return Convert(CP_ACP, CP_UTF8, ansi, utf8);
}
