#include "pg_session.h"

#include <endian.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>

#include <atomic>
#include <mutex>

#include "ceplatform.h"

namespace ceplatform {
namespace store {
namespace {

bool Starts(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

void TrimNewlines(std::string* text) {
  while (!text->empty() && text->back() == '\n') text->pop_back();
}

// The fault a test asked for (PlatformFailStoreSession): after `after` more
// units, the next one meets `kind`.
struct SessionFault {
  std::mutex mutex;
  long after = -1;
  int kind = 0;
  char state[6] = {};
};

SessionFault& TheFault() {
  static SessionFault* fault = new SessionFault();
  return *fault;
}

std::atomic<bool> fault_armed{false};

// The fault for the unit about to be sent (0: none), and the SQLSTATE of
// PLATFORM_PG_FAIL_WITH.
int TakeFault(std::string* state) {
  if (!fault_armed.load(std::memory_order_acquire)) return 0;
  SessionFault& fault = TheFault();
  std::lock_guard<std::mutex> lock(fault.mutex);
  if (fault.after < 0) return 0;
  if (fault.after-- > 0) return 0;
  fault_armed.store(false, std::memory_order_release);
  *state = fault.state;
  return fault.kind;
}

// A statement the server fails with `state`, in place of a unit's own.
std::string FailingStatement(const std::string& state) {
  return "DO $$BEGIN RAISE EXCEPTION USING ERRCODE = '" + state +
         "', MESSAGE = 'failed on purpose by a test'; END$$";
}

}  // namespace

// ---- Parameters and rows ---------------------------------------------------------

void PgParams::Int(int64_t value) {
  uint64_t big = htobe64(static_cast<uint64_t>(value));
  char* slot = count_ < kInline ? ints_[count_] : more_ints_.emplace_back().data();
  memcpy(slot, &big, 8);
  Set(slot, 8);
}

void PgParams::Set(const char* value, int length) {
  if (count_ < kInline) {
    values_[count_] = value;
    lengths_[count_] = length;
    formats_[count_] = 1;
  } else {
    if (count_ == kInline) {
      more_values_.assign(values_, values_ + kInline);
      more_lengths_.assign(lengths_, lengths_ + kInline);
      more_formats_.assign(formats_, formats_ + kInline);
    }
    more_values_.push_back(value);
    more_lengths_.push_back(length);
    more_formats_.push_back(1);
  }
  count_++;
}

int64_t PgRows::Int(int row, int column) const {
  if (PQgetlength(result_, row, column) != 8) return 0;
  uint64_t big;
  memcpy(&big, PQgetvalue(result_, row, column), 8);
  return static_cast<int64_t>(be64toh(big));
}

const uint8_t* PgRows::Bytes(int row, int column, size_t* size) const {
  *size = static_cast<size_t>(PQgetlength(result_, row, column));
  return reinterpret_cast<const uint8_t*>(PQgetvalue(result_, row, column));
}

std::string PgRows::String(int row, int column) const {
  size_t size = 0;
  const uint8_t* bytes = Bytes(row, column, &size);
  return std::string(reinterpret_cast<const char*>(bytes), size);
}

const char* PgRows::Text(int row, int column) const {
  if (result_ == nullptr || row >= PQntuples(result_) || column >= PQnfields(result_)) return "";
  return PQgetvalue(result_, row, column);
}

// ---- Connecting ------------------------------------------------------------------

void PgSession::Drop() {
  if (conn_ != nullptr) PQfinish(conn_);
  conn_ = nullptr;
  prepared_.clear();
}

Result PgSession::Connected() { return conn_ != nullptr ? Result::kOk : Connect(); }

Result PgSession::Connect() {
  Drop();
  // Later keywords win: the URI (expanded from dbname) overrides the
  // defaults before it.
  const char* keys[] = {"connect_timeout", "fallback_application_name", "dbname", nullptr};
  const char* values[] = {kConnectTimeoutSeconds, "corkwall", uri_.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (conn_ == nullptr) return Result::kNoMemory;
  farewell_ = false;
  PQsetNoticeReceiver(conn_, &PgSession::OnNotice, this);
  if (PQstatus(conn_) != CONNECTION_OK) {
    message_ = PQerrorMessage(conn_);
    TrimNewlines(&message_);
    Drop();
    return Result::kUnreachable;
  }
  return Configure();
}

Result PgSession::Configure() {
  // What the URI, the role or the server chose stands; what they left open
  // each transaction sets for itself.
  settings_.clear();
  PgRows rows;
  Result result = RunText(
      "SELECT current_setting('statement_timeout') = '0',"
      " current_setting('synchronous_commit') IN ('off', 'local'),"
      " (extract(epoch FROM current_setting('statement_timeout')::interval) * 1000)::bigint,"
      " pg_backend_pid()",
      &rows);
  if (result != Result::kOk) return result;
  if (rows.count() != 1) {
    message_ = "the server's settings could not be read";
    Drop();
    return Result::kFault;
  }
  bool no_timeout = rows.Text(0, 0)[0] == 't';
  bool lax_commit = rows.Text(0, 1)[0] == 't';
  timeout_ms_ = no_timeout ? 0 : atoll(rows.Text(0, 2));
  pooled_ = atoll(rows.Text(0, 3)) != PQbackendPID(conn_);
  std::string sets;
  if (no_timeout) {
    sets += std::string("set_config('statement_timeout', '") + kStatementTimeout + "', true)";
  }
  if (lax_commit) {
    sets += std::string(sets.empty() ? "" : ", ") + "set_config('synchronous_commit', 'on', true)";
  }
  if (!sets.empty()) settings_ = "SELECT " + sets;
  if (timeout_ms_ <= 0) timeout_ms_ = 5000;
  return Result::kOk;
}

void PgSession::OnNotice(void* self, const PGresult* notice) {
  // A FATAL message that comes while no statement runs is the server ending
  // the session (a shutdown or pg_terminate_backend); the socket closes
  // after it. A warning during a unit may be about its commit. Other
  // notices (a table already there, ...) are of no use.
  PgSession* session = static_cast<PgSession*>(self);
  const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
  if (severity == nullptr) return;
  if (strcmp(severity, "FATAL") == 0 || strcmp(severity, "PANIC") == 0) {
    session->farewell_ = true;
  } else if (strcmp(severity, "WARNING") == 0) {
    session->warned_ = true;
    session->warning_ = PQresultErrorMessage(notice);
    TrimNewlines(&session->warning_);
  } else if (session->hook_ != nullptr) {
    session->hook_(session->hook_context_, notice);
  }
}

bool PgSession::Usable() {
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) return false;
  // A server that shut down has sent its farewell and closed the socket.
  struct pollfd socket = {PQsocket(conn_), POLLIN, 0};
  if (poll(&socket, 1, 0) > 0) {
    if (!PQconsumeInput(conn_)) return false;
    while (!PQisBusy(conn_)) {
      PGresult* stray = PQgetResult(conn_);
      if (stray == nullptr) break;
      PQclear(stray);
    }
  }
  return PQstatus(conn_) == CONNECTION_OK && !farewell_;
}

bool PgSession::InTransaction() const {
  PGTransactionStatusType status = PQtransactionStatus(conn_);
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR;
}

int64_t PgSession::NowNs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t PgSession::CallDeadline() const {
  return NowNs() + (timeout_ms_ + kClientGraceMs) * 1000000;
}

int64_t PgSession::LongDeadline() const {
  return NowNs() + kLongWorkSeconds * 1000000000ll;
}

std::string PgSession::QuoteIdentifier(const std::string& name) {
  if (conn_ == nullptr) return std::string();
  char* quoted = PQescapeIdentifier(conn_, name.c_str(), name.size());
  if (quoted == nullptr) return std::string();
  std::string text = quoted;
  PQfreemem(quoted);
  return text;
}

bool PgSession::TakeServerChanged() {
  bool changed = server_changed_;
  server_changed_ = false;
  return changed;
}

// ---- Waiting and classifying -------------------------------------------------------

Result PgSession::Lost(const char* what) {
  message_ = std::string(what) + ": " + (conn_ != nullptr ? PQerrorMessage(conn_) : "");
  TrimNewlines(&message_);
  Drop();
  return Result::kUnreachable;
}

void PgSession::CutAfterSending() {
  int64_t deadline = CallDeadline();
  int flushed;
  while ((flushed = PQflush(conn_)) == 1 && NowNs() < deadline) {
    struct pollfd wait = {PQsocket(conn_), POLLOUT, 0};
    poll(&wait, 1, 100);
  }
  shutdown(PQsocket(conn_), SHUT_RDWR);
}

Result PgSession::WaitForResult(int64_t deadline_ns) {
  int socket = PQsocket(conn_);
  int flushed;
  while ((flushed = PQflush(conn_)) == 1 || PQisBusy(conn_)) {
    if (flushed < 0) return Lost("sending");
    int64_t left_ms = (deadline_ns - NowNs()) / 1000000;
    if (left_ms <= 0) {
      Lost("no answer");
      message_ = "the server did not answer within " +
                 std::to_string(timeout_ms_ + kClientGraceMs) + " ms";
      return Result::kTimeout;
    }
    struct pollfd wait = {socket, static_cast<short>(POLLIN | (flushed == 1 ? POLLOUT : 0)), 0};
    int ready = poll(&wait, 1, static_cast<int>(left_ms > 1000 ? 1000 : left_ms));
    if (ready < 0 && errno != EINTR) return Lost("waiting");
    if (ready > 0 && (wait.revents & (POLLIN | POLLERR | POLLHUP)) && !PQconsumeInput(conn_)) {
      return Lost("receiving");
    }
  }
  if (flushed < 0) return Lost("sending");
  return Result::kOk;
}

Result PgSession::Await(int64_t deadline_ns, PgRows* rows) {
  bool failed = false;
  for (;;) {
    Result waited = WaitForResult(deadline_ns);
    if (waited != Result::kOk) return waited;
    PGresult* next = PQgetResult(conn_);
    if (next == nullptr) break;
    ExecStatusType status = PQresultStatus(next);
    bool error = status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK;
    // Keep the first error, or else the last result.
    if (failed) {
      PQclear(next);
    } else {
      rows->Reset(next);
      failed = error;
    }
  }
  return Finish(rows);
}

Result PgSession::Finish(PgRows* rows) {
  if (PQstatus(conn_) != CONNECTION_OK) {
    Result lost = Lost("connection");
    if (rows->get() != nullptr && PQresultErrorField(rows->get(), PG_DIAG_SQLSTATE) != nullptr) {
      message_ = PQresultErrorMessage(rows->get());
      TrimNewlines(&message_);
    }
    return lost;
  }
  return Classify(rows);
}

Result PgSession::Classify(PgRows* rows) {
  PGresult* result = rows->get();
  if (result == nullptr) {
    message_ = "no result";
    return Result::kFault;
  }
  ExecStatusType status = PQresultStatus(result);
  conflicted_ = false;
  state_.clear();
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Result::kOk;
  message_ = PQresultErrorMessage(result);
  TrimNewlines(&message_);
  const char* state = PQresultErrorField(result, PG_DIAG_SQLSTATE);
  if (state == nullptr) state = "";
  state_ = state;
  conflicted_ = strcmp(state, "40P01") == 0 || strcmp(state, "40001") == 0;
  if (strcmp(state, "2200H") == 0) return Result::kExhausted;  // the sequence is used up
  if (strcmp(state, "23505") == 0) return Result::kDuplicate;
  if (strcmp(state, "57014") == 0) return Result::kTimeout;  // statement timeout
  if (strcmp(state, "53100") == 0) return Result::kDiskFull;
  if (strcmp(state, "53200") == 0) return Result::kNoMemory;
  if (strcmp(state, "54000") == 0) return Result::kTooBig;
  // Connection failures; a server shutting down, starting up or out of
  // connections; a server that takes no writes (a demoted primary, a hot
  // standby): another connection may reach one that does.
  bool read_only = strcmp(state, "25006") == 0;
  if (Starts(state, "08") || Starts(state, "57P") || strcmp(state, "53300") == 0 || read_only) {
    server_changed_ = read_only || Starts(state, "57P");
    std::string kept = message_;
    Drop();
    message_ = kept;
    return Result::kUnreachable;
  }
  return Result::kFault;
}

bool PgSession::Uncertain(Result result) const {
  // A statement the server cancelled was rolled back: only a connection
  // lost with the statement on it leaves the outcome open.
  return (result == Result::kUnreachable || result == Result::kTimeout) && conn_ == nullptr;
}

// ---- Units -----------------------------------------------------------------------

std::string PgSession::StatementName(const PgStatement& statement, bool may_prepare,
                                     bool* prepare) {
  *prepare = false;
  if (pooled_ || statement.id < 0) return std::string();
  if (prepared_.size() <= static_cast<size_t>(statement.id)) prepared_.resize(statement.id + 1);
  *prepare = may_prepare && !prepared_[statement.id];
  return "s" + std::to_string(statement.id);
}

PGresult* PgSession::NextOfUnit(int64_t deadline_ns, Result* waited) {
  for (;;) {
    *waited = WaitForResult(deadline_ns);
    if (*waited != Result::kOk) return nullptr;
    PGresult* next = PQgetResult(conn_);
    if (next == nullptr) {
      if (PQstatus(conn_) != CONNECTION_OK) return nullptr;
      continue;  // the end of one statement's results
    }
    if (PQresultStatus(next) != PGRES_PIPELINE_SYNC) return next;
    PQclear(next);
    return nullptr;
  }
}

Result PgSession::Run(const PgStatement& statement, const PgParams& params, PgRows* rows,
                      Heard* heard_out) {
  Heard heard = Heard::kNotSent;
  if (heard_out != nullptr) *heard_out = heard;
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  int64_t deadline = CallDeadline();
  std::string state;
  int fault = TakeFault(&state);
  std::string failing = fault == PLATFORM_PG_FAIL_WITH ? FailingStatement(state) : "";
  bool own_transaction = !InTransaction();
  bool settings = own_transaction && !settings_.empty();
  bool prepare = false;
  const std::string name = StatementName(statement, failing.empty(), &prepare);
  const bool named = !name.empty();
  warned_ = false;
  // The statement runs in the implicit transaction that the sync point
  // commits; the flush request before it makes the server send the rows
  // first.
  bool queued =
      PQenterPipelineMode(conn_) &&
      (!settings || PQsendQueryParams(conn_, settings_.c_str(), 0, nullptr, nullptr, nullptr,
                                      nullptr, 1)) &&
      (!prepare ||
       PQsendPrepare(conn_, name.c_str(), statement.text, statement.count, statement.types)) &&
      (!failing.empty()
           ? PQsendQueryParams(conn_, failing.c_str(), 0, nullptr, nullptr, nullptr, nullptr, 1)
       : named ? PQsendQueryPrepared(conn_, name.c_str(), params.count(), params.values(),
                                     params.lengths(), params.formats(), 1)
               : PQsendQueryParams(conn_, statement.text, params.count(), statement.types,
                                   params.values(), params.lengths(), params.formats(), 1)) &&
      PQsendFlushRequest(conn_) && PQpipelineSync(conn_);
  if (!queued) return Lost("sending");
  heard = Heard::kNothing;
  if (fault == PLATFORM_PG_DROP_AFTER_SEND) CutAfterSending();
  // The settings' result, the preparation's, the statement's, each followed
  // by the end of its results, then the sync point; an error at the commit
  // comes before the sync point.
  PgRows failure;
  bool settings_pending = settings;
  bool prepare_pending = prepare;
  Result waited = Result::kOk;
  while (PGresult* next = NextOfUnit(deadline, &waited)) {
    ExecStatusType status = PQresultStatus(next);
    bool ok = status == PGRES_TUPLES_OK || status == PGRES_COMMAND_OK;
    if (ok && (settings_pending || prepare_pending)) {
      if (settings_pending) {
        settings_pending = false;
      } else {
        prepare_pending = false;
        prepared_[statement.id] = true;
      }
      PQclear(next);
      continue;
    }
    bool first = heard == Heard::kNothing && failure.get() == nullptr;
    if (ok && first) {
      rows->Reset(next);
      heard = Heard::kRows;
    } else if (failure.get() == nullptr) {
      // The first failure is the one reported; one that the server sent
      // (not libpq's own) before the rows means nothing was written.
      if (first && PQresultErrorField(next, PG_DIAG_SQLSTATE) != nullptr) heard = Heard::kRefusal;
      failure.Reset(next);
    } else {
      PQclear(next);
    }
  }
  if (heard_out != nullptr) *heard_out = heard;
  if (waited != Result::kOk) return waited;
  if (PQstatus(conn_) == CONNECTION_OK && !PQexitPipelineMode(conn_)) return Lost("pipeline");
  // The statement's rows came, if it had any; the commit's answer is lost.
  if (fault == PLATFORM_PG_LOSE_ANSWER) return Lost("answer lost on purpose by a test");
  Result result = Finish(failure.get() != nullptr ? &failure : rows);
  // A prepared statement missing, or one there already: a pooler the
  // session could not tell. Nothing ran; from now on nothing is prepared.
  if (named && heard == Heard::kRefusal && (state_ == "26000" || state_ == "42P05")) {
    pooled_ = true;
    return Run(statement, params, rows, heard_out);
  }
  if (result == Result::kOk && heard_out != nullptr && own_transaction && warned_) {
    message_ = "the commit may not stand: " + warning_;
    return Result::kOutcomeUnknown;
  }
  return result;
}

Result PgSession::RunText(const char* sql, PgRows* rows, int64_t deadline_ns) {
  if (conn_ == nullptr) return Result::kUnreachable;
  if (settings_.empty() || InTransaction()) return SendText(sql, rows, deadline_ns);
  return SendText(settings_ + ";" + sql, rows, deadline_ns);
}

Result PgSession::SendText(const std::string& sql, PgRows* rows, int64_t deadline_ns) {
  std::string state;
  int fault = TakeFault(&state);
  const std::string& text = fault == PLATFORM_PG_FAIL_WITH ? FailingStatement(state) : sql;
  warned_ = false;
  if (!PQsendQuery(conn_, text.c_str())) return Lost("sending");
  if (fault == PLATFORM_PG_DROP_AFTER_SEND) CutAfterSending();
  Result result = Await(deadline_ns != 0 ? deadline_ns : CallDeadline(), rows);
  if (fault == PLATFORM_PG_LOSE_ANSWER && conn_ != nullptr) {
    return Lost("answer lost on purpose by a test");
  }
  return result;
}

Result PgSession::Begin(const char* mode) {
  Result connected = Connected();
  if (connected != Result::kOk) return connected;
  // The settings go after BEGIN, so that a mode that must come first (an
  // isolation level) does.
  PgRows rows;
  std::string begin = std::string("BEGIN ") + mode;
  if (!settings_.empty()) begin += ";" + settings_;
  return SendText(begin, &rows, 0);
}

Result PgSession::Commit() {
  PgRows rows;
  Result result = RunText("COMMIT", &rows);
  // The COMMIT went out and its answer did not come back.
  if (Uncertain(result)) return Result::kOutcomeUnknown;
  if (result == Result::kOk && warned_) {
    message_ = "the commit may not stand: " + warning_;
    return Result::kOutcomeUnknown;
  }
  return result;
}

void PgSession::Rollback() {
  if (conn_ == nullptr) return;
  std::string kept = message_;
  PgRows ignored;
  RunText("ROLLBACK", &ignored);
  message_ = kept;
}

}  // namespace store
}  // namespace ceplatform

extern "C" void PlatformFailStoreSession(long count, int fault, const char* state) {
  using ceplatform::store::TheFault;
  ceplatform::store::SessionFault& plan = TheFault();
  std::lock_guard<std::mutex> lock(plan.mutex);
  plan.after = count < 0 || fault == 0 ? -1 : count;
  plan.kind = fault;
  memset(plan.state, 0, sizeof(plan.state));
  if (state != nullptr) strncpy(plan.state, state, sizeof(plan.state) - 1);
  ceplatform::store::fault_armed.store(plan.after >= 0, std::memory_order_release);
}
