// Conversions between the file system's UTF-8 and the plug-ins' ANSI code
// page (Shift_JIS), through the platform's own code-page functions so that
// the host and the plug-ins agree on every byte.
#ifndef HOST_CODE_PAGE_H_
#define HOST_CODE_PAGE_H_

#include <string>

// False when `utf8` is not valid UTF-8 or holds a character that Shift_JIS
// cannot express (the plug-in would see '?' in its place).
bool Utf8ToAnsi(const std::string& utf8, std::string* ansi);

// False when `ansi` is not valid Shift_JIS.
bool AnsiToUtf8(const std::string& ansi, std::string* utf8);

#endif  // HOST_CODE_PAGE_H_
