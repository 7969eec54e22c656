#include "http_message.h"

#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "heap_body.h"

namespace {

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strcasecmp(a.c_str(), b.c_str()) == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HttpDate(time_t when) {
  // The names are the C locale's, which the server never changes.
  char text[64];
  struct tm utc;
  gmtime_r(&when, &utc);
  strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
  return text;
}

bool IsHttpToken(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    bool ok = (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') ||
              (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
    if (!ok) return false;
  }
  return true;
}

void HttpHeaders::Add(std::string name, std::string value) {
  fields_.push_back(Field{std::move(name), std::move(value)});
}

void HttpHeaders::Set(const std::string& name, std::string value) {
  Remove(name);
  fields_.push_back(Field{name, std::move(value)});
}

void HttpHeaders::Remove(const std::string& name) {
  std::vector<Field> kept;
  kept.reserve(fields_.size());
  for (Field& field : fields_) {
    if (!SameName(field.name, name)) kept.push_back(std::move(field));
  }
  fields_.swap(kept);
}

size_t HttpHeaders::Count(const std::string& name) const {
  size_t count = 0;
  for (const Field& field : fields_) count += SameName(field.name, name) ? 1 : 0;
  return count;
}

std::string HttpHeaders::Get(const std::string& name) const {
  const Field* field = Find(name);
  return field != nullptr ? field->value : std::string();
}

const HttpHeaders::Field* HttpHeaders::Find(const std::string& name) const {
  for (const Field& field : fields_) {
    if (SameName(field.name, name)) return &field;
  }
  return nullptr;
}

void SplitTarget(const std::string& target, std::string* path, std::string* query) {
  size_t question = target.find('?');
  std::string raw = target.substr(0, question);
  *query = question == std::string::npos ? std::string() : target.substr(question + 1);
  std::string decoded;
  decoded.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    int high = i + 2 < raw.size() && raw[i] == '%' ? HexValue(raw[i + 1]) : -1;
    int low = high >= 0 ? HexValue(raw[i + 2]) : -1;
    if (low >= 0) {
      decoded += static_cast<char>(high * 16 + low);
      i += 2;
    } else {
      decoded += raw[i];
    }
  }
  *path = std::move(decoded);
}

FileBody::~FileBody() { close(fd); }

size_t HttpAnswer::BodySize() const {
  if (shared) return shared->size();
  if (file) return static_cast<size_t>(file->size);
  if (heap) return heap->size();
  return body.size();
}

const char* HttpAnswer::MemoryBody() const {
  if (shared) return shared->data();
  if (heap) return heap->data();
  return body.data();
}

const char* StatusText(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 304: return "Not Modified";
    case 307: return "Temporary Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return status < 400 ? "OK" : "Error";
  }
}

std::string ErrorPageFor(int status) {
  std::string title = std::to_string(status) + " " + StatusText(status);
  return "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head><body><h1>" + title +
         "</h1></body></html>\n";
}
