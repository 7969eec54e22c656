// The admin page end to end: each input is up to four requests on an empty
// store, to corkwarden.tvx, or to the board when the request carries the
// line "PLUGIN=corkwall" (so that an input can post before it lists or
// deletes). Besides the harness's checks, every admin answer is a page, and
// a request with no "delete" anywhere in its query or body changes no record
// (a deletion removes one record, or one database).
#include <ctype.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "fuzz_check.h"
#include "plugin_harness.h"

namespace {

PluginHarness* harness = nullptr;

// `text` with its %XY escapes decoded and its letters in lower case.
std::string Decoded(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); i++) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(strtol(text.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  for (char& c : out) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness = new PluginHarness;
  harness->Start({PluginPath(CORKWARDEN_TVX, "corkwarden.tvx"),
                  PluginPath(CORKWALL_TVX, "corkwall.tvx")});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  harness->Reset();
  for (FuzzRequest request : ParseFuzzRequests(data, size, 4)) {
    const std::string* plugin = request.Find("PLUGIN");
    bool board = plugin != nullptr && *plugin == "corkwall";
    for (size_t i = 0; i < request.variables.size(); i++) {
      if (request.variables[i].first == "PLUGIN") {
        request.variables.erase(request.variables.begin() + i);
        i--;
      }
    }
    if (board) {
      harness->Call(1, request, "/bbs/board.tvx");
    } else {
      long before = harness->CountRecords();
      std::string response = harness->Call(0, request, "/admin/corkwarden.tvx");
      FUZZ_CHECK(response.compare(0, 25, "Content-Type: text/html\r\n") == 0);
      std::string asked = Decoded(harness->Sent("QUERY_STRING") + "&" + request.body);
      if (asked.find("delete") == std::string::npos) {
        FUZZ_CHECK(harness->CountRecords() == before);
      }
    }
  }
  return 0;
}
