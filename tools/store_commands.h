// The commands of tvxstore, each on whole stores (ceplatform_snapshot.h).
// Each returns the program's exit status (0 done, 1 failed) after writing
// what it found to `out` and its failures to `err`. None of them changes a
// store it reads from.
#ifndef TOOLS_STORE_COMMANDS_H_
#define TOOLS_STORE_COMMANDS_H_

#include <ostream>
#include <string>

#include "post_export.h"

// Every database with its records, size and sort orders.
int ListStore(const std::string& store, std::ostream& out, std::ostream& err);

// The backend's check, the store's own rules and the board's record layout;
// 1 when any problem was found.
int VerifyStore(const std::string& store, std::ostream& out, std::ostream& err);

// A consistent copy of `store` into the new SQLite file `dest`, made under a
// temporary name beside it and put in place whole.
int BackupStore(const std::string& store, const std::string& dest, std::ostream& out,
                std::ostream& err);

// Everything of `source` into `dest` (made when missing), which must be
// empty unless `force`: then what it held is replaced, in the same
// transaction. restore and copy both come to this.
int CopyStore(const std::string& source, const std::string& dest, bool force,
              std::ostream& out, std::ostream& err);

// The posts of every board database, or of the one named `database` (empty:
// all), newest first.
int ExportPosts(const std::string& store, const std::string& database, PostExport::Format format,
                std::ostream& out, std::ostream& err);

#endif  // TOOLS_STORE_COMMANDS_H_
