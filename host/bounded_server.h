// An HTTP server whose connections cannot hold a worker thread for long
// without sending: the HTTP library only bounds each single read and write,
// so a client that sends one header line every few seconds (or one body byte,
// or reads the answer a byte at a time) would keep its thread forever, and a
// handful of such clients would take every thread. Here every connection is
// served by our own loop over a stream that also keeps a deadline:
//   - a request's head (request line and headers) must arrive whole within
//     the timeout of its first byte, and may be at most kMaxHeadBytes long;
//   - its body, and then the answer, must move at kMinBytesPerSecond on
//     average after a grace of one timeout.
// An answer's small writes (status line, headers, a short body) are gathered
// and leave with its body in one send; anything gathered is sent before the
// server waits for the client. Between requests the keep-alive timeout
// applies, as before. Requests sent
// back to back on one connection are all answered, in order. A request that
// the library refuses before its head has been read whole (a bad request
// line, a URI or header that is too long) closes the connection after its
// answer: what follows it is never taken for a request.
#ifndef HOST_BOUNDED_SERVER_H_
#define HOST_BOUNDED_SERVER_H_

#include <httplib.h>

class BoundedServer : public httplib::Server {
 public:
  static constexpr size_t kMaxHeadBytes = 64 * 1024;
  static constexpr size_t kMinBytesPerSecond = 4096;
  // Writes of an answer up to this many bytes in all are sent together.
  static constexpr size_t kCoalesceBytes = 4096;

  // The read timeout (set_read_timeout) is also the head's deadline and the
  // grace before the rate applies.
  BoundedServer() = default;

  // Tells the connection of the calling worker thread that the head of its
  // request has been read (call from the pre-routing handler): the body's
  // clock starts, and the connection may serve another request after this
  // one. Does nothing on a thread that serves no connection.
  static void HeadComplete();
  // Tells the connection of the calling worker thread to close once the
  // current answer is written (the rest of the request may still be unread).
  static void CloseAfterAnswer();

 private:
  bool process_and_close_socket(socket_t sock) override;
  // Waits up to the keep-alive timeout for the next request to begin. False
  // when it does not, or when the server stops.
  bool AwaitRequest(socket_t sock, bool buffered);
};

#endif  // HOST_BOUNDED_SERVER_H_
