// The platform's log: one line per event on stderr, "[local time]
// ceplatform: " and the event, as the host's error log writes its own.
#ifndef CEPLATFORM_LOG_LINE_H_
#define CEPLATFORM_LOG_LINE_H_

#include <string>

namespace ceplatform {

// printf-style. The event is made one line (OneLine) and written with its
// time stamp and a newline in one write, so that lines from different threads
// and processes never interleave. Never fails; a line that cannot be built
// for lack of memory is lost.
void LogLine(const char* format, ...) __attribute__((format(printf, 1, 2)));

// `text` as one line: each run of line breaks, with the blanks (space, tab,
// CR) around it, becomes " / " (and nothing at either end: a message that
// ends in "\n" ends there); every other byte below 0x20, and DEL, is written
// as \xHH. Bytes from 0x80 up stay, for paths and messages in UTF-8.
std::string OneLine(const std::string& text);

}  // namespace ceplatform

#endif  // CEPLATFORM_LOG_LINE_H_
