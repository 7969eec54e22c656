#include "post_export.h"

#include <stdio.h>

namespace {

const char* const kFields[] = {"database", "oid",     "time", "name",
                               "email",    "subject", "body", "html"};

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char escape[8];
          snprintf(escape, sizeof(escape), "\\u%04x", c);
          out += escape;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void PostExport::Begin() {
  if (format_ != Format::kCsv) return;
  for (size_t i = 0; i < sizeof(kFields) / sizeof(kFields[0]); ++i) {
    *out_ << (i > 0 ? "," : "") << kFields[i];
  }
  *out_ << "\r\n";
}

void PostExport::Write(const std::string& database, uint32_t oid, const BoardPost& post) {
  const std::optional<std::string> values[] = {database, std::to_string(oid), post.time,
                                               post.name, post.email, post.subject,
                                               post.body, post.html};
  if (format_ == Format::kCsv) {
    // An absent field is an empty one.
    for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i) {
      *out_ << (i > 0 ? "," : "") << CsvField(values[i].value_or(""));
    }
    *out_ << "\r\n";
    return;
  }
  *out_ << "{";
  for (size_t i = 0; i < sizeof(values) / sizeof(values[0]); ++i) {
    *out_ << (i > 0 ? "," : "") << JsonString(kFields[i]) << ":";
    if (i == 1) {
      *out_ << oid;
    } else if (values[i]) {
      *out_ << JsonString(*values[i]);
    } else {
      *out_ << "null";
    }
  }
  *out_ << "}\n";
}
