#include "cgi_variables.h"

#include <strings.h>

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
std::string ServerName(const httplib::Request& request) {
  std::string host = request.get_header_value("Host");
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

std::vector<std::pair<std::string, std::string>> CgiVariables(const httplib::Request& request,
                                                              const CgiInputs& inputs) {
  std::vector<std::pair<std::string, std::string>> vars;
  size_t question = request.target.find('?');
  std::string query = question == std::string::npos ? std::string()
                                                    : request.target.substr(question + 1);
  vars.emplace_back("GATEWAY_INTERFACE", "CGI/1.1");
  vars.emplace_back("SERVER_SOFTWARE", "tvxhost");
  vars.emplace_back("SERVER_NAME", ServerName(request));
  vars.emplace_back("SERVER_PORT", std::to_string(request.local_port));
  vars.emplace_back("SERVER_PROTOCOL", request.version);
  vars.emplace_back("REQUEST_METHOD", request.method);
  vars.emplace_back("REQUEST_URI", request.target);
  vars.emplace_back("SCRIPT_NAME", inputs.script_name_ansi);
  vars.emplace_back("DOCUMENT_ROOT", inputs.document_root_ansi);
  vars.emplace_back("QUERY_STRING", query);
  vars.emplace_back("REMOTE_ADDR", request.remote_addr);
  vars.emplace_back("REMOTE_PORT", std::to_string(request.remote_port));
  if (!inputs.user.empty()) {
    vars.emplace_back("AUTH_TYPE", "Basic");
    vars.emplace_back("REMOTE_USER", inputs.user);
  }
  if (inputs.tls) vars.emplace_back("HTTPS", "on");
  if (inputs.body_size > 0 || request.method == "POST" || request.has_header("Content-Length")) {
    if (inputs.has_content_type) vars.emplace_back("CONTENT_TYPE", inputs.content_type);
    vars.emplace_back("CONTENT_LENGTH", std::to_string(inputs.body_size));
  }
  for (auto it = request.headers.begin(); it != request.headers.end();) {
    const std::string& name = it->first;
    std::string value;
    auto range = request.headers.equal_range(name);
    for (auto same = range.first; same != range.second; ++same) {
      if (!value.empty()) value += ", ";
      value += same->second;
    }
    it = range.second;
    if (!IsPlainHeaderName(name) || IsLeftOut(name)) continue;
    vars.emplace_back(CgiName(name), value);
  }
  return vars;
}
