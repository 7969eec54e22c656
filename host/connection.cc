#include "connection.h"

#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include "answer_head.h"
#include "error_log.h"
#include "request_reader.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using boost::system::error_code;

ConnectionHub::ConnectionHub(ConnectionLimits limits, RequestHandler* handler, AccessLog* log,
                             WorkerPool* pool, TlsContextSlot* tls, AnswerHeaders headers,
                             ServerMetrics* metrics)
    : limits_(limits), handler_(handler), log_(log), pool_(pool), tls_(tls),
      answer_headers_(std::move(headers)), metrics_(metrics) {}

bool ConnectionHub::Admit(const std::string& address, int max_total, int max_per_address) {
  std::lock_guard<std::mutex> lock(mu_);
  if (total_ >= max_total) return false;
  int& mine = per_address_[address];
  if (mine >= max_per_address) return false;
  ++mine;
  ++total_;
  return true;
}

void ConnectionHub::Release(const std::string& address) {
  std::lock_guard<std::mutex> lock(mu_);
  --total_;
  auto found = per_address_.find(address);
  if (found != per_address_.end() && --found->second <= 0) per_address_.erase(found);
}

int ConnectionHub::open_connections() {
  std::lock_guard<std::mutex> lock(mu_);
  return total_;
}

void ConnectionHub::Register(Connection* connection) {
  std::lock_guard<std::mutex> lock(mu_);
  connections_.insert(connection);
}

void ConnectionHub::Unregister(Connection* connection) {
  std::lock_guard<std::mutex> lock(mu_);
  connections_.erase(connection);
}

void ConnectionHub::StopAll() {
  stopping_ = true;
  // The connections are held here until the lock is let go: a connection
  // may end on another thread as soon as its stop is posted, and the last
  // reference dropped under the lock would run its destructor, which takes
  // the lock again.
  std::vector<std::shared_ptr<Connection>> open;
  {
    std::lock_guard<std::mutex> lock(mu_);
    open.reserve(connections_.size());
    for (Connection* connection : connections_) {
      // A connection in its destructor has no owner left: weak_from_this()
      // is empty then, and it is about to leave the set anyway.
      std::shared_ptr<Connection> alive = connection->weak_from_this().lock();
      if (alive) open.push_back(std::move(alive));
    }
  }
  for (const std::shared_ptr<Connection>& alive : open) {
    asio::post(alive->executor(), [alive] { alive->OnStop(); });
  }
}

namespace {

// Bytes read at a time: little while a connection waits for its next
// request, more once one is coming.
constexpr size_t kIdleRead = 1024;
constexpr size_t kHeadRead = 4096;
constexpr size_t kBodyRead = 16 * 1024;
// Pieces of a body written at a time; the answer's deadline moves on with
// each.
constexpr size_t kWritePiece = 64 * 1024;
// How long a refusal may take to leave, and how long the rest of a refused
// request is read and dropped afterwards so that the refusal is not lost to
// a reset.
constexpr std::chrono::seconds kRefusalWrite{2};
constexpr std::chrono::seconds kLinger{2};
constexpr size_t kLingerBytes = 1024 * 1024;

template <class Stream>
tcp::socket& LowestLayer(Stream& stream);

template <>
tcp::socket& LowestLayer(tcp::socket& stream) {
  return stream;
}

template <>
tcp::socket& LowestLayer(asio::ssl::stream<tcp::socket>& stream) {
  return stream.next_layer();
}

// The phases of a connection, each with its own deadline.
enum class Phase {
  kHandshake,  // TLS handshake
  kIdle,       // waiting for the first byte of a request
  kHead,       // reading a request's head
  kBody,       // reading its body
  kWaiting,    // a worker answers it: no deadline
  kAnswer,     // writing the answer
  kRefusal,    // writing a refusal, then closing
  kLinger,     // reading and dropping what follows a refusal
  kClosed,
};

template <class Stream>
class Session : public Connection {
 public:
  Session(ConnectionHub* hub, Stream stream, int loop, std::string peer_addr, int peer_port)
      : hub_(hub),
        loop_(loop),
        stream_(std::move(stream)),
        timer_(LowestLayer(stream_).get_executor()),
        reader_(hub->limits().body_limit),
        peer_addr_(std::move(peer_addr)),
        peer_port_(peer_port) {
    hub_->Register(this);
  }

  ~Session() override {
    if (in_flight_ && hub_->metrics() != nullptr) hub_->metrics()->Abandoned();
    hub_->Unregister(this);
    hub_->Release(peer_addr_);
  }

  asio::any_io_executor executor() override { return LowestLayer(stream_).get_executor(); }

  void Start();

  // Idle connections, and those whose request has not come whole (nothing
  // is in flight there yet), end at once; the others after their answer.
  void OnStop() override {
    if (phase_ == Phase::kIdle || phase_ == Phase::kHandshake || phase_ == Phase::kHead ||
        phase_ == Phase::kLinger) {
      Close();
    }
  }

 private:
  std::shared_ptr<Session> self() {
    return std::static_pointer_cast<Session>(shared_from_this());
  }

  void Handshake();
  void ReadRequest();
  void WaitForBytes();
  void OnRead(const error_code& error, size_t bytes);
  void Parse();
  void Dispatch();
  void Answer(HttpAnswer answer);
  void WriteNext();
  void OnWritten(const error_code& error, size_t bytes);
  void Refuse(int status);
  void AfterAnswer();
  void Linger();
  void Close();
  void LogAnswer(int status, size_t bytes);
  // For the log of a request refused before it was whole: its request line
  // as far as it was read.
  void KeepRequestLine() {
    request_.method = reader_.method();
    request_.target = reader_.target();
    request_.version = reader_.version();
  }

  // The deadline of the current phase; the timer fires at it.
  void SetDeadline(Clock::time_point deadline);
  void OnTimer(const error_code& error);
  void OnDeadline();
  Clock::time_point RateDeadline(Clock::time_point start, size_t bytes) const {
    const ConnectionLimits& limits = hub_->limits();
    return start + limits.grace +
           std::chrono::milliseconds(bytes * 1000 / limits.min_bytes_per_second);
  }

  // The answer's deadline from the bytes the client has taken: those
  // written, less those still in the socket's send queue.
  Clock::time_point AnswerDeadline() {
    size_t written = head_sent_ + static_cast<size_t>(body_sent_);
    // Nothing written yet is nothing taken: the socket need not be asked.
    if (written == 0) return RateDeadline(phase_start_, 0);
    int queued = 0;
    if (ioctl(LowestLayer(stream_).native_handle(), TIOCOUTQ, &queued) != 0 || queued < 0) {
      queued = 0;
    }
    size_t taken = written > static_cast<size_t>(queued) ? written - static_cast<size_t>(queued) : 0;
    return RateDeadline(phase_start_, taken);
  }

  ConnectionHub* const hub_;
  const int loop_;  // the event loop that serves the connection
  Stream stream_;
  asio::steady_timer timer_;
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point timer_at_ = Clock::time_point::max();
  bool timed_out_ = false;

  boost::beast::flat_buffer buffer_;
  RequestReader reader_;
  const std::string peer_addr_;
  const int peer_port_;
  std::string local_addr_;
  int local_port_ = 0;

  Phase phase_ = Phase::kIdle;
  bool keep_alive_ = true;
  int requests_ = 0;
  Clock::time_point phase_start_;
  Clock::time_point request_start_;  // the current request's first byte
  bool in_flight_ = false;           // counted by ServerMetrics::Began

  HttpRequest request_;
  HttpAnswer answer_;
  std::string head_;          // the answer's head, or an interim answer
  size_t head_sent_ = 0;
  off_t body_sent_ = 0;
  size_t body_total_ = 0;
  std::vector<char> piece_;   // a piece of a file body
  size_t lingered_ = 0;
};

template <class Stream>
void Session<Stream>::SetDeadline(Clock::time_point deadline) {
  // A closed connection waits for nothing: a timer started after Close()
  // would keep the loop, and so a stopping server, alive until it fired.
  if (phase_ == Phase::kClosed) return;
  deadline_ = deadline;
  // The timer fires no later than the deadline; one that fires early looks
  // again (see OnTimer), so a later deadline needs no new wait.
  if (deadline >= timer_at_) return;
  timer_at_ = deadline;
  timer_.expires_at(deadline);
  timer_.async_wait([self = self()](const error_code& error) { self->OnTimer(error); });
}

template <class Stream>
void Session<Stream>::OnTimer(const error_code& error) {
  if (error == asio::error::operation_aborted || phase_ == Phase::kClosed) return;
  timer_at_ = Clock::time_point::max();
  if (deadline_ == Clock::time_point::max()) return;
  // What the client took of the answer since the write began counts, not
  // what waits in the kernel for it.
  if (phase_ == Phase::kAnswer) deadline_ = AnswerDeadline();
  if (Clock::now() < deadline_) {
    SetDeadline(deadline_);
    return;
  }
  OnDeadline();
}

template <class Stream>
void Session<Stream>::OnDeadline() {
  timed_out_ = true;
  deadline_ = Clock::time_point::max();
  // The read or write in progress ends with operation_aborted, and its
  // handler closes or answers 408. One that had already finished, its
  // handler queued behind this one on the loop, is not cancelled: each
  // handler therefore looks at timed_out_ as well as at its error.
  error_code ignored;
  LowestLayer(stream_).cancel(ignored);
}

template <class Stream>
void Session<Stream>::Start() {
  error_code error;
  tcp::endpoint local = LowestLayer(stream_).local_endpoint(error);
  if (!error) {
    local_addr_ = local.address().to_string();
    local_port_ = local.port();
  }
  tcp::no_delay nodelay(true);
  LowestLayer(stream_).set_option(nodelay, error);
  Handshake();
}

template <>
void Session<tcp::socket>::Handshake() {
  ReadRequest();
}

template <>
void Session<asio::ssl::stream<tcp::socket>>::Handshake() {
  phase_ = Phase::kHandshake;
  SetDeadline(Clock::now() + hub_->limits().handshake);
  stream_.async_handshake(asio::ssl::stream_base::server,
                          [self = self()](const error_code& error) {
                            if (error || self->timed_out_) {
                              // A handshake that never finished carried no request.
                              if (self->timed_out_) self->LogAnswer(408, 0);
                              self->Close();
                              return;
                            }
                            self->ReadRequest();
                          });
}

template <class Stream>
void Session<Stream>::ReadRequest() {
  if (phase_ == Phase::kClosed) return;  // a stop closed it meanwhile
  phase_ = Phase::kIdle;
  timed_out_ = false;
  request_ = HttpRequest();
  answer_ = HttpAnswer();
  if (hub_->stopping() && buffer_.size() == 0) {
    Close();
    return;
  }
  // An idle connection keeps as little memory as it can.
  if (buffer_.size() == 0 && buffer_.capacity() > kIdleRead) buffer_.shrink_to_fit();
  SetDeadline(Clock::now() + hub_->limits().keep_alive);
  if (buffer_.size() > 0) {
    Parse();  // the next request came with the last one
    return;
  }
  WaitForBytes();
}

template <class Stream>
void Session<Stream>::WaitForBytes() {
  if (phase_ == Phase::kClosed) return;
  size_t size = phase_ == Phase::kIdle ? kIdleRead
                : phase_ == Phase::kHead ? kHeadRead
                                         : kBodyRead;
  stream_.async_read_some(buffer_.prepare(size),
                          [self = self()](const error_code& error, size_t bytes) {
                            self->OnRead(error, bytes);
                          });
}

template <class Stream>
void Session<Stream>::OnRead(const error_code& error, size_t bytes) {
  if (phase_ == Phase::kClosed) return;
  buffer_.commit(bytes);
  if (timed_out_ || (error && bytes == 0)) {
    if (timed_out_ && (phase_ == Phase::kHead || phase_ == Phase::kBody)) {
      KeepRequestLine();
      Refuse(408);
      return;
    }
    // The client stopped sending (or an idle connection timed out). A
    // request begun can never be whole: it is refused, for a client that
    // still reads, and logged.
    if (reader_.started() && !timed_out_) {
      KeepRequestLine();
      Refuse(400);
      return;
    }
    Close();
    return;
  }
  Parse();
}

template <class Stream>
void Session<Stream>::Parse() {
  while (true) {
    size_t used = 0;
    const char* data = static_cast<const char*>(buffer_.data().data());
    bool was_started = reader_.started();
    RequestReader::Step step = reader_.Feed(data, buffer_.size(), &used);
    buffer_.consume(used);
    if (!was_started && reader_.started()) {
      phase_ = Phase::kHead;
      phase_start_ = Clock::now();
      request_start_ = phase_start_;
      SetDeadline(phase_start_ + hub_->limits().head);
    }
    switch (step) {
      case RequestReader::Step::kNeedMore:
        if (phase_ == Phase::kBody) {
          SetDeadline(RateDeadline(phase_start_, reader_.body_bytes()));
        }
        WaitForBytes();
        return;
      case RequestReader::Step::kHead:
        phase_ = Phase::kBody;
        phase_start_ = Clock::now();
        SetDeadline(RateDeadline(phase_start_, 0));
        if (reader_.expects_continue() && buffer_.size() == 0) {
          head_ = "HTTP/1.1 100 Continue\r\n\r\n";
          asio::async_write(stream_, asio::buffer(head_),
                            [self = self()](const error_code& error, size_t) {
                              if (error || self->timed_out_) {
                                self->Close();
                                return;
                              }
                              self->WaitForBytes();
                            });
          return;
        }
        continue;
      case RequestReader::Step::kDone:
        Dispatch();
        return;
      case RequestReader::Step::kRefused:
        KeepRequestLine();
        Refuse(reader_.refusal());
        return;
    }
  }
}

template <class Stream>
void Session<Stream>::Dispatch() {
  ++requests_;
  keep_alive_ = reader_.keep_alive() && requests_ < hub_->limits().requests_per_connection &&
                hub_->keeps_alive();
  if (hub_->metrics() != nullptr) {
    hub_->metrics()->Began();
    in_flight_ = true;
  }
  reader_.Take(&request_);
  request_.peer_addr = peer_addr_;
  request_.peer_port = peer_port_;
  request_.client_addr = peer_addr_;
  request_.client_port = peer_port_;
  request_.local_addr = local_addr_;
  request_.local_port = local_port_;
  request_.tls = hub_->tls() != nullptr;
  phase_ = Phase::kWaiting;
  deadline_ = Clock::time_point::max();

  RequestHandler* handler = hub_->handler();
  // From here on, the log and the rules see the client behind a trusted proxy.
  handler->Identify(&request_);
  if (!handler->NeedsWorker(request_)) {
    HttpAnswer answer;
    handler->Serve(request_, &answer);
    Answer(std::move(answer));
    return;
  }
  // One client may not hold every worker: past its cap it is told to come
  // back, and the call is counted from here until its worker is done.
  HttpAnswer refused;
  if (!handler->AdmitCall(request_, &refused)) {
    Answer(std::move(refused));
    return;
  }
  // The worker reads request_ while this connection waits for it: nothing
  // else touches the request until the answer is posted back.
  auto self_ptr = self();
  auto work = asio::make_work_guard(executor());
  bool queued = hub_->pool()->Submit([self_ptr, work, handler]() mutable {
    auto answer = std::make_shared<HttpAnswer>();
    try {
      handler->Serve(self_ptr->request_, answer.get());
    } catch (const std::exception& error) {
      LogError("%s %s: internal error while answering: %s", self_ptr->request_.method.c_str(),
               self_ptr->request_.path.c_str(), error.what());
      *answer = HttpAnswer();
      answer->Refuse(500);
    }
    handler->ReleaseCall(self_ptr->request_);
    asio::post(self_ptr->executor(), [self_ptr, answer] { self_ptr->Answer(std::move(*answer)); });
    work.reset();
  }, loop_);
  if (!queued) {
    handler->ReleaseCall(request_);
    HttpAnswer busy;
    busy.Refuse(503);
    busy.headers.Set("Retry-After", "1");
    Answer(std::move(busy));
  }
}

template <class Stream>
void Session<Stream>::Answer(HttpAnswer answer) {
  answer_ = std::move(answer);
  if (!hub_->keeps_alive()) keep_alive_ = false;
  // Before the request is whole its scheme is the connection's own.
  answer_.https = hub_->tls() != nullptr || request_.scheme == "https";
  head_ = FinishAnswer(keep_alive_, &answer_, hub_->answer_headers());
  if (answer_.close) keep_alive_ = false;
  body_total_ = AnswerHasBody(request_.method, answer_.status) ? answer_.BodySize() : 0;
  head_sent_ = 0;
  body_sent_ = 0;
  if (phase_ != Phase::kRefusal) phase_ = Phase::kAnswer;
  phase_start_ = Clock::now();
  WriteNext();
}

template <class Stream>
void Session<Stream>::WriteNext() {
  std::vector<asio::const_buffer> buffers;
  if (head_sent_ < head_.size()) buffers.emplace_back(head_.data() + head_sent_, head_.size() - head_sent_);
  size_t left = body_total_ - static_cast<size_t>(body_sent_);
  size_t piece = std::min(left, kWritePiece);
  if (piece > 0) {
    if (answer_.file) {
      piece_.resize(piece);
      ssize_t got = pread(answer_.file->fd, piece_.data(), piece,
                          answer_.file->offset + body_sent_);
      if (got <= 0) {
        // The file shrank or failed under us: the answer cannot be whole.
        LogError("%s: the file could not be read while it was sent", request_.path.c_str());
        LogAnswer(answer_.status, static_cast<size_t>(body_sent_));
        Close();
        return;
      }
      buffers.emplace_back(piece_.data(), static_cast<size_t>(got));
    } else {
      buffers.emplace_back(answer_.MemoryBody() + body_sent_, piece);
    }
  }
  if (buffers.empty()) {
    // What follows the answer sets its own deadline.
    AfterAnswer();
    return;
  }
  SetDeadline(phase_ == Phase::kRefusal ? phase_start_ + kRefusalWrite : AnswerDeadline());
  asio::async_write(stream_, buffers, [self = self()](const error_code& error, size_t bytes) {
    self->OnWritten(error, bytes);
  });
}

template <class Stream>
void Session<Stream>::OnWritten(const error_code& error, size_t bytes) {
  if (phase_ == Phase::kClosed) return;
  size_t to_head = std::min(bytes, head_.size() - head_sent_);
  head_sent_ += to_head;
  body_sent_ += static_cast<off_t>(bytes - to_head);
  if (error || timed_out_) {
    // Timed out or gone: the answer did not leave whole. A client too slow
    // to read it gets a reset, so that what still waits for it in the kernel
    // is dropped rather than trickled out.
    LogAnswer(answer_.status, static_cast<size_t>(body_sent_));
    if (timed_out_) {
      error_code ignored;
      LowestLayer(stream_).set_option(asio::socket_base::linger(true, 0), ignored);
    }
    Close();
    return;
  }
  WriteNext();
}

template <class Stream>
void Session<Stream>::AfterAnswer() {
  LogAnswer(answer_.status, body_total_);
  // What was sent is not kept while the connection waits for the next
  // request: a page of megabytes goes now, and a file is closed.
  piece_ = std::vector<char>();
  answer_.body = std::string();
  answer_.shared.reset();
  answer_.file.reset();
  answer_.heap.reset();
  if (phase_ == Phase::kRefusal || (answer_.close && reader_.started())) {
    Linger();
    return;
  }
  if (!keep_alive_) {
    Close();
    return;
  }
  ReadRequest();
}

template <class Stream>
void Session<Stream>::Refuse(int status) {
  // The rest of the request is unread (or never came): the connection ends
  // after the refusal, so nothing that follows is taken for a request.
  keep_alive_ = false;
  phase_ = Phase::kRefusal;
  timed_out_ = false;
  HttpAnswer answer;
  answer.Refuse(status);
  answer.close = true;
  Answer(std::move(answer));
}

template <class Stream>
void Session<Stream>::Linger() {
  // Half-close, then drop what the client still sends for a moment: closing
  // with unread bytes would reset the connection and could take the
  // refusal with it before the client read it.
  phase_ = Phase::kLinger;
  error_code ignored;
  LowestLayer(stream_).shutdown(tcp::socket::shutdown_send, ignored);
  SetDeadline(Clock::now() + kLinger);
  buffer_.consume(buffer_.size());
  LowestLayer(stream_).async_read_some(
      buffer_.prepare(kHeadRead), [self = self()](const error_code& error, size_t bytes) {
        self->lingered_ += bytes;
        if (error || self->timed_out_ || self->lingered_ > kLingerBytes) {
          self->Close();
          return;
        }
        self->buffer_.consume(self->buffer_.size());
        self->Linger();
      });
}

template <class Stream>
void Session<Stream>::Close() {
  if (phase_ == Phase::kClosed) return;
  phase_ = Phase::kClosed;
  error_code ignored;
  timer_.cancel();
  LowestLayer(stream_).shutdown(tcp::socket::shutdown_both, ignored);
  LowestLayer(stream_).close(ignored);
}

template <class Stream>
void Session<Stream>::LogAnswer(int status, size_t bytes) {
  AccessLogEntry entry;
  entry.remote_addr = request_.client_addr.empty() ? peer_addr_ : request_.client_addr;
  entry.user = answer_.user;
  entry.time = time(nullptr);
  entry.method = request_.method;
  entry.target = request_.target;
  entry.version = request_.version;
  entry.status = status;
  if (request_.method != "HEAD" && status != 304) entry.bytes = bytes;
  entry.referer = request_.headers.Get("Referer");
  entry.user_agent = request_.headers.Get("User-Agent");
  hub_->log()->Write(entry);
  if (hub_->metrics() != nullptr) {
    // A handshake that never finished has no request: it took no time of one.
    double seconds = request_start_ == Clock::time_point()
                         ? 0.0
                         : std::chrono::duration<double>(Clock::now() - request_start_).count();
    hub_->metrics()->Answered(answer_.kind, status, seconds, in_flight_);
    in_flight_ = false;
  }
}

}  // namespace

void StartConnection(ConnectionHub* hub, tcp::socket socket, int loop,
                     const std::string& peer_addr, int peer_port) {
  if (hub->tls() != nullptr) {
    SSL* ssl = hub->tls()->NewConnection();
    if (ssl == nullptr) {
      LogError("cannot start TLS for a connection from %s: out of memory", peer_addr.c_str());
      error_code ignored;
      socket.close(ignored);
      hub->Release(peer_addr);
      return;
    }
    // The stream owns the SSL from here on.
    auto session = std::make_shared<Session<asio::ssl::stream<tcp::socket>>>(
        hub, asio::ssl::stream<tcp::socket>(std::move(socket), ssl), loop, peer_addr,
        peer_port);
    session->Start();
  } else {
    auto session = std::make_shared<Session<tcp::socket>>(hub, std::move(socket), loop,
                                                          peer_addr, peer_port);
    session->Start();
  }
}
