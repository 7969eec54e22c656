// Small text helpers of the guard, for header values and log lines.
#ifndef HOST_GUARD_GUARD_TEXT_H_
#define HOST_GUARD_GUARD_TEXT_H_

#include <stddef.h>

#include <string>
#include <vector>

// `text` with every control byte (0x00-0x1F, 0x7F) and backslash written as
// \xNN and \\, so that a client cannot start a line of its own or hide
// bytes; longer than `limit` bytes, it is cut there and "..." is appended.
std::string LogText(const std::string& text, size_t limit = 200);

// `text` without the spaces, tabs and carriage returns around it.
std::string TrimBlanks(const std::string& text);

// The comma-separated pieces of `text`, each trimmed, empty ones kept:
// "a, b,,c" gives "a", "b", "", "c"; "" gives one empty piece.
std::vector<std::string> SplitCommas(const std::string& text);

// `text` with ASCII capitals made small; other bytes unchanged.
std::string LowerAscii(std::string text);

#endif  // HOST_GUARD_GUARD_TEXT_H_
