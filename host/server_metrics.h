// What tvxhost counts of the requests it answers, for /metrics:
//   tvxhost_requests_total{kind,code}          answers by kind and status
//   tvxhost_request_duration_seconds{kind}     from a request's first byte to
//                                              its answer's last (histogram)
//   tvxhost_requests_in_flight                 read whole, not yet answered
//   tvxhost_refusals_total{code}               answers 403, 408, 429 and 503
// kind is "plugin", "static" or "refused" (AnswerKind). The server's own
// gauges (connections, workers) are added by HostServer::AddMetrics, the
// store's calls by store_call_meter.h.
#ifndef HOST_SERVER_METRICS_H_
#define HOST_SERVER_METRICS_H_

#include <atomic>

#include "http_message.h"
#include "metrics_registry.h"

class ServerMetrics {
 public:
  // The bounds of the request duration histogram, seconds.
  static const std::vector<double>& DurationBounds();

  // Adds the families above to `registry`, which must outlive this.
  explicit ServerMetrics(MetricsRegistry* registry);

  MetricsRegistry* registry() const { return registry_; }

  // A request read whole and handed on for its answer.
  void Began() { in_flight_.fetch_add(1, std::memory_order_relaxed); }
  // An answer sent, or given up on (the client left, the deadline passed),
  // `seconds` after the request's first byte. `began`: the request was
  // counted by Began(). Thread-safe.
  void Answered(AnswerKind kind, int status, double seconds, bool began);
  // A request counted by Began() that ended without an answer (its
  // connection went away first).
  void Abandoned() { in_flight_.fetch_sub(1, std::memory_order_relaxed); }

 private:
  ServerMetrics(const ServerMetrics&) = delete;
  ServerMetrics& operator=(const ServerMetrics&) = delete;

  static constexpr int kKinds = 3;
  static constexpr int kCodes = 600;  // a status of 100 to 599; 0 for any other

  MetricCounter* CodeCounter(int kind, int status);

  MetricsRegistry* const registry_;
  // Made at a kind's first answer with that status.
  std::atomic<MetricCounter*> by_code_[kKinds][kCodes] = {};
  MetricHistogram* duration_[kKinds];
  MetricCounter* refusals_[4];
  std::atomic<long> in_flight_{0};
};

#endif  // HOST_SERVER_METRICS_H_
