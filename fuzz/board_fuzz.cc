// The board end to end: each input is up to four requests to corkwall.tvx
// (posts, pages, deletions) on an empty store. Besides the harness's checks,
// every page the board answers with ends with its footer or is an error page,
// a request other than a POST changes no record, and a POST adds or deletes
// at most one.
#include <stddef.h>
#include <stdint.h>

#include "fuzz_check.h"
#include "plugin_harness.h"

namespace {

PluginHarness* harness = nullptr;

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() >= suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  harness = new PluginHarness;
  harness->Start({PluginPath(CORKWALL_TVX, "corkwall.tvx")});
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  harness->Reset();
  for (const FuzzRequest& request : ParseFuzzRequests(data, size, 4)) {
    long before = harness->CountRecords();
    std::string response = harness->Call(0, request, "/bbs/board.tvx");
    long after = harness->CountRecords();
    if (harness->Sent("REQUEST_METHOD") != "POST") {
      FUZZ_CHECK(after == before);
    } else {
      FUZZ_CHECK(after - before >= -1 && after - before <= 1);
    }
    if (response.compare(0, 9, "Location:") != 0) {
      FUZZ_CHECK(EndsWith(response, "</HTML>\n") || EndsWith(response, "</BODY></HTML>"));
    }
  }
  return 0;
}
