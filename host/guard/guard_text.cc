#include "guard_text.h"

std::string LogText(const std::string& text, size_t limit) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  size_t end = text.size() < limit ? text.size() : limit;
  for (size_t i = 0; i < end; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      out += "\\\\";
    } else if (c < 0x20 || c == 0x7f) {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  if (end < text.size()) out += "...";
  return out;
}

std::string TrimBlanks(const std::string& text) {
  size_t start = text.find_first_not_of(" \t\r");
  if (start == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(start, end + 1 - start);
}

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::vector<std::string> SplitCommas(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    pieces.push_back(TrimBlanks(text.substr(start, comma - start)));
    start = comma + 1;
  }
  return pieces;
}
