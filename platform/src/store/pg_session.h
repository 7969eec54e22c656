// The wire to a PostgreSQL server: one libpq connection, how statements go
// out on it, and what their answers come to.
//
// Nothing the store relies on outlives a transaction on the server, so that
// a session works the same directly and through a pooler that lends server
// connections one transaction at a time (pgbouncer's transaction pooling):
// the settings the store needs (a statement timeout, synchronous commits) are
// set inside each transaction with set_config(..., true), and only when the
// role or the server has not set them already; and through a pooler
// statements are unnamed and go with their parameters. A session straight to
// the server (its backend's process id is the one the connection reported;
// a pooler reports its own) keeps the store's statements prepared, which
// saves their planning at every call; should a statement it prepared be
// missing, or one it prepares be there already (a pooler it could not tell),
// it goes unnamed from then on, and the unit once more.
//
// A unit is what goes out together up to a sync point: a statement in an
// implicit transaction of its own (committed at the sync point), a statement
// inside a transaction that Begin opened, or a text of several statements.
//
// A failure is classified once (Classify): a connection that lost its server,
// a server shutting down, a read-only server (a demoted primary or a hot
// standby) or one that cannot take more connections drop the connection, so
// that the next unit connects again, and with a multi-host URI and
// target_session_attrs=read-write libpq then finds the current primary.
//
// A commit is reported only when it is known to stand: a lost answer leaves
// it unknown, and so does a warning on the way (the server tells that it
// stopped waiting for a synchronous standby: the transaction committed there
// but may not survive a failover).
//
// Tests inject faults here (PlatformFailStoreSession): the connection cut
// once a unit is sent, a unit's answer lost after it ran, or a unit failed by
// the server with a chosen SQLSTATE.
#ifndef CEPLATFORM_STORE_PG_SESSION_H_
#define CEPLATFORM_STORE_PG_SESSION_H_

#include <libpq-fe.h>
#include <stdint.h>

#include <array>
#include <deque>
#include <string>
#include <vector>

#include "connection.h"

namespace ceplatform {
namespace store {

constexpr const char* kConnectTimeoutSeconds = "5";
constexpr const char* kStatementTimeout = "5s";
constexpr int kClientGraceMs = 2000;
// How long the store waits for the server to bring a whole store to its
// format, or to make the blocks of a store written in bulk.
constexpr int kLongWorkSeconds = 3600;

// Type identifiers of the parameters.
constexpr Oid kPgInt8 = 20;
constexpr Oid kPgBytea = 17;

// The parameters of one statement, all in binary form.
class PgParams {
 public:
  PgParams() = default;
  PgParams(const PgParams&) = delete;
  PgParams& operator=(const PgParams&) = delete;

  void Int(int64_t value);
  void Bytes(const std::string& bytes) { Set(bytes.data(), static_cast<int>(bytes.size())); }
  void Null() { Set(nullptr, 0); }

  int count() const { return count_; }
  const char* const* values() const { return count_ > kInline ? more_values_.data() : values_; }
  const int* lengths() const { return count_ > kInline ? more_lengths_.data() : lengths_; }
  const int* formats() const { return count_ > kInline ? more_formats_.data() : formats_; }

 private:
  void Set(const char* value, int length);
  // A statement's values are kept here, which allocates nothing; past
  // kInline of them (a group's insert) all move to the vectors, and the
  // integers past the inline ones to a deque, whose elements never move.
  static constexpr int kInline = 8;
  const char* values_[kInline] = {};
  int lengths_[kInline] = {};
  int formats_[kInline] = {};
  char ints_[kInline][8] = {};
  int count_ = 0;
  std::vector<const char*> more_values_;
  std::vector<int> more_lengths_;
  std::vector<int> more_formats_;
  std::deque<std::array<char, 8>> more_ints_;
};

// The result of a statement, released with it.
class PgRows {
 public:
  PgRows() = default;
  ~PgRows() { PQclear(result_); }
  PgRows(const PgRows&) = delete;
  PgRows& operator=(const PgRows&) = delete;

  void Reset(PGresult* result) {
    PQclear(result_);
    result_ = result;
  }
  PGresult* get() const { return result_; }
  int count() const { return result_ != nullptr ? PQntuples(result_) : 0; }
  bool Null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
  int64_t Int(int row, int column) const;
  const uint8_t* Bytes(int row, int column, size_t* size) const;
  std::string String(int row, int column) const;
  // A column of a text result (RunText), "" when absent.
  const char* Text(int row, int column) const;

 private:
  PGresult* result_ = nullptr;
};

// A statement's text and its parameters' types. One with an `id` of 0 or
// more is one of the store's own, which a connection straight to the server
// prepares once under a name of its own (see PgSession::Run).
struct PgStatement {
  const char* text;
  int count;
  const Oid* types;
  int id = -1;
};

class PgSession {
 public:
  // What came back of a unit that may write.
  enum class Heard {
    kNotSent,  // it never left whole: nothing was written
    kNothing,  // no answer came: it may have been committed or not
    kRefusal,  // an error came before the statement's rows: nothing written
    kRows,     // the statement's rows came; whether it committed is the result's
  };

  explicit PgSession(std::string uri) : uri_(std::move(uri)) {}
  ~PgSession() { Drop(); }
  PgSession(const PgSession&) = delete;
  PgSession& operator=(const PgSession&) = delete;

  // Connects unless connected, and learns which settings the transactions
  // must set. kUnreachable with message() when the server cannot be had.
  Result Connected();
  void Drop();
  bool connected() const { return conn_ != nullptr; }
  // False when the connection has lost its server or the server said
  // farewell; looks at the socket without waiting.
  bool Usable();

  // Runs one statement with binary parameters and results as one unit: in a
  // transaction of its own, or in the one Begin opened. With `heard` (a write
  // outside a transaction), the server is asked to send the statement's rows
  // before it commits, so that they come unless the connection fails before
  // the commit, and a commit the server warned about is kOutcomeUnknown.
  Result Run(const PgStatement& statement, const PgParams& params, PgRows* rows,
             Heard* heard = nullptr);
  // Runs text through the simple protocol (several statements allowed),
  // waiting until `deadline_ns` (0: the usual deadline of a call).
  Result RunText(const char* sql, PgRows* rows, int64_t deadline_ns = 0);
  // Opens a transaction (`mode`: "" or e.g. "ISOLATION LEVEL REPEATABLE
  // READ, READ ONLY") with the store's settings in it.
  Result Begin(const char* mode = "");
  // Commits: kOutcomeUnknown when the answer was lost or the server warned
  // that the commit may not stand.
  Result Commit();
  // Ends a transaction without its changes, keeping message().
  void Rollback();

  // Whether a write that failed with `result` may still have been made: the
  // connection was lost with the statement on it.
  bool Uncertain(Result result) const;
  // Whether the last failure showed a server that takes no writes or is
  // going away, so that every other connection to it should go too. Reading
  // it clears it.
  bool TakeServerChanged();

  // The monotonic clock the deadlines are on, in nanoseconds.
  static int64_t NowNs();
  // The deadline of a call starting now: the statement timeout and
  // kClientGraceMs; and of work that runs once and may take long.
  int64_t CallDeadline() const;
  int64_t LongDeadline() const;
  int64_t timeout_ms() const { return timeout_ms_; }

  // Hands every notice below a warning that comes to `hook` (with
  // `context`), for messages a connection's statements send it.
  void SetNoticeHook(void (*hook)(void* context, const PGresult* notice), void* context) {
    hook_ = hook;
    hook_context_ = context;
  }

  // The identifier quoted for SQL; empty when out of memory.
  std::string QuoteIdentifier(const std::string& name);

  // Whether the last failure was the server undoing a statement to end a
  // deadlock or a serialization conflict with another transaction: nothing
  // of it was written, and it may simply go again.
  bool Conflicted() const { return conflicted_; }

  const std::string& message() const { return message_; }
  void set_message(const std::string& message) { message_ = message; }

 private:
  Result Connect();
  // Reads the settings of the role and server: what each transaction sets.
  Result Configure();
  bool InTransaction() const;
  // Sends `sql` as it is (RunText adds the settings) and waits for it.
  Result SendText(const std::string& sql, PgRows* rows, int64_t deadline_ns);
  // Sends what is buffered and waits until a result can be read without
  // blocking, or until the deadline.
  Result WaitForResult(int64_t deadline_ns);
  Result Await(int64_t deadline_ns, PgRows* rows);
  // The name a unit sends one of the store's statements under (empty:
  // unnamed, with its text), and in *prepare whether the unit prepares it
  // first (only when `may_prepare`).
  std::string StatementName(const PgStatement& statement, bool may_prepare, bool* prepare);
  // The next result of a pipelined unit, to be cleared by the caller;
  // nullptr at its sync point, or when the wait failed (*waited) or the
  // connection was lost.
  PGresult* NextOfUnit(int64_t deadline_ns, Result* waited);
  // The outcome of a unit whose results have been read, `rows` holding the
  // one that tells it.
  Result Finish(PgRows* rows);
  Result Classify(PgRows* rows);
  Result Lost(const char* what);
  // Writes out everything buffered, then cuts the connection (a test's
  // fault).
  void CutAfterSending();
  static void OnNotice(void* self, const PGresult* notice);

  const std::string uri_;
  PGconn* conn_ = nullptr;
  bool farewell_ = false;        // the server said it is ending the session
  bool warned_ = false;          // a warning came during the current unit
  std::string warning_;
  bool server_changed_ = false;  // see TakeServerChanged
  bool conflicted_ = false;      // see Conflicted
  std::string settings_;         // the statement that sets them, or empty
  bool pooled_ = true;           // maybe through a pooler: nothing prepared
  std::vector<bool> prepared_;   // by statement id, on this connection
  std::string state_;            // the SQLSTATE of the last failure
  void (*hook_)(void*, const PGresult*) = nullptr;
  void* hook_context_ = nullptr;
  int64_t timeout_ms_ = 5000;
  std::string message_;
};

}  // namespace store
}  // namespace ceplatform

#endif  // CEPLATFORM_STORE_PG_SESSION_H_
