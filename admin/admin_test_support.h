// Shared ground of the administration plug-in's tests: a fresh object store
// per test, corkwarden.tvx loaded through its one export, and board databases
// and records written straight into the store the way the board writes them.
#ifndef ADMIN_ADMIN_TEST_SUPPORT_H_
#define ADMIN_ADMIN_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tvx_library.h"
#include "wince.h"

// The fixed pieces of every administration page.
extern const char kAdminHead[];    // header block + page header
extern const char kAdminFooter[];  // page footer
extern const char kTableHead[];    // catalogue table head
extern const char kScript[];       // SCRIPT_NAME of the test requests

// "Content-Type: text/html\r\n\r\n<HTML><BODY>" + message + "</BODY></HTML>".
std::string ErrorPageOf(const std::string& message);

// The bytes of the block a response of `length` bytes takes: the bytes and
// their NUL, in whole blocks of 512.
SIZE_T ResponseBlock(size_t length);

// Success when `page` is `expected`; else the two sizes and the start of the
// page, not two whole pages of tens of kilobytes.
::testing::AssertionResult SamePage(const std::string& page, const std::string& expected);

// ASCII or Shift_JIS text as the store's UTF-16 name (through CP_ACP).
std::u16string Wide(const std::string& narrow);

class AdminTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads a plug-in; fails the test when it cannot.
  static std::unique_ptr<TvxLibrary> Load(const char* path);

  // One GET of corkwarden with this query string and SCRIPT_NAME kScript
  // (or `script`, when not NULL; "" leaves SCRIPT_NAME out). Checks that the
  // call returns the response's length and leaves no heap block or handle.
  std::string Admin(const std::string& query, const char* script = nullptr);
  // The same as a POST with a URL-encoded body.
  std::string AdminPost(const std::string& body);
  // Admin() with the heap refusing every block larger than `limit` bytes.
  std::string AdminWithBlockLimit(SIZE_T limit, const std::string& query,
                                  const char* script = nullptr);
  // Runs a prepared request against a library with the same checks.
  std::string Run(const TvxLibrary& library, TvxRequest* request);

  // A database with the board's creation parameters; fails the test on error.
  static CEOID CreateBoard(const std::string& name);
  // A database with a name only: no type, no sort order.
  static CEOID CreatePlainDatabase(const std::string& name);
  // A board record: property 64 = `time`, property 65601 = html + NUL.
  static CEOID WritePost(const std::string& database, const std::string& html,
                         unsigned long long time);
  // Any record of chosen properties.
  static CEOID WriteRecord(const std::string& database, std::vector<CEPROPVAL> values);
  // Record identifiers of a database in the order a reader sees them.
  static std::vector<CEOID> RecordIds(const std::string& database);
  static CEDBASEINFO InfoOf(CEOID oid);
  static bool DatabaseExists(const std::string& name);
  // Moves the store's identifier counter, written in its SQLite file, so that
  // the next database or record gets `next`.
  void SetNextOid(uint32_t next);

  std::unique_ptr<TvxLibrary> admin_;
  std::string store_path_;
};

#endif  // ADMIN_ADMIN_TEST_SUPPORT_H_
