// Deterministic pseudo-random requests through the parameter readers and the
// decoder. Storage is cut to the exact size of what it holds, so under the
// address sanitizer any read or write outside a buffer stops the test; the
// checks here cover what the sanitizer cannot see (bytes past `size` inside a
// caller's larger buffer, results out of range, a broken variable block).
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "request_form.h"
#include "string_util.h"

namespace {

class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {  // splitmix64
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  int Below(int n) { return static_cast<int>(Next() % static_cast<uint64_t>(n)); }
  bool OneIn(int n) { return Below(n) == 0; }

  // Bytes that mostly come from the characters the parsers care about.
  std::string Text(int maxLength, bool allowNul) {
    static const char kInteresting[] = "-XYZ\r\n\"=&%+name01AFf ";
    int length = Below(maxLength + 1);
    std::string text;
    for (int i = 0; i < length; ++i) {
      char c;
      if (OneIn(4)) {
        c = static_cast<char>(Below(256));
      } else {
        c = kInteresting[Below(sizeof(kInteresting) - 1)];
      }
      if (c == '\0' && !allowNul) c = '%';
      text += c;
    }
    return text;
  }

 private:
  uint64_t state_;
};

const char* const kStatuses[] = {kStatusNoError, kStatusBadParam, kStatusBadContentType,
                                 kStatusBadBoundary, kStatusNoMemory};

bool KnownStatus(const char* status) {
  for (const char* known : kStatuses) {
    if (status == known) return true;
  }
  return false;
}

std::string Part(Random* random, const std::string& boundary) {
  std::string name = random->OneIn(2) ? "name" : random->Text(6, false);
  return "--" + boundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" +
         random->Text(30, true) + "\r\n";
}

std::string ContentType(Random* random, std::string* boundary) {
  *boundary = random->Text(8, false);
  switch (random->Below(7)) {
    case 0: return "application/x-www-form-urlencoded";
    case 1: return "application/x-www-form-urlencoded; charset=Shift_JIS";
    case 2: return "multipart/form-data; boundary=" + *boundary;
    case 3: return "MULTIPART/FORM-DATA; boundary=" + *boundary;
    case 4: return "multipart/form-data; boundary=";
    case 5: return random->Text(20, false);
    default: return "multipart/form-data";
  }
}

std::string Body(Random* random, const std::string& boundary) {
  if (random->OneIn(3)) return random->Text(200, true);
  std::string body;
  int parts = random->Below(4);
  for (int i = 0; i < parts; ++i) body += Part(random, boundary);
  if (random->OneIn(2)) body += "--" + boundary + "--";
  // Cut or damage it now and then.
  if (!body.empty() && random->OneIn(3)) body.resize(random->Below(static_cast<int>(body.size())));
  if (!body.empty() && random->OneIn(3)) body[random->Below(static_cast<int>(body.size()))] = '\0';
  return body;
}

std::string ContentLength(Random* random, size_t bodySize) {
  switch (random->Below(6)) {
    case 0: return std::to_string(bodySize + random->Below(1000));
    case 1: return std::to_string(static_cast<int>(bodySize) - random->Below(40));
    case 2: return "2147483647";
    case 3: return random->Text(6, false);
    default: return std::to_string(bodySize);
  }
}

// Every pair of the block is still found by its own name after construction,
// and the block ends where its length says.
void CheckBlock(ServerVariables* variables) {
  TextBuffer* block = variables->buffer;
  if (block->data == nullptr) return;
  ASSERT_EQ(0, block->data[block->length]);
  int bytes = 0;
  std::vector<std::string> names;
  for (char* name = variables->Rewind(); name != nullptr; name = variables->Next()) {
    names.push_back(name);
    bytes += static_cast<int>(strlen(name) + strlen(variables->CurrentValue()) + 2);
  }
  EXPECT_EQ(bytes, block->length);
  for (const std::string& name : names) EXPECT_NE(nullptr, variables->Get(name.c_str())) << name;
}

TEST(RobustnessTest, RandomRequests) {
  Random random(20240607);
  for (int round = 0; round < 4000; ++round) {
    SCOPED_TRACE(round);
    std::string boundary;
    std::string type = ContentType(&random, &boundary);
    std::string bodyBytes = Body(&random, boundary);

    ServerVariables variables;
    variables.buffer->blockSize = 1;
    switch (random.Below(3)) {
      case 0: variables.Set("REQUEST_METHOD", "POST"); break;
      case 1: variables.Set("REQUEST_METHOD", "GET"); break;
      default: break;
    }
    if (!random.OneIn(8)) variables.Set("CONTENT_TYPE", type.c_str());
    if (!random.OneIn(8)) {
      variables.Set("CONTENT_LENGTH", ContentLength(&random, bodyBytes.size()).c_str());
    }
    if (!random.OneIn(8)) variables.Set("QUERY_STRING", random.Text(40, false).c_str());
    variables.Set("SCRIPT_NAME", "/bbs/board.tvx");

    TextBuffer body;
    body.blockSize = 1;
    body.Append(bodyBytes.data(), static_cast<int>(bodyBytes.size()));
    TextBuffer response;

    RequestForm form(&variables, &body, &response);
    CheckBlock(&variables);
    EXPECT_STREQ("/bbs/board.tvx", variables.Get("SCRIPT_NAME"));

    for (int lookup = 0; lookup < 4; ++lookup) {
      std::string name = random.OneIn(3) ? "name" : random.Text(5, false);
      if (random.OneIn(4)) name += "=";
      int size = 1 + random.Below(40);
      char buffer[64];
      memset(buffer, 'G', sizeof(buffer));
      int n = form.GetParameter(name.c_str(), buffer, size);
      EXPECT_GE(n, 0);
      EXPECT_LE(n, size);
      for (int i = size; i < static_cast<int>(sizeof(buffer)); ++i) ASSERT_EQ('G', buffer[i]);
      EXPECT_TRUE(KnownStatus(form.status));

      const char* out = nullptr;
      int found = form.FindMultipartValue(name.c_str(), &out);
      if (found > 0) {
        ASSERT_NE(nullptr, out);
        EXPECT_GE(out, body.data);
        EXPECT_LE(out + found, body.data + body.length);
      }
      form.GetIntParameter(name.c_str());
      EXPECT_TRUE(KnownStatus(form.status));
    }
    EXPECT_EQ(static_cast<int>(bodyBytes.size()), body.length);
  }
}

TEST(RobustnessTest, RandomDecoding) {
  Random random(77);
  for (int round = 0; round < 4000; ++round) {
    SCOPED_TRACE(round);
    std::string text = random.Text(30, false);
    // Exact-size heap copy with a known tail after it.
    std::vector<char> bytes(text.begin(), text.end());
    bytes.push_back('\0');
    bytes.insert(bytes.end(), {'T', 'A', 'I', 'L'});
    UrlDecode(bytes.data());
    EXPECT_LE(strlen(bytes.data()), text.size());
    EXPECT_EQ("TAIL", std::string(bytes.end() - 4, bytes.end()));

    char value[32];
    memset(value, 'G', sizeof(value));
    int size = random.Below(20);
    std::string name = random.Text(3, false);
    int n = RequestForm::FindValue(text.c_str(), name.c_str(), value, size);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, size);
    for (int i = size; i < static_cast<int>(sizeof(value)); ++i) ASSERT_EQ('G', value[i]);
  }
}

}  // namespace
