#include "plugin_path_check.h"

#include "guard_text.h"

namespace {

// The first unsafe byte, or -1.
int FirstUnsafe(const std::string& path) {
  for (char c : path) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f || c == '"' || c == '<' || c == '>' || c == '\'' ||
        c == '&') {
      return byte;
    }
  }
  return -1;
}

}  // namespace

bool IsSafePluginPath(const std::string& url_path) { return FirstUnsafe(url_path) < 0; }

std::string UnsafePluginLogLine(const std::string& file, const std::string& url_path) {
  int byte = FirstUnsafe(url_path);
  std::string what = byte < 0 ? std::string("nothing unsafe")
                              : byte < 0x20 || byte == 0x7f ? std::string("a control byte")
                                                            : "'" + std::string(1, static_cast<char>(byte)) + "'";
  return "plug-in " + LogText(file) + " not run, unsafe name: its URL path " + LogText(url_path) +
         " holds " + what + ", which its pages would show unescaped; rename the file";
}
