#include "byte_escape.h"

namespace {

bool MustEscape(unsigned char byte, EscapeSet set) {
  switch (set) {
    case EscapeSet::kUrlPath:
      return !((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
               (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' ||
               byte == '~' || byte == '/');
    case EscapeSet::kUrlText:
      return byte <= 0x20 || byte >= 0x7f;
    case EscapeSet::kLogField:
      return byte < 0x20 || byte >= 0x7f || byte == '"' || byte == '\\';
  }
  return true;
}

}  // namespace

std::string EscapeBytes(const std::string& text, EscapeSet set) {
  static const char kHex[] = "0123456789ABCDEF";
  const char* prefix = set == EscapeSet::kLogField ? "\\x" : "%";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (MustEscape(byte, set)) {
      out += prefix;
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}
