#include "store_commands.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iomanip>
#include <map>
#include <memory>
#include <vector>

#include "board_post.h"
#include "board_record.h"
#include "board_record_check.h"
#include "ceplatform.h"
#include "ceplatform_snapshot.h"
#include "wince_db.h"

using ceplatform::SnapshotDatabase;
using ceplatform::SnapshotRecord;
using ceplatform::SnapshotSink;
using ceplatform::WholeStore;

namespace {

std::string OidText(uint32_t oid) {
  char text[16];
  snprintf(text, sizeof(text), "0X%X", oid);
  return text;
}

// How messages name a post: "post 0X... of <board>".
std::string PostText(uint32_t oid, const std::string& board) {
  return "post " + OidText(oid) + " of " + board;
}

std::string SortOrdersText(const std::string& bytes) {
  std::vector<ceplatform::SnapshotSortOrder> sorts;
  if (!ceplatform::DecodeSortOrders(bytes, &sorts)) return "(cannot be decoded)";
  if (sorts.empty()) return "-";
  std::string text;
  for (const auto& sort : sorts) {
    char id[16];
    snprintf(id, sizeof(id), "0x%X", sort.propid);
    if (!text.empty()) text += ", ";
    text += id;
    text += (sort.flags & CEDB_SORT_DESCENDING) ? " descending" : " ascending";
    if (sort.flags & CEDB_SORT_CASEINSENSITIVE) text += " case-insensitive";
    if (sort.flags & CEDB_SORT_UNKNOWNFIRST) text += " unknown-first";
  }
  return text;
}

std::unique_ptr<WholeStore> OpenSource(const std::string& location, std::ostream& err) {
  std::string error;
  std::unique_ptr<WholeStore> store = WholeStore::Open(location, false, &error);
  if (store == nullptr) err << "tvxstore: cannot open the store " << error << "\n";
  return store;
}

// Keeps the databases of a read and stops before the records.
class DatabaseList : public SnapshotSink {
 public:
  bool Database(const SnapshotDatabase& database) override {
    databases.push_back(database);
    return true;
  }
  bool Record(const SnapshotRecord&) override { return false; }
  bool Counter(uint64_t) override { return true; }
  std::vector<SnapshotDatabase> databases;
};

// Counts what a read hands over.
class Tally : public SnapshotSink {
 public:
  bool Database(const SnapshotDatabase&) override {
    ++databases;
    return true;
  }
  bool Record(const SnapshotRecord&) override {
    ++records;
    return true;
  }
  bool Counter(uint64_t) override { return true; }
  long long databases = 0;
  long long records = 0;
};

// Whether two locations name one store: the same file, or the same URI.
bool SameStore(const std::string& a, const std::string& b) {
  if (a == b) return true;
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

bool SyncFolderOf(const std::string& file) {
  size_t slash = file.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

bool SyncFile(const std::string& file) {
  int fd = open(file.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool synced = fsync(fd) == 0;
  close(fd);
  return synced;
}

}  // namespace

int ListStore(const std::string& location, std::ostream& out, std::ostream& err) {
  std::unique_ptr<WholeStore> store = OpenSource(location, err);
  if (store == nullptr) return 1;
  DatabaseList list;
  std::string error;
  if (!store->Read(&list, &error)) {
    err << "tvxstore: cannot read " << error << "\n";
    return 1;
  }
  out << std::left << std::setw(12) << "oid" << std::right << std::setw(9) << "records"
      << std::setw(12) << "size" << "  " << std::left << std::setw(32) << "name"
      << "sort orders\n";
  for (const SnapshotDatabase& database : list.databases) {
    out << std::left << std::setw(12) << OidText(database.oid) << std::right << std::setw(9)
        << database.records << std::setw(12) << database.size << "  " << std::left
        << std::setw(32) << ceplatform::DatabaseNameUtf8(database.name)
        << SortOrdersText(database.sorts) << "\n";
  }
  out << list.databases.size() << (list.databases.size() == 1 ? " database" : " databases")
      << " in " << store->shown() << "\n";
  return out.good() ? 0 : 1;
}

namespace {

// Past this many problems of the board's layout only their number is kept,
// as the store's own check does: a store damaged throughout should not bury
// the first findings, nor make verify hold a line for each of its records.
constexpr size_t kMaxBoardProblems = 200;

// Verify's reader: the store's rules and the board's, in one pass over the
// records in ascending oid, keeping nothing per record.
class Verifier : public SnapshotSink {
 public:
  bool Database(const SnapshotDatabase& database) override {
    consistency.Database(database);
    ++databases;
    std::string name = ceplatform::DatabaseNameUtf8(database.name);
    if (IsBoardDatabase(name)) {
      boards[database.oid] = name;
      std::vector<std::string> found;
      CheckBoardDatabase(database, "board database " + OidText(database.oid) + " (" + name + ")",
                         &found);
      for (std::string& problem : found) Problem(std::move(problem));
    }
    return true;
  }
  bool Record(const SnapshotRecord& record) override {
    consistency.Record(record);
    ++records;
    auto board = boards.find(record.database);
    if (board != boards.end()) {
      BoardRecordValues values;
      std::vector<std::string> found;
      ReadBoardRecord(
          record, [&] { return PostText(record.oid, board->second); }, &values, &found);
      for (std::string& problem : found) Problem(std::move(problem));
      ++posts;
    }
    return true;
  }
  bool Counter(uint64_t next_oid) override { return consistency.Counter(next_oid); }

  void Problem(std::string problem) {
    if (problems.size() < kMaxBoardProblems) {
      problems.push_back(std::move(problem));
    } else {
      ++dropped;
    }
  }
  // Ends the check: the number of problems past the limit.
  void Finish() {
    consistency.Finish();
    if (dropped > 0) problems.push_back("... and " + std::to_string(dropped) + " more problems");
  }

  ceplatform::StoreConsistency consistency;
  std::map<uint32_t, std::string> boards;
  std::vector<std::string> problems;
  long long databases = 0;
  long long records = 0;
  long long posts = 0;
  long long dropped = 0;
};

}  // namespace

int VerifyStore(const std::string& location, std::ostream& out, std::ostream& err) {
  std::unique_ptr<WholeStore> store = OpenSource(location, err);
  if (store == nullptr) return 1;
  std::vector<std::string> problems;
  std::string error;
  if (!store->CheckBackend(&problems, &error)) {
    err << "tvxstore: cannot check " << error << "\n";
    return 1;
  }
  Verifier verifier;
  if (!store->Read(&verifier, &error)) {
    // A store too damaged to read whole is a finding too.
    for (const std::string& problem : problems) out << "problem: " << problem << "\n";
    err << "tvxstore: cannot read " << error << "\n";
    return 1;
  }
  verifier.Finish();
  problems.insert(problems.end(), verifier.consistency.problems().begin(),
                  verifier.consistency.problems().end());
  problems.insert(problems.end(), verifier.problems.begin(), verifier.problems.end());
  for (const std::string& problem : problems) out << "problem: " << problem << "\n";
  out << store->shown() << ": " << verifier.databases << " databases ("
      << verifier.boards.size() << " boards), " << verifier.records << " records ("
      << verifier.posts << " posts): ";
  if (problems.empty()) {
    out << "no problems\n";
  } else {
    out << problems.size() << (problems.size() == 1 ? " problem\n" : " problems\n");
  }
  return problems.empty() && out.good() ? 0 : 1;
}

int BackupStore(const std::string& location, const std::string& dest, std::ostream& out,
                std::ostream& err) {
  struct stat status;
  if (lstat(dest.c_str(), &status) == 0) {
    err << "tvxstore: " << dest << " exists; a backup goes into a new file\n";
    return 1;
  }
  std::unique_ptr<WholeStore> store = OpenSource(location, err);
  if (store == nullptr) return 1;
  // Made under a name of its own beside the destination, then linked into
  // place: no one ever sees a half-made backup under the name asked for.
  std::string partial = dest + ".partial-XXXXXX";
  std::vector<char> name(partial.begin(), partial.end());
  name.push_back('\0');
  int fd = mkstemp(name.data());
  if (fd < 0) {
    err << "tvxstore: cannot create " << partial << ": " << strerror(errno) << "\n";
    return 1;
  }
  close(fd);
  partial = name.data();
  std::string error;
  if (!store->BackupTo(partial, &error)) {
    unlink(partial.c_str());
    err << "tvxstore: backup failed: " << error << "\n";
    return 1;
  }
  if (!SyncFile(partial) || link(partial.c_str(), dest.c_str()) != 0) {
    err << "tvxstore: cannot put the backup in place as " << dest << ": " << strerror(errno)
        << "\n";
    unlink(partial.c_str());
    return 1;
  }
  unlink(partial.c_str());
  SyncFolderOf(dest);
  // Read back, so that a backup that cannot be opened is known now.
  std::unique_ptr<WholeStore> copy = OpenSource(dest, err);
  Tally tally;
  if (copy == nullptr || !copy->Read(&tally, &error)) {
    if (copy != nullptr) err << "tvxstore: the backup cannot be read: " << error << "\n";
    return 1;
  }
  out << "backed up " << store->shown() << " to " << dest << ": " << tally.databases
      << " databases, " << tally.records << " records\n";
  return 0;
}

int CopyStore(const std::string& source, const std::string& dest, bool force,
              std::ostream& out, std::ostream& err) {
  if (SameStore(source, dest)) {
    err << "tvxstore: " << PlatformPrintableLocation(source) << " and "
        << PlatformPrintableLocation(dest) << " are the same store\n";
    return 1;
  }
  std::unique_ptr<WholeStore> from = OpenSource(source, err);
  if (from == nullptr) return 1;
  std::string error;
  // A store that holds data is refused as it is found: opened only to look,
  // so that not even its journal mode changes.
  if (!force) {
    std::string ignored;
    std::unique_ptr<WholeStore> existing = WholeStore::Open(dest, false, &ignored);
    bool empty = true;
    if (existing != nullptr && !existing->Empty(&empty, &error)) {
      err << "tvxstore: cannot read " << error << "\n";
      return 1;
    }
    if (!empty) {
      err << "tvxstore: the store " << existing->shown()
          << " is not empty; give --force to replace everything in it\n";
      return 1;
    }
  }
  std::unique_ptr<WholeStore> into = WholeStore::Open(dest, true, &error);
  if (into == nullptr) {
    err << "tvxstore: cannot open the store " << error << "\n";
    return 1;
  }
  // Counts what passes on its way into the destination.
  class Counting : public SnapshotSink {
   public:
    explicit Counting(SnapshotSink* into) : into_(into) {}
    bool Database(const SnapshotDatabase& d) override { return ++databases, into_->Database(d); }
    bool Record(const SnapshotRecord& r) override { return ++records, into_->Record(r); }
    bool Counter(uint64_t next) override { return into_->Counter(next); }
    long long databases = 0;
    long long records = 0;

   private:
    SnapshotSink* into_;
  };
  long long databases = 0, records = 0;
  std::string read_error;
  WholeStore::WriteResult result = into->Write(
      [&](SnapshotSink* sink) {
        Counting counting(sink);
        bool read = from->Read(&counting, &read_error);
        databases = counting.databases;
        records = counting.records;
        return read;
      },
      force, &error);
  if (result == WholeStore::WriteResult::kNotEmpty) {
    err << "tvxstore: the store " << into->shown()
        << " is not empty; give --force to replace everything in it\n";
    return 1;
  }
  if (result != WholeStore::WriteResult::kOk) {
    if (!read_error.empty()) err << "tvxstore: cannot read " << read_error << "\n";
    err << "tvxstore: nothing written: " << error << "\n";
    return 1;
  }
  out << "copied " << from->shown() << " to " << into->shown() << ": " << databases
      << " databases, " << records << " records\n";
  return 0;
}

namespace {

// Export's reader: writes the posts of the board databases asked for as the
// read hands them over, each board's in the board's order, and keeps none.
class PostStreamer : public SnapshotSink {
 public:
  PostStreamer(const std::string& only, PostExport* writer, std::ostream* err)
      : only_(only), writer_(writer), err_(err) {}

  bool Database(const SnapshotDatabase& database) override {
    std::string name = ceplatform::DatabaseNameUtf8(database.name);
    if (IsBoardDatabase(name) && (only_.empty() || name == only_)) {
      boards_[database.oid] = name;
    } else if (name == only_) {
      not_board = true;
    }
    return true;
  }
  bool WantsRecords(const SnapshotDatabase& database) override {
    return boards_.count(database.oid) != 0;
  }
  bool Record(const SnapshotRecord& record) override {
    Begin();
    auto found = boards_.find(record.database);
    if (found == boards_.end()) return true;
    const std::string& board = found->second;
    BoardRecordValues values;
    std::vector<std::string> problems;
    auto what = [&] { return PostText(record.oid, board); };
    if (!ReadBoardRecord(record, what, &values, &problems)) {
      for (const std::string& problem : problems) *err_ << "tvxstore: skipped " << problem << "\n";
      ++skipped;
      return true;
    }
    BoardPost post = ReadBoardPost(values.file_time, values.html);
    if (!post.parsed) {
      *err_ << "tvxstore: " << PostText(record.oid, board)
            << ": its HTML is not in the board's form; exported with its html only\n";
    }
    writer_->Write(board, record.oid, post);
    // Output that cannot be written ends the read.
    return writer_->good();
  }
  bool Counter(uint64_t) override { return true; }

  // The header row, once, before the first post (or for none).
  void Begin() {
    if (begun_) return;
    begun_ = true;
    writer_->Begin();
  }
  // Whether any database was taken for export.
  bool any() const { return !boards_.empty(); }

  bool not_board = false;
  long long skipped = 0;

 private:
  std::string only_;
  PostExport* writer_;
  std::ostream* err_;
  std::map<uint32_t, std::string> boards_;
  bool begun_ = false;
};

}  // namespace

int ExportPosts(const std::string& location, const std::string& database,
                PostExport::Format format, std::ostream& out, std::ostream& err) {
  std::unique_ptr<WholeStore> store = OpenSource(location, err);
  if (store == nullptr) return 1;
  PostExport writer(&out, format);
  PostStreamer streamer(database, &writer, &err);
  std::string error;
  bool read = store->Read(&streamer, ceplatform::SnapshotOrder::kDatabase, &error);
  if (read && !database.empty() && !streamer.any()) {
    err << "tvxstore: " << (streamer.not_board ? "not a board database: " : "no database ")
        << database << " in " << store->shown() << "\n";
    return 1;
  }
  if (read) streamer.Begin();
  out.flush();
  if (!out.good()) {
    err << "tvxstore: cannot write the export\n";
    return 1;
  }
  if (!read) {
    err << "tvxstore: cannot read " << error << "\n";
    return 1;
  }
  return streamer.skipped == 0 ? 0 : 1;
}
