// What the metrics listener (--metrics-listen) answers, GET or HEAD only:
//   /metrics   every metric in the Prometheus text format (version 0.0.4)
//   /healthz   200 "ok" while the server's event loops answer, else 503
//   /readyz    200 "ready" when, besides, the server is not stopping or
//              handing over and the store answers; else 503 with the reason
// Any other path is 404, any other method 405.
#ifndef HOST_METRICS_PAGE_H_
#define HOST_METRICS_PAGE_H_

#include <functional>
#include <string>

#include "http_message.h"
#include "metrics_registry.h"

class MetricsPage {
 public:
  struct Sources {
    const MetricsRegistry* registry = nullptr;
    // True while the server serves: its loops run and answer, and it is not
    // stopping or handing over. `why` receives what it is doing instead.
    std::function<bool(std::string* why)> serving;
    // True while its loops run and answer, also while it stops.
    std::function<bool()> alive;
    // True when the store answers (StoreReadiness::Check).
    std::function<bool(std::string* reason)> store_ready;
  };

  explicit MetricsPage(Sources sources) : sources_(std::move(sources)) {}

  // Answers one request. Thread-safe as the sources are.
  void Serve(const HttpRequest& request, HttpAnswer* answer) const;

 private:
  const Sources sources_;
};

#endif  // HOST_METRICS_PAGE_H_
