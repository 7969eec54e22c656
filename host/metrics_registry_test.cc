// The text /metrics serves, the request counts behind it, and the pages of
// the metrics listener.
#include "metrics_registry.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "metrics_page.h"
#include "server_metrics.h"

namespace {

bool Has(const std::string& text, const std::string& line) {
  return text.find(line + "\n") != std::string::npos;
}

TEST(MetricsRegistryTest, FamiliesAreWrittenOnceWithTheirSeriesInOrder) {
  MetricsRegistry registry;
  MetricCounter* a = registry.Counter("t_total", "Things.", MetricLabel("kind", "a"));
  MetricCounter* b = registry.Counter("t_total", "Things.", MetricLabel("kind", "b"));
  EXPECT_EQ(a, registry.Counter("t_total", "Things.", MetricLabel("kind", "a")));
  EXPECT_NE(a, b);
  a->Add(3);
  b->Add();
  double level = 2.5;
  registry.Gauge("t_level", "A level.", "", [&level] { return level; });
  level = 7;
  EXPECT_EQ("# HELP t_total Things.\n# TYPE t_total counter\n"
            "t_total{kind=\"a\"} 3\nt_total{kind=\"b\"} 1\n"
            "# HELP t_level A level.\n# TYPE t_level gauge\nt_level 7\n",
            registry.Render());
  EXPECT_THROW(registry.Gauge("t_total", "Things.", "", [] { return 0.0; }), std::logic_error);
}

TEST(MetricsRegistryTest, LabelValuesAndHelpAreEscaped) {
  struct Case {
    const char* value;
    const char* written;
  } cases[] = {
      {"plain", "k=\"plain\""},
      {"a\"b", "k=\"a\\\"b\""},
      {"back\\slash", "k=\"back\\\\slash\""},
      {"two\nlines", "k=\"two\\nlines\""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.written, MetricLabel("k", c.value)) << c.value;
  MetricsRegistry registry;
  registry.Counter("h_total", "One\\two\nthree");
  EXPECT_TRUE(Has(registry.Render(), "# HELP h_total One\\\\two\\nthree"));
}

TEST(MetricsRegistryTest, HistogramBucketsAreCumulativeWithTheirSumAndCount) {
  MetricsRegistry registry;
  MetricHistogram* h = registry.Histogram("d_seconds", "Time.", MetricLabel("kind", "x"),
                                          {0.005, 0.1, 10});
  for (double seconds : {0.001, 0.005, 0.05, 0.2, 30.0}) h->Observe(seconds);
  h->Observe(-1);  // a clock that stepped back counts as no time
  std::string text = registry.Render();
  // A value on a bound belongs to that bound's bucket.
  EXPECT_TRUE(Has(text, "d_seconds_bucket{kind=\"x\",le=\"0.005\"} 3")) << text;
  EXPECT_TRUE(Has(text, "d_seconds_bucket{kind=\"x\",le=\"0.1\"} 4")) << text;
  EXPECT_TRUE(Has(text, "d_seconds_bucket{kind=\"x\",le=\"10\"} 5")) << text;
  EXPECT_TRUE(Has(text, "d_seconds_bucket{kind=\"x\",le=\"+Inf\"} 6")) << text;
  EXPECT_TRUE(Has(text, "d_seconds_sum{kind=\"x\"} 30.256")) << text;
  EXPECT_TRUE(Has(text, "d_seconds_count{kind=\"x\"} 6")) << text;
}

TEST(MetricsRegistryTest, CountsFromManyThreadsAreAllKept) {
  MetricsRegistry registry;
  MetricCounter* counter = registry.Counter("c_total", "C.");
  MetricHistogram* histogram = registry.Histogram("c_seconds", "C.", "", {1});
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10000; ++i) {
        counter->Add();
        histogram->Observe(0.5);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(40000u, counter->value());
  EXPECT_EQ(40000u, histogram->Take().cumulative.back());
  EXPECT_DOUBLE_EQ(20000.0, histogram->Take().sum);
}

TEST(ServerMetricsTest, AnswersAreCountedByKindCodeAndRefusal) {
  MetricsRegistry registry;
  ServerMetrics metrics(&registry);
  struct Case {
    AnswerKind kind;
    int status;
  } answers[] = {{AnswerKind::kPlugin, 200}, {AnswerKind::kPlugin, 200},
                 {AnswerKind::kPlugin, 503}, {AnswerKind::kStatic, 404},
                 {AnswerKind::kRefused, 429}, {AnswerKind::kRefused, 403},
                 {AnswerKind::kRefused, 408}, {AnswerKind::kRefused, 999}};
  for (const Case& c : answers) {
    metrics.Began();
    metrics.Answered(c.kind, c.status, 0.01, true);
  }
  metrics.Began();  // one still waiting for its answer
  metrics.Answered(AnswerKind::kRefused, 400, 0, false);  // refused before it was whole
  std::string text = registry.Render();
  for (const char* line : {
           "tvxhost_requests_total{kind=\"plugin\",code=\"200\"} 2",
           "tvxhost_requests_total{kind=\"plugin\",code=\"503\"} 1",
           "tvxhost_requests_total{kind=\"static\",code=\"404\"} 1",
           "tvxhost_requests_total{kind=\"refused\",code=\"429\"} 1",
           "tvxhost_requests_total{kind=\"refused\",code=\"other\"} 1",
           "tvxhost_requests_total{kind=\"refused\",code=\"400\"} 1",
           "tvxhost_refusals_total{code=\"403\"} 1",
           "tvxhost_refusals_total{code=\"408\"} 1",
           "tvxhost_refusals_total{code=\"429\"} 1",
           "tvxhost_refusals_total{code=\"503\"} 1",
           "tvxhost_request_duration_seconds_count{kind=\"plugin\"} 3",
           "tvxhost_request_duration_seconds_count{kind=\"refused\"} 5",
           "tvxhost_requests_in_flight 1",
       }) {
    EXPECT_TRUE(Has(text, line)) << line << "\n" << text;
  }
  metrics.Abandoned();
  EXPECT_TRUE(Has(registry.Render(), "tvxhost_requests_in_flight 0"));
}

// The pages of the listener, each in the states it tells apart.
TEST(MetricsPageTest, EachPathAnswersAsTheServerAndStoreStand) {
  MetricsRegistry registry;
  registry.Counter("x_total", "X.")->Add(5);
  bool alive = true, serving = true, store = true;
  MetricsPage::Sources sources;
  sources.registry = &registry;
  sources.alive = [&] { return alive; };
  sources.serving = [&](std::string* why) {
    *why = "handing over";
    return serving;
  };
  sources.store_ready = [&](std::string* reason) {
    *reason = "unreachable, error 21";
    return store;
  };
  MetricsPage page(sources);
  struct Case {
    const char* method;
    const char* path;
    bool alive, serving, store;
    int status;
    const char* body_contains;
  } cases[] = {
      {"GET", "/metrics", true, true, true, 200, "x_total 5\n"},
      {"GET", "/metrics", false, false, false, 200, "x_total 5\n"},
      {"GET", "/healthz", true, false, false, 200, "ok"},
      {"GET", "/healthz", false, false, true, 503, "not serving"},
      {"HEAD", "/readyz", true, true, true, 200, "ready"},
      {"GET", "/readyz", true, true, false, 503, "the store unreachable, error 21"},
      {"GET", "/readyz", true, false, true, 503, "handing over"},
      {"GET", "/other", true, true, true, 404, ""},
      {"POST", "/metrics", true, true, true, 405, ""},
  };
  for (const Case& c : cases) {
    alive = c.alive;
    serving = c.serving;
    store = c.store;
    HttpRequest request;
    request.method = c.method;
    request.path = c.path;
    HttpAnswer answer;
    page.Serve(request, &answer);
    EXPECT_EQ(c.status, answer.status) << c.method << " " << c.path;
    EXPECT_NE(std::string::npos, answer.body.find(c.body_contains)) << c.path << ": " << answer.body;
  }
  HttpRequest request;
  request.method = "GET";
  request.path = "/metrics";
  HttpAnswer answer;
  page.Serve(request, &answer);
  EXPECT_EQ("text/plain; version=0.0.4; charset=utf-8", answer.headers.Get("Content-Type"));
}

}  // namespace
