#include "plugin_response.h"

#include <string.h>
#include <strings.h>

#include "http_message.h"

namespace {

bool NameIs(const std::string& name, const char* wanted) {
  return strcasecmp(name.c_str(), wanted) == 0;
}

// Headers that describe the connection or the framing, which the server
// writes itself.
bool IsServerHeader(const std::string& name) {
  static const char* const kNames[] = {"Connection", "Keep-Alive",        "Transfer-Encoding",
                                       "Content-Length", "Upgrade",       "Trailer",
                                       "TE",             "Content-Encoding"};
  for (const char* n : kNames) {
    if (NameIs(name, n)) return true;
  }
  return false;
}

std::string Trim(const std::string& text) {
  size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

bool ParseStatus(const std::string& value, int* status) {
  if (value.size() < 3) return false;
  int code = 0;
  for (int i = 0; i < 3; ++i) {
    if (value[i] < '0' || value[i] > '9') return false;
    code = code * 10 + (value[i] - '0');
  }
  if (value.size() > 3 && value[3] != ' ') return false;
  if (code < 200 || code > 599) return false;
  *status = code;
  return true;
}

}  // namespace

bool ParsePluginResponse(const char* data, size_t size, PluginAnswer* answer, std::string* error) {
  PluginAnswer result;
  int status = 0;
  size_t pos = 0;
  bool ended = false;
  int lines = 0;
  while (pos < size) {
    const char* start = data + pos;
    const char* cr = static_cast<const char*>(memchr(start, '\r', size - pos));
    const char* lf = static_cast<const char*>(memchr(start, '\n', size - pos));
    if (lf != nullptr && (cr == nullptr || lf < cr)) {
      *error = "a header line ends in a bare line feed";
      return false;
    }
    if (cr == nullptr || cr + 1 == data + size) {
      *error = "the header block has no end (no empty line)";
      return false;
    }
    if (lf != cr + 1) {
      *error = "a header line holds a bare carriage return";
      return false;
    }
    std::string line(start, static_cast<size_t>(cr - start));
    pos = static_cast<size_t>(lf - data) + 1;
    if (line.empty()) {
      ended = true;
      break;
    }
    ++lines;
    size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) {
      *error = "a header line has no name";
      return false;
    }
    std::string name = line.substr(0, colon);
    if (!IsHttpToken(name)) {
      *error = "a header name holds a character that is not allowed";
      return false;
    }
    std::string value = Trim(line.substr(colon + 1));
    for (char c : value) {
      unsigned char byte = static_cast<unsigned char>(c);
      if ((byte < 0x20 && byte != '\t') || byte == 0x7f) {
        *error = "the value of " + name + " holds a control character";
        return false;
      }
    }
    if (NameIs(name, "Content-Type")) {
      if (!result.content_type.empty() || value.empty()) {
        *error = "Content-Type is empty or given twice";
        return false;
      }
      result.content_type = value;
    } else if (NameIs(name, "Location")) {
      if (!result.location.empty() || value.empty()) {
        *error = "Location is empty or given twice";
        return false;
      }
      result.location = value;
    } else if (NameIs(name, "Status")) {
      if (status != 0 || !ParseStatus(value, &status)) {
        *error = "Status is not a code from 200 to 599, or given twice";
        return false;
      }
    } else if (!IsServerHeader(name)) {
      result.headers.emplace_back(name, value);
    }
  }
  if (!ended) {
    *error = "the header block has no end (no empty line)";
    return false;
  }
  if (lines == 0) {
    *error = "the response starts with an empty line: no headers";
    return false;
  }
  if (result.content_type.empty() && result.location.empty()) {
    *error = "the header block has neither Content-Type nor Location";
    return false;
  }
  result.body_offset = pos;
  if (!result.location.empty()) {
    result.status = status != 0 ? status : 302;
    result.has_body = false;
  } else {
    result.status = status != 0 ? status : 200;
    result.has_body = true;
  }
  *answer = result;
  return true;
}

bool TakePluginResponse(int length, TextBuffer* response, PluginAnswer* answer,
                        std::shared_ptr<const HeapBody>* page, std::string* error) {
  page->reset();
  if (length < 0 || length > response->length || (length > 0 && response->data == nullptr)) {
    *error = "returned " + std::to_string(length) + " but its response holds " +
             std::to_string(response->length) + " bytes";
    return false;
  }
  const char* bytes = response->data != nullptr ? response->data : "";
  std::string reason;
  if (!ParsePluginResponse(bytes, static_cast<size_t>(length), answer, &reason)) {
    *error = "bad response (" + reason + ")";
    return false;
  }
  if (answer->has_body && answer->body_offset < static_cast<size_t>(length)) {
    *page = HeapBody::Take(response, answer->body_offset, static_cast<size_t>(length));
  }
  return true;
}
