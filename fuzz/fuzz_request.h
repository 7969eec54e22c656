// How the request targets read a fuzzer's input: one or more requests, each
// a block of "NAME=VALUE" lines (the request variables; a trailing CR is
// dropped, a line without '=' is a name with an empty value) ended by an
// empty line, then the body's bytes. A line "====" between two requests ends
// the body of the first. Seeds stay readable and easy to write by hand:
//
//   REQUEST_METHOD=POST
//   CONTENT_TYPE=application/x-www-form-urlencoded
//
//   name=Taro&subject=Hi&body=Hello&postitem=Post
#ifndef FUZZ_FUZZ_REQUEST_H_
#define FUZZ_FUZZ_REQUEST_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

struct FuzzRequest {
  std::vector<std::pair<std::string, std::string>> variables;
  std::string body;

  // The value of the first variable of that name, or nullptr.
  const std::string* Find(const std::string& name) const;
};

// At most `limit` requests; what follows them is ignored.
std::vector<FuzzRequest> ParseFuzzRequests(const uint8_t* data, size_t size, size_t limit);

#endif  // FUZZ_FUZZ_REQUEST_H_
