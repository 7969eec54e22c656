// The host's request reader on the bytes of one connection: the first byte
// picks the size of the pieces the bytes arrive in, the second the body
// limit, the rest is what the client sent. The requests read, and the
// refusal that ends them, must not depend on how the bytes were cut into
// pieces; no body passes the limit; every refusal is an error status.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "fuzz_check.h"
#include "request_reader.h"

namespace {

struct Outcome {
  std::vector<std::string> requests;  // each request's fields, joined
  int refusal = 0;                    // 0: the bytes ran out first
};

std::string Describe(const HttpRequest& request) {
  std::string text = request.method + '\n' + request.target + '\n' + request.path + '\n' +
                     request.query + '\n' + request.version + '\n';
  for (const auto& field : request.headers.fields()) {
    text += field.name + ':' + field.value + '\n';
  }
  return text + '\n' + request.body;
}

Outcome Read(const uint8_t* data, size_t size, size_t piece, uint64_t limit) {
  RequestReader reader(limit);
  std::string pending;
  size_t offered = 0;
  Outcome outcome;
  // Every step takes a byte, ends a request or asks for more: this bound is
  // never reached unless the reader stops making progress.
  for (size_t steps = 0;; ++steps) {
    FUZZ_CHECK(steps < 4 * size + 64);
    size_t used = 0;
    RequestReader::Step step = reader.Feed(pending.data(), pending.size(), &used);
    FUZZ_CHECK(used <= pending.size());
    pending.erase(0, used);
    if (step == RequestReader::Step::kDone) {
      HttpRequest request;
      reader.Take(&request);
      FUZZ_CHECK(request.body.size() <= limit);
      outcome.requests.push_back(Describe(request));
    } else if (step == RequestReader::Step::kRefused) {
      outcome.refusal = reader.refusal();
      FUZZ_CHECK(outcome.refusal >= 400 && outcome.refusal <= 599);
      return outcome;
    } else if (step == RequestReader::Step::kNeedMore) {
      if (offered == size) return outcome;
      size_t n = size - offered < piece ? size - offered : piece;
      pending.append(reinterpret_cast<const char*>(data) + offered, n);
      offered += n;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const uint64_t kLimits[] = {0, 16, 4096, 65536};
  size_t piece = static_cast<size_t>(data[0] % 64) + 1;
  uint64_t limit = kLimits[data[1] % 4];
  data += 2;
  size -= 2;
  Outcome whole = Read(data, size, size + 1, limit);
  Outcome pieces = Read(data, size, piece, limit);
  FUZZ_CHECK(whole.requests == pieces.requests);
  FUZZ_CHECK(whole.refusal == pieces.refusal);
  return 0;
}
