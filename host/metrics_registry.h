// The numbers tvxhost keeps about itself for /metrics: counters, gauges and
// histograms, each a series of a named family with its labels, and their
// text in the Prometheus text format (version 0.0.4). Counting is a relaxed
// atomic add, so the request path never waits for a lock; only making a
// series and writing the text take the registry's lock.
#ifndef HOST_METRICS_REGISTRY_H_
#define HOST_METRICS_REGISTRY_H_

#include <stdint.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A count that only goes up. Thread-safe.
class MetricCounter {
 public:
  void Add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// Durations counted in buckets by their upper bounds in seconds (each
// observation in the first bucket whose bound it does not pass, or in the
// last, +Inf), with their sum. Thread-safe.
class MetricHistogram {
 public:
  // REQUIRES: `bounds` ascending.
  explicit MetricHistogram(std::vector<double> bounds);

  void Observe(double seconds);

  // What the histogram held at one moment: the count of each bound and
  // every bound below it (the last one is +Inf, so it is the total count),
  // and the sum in seconds.
  struct Snapshot {
    std::vector<uint64_t> cumulative;
    double sum = 0;
  };
  Snapshot Take() const;
  const std::vector<double>& bounds() const { return bounds_; }

 private:
  const std::vector<double> bounds_;
  std::unique_ptr<std::atomic<uint64_t>[]> buckets_;  // bounds_.size() + 1
  std::atomic<uint64_t> sum_ns_{0};
};

// The families and their series. A series is made once and lives as long as
// the registry; asking again for the same name and labels gives the same one.
class MetricsRegistry {
 public:
  MetricsRegistry() = default;

  // The series of family `name` (a counter family; its HELP text `help`) with
  // `labels` as written between the braces (`kind="plugin",code="200"`, see
  // MetricLabel; empty for none). Throws std::logic_error when `name` is a
  // family of another type.
  MetricCounter* Counter(const std::string& name, const std::string& help,
                         const std::string& labels = "");
  MetricHistogram* Histogram(const std::string& name, const std::string& help,
                             const std::string& labels, const std::vector<double>& bounds);
  // A gauge whose value `read` gives each time the text is written; `read`
  // must stay callable for the registry's life, from any thread.
  void Gauge(const std::string& name, const std::string& help, const std::string& labels,
             std::function<double()> read);

  // Every family in the order it was first asked for, each series in the
  // order it was made: "# HELP", "# TYPE", then the samples.
  std::string Render() const;

 private:
  MetricsRegistry(const MetricsRegistry&) = delete;
  MetricsRegistry& operator=(const MetricsRegistry&) = delete;

  enum class Type { kCounter, kGauge, kHistogram };
  struct Series {
    std::string labels;
    std::unique_ptr<MetricCounter> counter;
    std::unique_ptr<MetricHistogram> histogram;
    std::function<double()> gauge;
  };
  struct Family {
    std::string name;
    std::string help;
    Type type;
    std::vector<std::unique_ptr<Series>> series;
  };

  // The series (made when new) of a family of `type`. REQUIRES: mu_ held.
  Series* SeriesLocked(const std::string& name, const std::string& help, Type type,
                       const std::string& labels, bool* made);

  mutable std::mutex mu_;
  std::vector<std::unique_ptr<Family>> families_;  // guarded by mu_
};

// One label as the text format writes it: name="value", with backslashes,
// double quotes and line feeds in the value escaped.
std::string MetricLabel(const std::string& name, const std::string& value);

#endif  // HOST_METRICS_REGISTRY_H_
