#include "board_post.h"

#include <errno.h>
#include <iconv.h>
#include <limits.h>

#include <stdexcept>
#include <string>

#include "char_reference.h"
#include "wince_codepage.h"

namespace {

// "投稿者：", the label before the poster's name.
const std::string kPosterLabel = "\x93\x8A\x8D\x65\x8E\xD2\x81\x46";

// Days from 1601-01-01 to a civil date's day, and back (proleptic
// Gregorian), so that any stored value converts without the C library's
// time_t range.
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day) {
  // Shifted to 0000-03-01 as the era start (H. Hinnant's algorithm).
  days += 584694;  // 1601-01-01 counted from 0000-03-01
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  int64_t doe = days - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  *day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  *month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (*month <= 2 ? 1 : 0);
}

// A field's place in the HTML: [begin, end).
struct Place {
  size_t begin = 0;
  size_t end = 0;
};

// Where the text between `start` and `end` of `html` lies, from `*at`;
// moves *at past the end marker. False when a marker is missing.
bool Between(const std::string& html, size_t* at, const std::string& start,
             const std::string& end, Place* out) {
  if (html.compare(*at, start.size(), start) != 0) return false;
  size_t from = *at + start.size();
  size_t to = html.find(end, from);
  if (to == std::string::npos) return false;
  *out = Place{from, to};
  *at = to + end.size();
  return true;
}

// The places of the fields in the board's HTML (the renderer's form:
// subject, poster with or without a mail link, date stamp, body), in the
// order they come; email's left empty when there is no mail link.
struct FieldPlaces {
  Place subject, email, name, body;
  bool has_email = false;
};

// Finds the fields. False when the HTML is not in the renderer's form.
bool FindFields(const std::string& html, FieldPlaces* places) {
  size_t at = 0;
  if (!Between(html, &at, "<B> \r\n ", " \r\n </B> ", &places->subject)) return false;
  if (html.compare(at, 17, " <A HREF=\"mailto:") == 0) {
    places->has_email = true;
    if (!Between(html, &at, " <A HREF=\"mailto:", "\"> \r\n ", &places->email)) return false;
    if (!Between(html, &at, kPosterLabel + "<B> \r\n ", " \r\n </B></A>", &places->name)) {
      return false;
    }
  } else if (!Between(html, &at, kPosterLabel + "<B> \r\n ", " \r\n </B> \r\n",
                      &places->name)) {
    return false;
  }
  // The date stamp, then the body up to the closing run at the very end.
  const std::string open = " <P> \r\n  \r\n <BLOCKQUOTE><TT> \r\n ";
  const std::string close = " \r\n </TT> </BLOCKQUOTE> \r\n ";
  size_t body_at = html.find(open, at);
  if (body_at == std::string::npos) return false;
  body_at += open.size();
  if (html.size() < body_at + close.size() ||
      html.compare(html.size() - close.size(), close.size(), close) != 0) {
    return false;
  }
  places->body = Place{body_at, html.size() - close.size()};
  return true;
}

// A conversion from CP932 to UTF-8, closed with its owner.
class Conversion {
 public:
  Conversion() : convert_(iconv_open("UTF-8", "CP932")) {}
  ~Conversion() {
    if (convert_ != reinterpret_cast<iconv_t>(-1)) iconv_close(convert_);
  }
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;
  iconv_t get() const { return convert_; }

 private:
  iconv_t convert_;
};

// Writes the character `code_point` (at most U+10FFFF) in UTF-8 at `to`,
// which has room for it (four bytes at most, three below U+10000); returns
// the end of what it wrote.
char* PutUtf8(unsigned long code_point, char* to) {
  if (code_point < 0x80) {
    *to++ = static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    *to++ = static_cast<char>(0xC0 | (code_point >> 6));
    *to++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    *to++ = static_cast<char>(0xE0 | (code_point >> 12));
    *to++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *to++ = static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    *to++ = static_cast<char>(0xF0 | (code_point >> 18));
    *to++ = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    *to++ = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    *to++ = static_cast<char>(0x80 | (code_point & 0x3F));
  }
  return to;
}

// Appends the character `code_point` (at most U+10FFFF) in UTF-8.
void AppendUtf8(unsigned long code_point, std::string* out) {
  char bytes[4];
  out->append(bytes, PutUtf8(code_point, bytes) - bytes);
}

// Appends `size` CP932 bytes as UTF-8 through the C library: a byte that
// starts no character, or a lead byte at the very end, as U+FFFD.
void AppendThroughIconv(const char* bytes, size_t size, std::string* out) {
  // Opened once per thread: an export converts every post.
  thread_local Conversion conversion;
  iconv_t convert = conversion.get();
  if (convert == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error("iconv cannot convert CP932 to UTF-8");
  }
  iconv(convert, nullptr, nullptr, nullptr, nullptr);
  char buffer[256];
  char* in = const_cast<char*>(bytes);
  size_t left = size;
  while (left > 0) {
    char* to = buffer;
    size_t room = sizeof(buffer);
    size_t done = iconv(convert, &in, &left, &to, &room);
    out->append(buffer, to - buffer);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      *out += "\xEF\xBF\xBD";
      ++in;
      --left;
      iconv(convert, nullptr, nullptr, nullptr, nullptr);
    }
  }
}

// Appends `size` CP932 bytes as UTF-8 through the platform's code page,
// whose table was read from the same C library converter: one lookup a
// character, where iconv goes through a chain of calls. Returns false, with
// `out` as it was, for text the two would convert differently: any byte
// that starts no character (the platform replaces those otherwise), and
// the lone bytes that the device maps and the C library does not (they come
// out as U+0080 and U+F8F0 to U+F8F3, which no other code gives).
bool AppendThroughTable(const char* bytes, size_t size, std::string* out) {
  if (size > static_cast<size_t>(INT_MAX)) return false;
  thread_local std::u16string units;
  if (units.size() < size) units.resize(size);
  int count = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, bytes, static_cast<int>(size),
                                  units.data(), static_cast<int>(units.size()));
  if (count <= 0) return false;
  // Written in place: at most three bytes a unit, as CP932 has nothing past
  // the BMP (so there is no surrogate to pair either).
  const size_t before = out->size();
  out->resize(before + 3 * static_cast<size_t>(count));
  char* to = &(*out)[before];
  for (int i = 0; i < count; ++i) {
    unsigned unit = units[i];
    if (unit == 0x80 || (unit >= 0xF8F0 && unit <= 0xF8F3)) {
      out->resize(before);
      return false;
    }
    to = PutUtf8(unit, to);
  }
  out->resize(static_cast<size_t>(to - out->data()));
  return true;
}

// Appends `size` CP932 bytes as UTF-8: a byte that starts no character, or
// a lead byte at the very end, as U+FFFD.
void AppendShiftJis(const char* bytes, size_t size, std::string* out) {
  // ASCII is the same in both, and copied as it is.
  size_t ascii = 0;
  while (ascii < size && static_cast<unsigned char>(bytes[ascii]) < 0x80) ++ascii;
  out->append(bytes, ascii);
  if (ascii == size) return;
  bytes += ascii;
  size -= ascii;
  if (!AppendThroughTable(bytes, size, out)) AppendThroughIconv(bytes, size, out);
}

}  // namespace

std::string FileTimeIso(int64_t file_time) {
  if (file_time < 0) file_time = 0;
  int64_t seconds = file_time / 10000000;
  int64_t days = seconds / 86400;
  int64_t in_day = seconds % 86400;
  int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  // The year is 1601 or later: four digits or more. (No snprintf: an export
  // formats one time a post.)
  std::string text = std::to_string(year);
  const int parts[] = {month, day, static_cast<int>(in_day / 3600),
                       static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60)};
  const char separators[] = "--T::";
  for (size_t i = 0; i < sizeof(parts) / sizeof(parts[0]); ++i) {
    text += separators[i];
    text += static_cast<char>('0' + parts[i] / 10);
    text += static_cast<char>('0' + parts[i] % 10);
  }
  return text;
}

std::string UnescapeField(const std::string& escaped) {
  static const struct {
    const char* text;
    size_t size;
    char character;
  } kEntities[] = {{"<BR>\n", 5, '\n'},
                   {"&amp;", 5, '&'},
                   {"&lt;", 4, '<'},
                   {"&gt;", 4, '>'},
                   {"&quot;", 6, '"'}};
  std::string out;
  out.reserve(escaped.size());
  // Every entity starts with one of these; the text between them is copied
  // as it is.
  for (size_t i = 0; i < escaped.size();) {
    size_t next = i;
    while (next < escaped.size() && escaped[next] != '<' && escaped[next] != '&') ++next;
    out.append(escaped, i, next - i);
    i = next;
    if (i == escaped.size()) break;
    unsigned long code_point = 0;
    int reference = CharReferenceLength(escaped.c_str() + i, &code_point);
    if (reference > 0) {
      AppendUtf8(code_point, &out);
      i += reference;
      continue;
    }
    bool matched = false;
    for (const auto& entity : kEntities) {
      if (escaped.compare(i, entity.size, entity.text, entity.size) == 0) {
        out += entity.character;
        i += entity.size;
        matched = true;
        break;
      }
    }
    if (!matched) out += escaped[i++];
  }
  return out;
}

std::string ShiftJisToUtf8(const std::string& bytes) {
  std::string out;
  AppendShiftJis(bytes.data(), bytes.size(), &out);
  return out;
}

std::string ShiftJisToUtf8ThroughIconv(const std::string& bytes) {
  std::string out;
  AppendThroughIconv(bytes.data(), bytes.size(), &out);
  return out;
}

BoardPost ReadBoardPost(int64_t file_time, const std::string& html) {
  BoardPost post;
  post.time = FileTimeIso(file_time);
  FieldPlaces places;
  post.parsed = FindFields(html, &places);
  if (!post.parsed) {
    post.html = ShiftJisToUtf8(html);
    return post;
  }
  // The HTML is converted once, in pieces cut where the fields begin and
  // end, and each field is its converted piece unescaped. Every cut is next
  // to a marker's byte below 0x40, which is no part of a character of two
  // bytes, so the pieces give what the whole gives; and an entity is ASCII
  // after a byte that no character continues with, so unescaping after the
  // conversion gives what converting the unescaped field gives. A kept
  // character reference is ASCII too; it becomes its character in UTF-8.
  struct {
    const Place* place;
    std::optional<std::string>* field;
  } const pieces[] = {{&places.subject, &post.subject},
                      {&places.email, places.has_email ? &post.email : nullptr},
                      {&places.name, &post.name},
                      {&places.body, &post.body}};
  post.html.reserve(html.size() + html.size() / 2);
  size_t at = 0;
  for (const auto& piece : pieces) {
    if (piece.field == nullptr) continue;
    AppendShiftJis(html.data() + at, piece.place->begin - at, &post.html);
    size_t converted = post.html.size();
    AppendShiftJis(html.data() + piece.place->begin, piece.place->end - piece.place->begin,
                   &post.html);
    *piece.field = UnescapeField(post.html.substr(converted));
    at = piece.place->end;
  }
  AppendShiftJis(html.data() + at, html.size() - at, &post.html);
  return post;
}
