#!/usr/bin/python3
"""Start-up and idle of the window, without perf: /proc CPU times and the X server's own word.

    bench/startup_idle.py [--program PATH] [--cli PATH] [--runs N] [--idle S]

Under a private Xvfb (and a temporary HOME, so no kept list or settings of this machine are
read) it measures:
  - start-up to the main window mapped, with no file and with a 100,000-row address log of
    loopback addresses (127.x.y.z), the median of N runs;
  - the window's CPU while it sits with those 100,000 rows and the monitor running, over S
    seconds after it settled (utime + stime from /proc/PID/stat, as a share of one core);
  - the console's start-up CPU (`--version` of the window program with --console and of the
    Qt-free console program), from the rusage of the finished child.
Loopback only: nothing leaves the machine.
"""
import argparse
import os
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


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    tick = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / tick


def mapped(env):
    r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^" + TITLE + "$"],
                       env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return r.returncode == 0 and r.stdout.strip() != b""


def start(program, args, env):
    t0 = time.monotonic()
    proc = subprocess.Popen([program] + args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not mapped(env):
        if proc.poll() is not None:
            raise RuntimeError("the window program ended early")
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


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--program", default=os.path.join(build, "src", "app", "veltrin-ping"))
    p.add_argument("--cli", default=os.path.join(build, "src", "cli", "veltrin-ping-cli"))
    p.add_argument("--runs", type=int, default=5)
    p.add_argument("--idle", type=int, default=20)
    p.add_argument("--display", default=":73")
    a = p.parse_args()

    work = tempfile.mkdtemp(prefix="veltrin-startup-")
    xvfb = subprocess.Popen(["Xvfb", a.display, "-nolisten", "tcp", "-screen", "0", "1280x1024x24"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        env = dict(os.environ)
        env.update({"DISPLAY": a.display, "HOME": work, "XDG_CONFIG_HOME": work + "/config",
                    "XDG_DATA_HOME": work + "/data", "XDG_CACHE_HOME": work + "/cache",
                    "VELTRIN_PROBEHOST": "127.0.0.1", "QT_QPA_PLATFORM": "xcb"})
        env.pop("WAYLAND_DISPLAY", None)
        for _ in range(100):
            if subprocess.run(["xdpyinfo"], env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode == 0:
                break
            time.sleep(0.05)
        spl = os.path.join(work, "rows.spl")
        with open(spl, "wb") as f:
            for i in range(100000):
                f.write(("127.%d.%d.%d_\r\r\n" % (i // 62500 % 250, i // 250 % 250, i % 250 + 1)).encode())

        results = {}
        for label, args in (("no file", []), ("100,000 rows", [spl])):
            times, cpus = [], []
            for _ in range(a.runs):
                proc, took, cpu = start(a.program, args, env)
                times.append(took)
                cpus.append(cpu)
                stop(proc)
            results[label] = (statistics.median(times), statistics.median(cpus))
            print("start-up to mapped, %s: %.0f ms, CPU %.0f ms (medians of %d: %s)" %
                  (label, results[label][0] * 1000, results[label][1] * 1000, a.runs,
                   ", ".join("%.0f" % (t * 1000) for t in times)))
        print("100,000 rows add: %.0f ms, CPU %.0f ms" %
              ((results["100,000 rows"][0] - results["no file"][0]) * 1000,
               (results["100,000 rows"][1] - results["no file"][1]) * 1000))

        proc, _, _ = start(a.program, [spl], env)
        time.sleep(5)  # settled: the list painted, the monitor running
        c0, t0 = cpu_seconds(proc.pid), time.monotonic()
        time.sleep(a.idle)
        c1, t1 = cpu_seconds(proc.pid), time.monotonic()
        stop(proc)
        print("idle CPU with 100,000 rows, monitor running: %.2f %% of one core over %d s" %
              ((c1 - c0) / (t1 - t0) * 100, a.idle))

        for label, args in (("veltrin-ping --console --version", [a.program, "--console", "--version"]),
                            ("veltrin-ping-cli --version", [a.cli, "--version"])):
            if not os.access(args[0], os.X_OK):
                continue
            runs = [child_cpu(args, env) for _ in range(a.runs)]
            print("console start-up CPU, %s: %.1f ms (median of %d)" % (label, statistics.median(runs) * 1000, a.runs))
    finally:
        xvfb.terminate()
        xvfb.wait()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
