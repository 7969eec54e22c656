#include "server_metrics.h"

#include <string>

namespace {

const char* const kKindNames[] = {"refused", "plugin", "static"};
// The refusals counted on their own, by their status.
const int kRefusalCodes[] = {403, 408, 429, 503};

const char kRequestsName[] = "tvxhost_requests_total";
const char kRequestsHelp[] =
    "Requests answered, by what answered them (plugin, static, refused) and status code.";

}  // namespace

const std::vector<double>& ServerMetrics::DurationBounds() {
  static const std::vector<double> bounds = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                                             0.25,  0.5,    1,     2.5,  5,     10};
  return bounds;
}

ServerMetrics::ServerMetrics(MetricsRegistry* registry) : registry_(registry) {
  for (int kind = 0; kind < kKinds; ++kind) {
    duration_[kind] = registry->Histogram(
        "tvxhost_request_duration_seconds",
        "Time from a request's first byte to its answer's last, by what answered it.",
        MetricLabel("kind", kKindNames[kind]), DurationBounds());
  }
  registry->Gauge("tvxhost_requests_in_flight", "Requests read whole and not yet answered.", "",
                  [this] { return static_cast<double>(in_flight_.load()); });
  for (int i = 0; i < 4; ++i) {
    refusals_[i] = registry->Counter(
        "tvxhost_refusals_total",
        "Answers that turned a request away: 403 (denied, forbidden), 408 (too slow), "
        "429 (post flood limit), 503 (workers busy, client's cap on calls, store unavailable).",
        MetricLabel("code", std::to_string(kRefusalCodes[i])));
  }
}

MetricCounter* ServerMetrics::CodeCounter(int kind, int status) {
  int code = status >= 100 && status < kCodes ? status : 0;
  MetricCounter* counter = by_code_[kind][code].load(std::memory_order_acquire);
  if (counter != nullptr) return counter;
  // Two threads may make it at once: the registry gives both the same one.
  counter = registry_->Counter(
      kRequestsName, kRequestsHelp,
      MetricLabel("kind", kKindNames[kind]) + "," +
          MetricLabel("code", code == 0 ? "other" : std::to_string(code)));
  by_code_[kind][code].store(counter, std::memory_order_release);
  return counter;
}

void ServerMetrics::Answered(AnswerKind kind, int status, double seconds, bool began) {
  int index = static_cast<int>(kind);
  CodeCounter(index, status)->Add();
  duration_[index]->Observe(seconds);
  for (int i = 0; i < 4; ++i) {
    if (status == kRefusalCodes[i]) refusals_[i]->Add();
  }
  if (began) in_flight_.fetch_sub(1, std::memory_order_relaxed);
}
