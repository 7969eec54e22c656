// TvxLibrary: one plug-in (.tvx) loaded with dlopen(RTLD_NOW | RTLD_LOCAL),
// and TvxRequest: the three objects of one call of its fnTvx, built with the
// framework's own classes. Shared by tvxcall, the host and the tests.
#ifndef TOOLS_TVX_LIBRARY_H_
#define TOOLS_TVX_LIBRARY_H_

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "server_variables.h"
#include "text_buffer.h"
#include "tvx_export.h"

class TvxLibrary {
 public:
  // Loads the library and finds fnTvx. On failure returns nullptr and puts
  // dlerror's reason (or the missing symbol) into *error.
  static std::unique_ptr<TvxLibrary> Open(const std::string& path, std::string* error);
  ~TvxLibrary();  // dlclose

  TvxEntry entry() const { return entry_; }
  const std::string& path() const { return path_; }

 private:
  TvxLibrary(void* handle, TvxEntry entry, std::string path)
      : handle_(handle), entry_(entry), path_(std::move(path)) {}
  TvxLibrary(const TvxLibrary&) = delete;
  TvxLibrary& operator=(const TvxLibrary&) = delete;

  void* handle_;
  TvxEntry entry_;
  std::string path_;
};

// The request variables, body and response of one call.
class TvxRequest {
 public:
  TvxRequest() = default;

  // Adds or replaces a request variable. False when memory runs out.
  bool Set(const std::string& name, const std::string& value);
  // The same as Set for each pair in turn, and the same block of variables
  // results, but written in one append instead of a walk of the block and
  // two appends per pair. False for an empty name (the pairs before it are
  // set) or when memory runs out (none is).
  bool SetAll(const std::vector<std::pair<std::string, std::string>>& variables);
  // Sets the body (bytes, NULs allowed). False when memory runs out.
  bool SetBody(const std::string& bytes);

  // Calls fnTvx and returns its result (the response length it reports).
  int Run(const TvxLibrary& library);

  // The response bytes, as many as the response's length says.
  std::string Response() const;

  ServerVariables& variables() { return variables_; }
  TextBuffer& body() { return body_; }
  TextBuffer& response() { return response_; }

 private:
  TvxRequest(const TvxRequest&) = delete;
  TvxRequest& operator=(const TvxRequest&) = delete;

  ServerVariables variables_;
  TextBuffer body_;
  TextBuffer response_;
};

#endif  // TOOLS_TVX_LIBRARY_H_
