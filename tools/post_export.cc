#include "post_export.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

namespace {

const char* const kFields[] = {"database", "oid",     "time", "name",
                               "email",    "subject", "body", "html"};
constexpr size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

// Which bytes go into a JSON string as they are.
struct JsonPlainBytes {
  JsonPlainBytes() {
    for (int c = 0; c < 256; ++c) plain[c] = c >= 0x20 && c != '"' && c != '\\' && c != 0x7F;
  }
  bool plain[256];
};
const JsonPlainBytes kJsonPlain;

// The bytes of `word` that a JSON string escapes (below 0x20, '"', '\\' or
// DEL), each marked by its high bit. A borrow can add a false mark only
// above a true one, so a word without marks holds none of them, and the
// lowest mark is a true one.
uint64_t EscapeMarks(uint64_t word) {
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHighs = 0x8080808080808080ULL;
  auto zeros = [](uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  return ((word - 0x20 * kOnes) & ~word & kHighs) | zeros(word ^ ('"' * kOnes)) |
         zeros(word ^ ('\\' * kOnes)) | zeros(word ^ (0x7F * kOnes));
}

// Appends `text` as a JSON string, quotes included.
void AppendJson(const std::string& text, std::string* out) {
  *out += '"';
  const char* const data = text.data();
  const size_t size = text.size();
  size_t plain = 0;  // the start of the run of bytes copied as they are
  for (size_t i = 0; i < size;) {
    // Eight bytes at a time to the next byte to escape: the lowest mark is
    // the first byte in memory where the machine is little-endian.
    if (size - i >= 8) {
      uint64_t word;
      memcpy(&word, data + i, sizeof(word));
      uint64_t marks = EscapeMarks(word);
      if (marks == 0) {
        i += 8;
        continue;
      }
      if (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__) i += __builtin_ctzll(marks) / 8;
    }
    unsigned char c = static_cast<unsigned char>(data[i++]);
    if (kJsonPlain.plain[c]) continue;
    out->append(data + plain, i - 1 - plain);
    plain = i;
    switch (c) {
      case '"': *out += "\\\""; break;
      case '\\': *out += "\\\\"; break;
      case '\n': *out += "\\n"; break;
      case '\r': *out += "\\r"; break;
      case '\t': *out += "\\t"; break;
      default: {
        char escape[8];
        snprintf(escape, sizeof(escape), "\\u%04x", c);
        *out += escape;
      }
    }
  }
  out->append(data + plain, size - plain);
  *out += '"';
}

// Appends `text` as a CSV field.
void AppendCsv(const std::string& text, std::string* out) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) {
    *out += text;
    return;
  }
  *out += '"';
  for (char c : text) {
    if (c == '"') *out += '"';
    *out += c;
  }
  *out += '"';
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out;
  AppendJson(text, &out);
  return out;
}

std::string CsvField(const std::string& text) {
  std::string out;
  AppendCsv(text, &out);
  return out;
}

void PostExport::Begin() {
  if (format_ != Format::kCsv) return;
  for (size_t i = 0; i < kFieldCount; ++i) {
    *out_ << (i > 0 ? "," : "") << kFields[i];
  }
  *out_ << "\r\n";
}

void PostExport::Write(const std::string& database, uint32_t oid, const BoardPost& post) {
  const std::string number = std::to_string(oid);
  auto field = [](const std::optional<std::string>& value) {
    return value ? &*value : nullptr;
  };
  // nullptr: absent.
  const std::string* const values[kFieldCount] = {
      &database,          &number,          &post.time,         field(post.name),
      field(post.email), field(post.subject), field(post.body), &post.html};
  line_.clear();
  if (format_ == Format::kCsv) {
    // An absent field is an empty one.
    for (size_t i = 0; i < kFieldCount; ++i) {
      if (i > 0) line_ += ',';
      if (values[i] != nullptr) AppendCsv(*values[i], &line_);
    }
    line_ += "\r\n";
  } else {
    line_ += '{';
    for (size_t i = 0; i < kFieldCount; ++i) {
      if (i > 0) line_ += ',';
      AppendJson(kFields[i], &line_);
      line_ += ':';
      if (i == 1) {
        line_ += number;
      } else if (values[i] != nullptr) {
        AppendJson(*values[i], &line_);
      } else {
        line_ += "null";
      }
    }
    line_ += "}\n";
  }
  out_->write(line_.data(), static_cast<std::streamsize>(line_.size()));
}
