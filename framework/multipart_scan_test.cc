#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

#include "request_form.h"

namespace {

// A multipart POST whose body storage is exactly its bytes and the NUL, so a
// read past them is caught. CONTENT_LENGTH is the body's size unless given.
struct MultipartRequest {
  MultipartRequest(const std::string& bodyBytes, const std::string& type,
                   const char* contentLength = nullptr) {
    variables.Set("REQUEST_METHOD", "POST");
    variables.Set("CONTENT_TYPE", type.c_str());
    std::string length = contentLength ? contentLength : std::to_string(bodyBytes.size());
    variables.Set("CONTENT_LENGTH", length.c_str());
    body.blockSize = 1;
    body.Append(bodyBytes.data(), static_cast<int>(bodyBytes.size()));
  }
  ServerVariables variables;
  TextBuffer body;
  TextBuffer response;
};

const char kType[] = "multipart/form-data; boundary=XYZ";

std::string Part(const std::string& name, const std::string& value) {
  return "--XYZ\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value +
         "\r\n";
}

const std::string kCmdBody = Part("cmd", "enum") + "--XYZ--\r\n";

// The value FindMultipartValue reports, as bytes; "(none)" when it gives 0.
std::string Found(MultipartRequest* request, const char* name, const char** status) {
  RequestForm form(&request->variables, &request->body, &request->response);
  const char* out = nullptr;
  int n = form.FindMultipartValue(name, &out);
  *status = form.status;
  if (n == 0) return "(none)";
  EXPECT_GE(out, request->body.data);
  EXPECT_LE(out + n, request->body.data + request->body.length);
  return std::string(out, n);
}

TEST(MultipartScanTest, Lookups) {
  const std::string twoParts = Part("name", "Taro") + Part("body", "line1\r\nline2") + "--XYZ--";
  struct Case {
    std::string body;
    const char* name;
    std::string value;
    const char* status;
  } cases[] = {
      {kCmdBody, "cmd", "enum", kStatusNoError},
      {kCmdBody, "cm", "enum", kStatusNoError},     // the name's own length only
      {kCmdBody, "cmd=", "(none)", kStatusNoError},  // the quote follows cmd
      {kCmdBody, "zzz", "(none)", kStatusNoError},
      {Part("cmd=", "enum") + "--XYZ--\r\n", "cmd=", "enum", kStatusNoError},
      {twoParts, "body", "line1\r\nline2", kStatusNoError},  // closing delimiter at the very end
      {twoParts, "name", "Taro", kStatusNoError},
      {Part("bodytext", "long") + Part("body", "short") + "--XYZ--", "body", "long",
       kStatusNoError},
      {Part("empty", "") + "--XYZ--\r\n", "empty", "(none)", kStatusNoError},
      {Part("bin", std::string("a\0b\0", 4)) + "--XYZ--", "bin", std::string("a\0b\0", 4),
       kStatusNoError},
      // A file name before the name attribute answers for the part.
      {"--XYZ\r\nContent-Disposition: form-data; filename=\"cmd.txt\"; name=\"file\"\r\n\r\n"
       "data\r\n--XYZ--",
       "cmd", "data", kStatusNoError},
      // No name attribute in the header: the first one in the value counts.
      {"--XYZ\r\nX: y\r\n\r\nname=\"cmd\"\r\n--XYZ--", "cmd", "name=\"cmd\"", kStatusNoError},
      // The header block runs into the next delimiter.
      {"--XYZ\r\nContent-Disposition: form-data; name=\"cmd\"\r\nenum\r\n--XYZ--", "cmd",
       "(none)", kStatusBadBoundary},
      // A NUL inside the header ends the text search.
      {std::string("--XYZ\r\nname=\"cmd\"\0\r\n\r\nenum\r\n--XYZ--", 35), "cmd", "(none)",
       kStatusBadBoundary},
      // An opening delimiter and no further one.
      {"--XYZ\r\nContent-Disposition: form-data; name=\"cmd\"\r\n\r\nenum", "cmd", "(none)",
       kStatusBadBoundary},
      // A part without a name attribute is not answered by the next part's.
      {"--XYZ\r\nX: y\r\n\r\nfirst\r\n" + Part("cmd", "second") + "--XYZ--", "cmd", "second",
       kStatusNoError},
      // A delimiter whose line break ends the body opens no part.
      {Part("a", "v") + "--XYZ\r\n", "zzz", "(none)", kStatusNoError},
      {"no delimiter at all", "cmd", "(none)", kStatusNoError},
      {"--XYZ--\r\n" + Part("cmd", "late"), "cmd", "(none)", kStatusNoError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " in " << c.body);
    MultipartRequest request(c.body, kType);
    const char* status = nullptr;
    EXPECT_EQ(c.value, Found(&request, c.name, &status));
    EXPECT_STREQ(c.status, status);
  }
}

TEST(MultipartScanTest, ContentTypeAndLength) {
  struct Case {
    const char* type;
    const char* length;  // nullptr: the body's size
    std::string value;
    const char* status;
  } cases[] = {
      {"MULTIPART/FORM-DATA; boundary=XYZ", nullptr, "enum", kStatusNoError},
      {"MULTIPART/FORM-DATA; BOUNDARY=XYZ", nullptr, "(none)", kStatusBadBoundary},
      {"multipart/form-data", nullptr, "(none)", kStatusBadBoundary},
      {"multipart/form-data; boundary=\"XYZ\"", nullptr, "(none)", kStatusNoError},
      {"multipart/form-data; boundary=XYZ; charset=x", nullptr, "(none)", kStatusNoError},
      {kType, "0", "(none)", kStatusBadBoundary},
      {kType, "3", "(none)", kStatusBadBoundary},  // not longer than the boundary
      {kType, "4", "(none)", kStatusNoError},      // too short to reach the part
      {kType, "-5", "(none)", kStatusBadBoundary},
      {kType, "garbage", "(none)", kStatusBadBoundary},
      {kType, "25", "(none)", kStatusBadBoundary},  // cuts the part before its end
      {kType, "100000", "enum", kStatusNoError},   // claims more than the body holds
      {kType, "2147483647", "enum", kStatusNoError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << " / " << (c.length ? c.length : "(size)"));
    MultipartRequest request(kCmdBody, c.type, c.length);
    const char* status = nullptr;
    EXPECT_EQ(c.value, Found(&request, "cmd", &status));
    EXPECT_STREQ(c.status, status);
  }
}

TEST(MultipartScanTest, MissingVariablesAreBadBoundary) {
  for (const char* missing : {"CONTENT_LENGTH", "CONTENT_TYPE"}) {
    SCOPED_TRACE(missing);
    MultipartRequest request(kCmdBody, kType);
    request.variables.Remove(missing);
    const char* status = nullptr;
    EXPECT_EQ("(none)", Found(&request, "cmd", &status));
    EXPECT_STREQ(kStatusBadBoundary, status);
  }
}

TEST(MultipartScanTest, LengthAndTypeAreFoundWithCaseIgnored) {
  MultipartRequest request(kCmdBody, kType);
  request.variables.Remove("CONTENT_LENGTH");
  request.variables.Set("Content_Length", std::to_string(kCmdBody.size()).c_str());
  const char* status = nullptr;
  EXPECT_EQ("enum", Found(&request, "cmd", &status));
}

TEST(MultipartScanTest, BoundaryLongerThanTheBody) {
  std::string boundary(70, 'B');
  MultipartRequest request("--BBB\r\n", "multipart/form-data; boundary=" + boundary, "1000");
  const char* status = nullptr;
  EXPECT_EQ("(none)", Found(&request, "cmd", &status));
  EXPECT_STREQ(kStatusNoError, status);
}

// The scan's time grew with the boundary's length times the body's: a 1 MB
// body with an 8,000-byte boundary took over a second of CPU. A boundary of
// more than 70 bytes, as it stands after "boundary=", is now refused.
TEST(MultipartScanTest, RegressionLongBoundaryIsRefused) {
  struct Case {
    std::string boundary;  // as written after "boundary="
    const char* status;
  } cases[] = {
      {std::string(69, 'b'), kStatusNoError},
      {std::string(70, 'b'), kStatusNoError},
      {std::string(71, 'b'), kStatusBadBoundary},
      {std::string(8000, 'b'), kStatusBadBoundary},
      // Whatever follows "boundary=" counts, a further parameter included.
      {std::string(60, 'b') + "; charset=x", kStatusBadBoundary},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.boundary.size());
    std::string delimiter = "--" + c.boundary;
    std::string body = delimiter + "\r\nContent-Disposition: form-data; name=\"cmd\"\r\n\r\nenum\r\n" +
                       delimiter + "--\r\n";
    MultipartRequest request(body, "multipart/form-data; boundary=" + c.boundary);
    const char* status = nullptr;
    std::string value = Found(&request, "cmd", &status);
    EXPECT_STREQ(c.status, status);
    EXPECT_EQ(value, c.status == kStatusNoError ? "enum" : "(none)");
  }
}

// Through GetParameter: a value of exactly the size fits without a
// terminator, one byte more is refused whole.
TEST(MultipartScanTest, CopyNeverTruncates) {
  MultipartRequest request(Part("v", "abcde") + "--XYZ--\r\n", kType);
  RequestForm form(&request.variables, &request.body, &request.response);
  char buffer[8];
  memset(buffer, 'X', sizeof(buffer));
  EXPECT_EQ(5, form.GetParameter("v", buffer, 5));
  EXPECT_EQ("abcdeXXX", std::string(buffer, 8));
  EXPECT_STREQ(kStatusNoError, form.status);

  memset(buffer, 'X', sizeof(buffer));
  EXPECT_EQ(5, form.GetParameter("v", buffer, 6));
  EXPECT_EQ(std::string("abcde\0XX", 8), std::string(buffer, 8));

  memset(buffer, 'X', sizeof(buffer));
  EXPECT_EQ(0, form.GetParameter("v", buffer, 4));
  EXPECT_STREQ(kStatusNoMemory, form.status);
  EXPECT_EQ(std::string("\0\0\0\0XXXX", 8), std::string(buffer, 8));

  memset(buffer, 'X', sizeof(buffer));
  EXPECT_EQ(0, form.CopyMultipartValue("v", buffer, 4));
  EXPECT_EQ("XXXXXXXX", std::string(buffer, 8));
}

TEST(MultipartScanTest, IntParameter) {
  std::string body = Part("db", "-1234567890") + Part("deleteitem", "-12345678901") +
                     Part("n", "42") + "--XYZ--\r\n";
  MultipartRequest request(body, kType);
  RequestForm form(&request.variables, &request.body, &request.response);
  EXPECT_EQ(-1234567890, form.GetIntParameter("db"));  // eleven bytes fit
  EXPECT_EQ(42, form.GetIntParameter("n"));
  EXPECT_STREQ(kStatusNoError, form.status);
  EXPECT_EQ(0, form.GetIntParameter("deleteitem"));  // twelve do not
  EXPECT_STREQ(kStatusNoMemory, form.status);
}

TEST(MultipartScanTest, BodyIsNeitherDecodedNorChanged) {
  std::string body = Part("s", "a+b%21") + "--XYZ--\r\n";
  MultipartRequest request(body, kType);
  RequestForm form(&request.variables, &request.body, &request.response);
  char buffer[16];
  EXPECT_EQ(6, form.GetParameter("s", buffer, 15));
  EXPECT_STREQ("a+b%21", buffer);
  EXPECT_EQ(body, std::string(request.body.data, request.body.length));
}

}  // namespace
