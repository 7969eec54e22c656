#include "cgi_variables.h"

#include <strings.h>

#include <map>

namespace {

bool IsPlainHeaderName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-';
    if (!ok) return false;
  }
  return true;
}

bool IsLeftOut(const std::string& name) {
  static const char* const kNames[] = {"Content-Type", "Content-Length", "Authorization",
                                       "Proxy-Authorization"};
  for (const char* n : kNames) {
    if (strcasecmp(name.c_str(), n) == 0) return true;
  }
  return false;
}

std::string CgiName(const std::string& header) {
  std::string name = "HTTP_";
  for (char c : header) {
    if (c == '-') {
      name += '_';
    } else if (c >= 'a' && c <= 'z') {
      name += static_cast<char>(c - 32);
    } else {
      name += c;
    }
  }
  return name;
}

// The host part of a Host header, if it looks like a host name or address.
std::string ServerName(const HttpRequest& request) {
  std::string host = request.headers.Get("Host");
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    host = close == std::string::npos ? std::string() : host.substr(0, close + 1);
  } else {
    size_t colon = host.find(':');
    if (colon != std::string::npos) host = host.substr(0, colon);
  }
  for (char c : host) {
    bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              c == '-' || c == '.' || c == ':' || c == '[' || c == ']';
    if (!ok) return request.local_addr;
  }
  return host.empty() ? request.local_addr : host;
}

}  // namespace

std::vector<std::pair<std::string, std::string>> CgiVariables(const HttpRequest& request,
                                                              const CgiInputs& inputs) {
  std::vector<std::pair<std::string, std::string>> vars;
  vars.emplace_back("GATEWAY_INTERFACE", "CGI/1.1");
  vars.emplace_back("SERVER_SOFTWARE", "tvxhost");
  vars.emplace_back("SERVER_NAME", ServerName(request));
  vars.emplace_back("SERVER_PORT", std::to_string(request.local_port));
  vars.emplace_back("SERVER_PROTOCOL", request.version);
  vars.emplace_back("REQUEST_METHOD", request.method);
  vars.emplace_back("REQUEST_URI", request.target);
  vars.emplace_back("SCRIPT_NAME", inputs.script_name_ansi);
  vars.emplace_back("DOCUMENT_ROOT", inputs.document_root_ansi);
  vars.emplace_back("QUERY_STRING", request.query);
  vars.emplace_back("REMOTE_ADDR", request.client_addr);
  vars.emplace_back("REMOTE_PORT", std::to_string(request.client_port));
  if (!inputs.user.empty()) {
    vars.emplace_back("AUTH_TYPE", "Basic");
    vars.emplace_back("REMOTE_USER", inputs.user);
  }
  if (inputs.tls) vars.emplace_back("HTTPS", "on");
  if (!request.body.empty() || request.method == "POST" || request.headers.Has("Content-Length") ||
      request.headers.Has("Transfer-Encoding")) {
    const HttpHeaders::Field* type = request.headers.Find("Content-Type");
    if (type != nullptr) vars.emplace_back("CONTENT_TYPE", type->value);
    vars.emplace_back("CONTENT_LENGTH", std::to_string(request.body.size()));
  }
  // One variable per header name, at the place of its first field; the CGI
  // name is the same for every letter case of a plain name.
  std::map<std::string, size_t> index;
  for (const HttpHeaders::Field& field : request.headers.fields()) {
    if (!IsPlainHeaderName(field.name) || IsLeftOut(field.name)) continue;
    std::string name = CgiName(field.name);
    auto found = index.find(name);
    if (found != index.end()) {
      vars[found->second].second += ", " + field.value;
      continue;
    }
    index.emplace(name, vars.size());
    vars.emplace_back(std::move(name), field.value);
  }
  return vars;
}
