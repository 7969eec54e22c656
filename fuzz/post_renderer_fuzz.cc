// The post renderer over any body a client may send. The input is the
// URL-encoded body as it arrived.
//
// Properties: a field's escaped value carries no markup of its own (no '<',
// '>', '"' or CR, every '&' starts one of the four entities, every LF follows
// a <BR>, every Shift_JIS lead byte has its trail byte); a cut to whole units
// is a prefix of the text that fits; a rendered post holds only the
// renderer's own tags and attributes, with the short fields at most 29 bytes;
// a refused post is one of the renderer's error pages.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "ceplatform.h"
#include "fuzz_check.h"
#include "post_renderer.h"
#include "wince.h"

namespace {

const char* const kFields[] = {"name", "email", "subject", "body", "postitem", "deleteitemid"};
const char* const kTags[] = {"<B>", "</B>", "<A HREF=\"mailto:", "</A>", "<P>",
                             "<BLOCKQUOTE>", "</BLOCKQUOTE>", "<TT>", "</TT>", "<BR>"};
const char* const kEntities[] = {"&amp;", "&lt;", "&gt;", "&quot;"};
const char* const kRefusals[] = {"No Name.", "No Subject.", "No Body.", "Not enough memory"};

bool IsLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
bool IsTrail(unsigned char c) { return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC); }

bool At(const std::string& text, size_t at, const char* piece) {
  return text.compare(at, strlen(piece), piece) == 0;
}

// Escaped text as GetPostField promises it. Tags are allowed only where the
// renderer writes them (`tags`), which is never inside a field.
void CheckEscaped(const std::string& text, bool tags) {
  for (size_t i = 0; i < text.size(); i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '<') {
      const char* known = nullptr;
      for (const char* tag : kTags) {
        if (At(text, i, tag)) known = tag;
      }
      FUZZ_CHECK(known != nullptr && (tags || strcmp(known, "<BR>") == 0));
      i += strlen(known) - 1;
      continue;
    } else if (c == '&') {
      bool known = false;
      for (const char* entity : kEntities) known = known || At(text, i, entity);
      FUZZ_CHECK(known);
    } else if (c == '\n') {
      FUZZ_CHECK(tags || (i >= 4 && text.compare(i - 4, 4, "<BR>") == 0));
    } else if (!tags) {
      FUZZ_CHECK(c != '>' && c != '"' && c != '\r');
    }
    if (c >= 0x80 && IsLead(c)) {
      FUZZ_CHECK(i + 1 < text.size() && IsTrail(static_cast<unsigned char>(text[i + 1])));
      i++;
    } else if (c >= 0x80) {
      FUZZ_CHECK(c >= 0xA1 && c <= 0xDF);
    }
  }
}

void CheckField(TextBuffer* body, const char* key) {
  TextBuffer value;
  int n = GetPostField(body, &value, key);
  FUZZ_CHECK(n >= 0);
  std::string text = value.data != nullptr ? std::string(value.data, value.length) : "";
  FUZZ_CHECK(n == static_cast<int>(text.size()));
  if (text != "(none)") CheckEscaped(text, false);

  for (int limit : {0, 1, 5, 29}) {
    char area[64];
    memset(area, 0x5A, sizeof(area));
    CopyWholeUnits(area, value.data, limit);
    size_t used = strlen(area);
    FUZZ_CHECK(used <= static_cast<size_t>(limit));
    FUZZ_CHECK(area[limit + 1] == 0x5A);
    FUZZ_CHECK(text.compare(0, used, area) == 0);
    if (text != "(none)") CheckEscaped(area, false);
  }

  char out[40];
  memset(out, 0x5A, sizeof(out));
  int copied = CopyFormValue(body->data, key, out, 32);
  FUZZ_CHECK(copied >= 0 && copied <= 31 && strlen(out) == static_cast<size_t>(copied));
  for (size_t i = 32; i < sizeof(out); i++) FUZZ_CHECK(out[i] == 0x5A);
}

// The text between the first `open` and the `close` after it, which must be there.
std::string Between(const std::string& html, const char* open, const char* close) {
  size_t start = html.find(open);
  FUZZ_CHECK(start != std::string::npos);
  start += strlen(open);
  size_t end = html.find(close, start);
  FUZZ_CHECK(end != std::string::npos);
  return html.substr(start, end - start);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  SYSTEMTIME time = {2026, 4, 2, 15, 9, 30, 0, 0};
  PlatformFixClock(&time);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  long blocks = PlatformLiveHeapBlocks();
  {
    TextBuffer body;
    if (size > 0) {
      FUZZ_CHECK(body.Append(reinterpret_cast<const char*>(data), static_cast<int>(size)) ==
                 static_cast<int>(size));
    }
    for (const char* key : kFields) CheckField(&body, key);

    TextBuffer response;
    TextBuffer output;
    int rendered = RenderPost(&body, &response, &output);
    std::string html = output.data != nullptr ? std::string(output.data, output.length) : "";
    std::string page = response.data != nullptr ? std::string(response.data, response.length) : "";
    if (rendered) {
      FUZZ_CHECK(page.empty());
      CheckEscaped(html, true);
      FUZZ_CHECK(Between(html, "<B> \r\n ", " \r\n </B>").size() <= 29);
      size_t quotes = 0;
      for (char c : html) quotes += c == '"';
      FUZZ_CHECK(quotes == 0 || (quotes == 2 && html.find("<A HREF=\"mailto:") != std::string::npos));
      static const std::string kEnd = " \r\n </TT> </BLOCKQUOTE> \r\n ";
      FUZZ_CHECK(html.size() >= kEnd.size() &&
                 html.compare(html.size() - kEnd.size(), kEnd.size(), kEnd) == 0);
    } else {
      bool known = false;
      for (const char* message : kRefusals) {
        known = known || page == std::string("Content-Type: text/html\r\n\r\n<HTML><BODY>") +
                                     message + "</BODY></HTML>";
      }
      FUZZ_CHECK(known);
    }
  }
  FUZZ_CHECK(PlatformLiveHeapBlocks() == blocks);
  return 0;
}
