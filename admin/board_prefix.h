// The name prefix that marks a database of the object store as a board's:
// the board plug-in names its databases "TULVAN_" + its script's file name.
#ifndef ADMIN_BOARD_PREFIX_H_
#define ADMIN_BOARD_PREFIX_H_

#include <string.h>

static const char kBoardPrefix[] = "TULVAN_";
static const int kBoardPrefixLength = 7;

// 1 when `name` begins with the prefix in exactly its letter case. A shorter
// name differs at its terminator.
inline int HasBoardPrefix(const char* name) {
  return strncmp(name, kBoardPrefix, kBoardPrefixLength) == 0 ? 1 : 0;
}

#endif  // ADMIN_BOARD_PREFIX_H_
