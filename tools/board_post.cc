#include "board_post.h"

#include <errno.h>
#include <iconv.h>
#include <stdio.h>

#include <stdexcept>

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

// The text between `start` and `end` of `html`, from `*at`; moves *at past
// the end marker. False when a marker is missing.
bool Between(const std::string& html, size_t* at, const std::string& start,
             const std::string& end, std::string* out) {
  if (html.compare(*at, start.size(), start) != 0) return false;
  size_t from = *at + start.size();
  size_t to = html.find(end, from);
  if (to == std::string::npos) return false;
  *out = html.substr(from, to - from);
  *at = to + end.size();
  return true;
}

// Takes the board's HTML apart (the renderer's form: subject, poster with or
// without a mail link, date stamp, body).
bool ParseHtml(const std::string& html, BoardPost* post) {
  size_t at = 0;
  std::string subject, email, name, body;
  bool has_email = false;
  if (!Between(html, &at, "<B> \r\n ", " \r\n </B> ", &subject)) return false;
  if (html.compare(at, 17, " <A HREF=\"mailto:") == 0) {
    has_email = true;
    if (!Between(html, &at, " <A HREF=\"mailto:", "\"> \r\n ", &email)) return false;
    if (!Between(html, &at, kPosterLabel + "<B> \r\n ", " \r\n </B></A>", &name)) return false;
  } else if (!Between(html, &at, kPosterLabel + "<B> \r\n ", " \r\n </B> \r\n", &name)) {
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
  body = html.substr(body_at, html.size() - close.size() - body_at);
  post->subject = ShiftJisToUtf8(UnescapeField(subject));
  post->name = ShiftJisToUtf8(UnescapeField(name));
  if (has_email) post->email = ShiftJisToUtf8(UnescapeField(email));
  post->body = ShiftJisToUtf8(UnescapeField(body));
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

}  // namespace

std::string FileTimeIso(int64_t file_time) {
  if (file_time < 0) file_time = 0;
  int64_t seconds = file_time / 10000000;
  int64_t days = seconds / 86400;
  int64_t in_day = seconds % 86400;
  int64_t year = 0;
  int month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  char text[48];
  snprintf(text, sizeof(text), "%04lld-%02d-%02dT%02d:%02d:%02d", static_cast<long long>(year),
           month, day, static_cast<int>(in_day / 3600), static_cast<int>(in_day / 60 % 60),
           static_cast<int>(in_day % 60));
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
  // ASCII is the same in both.
  size_t i = 0;
  while (i < bytes.size() && static_cast<unsigned char>(bytes[i]) < 0x80) ++i;
  if (i == bytes.size()) return bytes;
  // Opened once per thread: an export converts four fields of every post.
  thread_local Conversion conversion;
  iconv_t convert = conversion.get();
  if (convert == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error("iconv cannot convert CP932 to UTF-8");
  }
  iconv(convert, nullptr, nullptr, nullptr, nullptr);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  char buffer[256];
  char* in = const_cast<char*>(bytes.data());
  size_t left = bytes.size();
  while (left > 0) {
    char* to = buffer;
    size_t room = sizeof(buffer);
    size_t done = iconv(convert, &in, &left, &to, &room);
    out.append(buffer, to - buffer);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      // A byte that starts no character, or a lead byte at the very end.
      out += "\xEF\xBF\xBD";
      ++in;
      --left;
      iconv(convert, nullptr, nullptr, nullptr, nullptr);
    }
  }
  return out;
}

BoardPost ReadBoardPost(int64_t file_time, const std::string& html) {
  BoardPost post;
  post.time = FileTimeIso(file_time);
  post.html = ShiftJisToUtf8(html);
  post.parsed = ParseHtml(html, &post);
  if (!post.parsed) {
    post.name.reset();
    post.email.reset();
    post.subject.reset();
    post.body.reset();
  }
  return post;
}
