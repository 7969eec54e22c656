#include "metrics_page.h"

namespace {

void Text(int status, const std::string& text, HttpAnswer* answer) {
  answer->status = status;
  answer->body = text;
  answer->headers.Set("Content-Type", "text/plain; charset=utf-8");
  answer->headers.Set("Cache-Control", "no-store");
}

}  // namespace

void MetricsPage::Serve(const HttpRequest& request, HttpAnswer* answer) const {
  if (request.method != "GET" && request.method != "HEAD") {
    answer->Refuse(405);
    answer->headers.Set("Allow", "GET, HEAD");
    return;
  }
  if (request.path == "/metrics") {
    Text(200, sources_.registry->Render(), answer);
    // The version of the text format tells a scraper how to read it.
    answer->headers.Set("Content-Type", "text/plain; version=0.0.4; charset=utf-8");
    return;
  }
  if (request.path == "/healthz") {
    if (sources_.alive()) {
      Text(200, "ok\n", answer);
    } else {
      Text(503, "not serving: the event loops do not answer\n", answer);
    }
    return;
  }
  if (request.path == "/readyz") {
    std::string why;
    if (!sources_.serving(&why)) {
      Text(503, "not ready: " + why + "\n", answer);
    } else if (!sources_.store_ready(&why)) {
      Text(503, "not ready: the store " + why + "\n", answer);
    } else {
      Text(200, "ready\n", answer);
    }
    return;
  }
  answer->Refuse(404);
}
