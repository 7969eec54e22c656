#include "tvx_library.h"

#include <dlfcn.h>
#include <stdint.h>
#include <string.h>

std::unique_ptr<TvxLibrary> TvxLibrary::Open(const std::string& path, std::string* error) {
  dlerror();
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    *error = reason ? reason : "dlopen failed";
    return nullptr;
  }
  dlerror();
  void* symbol = dlsym(handle, TVX_ENTRY_NAME);
  if (symbol == nullptr) {
    const char* reason = dlerror();
    *error = reason ? reason : path + ": no " TVX_ENTRY_NAME;
    dlclose(handle);
    return nullptr;
  }
  return std::unique_ptr<TvxLibrary>(
      new TvxLibrary(handle, reinterpret_cast<TvxEntry>(symbol), path));
}

TvxLibrary::~TvxLibrary() { dlclose(handle_); }

bool TvxRequest::Set(const std::string& name, const std::string& value) {
  return variables_.Set(name.c_str(), value.c_str()) > 0;
}

bool TvxRequest::SetAll(const std::vector<std::pair<std::string, std::string>>& variables) {
  // Only a block that is still empty is written in one go; pairs already
  // there are left to Set, which knows how to replace them.
  TextBuffer* block = variables_.buffer;
  if (block == nullptr || block->length > 0) {
    for (const auto& variable : variables) {
      if (!Set(variable.first, variable.second)) return false;
    }
    return true;
  }
  // Set sees C strings: a name or value is cut at its first NUL. A later pair
  // of the same name replaces the earlier one and goes to the end.
  std::vector<std::pair<const char*, const char*>> pairs;
  pairs.reserve(variables.size());
  bool refused = false;
  for (const auto& variable : variables) {
    const char* name = variable.first.c_str();
    if (name[0] == '\0') {
      refused = true;
      break;
    }
    for (auto it = pairs.begin(); it != pairs.end(); ++it) {
      if (strcmp(it->first, name) == 0) {
        pairs.erase(it);
        break;
      }
    }
    pairs.emplace_back(name, variable.second.c_str());
  }
  size_t total = 0;
  for (const auto& pair : pairs) total += strlen(pair.first) + strlen(pair.second) + 2;
  std::string bytes;
  bytes.reserve(total);
  for (const auto& pair : pairs) {
    bytes.append(pair.first, strlen(pair.first) + 1);
    bytes.append(pair.second, strlen(pair.second) + 1);
  }
  if (!bytes.empty()) {
    if (bytes.size() > static_cast<size_t>(INT32_MAX) ||
        block->Append(bytes.data(), static_cast<int>(bytes.size())) !=
            static_cast<int>(bytes.size())) {
      return false;
    }
    variables_.Rewind();
  }
  return !refused;
}

bool TvxRequest::SetBody(const std::string& bytes) {
  body_.Clear();
  if (bytes.empty()) return true;
  return body_.Append(bytes.data(), static_cast<int>(bytes.size())) ==
         static_cast<int>(bytes.size());
}

int TvxRequest::Run(const TvxLibrary& library) {
  return library.entry()(&variables_, &body_, &response_);
}

std::string TvxRequest::Response() const {
  if (response_.data == nullptr || response_.length <= 0) return std::string();
  return std::string(response_.data, static_cast<size_t>(response_.length));
}
