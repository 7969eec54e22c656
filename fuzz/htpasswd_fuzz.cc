// The htpasswd parser. The input is the file's text; the target adds one
// line of its own at the end, "known:" with a SHA-crypt hash of "secret",
// and checks what the parser made of the whole against a model of the
// format: lines split at LF with a trailing CR dropped, empty lines and '#'
// lines skipped, "user:hash" with a user before the first colon, only the
// accepted hash kinds, the first line of a user winning. Every line that is
// neither skipped nor accepted is logged once; "known" logs in with "secret"
// exactly when its line is the one that counts, and never with another
// password.
#include <crypt.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "htpasswd.h"

namespace {

int logged = 0;
std::string known_line;
std::filesystem::path file;

// What the parser should make of `text`: how many lines it logs, and whether
// the last "known" line is the first of its user.
void Model(const std::string& text, int* bad_lines, bool* known_counts) {
  std::set<std::string> users;
  *bad_lines = 0;
  *known_counts = false;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !Htpasswd::IsSupportedHash(line.substr(colon + 1))) {
      ++*bad_lines;
      continue;
    }
    std::string user = line.substr(0, colon);
    bool first = users.insert(user).second;
    if (user == "known") *known_counts = first && at >= text.size() && line == known_line;
  }
}

}  // namespace

// The host's error log, counted instead of written.
void LogError(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  vsnprintf(line, sizeof(line), format, args);
  va_end(args);
  logged++;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  struct crypt_data data = {};
  const char* hash = crypt_rn("secret", "$5$rounds=1000$corkwallfuzz$", &data, sizeof data);
  FUZZ_CHECK(hash != nullptr && hash[0] == '$');
  known_line = std::string("known:") + hash;
  file = std::filesystem::temp_directory_path() /
         ("corkwall-fuzz-htpasswd-" + std::to_string(getpid()));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  text += "\n" + known_line + "\n";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << text;
    FUZZ_CHECK(out.good());
  }
  int bad_lines = 0;
  bool known_counts = false;
  Model(text, &bad_lines, &known_counts);

  Htpasswd htpasswd(file.string());
  std::string error;
  logged = 0;
  FUZZ_CHECK(htpasswd.Load(&error));
  FUZZ_CHECK(logged == bad_lines);
  // Another line of "known" may carry a costly hash: ask only for our own.
  if (known_counts) {
    FUZZ_CHECK(htpasswd.Verify("known", "secret"));
    FUZZ_CHECK(!htpasswd.Verify("known", "secreT"));
  }
  return 0;
}
