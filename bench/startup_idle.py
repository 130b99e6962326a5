#!/usr/bin/python3
"""Start-up and idle of the window, without perf: /proc CPU times and the X server's own word.

    bench/startup_idle.py [--program PATH] [--anchor PATH] [--before PATH] [--cli PATH]
                          [--runs N] [--idle S] [--only startup|idle|console]

Under a private Xvfb (and a temporary HOME, so no kept list or settings of this machine are
read) it measures:
  - start-up to the main window mapped, with no file and with a 100,000-row address log of
    loopback addresses (127.x.y.z), the median of N runs;
  - the same for the anchor, a plain Qt widgets window with the same kinds of widgets
    (bench/startup_anchor.cpp), and for a "before" build (--before), the starts of all of them
    taken in turn so load from the rest of the machine falls on each alike; the ratios;
  - the window's CPU while it sits with those 100,000 rows and the monitor running, over S
    seconds after it settled (the threads' time on a CPU from /proc/PID/task/*/schedstat, in ns,
    beside utime + stime from /proc/PID/stat in 10 ms ticks; as a share of one core), in a
    network namespace of its own when run as root (a raw ICMP socket sees the whole machine's
    ICMP: other programs' pings would count as this window's work);
  - the console's start-up CPU (`--version` of the window program with --console and of the
    Qt-free console program), from the rusage of the finished child.
A private session bus stands in for the desktop's (without one every Qt window, the anchor's
too, starts dbus-launch). Loopback only: nothing leaves the machine.
"""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
build = os.path.join(here, "..", "build", "default")
TITLE = "Veltrin Ping Utility"
ANCHOR_TITLE = "Qt widgets anchor"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick


def thread_times(pid):
    """Each live thread's time on a CPU in ns (`schedstat`, user and kernel alike) and its name.
    Finer than the 10 ms ticks of `stat`, which at idle come as a handful per run."""
    times = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                ns = int(f.read().split()[0])
            with open("/proc/%d/task/%s/comm" % (pid, tid)) as f:
                name = f.read().strip()
            with open("/proc/%d/task/%s/status" % (pid, tid)) as f:
                wakes = sum(int(line.split()[1]) for line in f if line.startswith("voluntary_ctxt_switches"))
        except (OSError, ValueError, IndexError):
            continue
        times[tid] = (name, ns, wakes)
    return times


def thread_delta(before, after):
    """The time each thread spent between two snapshots (a thread born between them from zero),
    summed by thread name, and how often it went to sleep (each sleep ends in a wake-up)."""
    spent, woken = {}, {}
    for tid, (name, ns, wakes) in after.items():
        was = before.get(tid, (name, 0, 0))
        spent[name] = spent.get(name, 0) + ns - was[1]
        woken[name] = woken.get(name, 0) + wakes - was[2]
    return spent, woken


def mapped(env, pid):
    """Whether the process shows its main window: a viewable window of its own at least 300
    pixels each way. Not by title: the program's small emblem window carries the same title and
    is shown first, and the connectivity check writes its notes into the main window's title."""
    r = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid), "--name", "",
                        "getwindowgeometry", "%@"],
                       env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    for line in r.stdout.decode(errors="replace").splitlines():
        line = line.strip()
        if line.startswith("Geometry:"):
            w, _, h = line.split()[1].partition("x")
            if w.isdigit() and h.isdigit() and int(w) >= 300 and int(h) >= 300:
                return True
    return False


def home_of(env, side):
    """The environment with a home of the side's own: two builds sharing one would each find the
    other's desktop entry (another program path) and write it again at every start."""
    home = os.path.join(env["HOME"], side.replace(" ", "-"))
    own = dict(env)
    own.update({"HOME": home, "XDG_CONFIG_HOME": home + "/config", "XDG_DATA_HOME": home + "/data",
                "XDG_CACHE_HOME": home + "/cache"})
    return own


def start(program, args, env):
    t0 = time.monotonic()
    errors = tempfile.TemporaryFile()
    proc = subprocess.Popen([program] + args, env=env, stdout=subprocess.DEVNULL, stderr=errors)
    while not mapped(env, proc.pid):
        if proc.poll() is not None:
            errors.seek(0)
            raise RuntimeError("%s ended early (status %d): %s" %
                               (program, proc.returncode, errors.read()[-2000:].decode(errors="replace")))
        if time.monotonic() - t0 > 60:
            proc.kill()
            raise RuntimeError("no window after 60 s")
        time.sleep(0.002)
    took = time.monotonic() - t0
    try:
        cpu = cpu_seconds(proc.pid)
    except OSError:
        cpu = 0.0
    return proc, took, cpu


def stop(proc):
    proc.terminate()
    try:
        proc.wait(5)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def child_cpu(args, env):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def medians(times, cpus):
    return statistics.median(times), statistics.median(cpus)


def runs_text(times):
    return ", ".join("%.0f" % (t * 1000) for t in times)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--program", default=os.path.join(build, "src", "app", "veltrin-ping"))
    p.add_argument("--anchor", default=os.path.join(build, "bench", "veltrin-startup-anchor"))
    p.add_argument("--cli", default=os.path.join(build, "src", "cli", "veltrin-ping-cli"))
    p.add_argument("--before", help="another build's window program, measured in the same run")
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--idle", type=int, default=20)
    p.add_argument("--display", default=None,
                   help="X display for the private Xvfb (default: a free one Xvfb picks itself)")
    p.add_argument("--only", choices=("startup", "idle", "console"),
                   help="measure one part only (start-up includes the anchor)")
    p.add_argument("--machine", action="store_true",
                   help="also print the figures as 'key value' lines (for bench/compare.d)")
    a = p.parse_args()
    wanted = lambda part: a.only is None or a.only == part
    say = lambda key, value: print("=%s %s" % (key, value)) if a.machine else None

    work = tempfile.mkdtemp(prefix="veltrin-startup-")
    bus = None
    # A display of our own, away from the low numbers test runs and other benchmarks take: a
    # display another run also uses would take our windows with it when that run ends. No
    # reset when the last client goes: a start that falls into a reset cannot connect.
    if a.display is None:
        free = [n for n in range(300, 1000) if not os.path.exists("/tmp/.X%d-lock" % n)]
        a.display = ":%d" % random.choice(free)
        xvfb = subprocess.Popen(["Xvfb", a.display, "-noreset", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    else:
        xvfb = subprocess.Popen(["Xvfb", a.display, "-noreset", "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        env = dict(os.environ)
        env.update({"DISPLAY": a.display, "HOME": work, "XDG_CONFIG_HOME": work + "/config",
                    "XDG_DATA_HOME": work + "/data", "XDG_CACHE_HOME": work + "/cache",
                    "VELTRIN_PROBEHOST": "127.0.0.1", "QT_QPA_PLATFORM": "xcb"})
        env.pop("WAYLAND_DISPLAY", None)
        # A desktop has a session bus; without one every Qt window (the anchor too) starts
        # dbus-launch to look for a global menu bar, which is not what a user waits for.
        if shutil.which("dbus-daemon"):
            bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                                    "--address=unix:path=" + os.path.join(work, "bus")],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env)
            env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().decode().strip()
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.05)
        spl = os.path.join(work, "rows.spl")
        with open(spl, "wb") as f:
            for i in range(100000):
                f.write(("127.%d.%d.%d_\r\r\n" % (i // 62500 % 250, i // 250 % 250, i % 250 + 1)).encode())

        if wanted("startup"):
            have_anchor = os.access(a.anchor, os.X_OK)
            if not have_anchor:
                print("# no anchor at %s (build the bench targets: -DVELTRIN_BUILD_BENCH=ON)" % a.anchor)
            # Every program's starts in turn (this build, the anchor, a "before" build), so the
            # machine's changing load falls on all of them alike.
            sides = [("this build", a.program, TITLE)]
            if have_anchor:
                sides.append(("Qt widgets anchor", a.anchor, ANCHOR_TITLE))
            if a.before:
                sides.append(("before", a.before, TITLE))
            figures = {}
            for label, args in (("no file", []), ("100,000 rows", [spl])):
                runs = {side: ([], []) for side, _, _ in sides}
                for run in range(a.runs):
                    # Each round in another order: no side always follows the same one.
                    for side, program, title in sides[run % len(sides):] + sides[:run % len(sides)]:
                        if args and title == ANCHOR_TITLE:
                            continue  # the anchor takes no file
                        proc, took, cpu = start(program, args, home_of(env, side))
                        stop(proc)
                        runs[side][0].append(took)
                        runs[side][1].append(cpu)
                for side, (times, cpus) in runs.items():
                    if not times:
                        continue
                    figures[(side, label)] = medians(times, cpus)
                    print("start-up to mapped, %s, %s: %.0f ms, CPU %.0f ms (medians of %d: %s)" %
                          (label, side, figures[(side, label)][0] * 1000, figures[(side, label)][1] * 1000,
                           a.runs, runs_text(times)))
            for side, _, title in sides:
                if title == ANCHOR_TITLE:
                    continue
                empty, full = figures[(side, "no file")], figures[(side, "100,000 rows")]
                print("100,000 rows add, %s: %.0f ms, CPU %.0f ms" %
                      (side, (full[0] - empty[0]) * 1000, (full[1] - empty[1]) * 1000))
                if have_anchor:
                    anchor = figures[("Qt widgets anchor", "no file")]
                    print("empty start-up / anchor, %s: wall %.2f, CPU %.2f" %
                          (side, empty[0] / anchor[0], empty[1] / anchor[1] if anchor[1] > 0 else float("nan")))
            empty, full = figures[("this build", "no file")], figures[("this build", "100,000 rows")]
            say("empty_ms", "%.0f" % (empty[0] * 1000))
            say("empty_cpu_ms", "%.0f" % (empty[1] * 1000))
            if have_anchor:
                anchor = figures[("Qt widgets anchor", "no file")]
                say("anchor_ms", "%.0f" % (anchor[0] * 1000))
                say("anchor_cpu_ms", "%.0f" % (anchor[1] * 1000))
            say("rows_ms", "%.0f" % (full[0] * 1000))
            say("rows_cpu_ms", "%.0f" % (full[1] * 1000))
            say("rows_add_ms", "%.0f" % ((full[0] - empty[0]) * 1000))
            say("rows_add_cpu_ms", "%.0f" % ((full[1] - empty[1]) * 1000))

        if wanted("idle"):
            # As root the monitor reads a raw ICMP socket, which sees every ICMP datagram of
            # the machine: other programs' pings would be counted as this window's idle work.
            # A network namespace of its own (loopback only) keeps them out.
            isolated = os.geteuid() == 0 and shutil.which("unshare") and shutil.which("ip")
            for side, program in [("this build", a.program)] + ([("before", a.before)] if a.before else []):
                args = [spl]
                if isolated:
                    program, args = "unshare", ["--net", "--", "sh", "-c", 'ip link set lo up && exec "$0" "$@"',
                                                program, spl]
                proc, _, _ = start(program, args, home_of(env, side))
                time.sleep(5)  # settled: the list painted, the monitor running
                c0, s0, t0 = cpu_seconds(proc.pid), thread_times(proc.pid), time.monotonic()
                time.sleep(a.idle)
                c1, s1, t1 = cpu_seconds(proc.pid), thread_times(proc.pid), time.monotonic()
                stop(proc)
                ticks = (c1 - c0) / (t1 - t0) * 100
                spent, woken = thread_delta(s0, s1)
                idle = sum(spent.values()) / 1e9 / (t1 - t0) * 100
                busiest = sorted(spent.items(), key=lambda kv: -kv[1])[:4]
                print("idle CPU with 100,000 rows, monitor running, %s: %.2f %% of one core over %d s%s"
                      " (threads' schedstat; %.2f %% in 10 ms ticks), %.0f wake-ups a second;"
                      " busiest threads: %s" %
                      (side, idle, a.idle, " (own network namespace)" if isolated else "", ticks,
                       sum(woken.values()) / (t1 - t0),
                       ", ".join("%s %.0f ms, %d wakes" % (name, ns / 1e6, woken[name]) for name, ns in busiest)))
                if side == "this build":
                    say("idle_pct", "%.2f" % idle)

        if wanted("console"):
            for label, args in (("veltrin-ping --console --version", [a.program, "--console", "--version"]),
                                ("veltrin-ping-cli --version", [a.cli, "--version"])):
                if not os.access(args[0], os.X_OK):
                    continue
                runs = [child_cpu(args, env) for _ in range(a.runs)]
                print("console start-up CPU, %s: %.1f ms (median of %d)" % (label, statistics.median(runs) * 1000, a.runs))
    finally:
        if bus is not None:
            bus.terminate()
            bus.wait()
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
