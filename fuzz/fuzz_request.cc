#include "fuzz_request.h"

namespace {

const char kSeparator[] = "\n====\n";

// One request from `text`: variables up to the first empty line, the rest is
// the body.
FuzzRequest ParseOne(const std::string& text) {
  FuzzRequest request;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
    at = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    size_t equals = line.find('=');
    if (equals == std::string::npos) {
      request.variables.emplace_back(line, std::string());
    } else {
      request.variables.emplace_back(line.substr(0, equals), line.substr(equals + 1));
    }
  }
  request.body = text.substr(at);
  return request;
}

}  // namespace

const std::string* FuzzRequest::Find(const std::string& name) const {
  for (const auto& variable : variables) {
    if (variable.first == name) return &variable.second;
  }
  return nullptr;
}

std::vector<FuzzRequest> ParseFuzzRequests(const uint8_t* data, size_t size, size_t limit) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::vector<FuzzRequest> requests;
  size_t at = 0;
  while (requests.size() < limit) {
    size_t end = text.find(kSeparator, at);
    if (end == std::string::npos) {
      requests.push_back(ParseOne(text.substr(at)));
      break;
    }
    requests.push_back(ParseOne(text.substr(at, end - at)));
    at = end + sizeof(kSeparator) - 1;
  }
  return requests;
}
