"""Posters for the posting benches: wrk's keep-alive connections sending the
board's form (a post of about 500 bytes) again and again, spread over one or
more tvxhost processes. wrk costs a few microseconds of processor time a
post, so that on a small machine the posters leave the processors to what
is measured, as visitors on machines of their own would.

The hosts must run with the flood limit and the cap on one client's calls
off (hostkit.UNLIMITED_POSTS, hostkit.UNCAPPED_CALLS): every poster comes
from 127.0.0.1.
"""

import os
import re
import resource
import subprocess
import sys
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "http"))
import hostkit  # noqa: E402

TICKS = os.sysconf("SC_CLK_TCK")

# wrk sends the form; every answer but the redirect is counted apart.
SCRIPT = """
wrk.method = "POST"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
wrk.body = "%s"
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) others = 0 end
function response(status, headers, body)
  if status ~= 302 then others = others + 1 end
end
function done(summary, latency, requests)
  local total = 0
  for _, thread in ipairs(threads) do total = total + thread:get("others") end
  io.write(string.format("answers %%d other %%d errors %%d\\n", summary.requests, total,
                         summary.errors.connect + summary.errors.read + summary.errors.write
                         + summary.errors.status + summary.errors.timeout))
end
"""


def post_body():
    """The board's form with a post of about 500 bytes."""
    text = "A line of the post's text, about fifty bytes long.\r\n" * 9
    return urllib.parse.urlencode([("name", "Bench Poster"), ("email", "poster@example.org"),
                                   ("subject", "bench post"), ("body", text),
                                   ("postitem", "1")])


def write_script(folder):
    """The wrk script that posts, written into `folder`; its path."""
    path = os.path.join(folder, "post.lua")
    with open(path, "w") as f:
        f.write(SCRIPT % post_body())
    return path


def cpu_seconds(pid):
    """Processor time (user + system) a process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


class Run:
    """One run of `posters` connections spread over `hosts` (one wrk each, all
    at once): posts a second, posts answered, and the processor time of wrk
    and of the hosts per post. A run with any answer but the board's
    redirect has a rate of 0."""

    def __init__(self, hosts, script, posters, seconds, name="posting"):
        self.connections = posters
        shares = [posters // len(hosts) + (1 if n < posters % len(hosts) else 0)
                  for n in range(len(hosts))]
        busy = [(host, share) for host, share in zip(hosts, shares) if share > 0]
        before = [cpu_seconds(host.process.pid) for host, _ in busy]
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        runs = [subprocess.Popen(["wrk", f"-t{min(share, 2)}", f"-c{share}", f"-d{seconds}s",
                                  "--timeout", "10s", "-s", script,
                                  f"http://127.0.0.1:{host.port}{hostkit.BOARD}"],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                for host, share in busy]
        outputs = [run.communicate()[0].decode(errors="replace") for run in runs]
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        self.host_cpu = sum(cpu_seconds(host.process.pid) - used
                            for (host, _), used in zip(busy, before))
        self.wrk_cpu = (after.ru_utime - children.ru_utime) + (after.ru_stime - children.ru_stime)
        self.text = "\n".join(outputs)
        self.posts = 0
        self.rate = 0.0
        ok = True
        for run, text in zip(runs, outputs):
            rate = re.search(r"^Requests/sec:\s+([\d.]+)", text, re.M)
            counts = re.search(r"^answers (\d+) other (\d+) errors (\d+)", text, re.M)
            self.posts += int(counts.group(1)) if counts else 0
            ok = ok and rate is not None and counts is not None and counts.group(2) == "0" \
                and counts.group(3) == "0" and run.returncode == 0
            self.rate += float(rate.group(1)) if rate else 0.0
        if not ok:
            self.rate = 0.0
            print(f"{name}: a run of {posters} posters failed:\n{self.text}", file=sys.stderr)


def harness_note(runs, posters):
    """What wrk and the hosts spent per post in the runs (count, Run) of
    `posters`."""
    posts = sum(run.posts for count, run in runs if count == posters)
    if posts == 0:
        return "no posts"
    wrk_us = sum(run.wrk_cpu for count, run in runs if count == posters) * 1e6 / posts
    host_us = sum(run.host_cpu for count, run in runs if count == posters) * 1e6 / posts
    return f"wrk {wrk_us:.0f} us, tvxhost {host_us:.0f} us of processor time a post"


def rate_row(figure, many, one, what, target):
    """The table's row (figure, measured, baseline, ratio, target, met) for `many`
    posts a second against `one`, `what` naming the baseline; a target of 0 makes
    a row for reference."""
    ok = many > 0 and one > 0
    ratio = many / one if ok else 0
    return [figure, "%.0f posts/s" % many if many > 0 else "failed",
            "%.0f posts/s (%s)" % (one, what) if one > 0 else "failed",
            "%.2fx" % ratio if ok else "-", ">= %.2fx" % target if target else "-",
            ("yes" if ok and ratio >= target else "no") if target else "-"]
