// The one way the host writes bytes that may not appear as they are: in a
// URL, in a header value, or in a line of the access log.
#ifndef HOST_BYTE_ESCAPE_H_
#define HOST_BYTE_ESCAPE_H_

#include <string>

enum class EscapeSet {
  // A path for a Location header: everything but letters, digits, "-._~"
  // and '/' as %XY.
  kUrlPath,
  // URL text sent on fit for a header: control bytes, space, DEL and bytes
  // from 0x80 up as %XY; the rest (an existing %XY, '?', '&') as it was.
  kUrlText,
  // Text of an access-log field: control bytes, DEL, bytes from 0x80 up,
  // '"' and '\' as \xHH.
  kLogField,
};

// `text` with the bytes of `set` escaped, hex digits in upper case.
std::string EscapeBytes(const std::string& text, EscapeSet set);

#endif  // HOST_BYTE_ESCAPE_H_
