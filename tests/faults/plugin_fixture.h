// Ground shared by the fault sweeps: both plug-ins loaded through their one
// export, a store file and a document root of each test's own, the clock
// fixed, and what a sweep checks after every run: the store file's
// integrity, no write lock left behind, and the board's posts as stored.
#ifndef TESTS_FAULTS_PLUGIN_FIXTURE_H_
#define TESTS_FAULTS_PLUGIN_FIXTURE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tvx_library.h"
#include "wince.h"

namespace faults {

extern const char kBoardScript[];  // "/cgi/board.tvx"
extern const char kBoardDatabase[];  // "TULVAN_board.tvx"
extern const char kAdminScript[];  // "/admin/corkwarden.tvx"
extern const char kRedirect[];     // the board's answer to a post it took

// "Content-Type: text/html\r\n\r\n<HTML><BODY>" + message + "</BODY></HTML>".
std::string ErrorPageOf(const std::string& message);
// The message of an error page at the start of `text`, or "" when `text`
// does not start with one.
std::string ErrorMessageOf(const std::string& text);

// The answer of one call, and whether it returned the response's length.
struct Answer {
  std::string text;
  bool length_ok = false;
};

class PluginFixture : public ::testing::Test {
 protected:
  // Loads the two plug-ins from these paths (the shipped ones, or a test
  // build of them).
  PluginFixture(const char* board, const char* admin) : board_path_(board), admin_path_(admin) {}
  void SetUp() override;
  void TearDown() override;

  // One call of the board: method, query string, URL-encoded body ("" for
  // none).
  Answer Board(const char* method, const std::string& query, const std::string& body);
  // A post of the board's form whose subject is `subject`.
  Answer Post(const std::string& subject);
  // One GET of the admin page with this query string.
  Answer Admin(const std::string& query, const std::string& script = kAdminScript);
  // Runs write(0) .. write(count - 1) on a thread each, their store writes
  // gathered into one group in that order: the queue is held while each
  // thread starts once the one before has queued its write (or finished),
  // then `before_release` runs and the group goes. Each call of `write`
  // makes at most one store write.
  void RunAsOneGroup(size_t count, const std::function<void(size_t)>& write,
                     const std::function<void()>& before_release);

  // The board's posts, newest first, read through the store in one pass:
  // each record's identifier and subject. Each post's HTML is checked to be
  // whole on the way.
  std::vector<std::pair<CEOID, std::string>> Posts(const std::string& database = kBoardDatabase);
  // Their subjects alone.
  std::vector<std::string> Subjects(const std::string& database = kBoardDatabase);
  // Their record identifiers alone.
  std::vector<CEOID> RecordIds(const std::string& database = kBoardDatabase);
  // The identifier of a database by name; 0 when there is none.
  CEOID DatabaseId(const std::string& name);

  // PRAGMA integrity_check of the store file, through SQLite's default VFS:
  // "ok" when sound.
  std::string Integrity();
  // Whether another connection can take the file's write lock at once, that
  // is, no transaction of the store was left open.
  bool WriteLockFree();

  std::filesystem::path dir_;
  std::string root_;
  std::string store_;
  std::unique_ptr<TvxLibrary> board_;
  std::unique_ptr<TvxLibrary> admin_;

 private:
  Answer Call(const TvxLibrary& library, const char* method, const std::string& script,
              const std::string& query, const std::string& body);
  const char* board_path_;
  const char* admin_path_;
};

// The subject of a post's HTML as the board stores it; "" when `html` is not
// a whole post.
std::string SubjectOfPost(const std::string& html);

}  // namespace faults

#endif  // TESTS_FAULTS_PLUGIN_FIXTURE_H_
