#include "post_renderer.h"

#include <stdio.h>
#include <string.h>

#include <new>

#include "char_reference.h"
#include "error_page.h"
#include "form_field.h"
#include "page_writer.h"
#include "shift_jis.h"
#include "string_util.h"
#include "wince.h"

namespace {

// Short fields (name, e-mail address, subject) keep at most this many bytes.
const int kShortField = 29;
// The form's own parameters are short: a button's caption, a record number.
const int kFormValueMax = 31;

// Whether an ASCII byte goes into a post as it is.
inline int IsPlainAscii(unsigned char c) {
  return c != '\0' && c < 0x80 && c != '\n' && c != '\r' && c != '&' && c != '<' && c != '>' &&
         c != '"';
}

// Escapes the decoded text into `out`; 0 when an append fell short.
int EscapeText(const unsigned char* text, TextBuffer* out) {
  PageWriter w(out);
  for (const unsigned char* p = text; *p != '\0'; p++) {
    unsigned char c = *p;
    if (IsPlainAscii(c)) {
      // A run of plain bytes goes in at once.
      const unsigned char* run = p;
      while (IsPlainAscii(p[1])) p++;
      w.Put(reinterpret_cast<const char*>(run), static_cast<int>(p - run) + 1);
      continue;
    }
    if (c >= 0x80) {
      if (IsShiftJisLeadByte(c)) {
        if (IsShiftJisTrailByte(p[1])) {
          w.Put(reinterpret_cast<const char*>(p), 2);
          p++;
        }
        // A lead byte without its trail byte is dropped; the next byte is
        // looked at on its own.
      } else if (IsShiftJisSingleKana(c)) {
        w.Put(reinterpret_cast<const char*>(p), 1);
      }
      continue;
    }
    if (c == '&') {
      // A reference the browser made for a character Shift_JIS lacks stays
      // as it came: it shows that character and can never open markup.
      int kept = CharReferenceLength(reinterpret_cast<const char*>(p), NULL);
      if (kept > 0) {
        w.Put(reinterpret_cast<const char*>(p), kept);
        p += kept - 1;
      } else {
        w.Put("&amp;");
      }
      continue;
    }
    switch (c) {
      case '\n': w.Put("<BR>\n"); break;
      case '<': w.Put("&lt;"); break;
      case '>': w.Put("&gt;"); break;
      case '"': w.Put("&quot;"); break;
      default: break;  // '\r'
    }
  }
  return !w.failed();
}

// Bytes of the character or entity at `p` of an escaped text.
int UnitLength(const char* p) {
  const unsigned char c = static_cast<unsigned char>(*p);
  if (c == '&') {
    const char* semicolon = strchr(p, ';');
    return semicolon != NULL ? static_cast<int>(semicolon - p) + 1 : 1;
  }
  if (c == '<') {
    const char* close = strchr(p, '>');
    int n = close != NULL ? static_cast<int>(close - p) + 1 : 1;
    if (p[n] == '\n') n++;
    return n;
  }
  if (IsShiftJisLeadByte(c) && p[1] != '\0') return 2;
  return 1;
}

}  // namespace

int GetPostField(TextBuffer* body, TextBuffer* value, const char* key) {
  const char* text = body->data != NULL ? body->data : "";
  // Whole names only: a visitor's "nickname=" or "...&name=" inside a value
  // never stands for a field.
  const char* start = FindFormField(text, key, kFieldWholeName);
  value->Clear();
  if (start == NULL) {
    static const char kNone[] = "(none)";
    return value->AppendString(kNone) == 6 ? 6 : -1;
  }
  int length = FormFieldLength(start);
  if (length == 0) return 0;

  TextBuffer scratch;
  if (scratch.Append(start, length) != length) return -1;
  UrlDecode(scratch.data);
  if (!EscapeText(reinterpret_cast<const unsigned char*>(scratch.data), value)) return -1;
  return value->length;
}

int CopyFormValue(const char* text, const char* key, char* out, int size) {
  memset(out, 0, size);
  const char* start = FindFormField(text, key, kFieldWholeName);
  if (start == NULL) return 0;
  // Decoded before it is cut, so that the cut never splits an escape: each
  // byte kept takes at most three of the bytes sent ("%XY").
  int keep = size - 1 < kFormValueMax ? size - 1 : kFormValueMax;
  char sent[3 * kFormValueMax + 1];
  int n = 0;
  while (n < 3 * keep && start[n] != '\0' && start[n] != '&') {
    sent[n] = start[n];
    n++;
  }
  sent[n] = '\0';
  UrlDecode(sent);
  int length = 0;
  while (length < keep && sent[length] != '\0') length++;
  memcpy(out, sent, length);
  return length;
}

void CopyWholeUnits(char* area, const char* text, int limit) {
  int used = 0;
  if (text != NULL) {
    while (text[used] != '\0') {
      int unit = UnitLength(text + used);
      if (used + unit > limit) break;
      used += unit;
    }
    memcpy(area, text, used);
  }
  area[used] = '\0';
}

int RenderPost(TextBuffer* body, TextBuffer* response, TextBuffer* output) {
  char name[kShortField + 1];
  char email[kShortField + 1];
  char subject[kShortField + 1];
  // Room for any clock value; a real date takes at most 24 bytes.
  char stamp[48];
  memset(name, 0, sizeof(name));
  memset(email, 0, sizeof(email));
  memset(subject, 0, sizeof(subject));
  memset(stamp, 0, sizeof(stamp));

  TextBuffer* value = new (std::nothrow) TextBuffer;
  if (value == NULL) {
    ErrorPage(response, kNotEnoughMemory);
    return 0;
  }
  const char* failure = NULL;
  int emailLength = 0;
  do {
    int n = GetPostField(body, value, "name");
    if (n < 0) { failure = kNotEnoughMemory; break; }
    if (n == 0) { failure = "No Name."; break; }
    CopyWholeUnits(name, value->data, kShortField);

    emailLength = GetPostField(body, value, "email");
    if (emailLength < 0) { failure = kNotEnoughMemory; break; }
    if (emailLength > 0) CopyWholeUnits(email, value->data, kShortField);

    n = GetPostField(body, value, "subject");
    if (n < 0) { failure = kNotEnoughMemory; break; }
    if (n == 0) { failure = "No Subject."; break; }
    CopyWholeUnits(subject, value->data, kShortField);

    // "%d年%d月%d日 %d時%d分"
    SYSTEMTIME now;
    GetLocalTime(&now);
    snprintf(stamp, sizeof(stamp), "%d\x94\x4E%d\x8C\x8E%d\x93\xFA %d\x8E\x9E%d\x95\xAA",
             now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute);

    PageWriter w(output);
    w.Put("<B> \r\n ");
    w.Put(subject);
    w.Put(" \r\n </B> ");
    // "投稿者：" labels the poster; with an address, label and name link to it.
    if (emailLength > 0) {
      w.Put(" <A HREF=\"mailto:");
      w.Put(email);
      w.Put("\"> \r\n \x93\x8A\x8D\x65\x8E\xD2\x81\x46<B> \r\n ");
      w.Put(name);
      w.Put(" \r\n </B></A>");
    } else {
      w.Put("\x93\x8A\x8D\x65\x8E\xD2\x81\x46<B> \r\n ");
      w.Put(name);
      w.Put(" \r\n </B> \r\n");
    }
    w.Put(stamp);
    w.Put(" <P> \r\n ");

    n = GetPostField(body, value, "body");
    if (n < 0) { failure = kNotEnoughMemory; break; }
    if (n == 0) { failure = "No Body."; break; }
    w.Put(" \r\n <BLOCKQUOTE><TT> \r\n ");
    w.Put(value->data, value->length);
    w.Put(" \r\n </TT> </BLOCKQUOTE> \r\n ");
    if (w.failed()) failure = kNotEnoughMemory;
  } while (0);

  delete value;
  if (failure != NULL) {
    ErrorPage(response, failure);
    return 0;
  }
  return 1;
}
