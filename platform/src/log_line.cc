#include "log_line.h"

#include <stdarg.h>
#include <stdio.h>
#include <time.h>
#include <unistd.h>

namespace ceplatform {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

void AppendEscaped(const std::string& text, std::string* out) {
  static const char kHex[] = "0123456789ABCDEF";
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) {
      *out += "\\x";
      *out += kHex[byte >> 4];
      *out += kHex[byte & 15];
    } else {
      *out += c;
    }
  }
}

}  // namespace

std::string OneLine(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // Blanks are left out only beside a line break.
    size_t first = start;
    size_t last = end;
    if (start > 0) {
      while (first < last && IsBlank(text[first])) ++first;
    }
    if (end < text.size()) {
      while (last > first && IsBlank(text[last - 1])) --last;
    }
    if (last > first) {
      if (!out.empty()) out += " / ";
      AppendEscaped(text.substr(first, last - first), &out);
    }
    start = end + 1;
  }
  return out;
}

void LogLine(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char small[512];
  va_list again;
  va_copy(again, args);
  int length = vsnprintf(small, sizeof small, format, args);
  va_end(args);
  std::string long_message;
  try {
    if (length >= static_cast<int>(sizeof small)) {
      long_message.resize(static_cast<size_t>(length));
      vsnprintf(&long_message[0], long_message.size() + 1, format, again);
    }
  } catch (...) {
    // Out of memory: the start of the event is still written.
  }
  va_end(again);
  const char* event = length < 0 ? "" : long_message.empty() ? small : long_message.c_str();

  try {
    char stamp[64];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::string line = std::string("[") + stamp + "] ceplatform: " + OneLine(event) + "\n";
    ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
  } catch (...) {
    // Out of memory: the line is lost rather than the caller's call.
  }
}

}  // namespace ceplatform
