// Writing exported posts: one JSON object a line (JSON Lines), or CSV as
// RFC 4180 has it (a header row, CRLF after each row, fields with commas,
// quotes or line breaks quoted).
#ifndef TOOLS_POST_EXPORT_H_
#define TOOLS_POST_EXPORT_H_

#include <stdint.h>

#include <ostream>
#include <string>

#include "board_post.h"

class PostExport {
 public:
  enum class Format { kJson, kCsv };

  PostExport(std::ostream* out, Format format) : out_(out), format_(format) {}

  // Writes the header row (CSV) once, before the first post.
  void Begin();
  // One post of database `database` (UTF-8) with identifier `oid`.
  void Write(const std::string& database, uint32_t oid, const BoardPost& post);
  // Whether everything so far could be written.
  bool good() const { return out_->good(); }

 private:
  std::ostream* out_;
  Format format_;
  std::string line_;  // the line being written, its room kept from post to post
};

// `text` as a JSON string, quotes included; control characters escaped.
std::string JsonString(const std::string& text);
// `text` as a CSV field.
std::string CsvField(const std::string& text);

#endif  // TOOLS_POST_EXPORT_H_
