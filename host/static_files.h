// Plain files of the document root, sent as they are on disk.
#ifndef HOST_STATIC_FILES_H_
#define HOST_STATIC_FILES_H_

#include <httplib.h>

#include <string>

// The media type for a file name by its extension (letter case ignored);
// application/octet-stream for unknown ones. HTML is sent without a charset:
// the pages carry their own (Shift_JIS or UTF-8).
std::string ContentTypeFor(const std::string& path);

// Answers with the file at `real_path`: its bytes and Last-Modified, or 304
// when If-Modified-Since is not older than the file. The status of a full
// answer is left unset, so that the HTTP library answers 200, or 206 for a
// Range. False (nothing set) when the file cannot be opened.
bool ServeStaticFile(const httplib::Request& request, httplib::Response& response,
                     const std::string& real_path);

#endif  // HOST_STATIC_FILES_H_
