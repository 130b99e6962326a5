#!/usr/bin/python3
"""The console's CPU with 100,000 rows at the default pace, without perf.

    bench/console_idle.py [--program PATH] [--before PATH] [--runs N] [--idle S]

Runs the Qt-free console (text format to a pipe: a progress line a second) on a plain list of
100,000 loopback addresses (127.x.y.z), lets it settle and reads its threads' time on a CPU
(/proc/PID/task/*/schedstat, ns) over S seconds: the whole process as a share of one core and
the console thread alone. With --before, another build runs in turn in the same invocation,
in alternating order. As root each run gets a network namespace of its own with only its
loopback, so the machine's other ICMP does not reach its raw socket. Loopback only: nothing
leaves the machine; every run ends by itself (`--seconds`) or is killed after its window.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
build = os.path.join(here, "..", "build", "default")


def cpu_ns(pid):
    total = main = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                ns = int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            continue
        total += ns
        if int(tid) == pid:
            main = ns
    return total, main


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--program", default=os.path.join(build, "src", "cli", "veltrin-ping-cli"))
    p.add_argument("--before", help="another build's console program, measured in the same run")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--idle", type=int, default=20)
    a = p.parse_args()

    work = tempfile.mkdtemp(prefix="veltrin-console-idle-")
    try:
        rows = os.path.join(work, "rows.txt")
        with open(rows, "w") as f:
            for n in range(100000):
                f.write("127.%d.%d.%d\n" % (n // 64516, n // 254 % 254, n % 254 + 1))
        env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=work + "/config", XDG_DATA_HOME=work + "/data")
        isolated = os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip")
        sides = [("this build", a.program)] + ([("before", a.before)] if a.before else [])
        results = {side: [] for side, _ in sides}
        settle = 8
        for run in range(a.runs):
            for side, program in (sides if run % 2 == 0 else sides[::-1]):
                args = [program, rows, "--seconds", str(settle + a.idle + 10)]
                if isolated:
                    args = ["unshare", "--net", "--", "sh", "-c", 'ip link set lo up && exec "$0" "$@"'] + args
                proc = subprocess.Popen(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                try:
                    time.sleep(settle)  # the list read, the monitor running
                    if proc.poll() is not None:
                        raise RuntimeError("%s ended early (status %d)" % (program, proc.returncode))
                    (c0, m0), t0 = cpu_ns(proc.pid), time.monotonic()
                    time.sleep(a.idle)
                    (c1, m1), t1 = cpu_ns(proc.pid), time.monotonic()
                finally:
                    proc.kill()
                    proc.wait()
                results[side].append(((c1 - c0) / 1e9 / (t1 - t0) * 100, (m1 - m0) / 1e6))
        for side, values in results.items():
            print("console with 100,000 rows, default pace, %s: %.2f %% of one core, console thread %.1f ms"
                  " in %d s (medians of %d; whole: %s)%s" %
                  (side, statistics.median(v[0] for v in values), statistics.median(v[1] for v in values), a.idle,
                   len(values), ", ".join("%.2f" % v[0] for v in values),
                   " (own network namespace)" if isolated else ""))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
