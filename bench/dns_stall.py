#!/usr/bin/python3
"""The console beside a name server that never answers: how long its loop stands still and how
far it overruns --seconds.

    bench/dns_stall.py [--cli PATH] [--tool PATH] [--seconds S] [--names N]

Runs veltrin-ping-cli under veltrin-silentdns (network and mount namespaces of its own; the
machine's resolver files are never touched) with 200 loopback rows (an echo every 100 ms, nearly
all to them: the heartbeat), one name from the namespace's hosts file and N names that never
resolve. Prints the longest pause between two loopback replies (the loop held up; about 0.1 to
0.3 s is the pace itself), the time from the end of --seconds to the program's exit (this
includes its start-up), and, in a second run, from SIGTERM to its exit. Needs root.
"""
import argparse
import os
import select
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
build = os.path.join(here, "..", "build", "default")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", default=os.path.join(build, "src", "cli", "veltrin-ping-cli"))
    p.add_argument("--tool", default=os.path.join(build, "tests", "tools", "veltrin-silentdns"))
    p.add_argument("--seconds", type=int, default=30)
    p.add_argument("--names", type=int, default=20)
    a = p.parse_args()

    with tempfile.TemporaryDirectory() as d:
        hosts = os.path.join(d, "hosts")
        with open(hosts, "w") as f:
            f.write("127.0.0.1 localhost\n127.0.0.5 named-host\n")
        names = ["silent-%d.veltrin-test" % i for i in range(1, a.names + 1)]
        # The heartbeat: 200 loopback rows, so nearly every pick is one and answers at once.
        loopback = ["127.0.1.%d" % i for i in range(1, 201)]
        args = [a.tool, "--hosts", hosts, "--", a.cli, "--format", "json", "--interval", "1",
                "--seconds", str(a.seconds), "named-host"] + loopback + names
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
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            now = time.monotonic() - start
            buf += chunk
            while b"\n" in buf:
                line, buf = buf.split(b"\n", 1)
                if b'"event":"reply"' in line and b'"address":"127.0.1.' in line:
                    if last is not None:
                        longest = max(longest, now - last)
                    if first is None:
                        first = now
                    last = now
        proc.wait()
        ended = time.monotonic() - start
        # A loop held up at the end shows no reply after the last one: the pause runs until the
        # run was due to end (or ended, if sooner).
        if last is not None:
            longest = max(longest, min(ended, a.seconds) - last)
        # The same list without --seconds, ended by SIGTERM after 5 s: how long until it exits.
        args = [x for x in args]
        k = args.index("--seconds")
        del args[k:k + 2]
        proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(5)
        t0 = time.monotonic()
        proc.terminate()
        try:
            proc.wait(300)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        aftersignal = time.monotonic() - t0
    print("names that never resolve: %d, --seconds %d" % (a.names, a.seconds))
    print("exit %.3f s after SIGTERM" % aftersignal)
    print("first reply of a loopback row after: %s s" % ("%.3f" % first if first is not None else "never"))
    print("longest pause between loopback replies: %.3f s" % longest)
    print("ended %.3f s after start, %.3f s after --seconds" % (ended, ended - a.seconds))
    return 0


if __name__ == "__main__":
    sys.exit(main())
