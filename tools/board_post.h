// A board post taken apart again: the record the board stores (its time and
// its finished Shift_JIS HTML) read back into the fields a visitor typed,
// as UTF-8 text, the characters a browser sent as references included.
#ifndef TOOLS_BOARD_POST_H_
#define TOOLS_BOARD_POST_H_

#include <stdint.h>

#include <optional>
#include <string>

// The fields of one post. A field is absent when the stored HTML is not in
// the board's form (a record written by other means), and email is absent
// too when the visitor gave none.
struct BoardPost {
  std::string time;  // ISO 8601, the stored local time: 2024-03-15T09:05:30
  std::optional<std::string> name;
  std::optional<std::string> email;
  std::optional<std::string> subject;
  std::optional<std::string> body;  // line breaks as "\n"
  std::string html;                 // the stored HTML in UTF-8
  bool parsed = false;              // whether the HTML was in the board's form
};

// Reads one post from its stored time (a FILETIME count) and its HTML (the
// Shift_JIS bytes before the terminating NUL).
BoardPost ReadBoardPost(int64_t file_time, const std::string& html);

// A FILETIME count as ISO 8601 date and time, to the second, with no zone:
// the board stores the local time of posting.
std::string FileTimeIso(int64_t file_time);

// The text of an escaped field, converted to UTF-8: "<BR>" and its line
// feed become one line feed, &amp; &lt; &gt; &quot; their characters, and a
// character reference the board kept ("&#128512;", CharReferenceLength) its
// character in UTF-8. Everything else stays as it is.
std::string UnescapeField(const std::string& escaped);

// Shift_JIS (code page 932) bytes as UTF-8; a byte that starts no character
// becomes U+FFFD.
std::string ShiftJisToUtf8(const std::string& bytes);
// The same through the C library's CP932 converter alone, which the
// conversion above must match for every text.
std::string ShiftJisToUtf8ThroughIconv(const std::string& bytes);

#endif  // TOOLS_BOARD_POST_H_
