// The request form over whatever a client and a server may send: random
// request variables, query strings, URL-encoded and multipart bodies. The
// input is one request as fuzz_request.h reads it; a variable PARAMS lists,
// comma-separated, more parameter names to ask for, and SIZE the buffer size
// the values are copied into (default 64).
//
// Properties: decoding QUERY_STRING in place keeps every other variable, and
// the block stays well formed; a URL-encoded body keeps its length; a value
// never overruns its buffer and comes from the request (the query, the
// decoded body, or, for a multipart part, a piece of the body itself).
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ceplatform.h"
#include "fuzz_check.h"
#include "fuzz_request.h"
#include "request_form.h"
#include "string_util.h"

namespace {

const char* const kNames[] = {"name", "email", "subject", "body", "postitem", "deleteitem",
                              "deleteitemid", "row", "cmd", "db", "dbname", "cmd="};

bool Contains(const char* haystack, size_t haystack_size, const char* needle, size_t size) {
  if (size == 0) return true;
  return memmem(haystack, haystack_size, needle, size) != nullptr;
}

// The variables as a reader of the block finds them, in order.
std::vector<std::pair<std::string, std::string>> Walk(ServerVariables* variables) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (char* at = variables->Rewind(); at != nullptr; at = variables->Next()) {
    pairs.emplace_back(variables->CurrentName(), variables->CurrentValue());
  }
  return pairs;
}

// Asks for one parameter every way the form offers and checks each answer.
void Ask(RequestForm* form, const std::string& name, int size, const std::string& query,
         const std::string& decoded_body) {
  std::unique_ptr<char[]> buffer(new char[size + 8]);
  memset(buffer.get(), 0x5A, size + 8);
  int n = form->GetParameter(name.c_str(), buffer.get(), size);
  FUZZ_CHECK(n >= 0 && n <= size);
  for (int i = size; i < size + 8; i++) FUZZ_CHECK(buffer[i] == 0x5A);
  for (int i = n; i < size; i++) FUZZ_CHECK(buffer[i] == '\0');
  if (n > 0 && !form->IsPost()) {
    FUZZ_CHECK(Contains(query.data(), query.size(), buffer.get(), n));
  }
  if (n > 0 && form->IsPost() && RequestForm::IsUrlEncoded(form->variables)) {
    FUZZ_CHECK(Contains(decoded_body.data(), decoded_body.size(), buffer.get(), n));
  }
  form->GetIntParameter(name.c_str());

  if (!RequestForm::IsMultipart(form->variables)) return;
  const char* value = nullptr;
  int length = form->FindMultipartValue(name.c_str(), &value);
  FUZZ_CHECK(length >= 0);
  if (value != nullptr) {
    const char* begin = form->requestBody->data;
    FUZZ_CHECK(begin != nullptr);
    FUZZ_CHECK(value >= begin && value + length <= begin + form->requestBody->length);
  } else {
    FUZZ_CHECK(length == 0);
  }
  memset(buffer.get(), 0x5A, size + 8);
  int copied = form->CopyMultipartValue(name.c_str(), buffer.get(), size);
  FUZZ_CHECK(copied >= 0 && copied <= size);
  for (int i = size; i < size + 8; i++) FUZZ_CHECK(buffer[i] == 0x5A);
  if (copied > 0) {
    FUZZ_CHECK(copied == length && memcmp(buffer.get(), value, copied) == 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<FuzzRequest> requests = ParseFuzzRequests(data, size, 1);
  const FuzzRequest& request = requests.front();
  long blocks = PlatformLiveHeapBlocks();
  {
    std::vector<std::string> names(std::begin(kNames), std::end(kNames));
    int buffer_size = 64;
    ServerVariables variables;
    FUZZ_CHECK(variables.buffer != nullptr);
    for (const auto& [name, value] : request.variables) {
      if (name == "PARAMS") {
        size_t at = 0;
        while (at <= value.size() && names.size() < 40) {
          size_t comma = value.find(',', at);
          if (comma == std::string::npos) comma = value.size();
          names.push_back(value.substr(at, comma - at));
          at = comma + 1;
        }
      } else if (name == "SIZE") {
        buffer_size = 1 + static_cast<int>(strtoul(value.c_str(), nullptr, 10) % 4096);
      } else if (!name.empty()) {
        variables.Set(name.c_str(), value.c_str());
      }
    }
    std::vector<std::pair<std::string, std::string>> before = Walk(&variables);

    TextBuffer body;
    if (!request.body.empty()) {
      FUZZ_CHECK(body.Append(request.body.data(), static_cast<int>(request.body.size())) ==
                 static_cast<int>(request.body.size()));
    }
    TextBuffer response;
    RequestForm form(&variables, &body, &response);

    // Every variable is still there, in its place; QUERY_STRING decoded.
    std::vector<std::pair<std::string, std::string>> after = Walk(&variables);
    FUZZ_CHECK(after.size() == before.size());
    std::string query;
    for (size_t i = 0; i < before.size(); i++) {
      FUZZ_CHECK(after[i].first == before[i].first);
      if (before[i].first == "QUERY_STRING") {
        std::string copy = before[i].second;
        UrlDecode(&copy[0]);
        FUZZ_CHECK(after[i].second == std::string(copy.c_str()));
        query = after[i].second;
      } else {
        FUZZ_CHECK(after[i].second == before[i].second);
      }
    }
    size_t block_length = 0;
    for (const auto& pair : after) block_length += pair.first.size() + pair.second.size() + 2;
    FUZZ_CHECK(static_cast<size_t>(variables.buffer->length) == block_length);
    FUZZ_CHECK(body.length == static_cast<int>(request.body.size()));
    std::string decoded_body = body.data != nullptr ? std::string(body.data, body.length) : "";

    for (const std::string& name : names) Ask(&form, name, buffer_size, query, decoded_body);
  }
  FUZZ_CHECK(PlatformLiveHeapBlocks() == blocks);
  return 0;
}
