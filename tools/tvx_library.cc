#include "tvx_library.h"

#include <dlfcn.h>

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
