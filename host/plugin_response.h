// Reading the answer a plug-in leaves in its response buffer: header lines
// each ended by "\r\n", an empty line, then the page. The header block
// becomes the HTTP status and headers; anything that is not such a block is
// refused rather than passed on. The page is sent from the buffer's own
// storage.
#ifndef HOST_PLUGIN_RESPONSE_H_
#define HOST_PLUGIN_RESPONSE_H_

#include <stddef.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "heap_body.h"
#include "text_buffer.h"

struct PluginAnswer {
  // 200 for a page, 302 for a redirect, or what a "Status:" line says.
  int status = 0;
  std::string content_type;  // empty for a redirect without a page
  std::string location;      // as the plug-in wrote it
  // Further headers, in order. The ones the server decides itself
  // (Content-Length, Connection, Transfer-Encoding, ...) are dropped.
  std::vector<std::pair<std::string, std::string>> headers;
  size_t body_offset = 0;  // first byte of the page
  bool has_body = false;   // false for a redirect: its page is not sent
};

// Parses the header block at the start of data[0, size). Needs at least one
// header line, a Content-Type or a Location, names made of token characters,
// values without control bytes, and no second Content-Type, Location or
// Status. False with a short reason in *error otherwise.
bool ParsePluginResponse(const char* data, size_t size, PluginAnswer* answer, std::string* error);

// Reads what a plug-in left in *response, `length` being what its fnTvx
// returned, and takes the page out of it: *page holds the page's bytes in
// the response's own heap block, and *response is left empty (data NULL,
// length 0). *page is nullptr, and *response left as it was, when there is
// no page to send (a redirect, or an empty page). False with a short reason
// in *error, nothing taken, when `length` is negative or more than the
// response holds, or the header block is bad.
bool TakePluginResponse(int length, TextBuffer* response, PluginAnswer* answer,
                        std::shared_ptr<const HeapBody>* page, std::string* error);

#endif  // HOST_PLUGIN_RESPONSE_H_
