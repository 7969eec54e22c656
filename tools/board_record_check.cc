#include "board_record_check.h"

#include <stdio.h>
#include <string.h>

#include "board_record.h"

namespace {

std::string Hex(uint32_t value) {
  char text[16];
  snprintf(text, sizeof(text), "0x%X", value);
  return text;
}

}  // namespace

bool IsBoardDatabase(const std::string& name) {
  return name.compare(0, BOARD_DATABASE_PREFIX_LENGTH, BOARD_DATABASE_PREFIX) == 0;
}

void CheckBoardDatabase(const ceplatform::SnapshotDatabase& database, const std::string& what,
                        std::vector<std::string>* problems) {
  if (database.type != BOARD_DATABASE_TYPE) {
    problems->push_back(what + ": type " + std::to_string(database.type) + ", a board's is " +
                        std::to_string(BOARD_DATABASE_TYPE));
  }
  std::vector<ceplatform::SnapshotSortOrder> sorts;
  if (!ceplatform::DecodeSortOrders(database.sorts, &sorts)) return;  // the store's check says so
  if (sorts.size() != 1 || sorts[0].propid != BOARD_PROP_TIME ||
      sorts[0].flags != BOARD_SORT_FLAGS) {
    problems->push_back(what + ": its sort orders are not the board's one order "
                               "(the time of posting, descending)");
  }
}

bool ReadBoardRecord(const ceplatform::SnapshotRecord& record,
                     const std::function<std::string()>& what,
                     BoardRecordValues* values, std::vector<std::string>* problems) {
  std::vector<ceplatform::SnapshotProperty> properties;
  if (!ceplatform::ParseProperties(record.props, &properties)) {
    problems->push_back(what() + ": its bytes are not a record");
    return false;
  }
  size_t before = problems->size();
  if (properties.size() != 2) {
    problems->push_back(what() + ": " + std::to_string(properties.size()) +
                        " properties, a post has 2");
  }
  if (properties.empty() || properties[0].propid != BOARD_PROP_TIME ||
      properties[0].value.size() != 8) {
    problems->push_back(what() + ": its first property is not the time of posting (" +
                        Hex(BOARD_PROP_TIME) + ", 8 bytes)");
  } else {
    int64_t time = 0;
    memcpy(&time, properties[0].value.data(), 8);  // stored little-endian, as the host
    values->file_time = time;
  }
  if (properties.size() < 2 || properties[1].propid != BOARD_PROP_HTML) {
    problems->push_back(what() + ": its second property is not the post's HTML (" +
                        Hex(BOARD_PROP_HTML) + ")");
  } else {
    const std::string& blob = properties[1].value;
    if (blob.empty() || blob.back() != '\0') {
      problems->push_back(what() + ": its HTML does not end in a NUL");
    } else if (blob.find('\0') != blob.size() - 1) {
      problems->push_back(what() + ": its HTML holds a NUL before its end");
    } else {
      values->html = blob.substr(0, blob.size() - 1);
    }
  }
  return problems->size() == before;
}
