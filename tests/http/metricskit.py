"""tvxhost with its metrics listener (--metrics-listen), and the text of
/metrics read back as numbers, for the suites that watch a server run."""

import http.client
import re

import hostkit

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(\{[^}]*\})? (\S+)$')
LABEL = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"')


class MetricsHost(hostkit.Host):
    """A Host started with --metrics-listen on a free loopback port; its
    second start-up line names that port."""

    def __init__(self, site, *extra_args):
        super().__init__(site, "--metrics-listen", "127.0.0.1:0", *extra_args)
        self.metrics_port = None

    def start(self):
        super().start()
        line = self._read_line(hostkit.START_TIMEOUT)
        match = re.search(rb"metrics on http://127\.0\.0\.1:(\d+)/metrics", line)
        if match is None:
            self.kill()
            raise RuntimeError(f"no metrics line: {line!r}\n{self.stderr_text()}")
        self.metrics_port = int(match.group(1))
        return self

    def metrics_request(self, path, method="GET", timeout=hostkit.REQUEST_TIMEOUT):
        """(status, headers, body) of one request to the metrics listener."""
        return metrics_request(self.metrics_port, path, method, timeout)

    def metrics(self):
        """The samples of /metrics (see parse)."""
        status, _, body = self.metrics_request("/metrics")
        if status != 200:
            raise AssertionError(f"/metrics: {status} {body[:300]!r}")
        return parse(body.decode())


def metrics_request(port, path, method="GET", timeout=hostkit.REQUEST_TIMEOUT):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        conn.request(method, path)
        response = conn.getresponse()
        return (response.status, {k.lower(): v for k, v in response.getheaders()},
                response.read())
    finally:
        conn.close()


def parse(text):
    """{(name, frozenset of (label, value)): value} of every sample line."""
    samples = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        match = SAMPLE.match(line)
        if match is None:
            raise AssertionError(f"not a sample line: {line!r}")
        labels = frozenset(LABEL.findall(match.group(2) or ""))
        samples[(match.group(1), labels)] = float(match.group(3))
    return samples


def value(samples, name, **labels):
    """One sample's value; 0 when the series is not there yet (a counter
    made at its first count)."""
    return samples.get((name, frozenset(labels.items())), 0.0)


def series(samples, name):
    """{frozenset of labels: value} of one family."""
    return {labels: v for (n, labels), v in samples.items() if n == name}


def once_counted(host, name, **labels):
    """The host's samples once `name` with `labels` has counted at least one;
    None when it has not within hostkit.wait_for's time. An answer is counted
    once it is sent, a moment after the client has it."""
    samples = {}

    def counted():
        samples.clear()
        samples.update(host.metrics())
        return value(samples, name, **labels) > 0

    return samples if hostkit.wait_for(counted) else None
