#include "location_text.h"

#include <string.h>

#include "ceplatform.h"
#include "wince_kernel.h"

namespace ceplatform {
namespace store {
namespace {

const char kHidden[] = "***";

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

bool IsWordByte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Whether a parameter's name, percent-decoded (libpq decodes it too) and in
// any case, names a password.
bool IsSecretName(const std::string& name, bool encoded) {
  std::string plain;
  for (size_t i = 0; i < name.size(); ++i) {
    if (encoded && name[i] == '%' && i + 2 < name.size() && HexValue(name[i + 1]) >= 0 &&
        HexValue(name[i + 2]) >= 0) {
      plain += Lower(static_cast<char>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2])));
      i += 2;
    } else {
      plain += Lower(name[i]);
    }
  }
  return plain == "password" || plain == "sslpassword";
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
  size_t length = strlen(prefix);
  if (text.size() < length) return false;
  for (size_t i = 0; i < length; ++i) {
    if (Lower(text[i]) != prefix[i]) return false;
  }
  return true;
}

// The URI with the password of its user information hidden.
std::string WithoutUserPassword(const std::string& uri, size_t authority) {
  size_t at = uri.find_first_of("@/", authority);
  if (at == std::string::npos || uri[at] != '@') return uri;
  size_t colon = uri.find(':', authority);
  if (colon > at) return uri;
  return uri.substr(0, colon + 1) + kHidden + uri.substr(at);
}

// The URI with the values of its password parameters hidden. The query is
// taken from the first '?' after the scheme, even one that libpq would read
// as part of the user information, so that nothing after it shows a secret.
std::string WithoutQueryPasswords(const std::string& uri, size_t authority) {
  size_t query = uri.find('?', authority);
  if (query == std::string::npos) return uri;
  std::string shown = uri.substr(0, query + 1);
  size_t start = query + 1;
  while (true) {
    size_t end = uri.find('&', start);
    if (end == std::string::npos) end = uri.size();
    size_t equals = uri.find('=', start);
    if (equals < end && IsSecretName(uri.substr(start, equals - start), true)) {
      shown.append(uri, start, equals + 1 - start);
      shown += kHidden;
    } else {
      shown.append(uri, start, end - start);
    }
    if (end == uri.size()) return shown;
    shown += '&';
    start = end + 1;
  }
}

// Whether the text begins as a libpq key=value string: a word, blanks, '='.
bool IsKeywordString(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  size_t word = i;
  while (i < text.size() && IsWordByte(text[i])) ++i;
  if (i == word) return false;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return i < text.size() && text[i] == '=';
}

// The end of a key=value string's value that starts at `i`, read as libpq
// reads it: in quotes up to the closing quote, else up to a blank; a
// backslash takes the byte after it as it is. An unclosed quote runs to the
// end.
size_t ValueEnd(const std::string& text, size_t i) {
  bool quoted = i < text.size() && text[i] == '\'';
  if (quoted) ++i;
  while (i < text.size()) {
    char c = text[i];
    if (quoted ? c == '\'' : IsBlank(c)) return quoted ? i + 1 : i;
    i += c == '\\' && i + 1 < text.size() ? 2 : 1;
  }
  return i;
}

std::string WithoutKeywordPasswords(const std::string& text) {
  std::string shown;
  size_t i = 0;
  while (i < text.size()) {
    if (IsBlank(text[i])) {
      shown += text[i++];
      continue;
    }
    size_t key = i;
    while (i < text.size() && !IsBlank(text[i]) && text[i] != '=') ++i;
    std::string name = text.substr(key, i - key);
    size_t equals = i;
    while (equals < text.size() && IsBlank(text[equals])) ++equals;
    if (equals == text.size() || text[equals] != '=') {
      // A word without a value: libpq refuses the string; shown as it is.
      shown += name;
      continue;
    }
    size_t value = equals + 1;
    while (value < text.size() && IsBlank(text[value])) ++value;
    size_t end = ValueEnd(text, value);
    shown.append(text, key, value - key);
    if (IsSecretName(name, false)) {
      shown += kHidden;
    } else {
      shown.append(text, value, end - value);
    }
    i = end;
  }
  return shown;
}

}  // namespace

std::string PrintableLocation(const std::string& location) {
  for (const char* scheme : {"postgresql://", "postgres://"}) {
    if (StartsWithNoCase(location, scheme)) {
      size_t authority = strlen(scheme);
      return WithoutQueryPasswords(WithoutUserPassword(location, authority), authority);
    }
  }
  if (IsKeywordString(location)) return WithoutKeywordPasswords(location);
  return location;
}

}  // namespace store
}  // namespace ceplatform

extern "C" size_t PlatformPrintableLocation(const char* location, char* out, size_t capacity) {
  std::string shown;
  try {
    shown = ceplatform::store::PrintableLocation(location == nullptr ? "" : location);
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    shown.clear();
  }
  if (capacity > 0) {
    size_t copied = shown.size() < capacity ? shown.size() : capacity - 1;
    memcpy(out, shown.data(), copied);
    out[copied] = '\0';
  }
  return shown.size();
}
