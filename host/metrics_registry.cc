#include "metrics_registry.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <stdexcept>

namespace {

const char* TypeName(int type) {
  static const char* const kNames[] = {"counter", "gauge", "histogram"};
  return kNames[type];
}

// HELP text escapes backslashes and line feeds; label values also quotes.
std::string Escape(const std::string& text, bool quotes) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '"' && quotes) {
      out += "\\\"";
    } else {
      out += c;
    }
  }
  return out;
}

std::string Number(double value) {
  if (isnan(value)) return "NaN";
  if (isinf(value)) return value > 0 ? "+Inf" : "-Inf";
  // The shortest text that reads back as the same value: 0.005, not
  // 0.0050000000000000001.
  char text[64];
  if (value == floor(value) && fabs(value) < 1e15) {
    snprintf(text, sizeof text, "%.0f", value);
    return text;
  }
  for (int digits = 1; digits <= 17; ++digits) {
    snprintf(text, sizeof text, "%.*g", digits, value);
    if (strtod(text, nullptr) == value) break;
  }
  return text;
}

std::string Braced(const std::string& labels, const std::string& extra = "") {
  if (labels.empty() && extra.empty()) return "";
  if (labels.empty() || extra.empty()) return "{" + labels + extra + "}";
  return "{" + labels + "," + extra + "}";
}

}  // namespace

std::string MetricLabel(const std::string& name, const std::string& value) {
  return name + "=\"" + Escape(value, true) + "\"";
}

MetricHistogram::MetricHistogram(std::vector<double> bounds)
    : bounds_(std::move(bounds)), buckets_(new std::atomic<uint64_t>[bounds_.size() + 1]) {
  for (size_t i = 0; i <= bounds_.size(); ++i) buckets_[i].store(0);
}

void MetricHistogram::Observe(double seconds) {
  if (!(seconds >= 0)) seconds = 0;  // a clock step back, or NaN
  size_t bucket = static_cast<size_t>(
      std::lower_bound(bounds_.begin(), bounds_.end(), seconds) - bounds_.begin());
  buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  sum_ns_.fetch_add(static_cast<uint64_t>(llround(seconds * 1e9)), std::memory_order_relaxed);
}

MetricHistogram::Snapshot MetricHistogram::Take() const {
  Snapshot snapshot;
  uint64_t running = 0;
  for (size_t i = 0; i <= bounds_.size(); ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    snapshot.cumulative.push_back(running);
  }
  snapshot.sum = static_cast<double>(sum_ns_.load(std::memory_order_relaxed)) / 1e9;
  return snapshot;
}

MetricsRegistry::Series* MetricsRegistry::SeriesLocked(const std::string& name,
                                                       const std::string& help, Type type,
                                                       const std::string& labels, bool* made) {
  Family* family = nullptr;
  for (const auto& f : families_) {
    if (f->name == name) family = f.get();
  }
  if (family == nullptr) {
    families_.push_back(std::unique_ptr<Family>(new Family{name, help, type, {}}));
    family = families_.back().get();
  } else if (family->type != type) {
    throw std::logic_error("metric " + name + " is a " + TypeName(static_cast<int>(family->type)));
  }
  for (const auto& series : family->series) {
    if (series->labels == labels) {
      *made = false;
      return series.get();
    }
  }
  family->series.push_back(std::make_unique<Series>());
  family->series.back()->labels = labels;
  *made = true;
  return family->series.back().get();
}

MetricCounter* MetricsRegistry::Counter(const std::string& name, const std::string& help,
                                        const std::string& labels) {
  std::lock_guard<std::mutex> lock(mu_);
  bool made = false;
  Series* series = SeriesLocked(name, help, Type::kCounter, labels, &made);
  if (made) series->counter = std::make_unique<MetricCounter>();
  return series->counter.get();
}

MetricHistogram* MetricsRegistry::Histogram(const std::string& name, const std::string& help,
                                            const std::string& labels,
                                            const std::vector<double>& bounds) {
  std::lock_guard<std::mutex> lock(mu_);
  bool made = false;
  Series* series = SeriesLocked(name, help, Type::kHistogram, labels, &made);
  if (made) series->histogram = std::make_unique<MetricHistogram>(bounds);
  return series->histogram.get();
}

void MetricsRegistry::Gauge(const std::string& name, const std::string& help,
                            const std::string& labels, std::function<double()> read) {
  std::lock_guard<std::mutex> lock(mu_);
  bool made = false;
  Series* series = SeriesLocked(name, help, Type::kGauge, labels, &made);
  series->gauge = std::move(read);
}

std::string MetricsRegistry::Render() const {
  std::lock_guard<std::mutex> lock(mu_);
  std::string out;
  for (const auto& family : families_) {
    const std::string& name = family->name;
    out += "# HELP " + name + " " + Escape(family->help, false) + "\n";
    out += "# TYPE " + name + " " + TypeName(static_cast<int>(family->type)) + "\n";
    for (const auto& series : family->series) {
      switch (family->type) {
        case Type::kCounter:
          out += name + Braced(series->labels) + " " +
                 std::to_string(series->counter->value()) + "\n";
          break;
        case Type::kGauge:
          out += name + Braced(series->labels) + " " + Number(series->gauge()) + "\n";
          break;
        case Type::kHistogram: {
          const MetricHistogram& histogram = *series->histogram;
          MetricHistogram::Snapshot snapshot = histogram.Take();
          for (size_t i = 0; i < snapshot.cumulative.size(); ++i) {
            double bound = i < histogram.bounds().size() ? histogram.bounds()[i] : INFINITY;
            out += name + "_bucket" + Braced(series->labels, MetricLabel("le", Number(bound))) +
                   " " + std::to_string(snapshot.cumulative[i]) + "\n";
          }
          out += name + "_sum" + Braced(series->labels) + " " + Number(snapshot.sum) + "\n";
          out += name + "_count" + Braced(series->labels) + " " +
                 std::to_string(snapshot.cumulative.back()) + "\n";
          break;
        }
      }
    }
  }
  return out;
}
