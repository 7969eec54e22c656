// PluginHarness: the plug-ins under fuzzing, loaded with the project's loader
// and called the way the server calls them, on a store file and a document
// root of the process's own in the temporary folder.
//
// Every call is checked for what any answer must be: fnTvx returns the
// response's length; the response is a header block (a Content-Type or a
// Location line first, every line "Name: value" ended by CRLF), an empty line
// and, after a Content-Type, a page; and the call leaves no heap block and no
// handle behind.
#ifndef FUZZ_PLUGIN_HARNESS_H_
#define FUZZ_PLUGIN_HARNESS_H_

#include <memory>
#include <string>
#include <vector>

#include "fuzz_request.h"
#include "tvx_library.h"
#include "wince.h"

class PluginHarness {
 public:
  // Loads the plug-ins (in the order given; Call names them by index), makes
  // the document root with the open board's templates under bbs/, and names
  // the store file. Exits the process when something cannot be set up.
  void Start(const std::vector<std::string>& plugins);

  // Deletes every database of the store and sets the clock back, so that
  // each input starts from the same empty store.
  void Reset();

  // The records of every database of the store together.
  long CountRecords();

  // Calls plug-in `index` with the request, checks the answer and returns it.
  // Variables absent from the request get the server's defaults: SCRIPT_NAME
  // `script`, REQUEST_METHOD POST with a body (else GET), a URL-encoded
  // CONTENT_TYPE with a body, CONTENT_LENGTH the body's size. DOCUMENT_ROOT is
  // always the harness's own, and control bytes are dropped from SCRIPT_NAME
  // (the server never sends them there). "$RECORD$" and "$DB$" in a value or
  // the body stand for the first record and database identifiers that an
  // earlier answer of this input showed (a delete button, an admin link), so
  // that an input can delete what it wrote. With FUZZ_SHOW set in the
  // environment each answer is printed to stderr (to see what a seed does).
  std::string Call(size_t index, const FuzzRequest& request, const std::string& script);

  // A request variable of the last call as the plug-in got it ("" when absent).
  std::string Sent(const std::string& name) const;

 private:
  std::vector<std::unique_ptr<TvxLibrary>> libraries_;
  // Replaces the placeholders in `text`.
  std::string Substitute(const std::string& text) const;
  // Remembers the identifiers an answer shows.
  void Remember(const std::string& response);

  // The store's databases.
  std::vector<CEOID> Databases();

  std::string root_;
  std::vector<std::pair<std::string, std::string>> sent_;
  int calls_ = 0;
  std::string record_ = "0";
  std::string database_ = "0";
};

// The directory of the running program's plug-ins: $FUZZ_PLUGIN_DIR when set
// (to run a copied fuzz program), else the folder the build put them in.
std::string PluginPath(const char* built, const char* file);

#endif  // FUZZ_PLUGIN_HARNESS_H_
