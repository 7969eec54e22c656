// The board's own rules for its databases and records (board_record.h): a
// board database has type 0 and one sort order, the time of posting
// descending; each post is the time (an 8-byte FILETIME) and then the HTML
// (a BLOB of the text and one NUL, the NUL its only one).
#ifndef TOOLS_BOARD_RECORD_CHECK_H_
#define TOOLS_BOARD_RECORD_CHECK_H_

#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

#include "ceplatform_snapshot.h"

// Whether a database name (UTF-8) marks a board's database: the prefix in
// exactly its letter case.
bool IsBoardDatabase(const std::string& name);

// Appends what is wrong with a board database's creation parameters.
void CheckBoardDatabase(const ceplatform::SnapshotDatabase& database, const std::string& what,
                        std::vector<std::string>* problems);

// A post's two values, read from its record. False, with what is wrong
// appended to *problems (each prefixed with what `what` gives, which is
// asked only then: an export reads a million records), when the record does
// not follow the layout.
struct BoardRecordValues {
  int64_t file_time = 0;
  std::string html;  // without its NUL
};
bool ReadBoardRecord(const ceplatform::SnapshotRecord& record,
                     const std::function<std::string()>& what, BoardRecordValues* values,
                     std::vector<std::string>* problems);

#endif  // TOOLS_BOARD_RECORD_CHECK_H_
