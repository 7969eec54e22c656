// Whether tvxhost can keep its store in an SQLite file: the start refuses a
// store it could not write, rather than failing at the first post.
#ifndef HOST_STORE_FILE_CHECK_H_
#define HOST_STORE_FILE_CHECK_H_

#include <string>

// Empty when this user can use `path` as a store file; else why not, to
// follow the path in a message ("cannot be written by this user"):
//  - an existing file must be a regular file this user may read and write,
//    in a folder it may write (the store's journal and log files are made
//    beside it);
//  - a file to be made needs an existing folder this user may write.
// Looks at permissions only: a read-only file system shows when the store
// is opened.
std::string StoreFileProblem(const std::string& path);

#endif  // HOST_STORE_FILE_CHECK_H_
