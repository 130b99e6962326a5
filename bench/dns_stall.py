#!/usr/bin/python3
"""The console beside a name server that never answers: how long its loop stands still, how far
it overruns --seconds and how long it takes to end after SIGTERM, each against the same list
without the silent names, run in the same invocation.

    bench/dns_stall.py [--cli PATH] [--tool PATH] [--seconds S] [--names N] [--rows R]
                       [--pace sweep|interval] [--repeat K] [--table]

Runs veltrin-ping-cli under veltrin-silentdns (network and mount namespaces of its own; the
machine's resolver files are never touched) with R loopback rows (the heartbeat), one name from
the namespace's hosts file and N names that never resolve; then the same without the N names.

The heartbeat: with --pace sweep (the default) every row is pinged every 100 ms (`--sweep 1`),
so with a few hundred rows a reply is due every fraction of a millisecond and the console prints
steadily. Its receiver hands replies to the loop in bunches at most once per 50 ms, so the
longest gap between two bursts of output has about that as its floor even without DNS: the run
without the silent names shows that floor on this machine at this load, and the difference is
what the silent name server adds. --pace interval is the ordinary pace (an echo every 100 ms,
nearly all to the loopback rows), for builds without the sweep pace; it cannot see a stall
shorter than about 0.25 s.

Prints, for both lists: the longest gap between loopback replies (after the first; a loop held
up at the end counts until the run was due to end), the time from the end of --seconds to the
program's exit (counted from its launch, so its start-up is in it, the same in both lists), and,
in runs ended by SIGTERM after a few seconds, the time from the signal to its exit. Each figure
is the median of K runs of each list (the lists take turns), since one run of a shared machine
can catch a pause of its own. --table prints them as
"key value" lines in milliseconds for bench/compare.d/50-dnsstall.sh. Needs root.
"""
import argparse
import os
import select
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
build = os.path.join(here, "..", "build", "default")


def timed_run(args, seconds):
    """Runs args to their end; returns (first reply, longest gap, seconds late), from the start."""
    start = time.monotonic()
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    last = None
    longest = 0.0
    first = None
    buf = b""
    fd = proc.stdout.fileno()
    while True:
        r, _, _ = select.select([fd], [], [], 1.0)
        if not r:
            if proc.poll() is not None:
                break
            continue
        chunk = os.read(fd, 1 << 20)
        if not chunk:
            break
        now = time.monotonic() - start
        buf += chunk
        lines = buf.split(b"\n")
        buf = lines.pop()
        for line in lines:
            if b'"event":"reply"' in line and b'"address":"127.0.1.' in line:
                if last is not None:
                    longest = max(longest, now - last)
                if first is None:
                    first = now
                last = now
                break  # one burst: the rest of this read came at the same moment
    proc.wait()
    ended = time.monotonic() - start
    # A loop held up at the end shows no reply after the last one: the pause runs until the run
    # was due to end (or ended, if sooner).
    if last is not None:
        longest = max(longest, min(ended, seconds) - last)
    return first, longest, ended - seconds


def signal_run(args, after):
    """Runs args, sends SIGTERM after `after` seconds; returns seconds from the signal to exit."""
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(after)
    t0 = time.monotonic()
    proc.terminate()
    try:
        proc.wait(300)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    return time.monotonic() - t0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", default=os.path.join(build, "src", "cli", "veltrin-ping-cli"))
    p.add_argument("--tool", default=os.path.join(build, "tests", "tools", "veltrin-silentdns"))
    p.add_argument("--seconds", type=int, default=10)
    p.add_argument("--names", type=int, default=20)
    p.add_argument("--rows", type=int, default=200, help="loopback rows (the heartbeat), at most 250")
    p.add_argument("--pace", choices=("sweep", "interval"), default="sweep")
    p.add_argument("--term-after", type=float, default=5.0, help="seconds before SIGTERM")
    p.add_argument("--repeat", type=int, default=3, help="runs of each list (medians)")
    p.add_argument("--table", action="store_true")
    a = p.parse_args()
    if not 1 <= a.rows <= 250:
        p.error("--rows must be 1..250")
    for f in (a.cli, a.tool):
        if not os.access(f, os.X_OK):
            print("dns_stall.py: %s is not built" % f, file=sys.stderr)
            return 2

    with tempfile.TemporaryDirectory() as d:
        hosts = os.path.join(d, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n127.0.0.5 named-host\n")
        names = ["silent-%d.veltrin-test" % i for i in range(1, a.names + 1)]
        loopback = ["127.0.1.%d" % i for i in range(1, a.rows + 1)]
        pace = ["--sweep", "1"] if a.pace == "sweep" else ["--interval", "1"]
        base = [a.tool, "--hosts", hosts, "--", a.cli, "--format", "json"] + pace
        lists = {"with": ["named-host"] + loopback + names, "without": ["named-host"] + loopback}
        runs = {"with": [], "without": []}
        for k in range(max(1, a.repeat)):
            for which in (("without", "with") if k % 2 == 0 else ("with", "without")):
                first, longest, late = timed_run(base + ["--seconds", str(a.seconds)] + lists[which], a.seconds)
                term = signal_run(base + lists[which], a.term_after)
                runs[which].append({"first": first, "stall": longest, "late": late, "term": term})

    def median(values):
        values = sorted(v for v in values if v is not None)
        return statistics.median(values) if values else None

    got = {which: {key: median(r[key] for r in runs[which]) for key in ("first", "stall", "late", "term")}
           for which in runs}

    def ms(v):
        return "-" if v is None else "%.1f" % (v * 1000)

    if a.table:
        for which in ("with", "without"):
            for key in ("stall", "late", "term", "first"):
                print("%s_%s %s" % (key, which, ms(got[which][key])))
        return 0
    print("%d loopback rows (%s), one hosts-file name, --seconds %d; %d names that never resolve or none;"
          " medians of %d runs" % (a.rows, " ".join(pace), a.seconds, a.names, max(1, a.repeat)))
    print("%-44s %12s %12s %12s" % ("", "silent names", "none", "difference"))
    for key, label in (("stall", "longest pause between loopback replies"),
                       ("late", "end after --seconds (includes start-up)"),
                       ("term", "end after SIGTERM"),
                       ("first", "first loopback reply after start")):
        w, wo = got["with"][key], got["without"][key]
        diff = None if w is None or wo is None else w - wo
        print("%-44s %9s ms %9s ms %9s ms" % (label, ms(w), ms(wo), ms(diff)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
