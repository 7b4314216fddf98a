#!/usr/bin/env python3
"""Whole-process benchmarks of the launcher: start-up time and idle CPU.

Run inside a private network and mount namespace (scripts/bench.sh does it with
`unshare -mn` and a private /tmp), so the fixed socket names are this run's own.

  startup  time from exec to the first flushed frame: the launcher's
           FirstFrameMonitor::procFlushDone line on the "platform" category,
           against a bare QApplication window of 1024x600 (bench_barewindow),
           both timed the same way by the arrival of their line on stderr.
           Runs alternate between the two; medians of each.
  idle     CPU time (utime+stime of /proc/<pid>/stat, and the per-thread
           scheduler run time of /proc/<pid>/task/*/schedstat) of one launcher
           over a window in each state: no service, a silent service
           connected, and the service gone after a connection.
"""

import argparse
import json
import os
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

CLK_TCK = os.sysconf("SC_CLK_TCK")


def base_env(scratch):
    env = dict(os.environ)
    env["QT_QPA_PLATFORM"] = "offscreen"
    env["XDG_CONFIG_HOME"] = os.path.join(scratch, "config")
    env["XDG_RUNTIME_DIR"] = os.path.join(scratch, "runtime")
    env["HOME"] = scratch
    for key in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR"):
        os.makedirs(env[key], mode=0o700, exist_ok=True)
    return env


def time_first_frame(argv, env, needle, marks=(), timeout=30.0):
    """Seconds from just before exec to the arrival of the line holding needle,
    and {mark: seconds} for the first arrival of each of the other marks."""
    t0 = time.monotonic_ns()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    fd = proc.stderr.fileno()
    buf = b""
    found = None
    seen = {}
    deadline = time.monotonic() + timeout
    try:
        while found is None and time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                break
            chunk = os.read(fd, 65536)
            now = time.monotonic_ns()
            if not chunk:
                break
            buf += chunk
            for m in marks:
                if m not in seen and m.encode() in buf:
                    seen[m] = (now - t0) / 1e9
            if needle in buf:
                found = now
            buf = buf[-4096:]
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
    if found is None:
        raise RuntimeError("%s: no first-frame line within %.0f s" % (argv[0], timeout))
    return (found - t0) / 1e9, seen


# Lines of the launcher's start-up whose arrival splits its time: its own steps
# up to the framework's home screen, the home screen, the rest.
LAUNCHER_MARKS = ("QT new Launcher start", "HomeScreen::show()", "ActivityManager::self()",
                  "UI is UI_TAVREN_1024_600")


def startup(args):
    scratch = tempfile.mkdtemp(prefix="bench-startup-")
    env = base_env(scratch)
    launcher_env = dict(env)
    # The first-frame monitor's emission is traced on the "platform" category.
    launcher_env["QT_LOGGING_RULES"] = "platform.debug=true"
    subjects = {
        "launcher": ([args.launcher], launcher_env, b"FirstFrameMonitor::procFlushDone", LAUNCHER_MARKS),
        "bare": ([args.barewindow], env, b"first frame flushed", ()),
        # The same window with one line of text: the font set-up that any
        # window showing text pays.
        "bare_text": ([args.barewindow, "--text"], env, b"first frame flushed", ()),
    }
    # One unmeasured run of each warms the page cache and the font cache.
    for s in subjects.values():
        time_first_frame(*s)
    times = {k: [] for k in subjects}
    marks = []
    for _ in range(args.runs):
        for k, s in subjects.items():
            t, seen = time_first_frame(*s)
            times[k].append(t)
            if k == "launcher":
                marks.append(seen)
    med = {k: statistics.median(v) for k, v in times.items()}
    mark_medians = {}
    for m in LAUNCHER_MARKS:
        vals = [x[m] for x in marks if m in x]
        if vals:
            mark_medians[m] = statistics.median(vals)
    return {
        "runs": args.runs,
        "times_s": times,
        "launcher_median_s": med["launcher"],
        "bare_median_s": med["bare"],
        "bare_text_median_s": med["bare_text"],
        "ratio": med["launcher"] / med["bare"],
        "ratio_to_text_window": med["launcher"] / med["bare_text"],
        "launcher_marks_median_s": mark_medians,
    }


def cpu_sample(pid):
    """(utime+stime seconds from stat, {thread name: run ns} from schedstat)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime
    threads = {}
    taskdir = "/proc/%d/task" % pid
    for tid in os.listdir(taskdir):
        try:
            with open(os.path.join(taskdir, tid, "comm")) as f:
                name = f.read().strip()
            with open(os.path.join(taskdir, tid, "schedstat")) as f:
                ns = int(f.read().split()[0])
        except OSError:
            continue
        key = "%s[%s]" % (name, tid)
        threads[key] = ns
    return ticks / CLK_TCK, threads


def measure_idle(pid, seconds):
    w0 = time.monotonic()
    c0, t0 = cpu_sample(pid)
    time.sleep(seconds)
    c1, t1 = cpu_sample(pid)
    wall = time.monotonic() - w0
    per_thread = {k: (t1[k] - t0.get(k, 0)) / 1e9 for k in t1}
    sched = sum(per_thread.values())
    return {
        "wall_s": wall,
        "cpu_s": c1 - c0,
        "core_percent": 100.0 * (c1 - c0) / wall,
        "sched_cpu_s": sched,
        "sched_core_percent": 100.0 * sched / wall,
        "threads_percent": {k: round(100.0 * v / wall, 4) for k, v in sorted(per_thread.items())
                            if v > 0},
    }


def wait_line(proc, needle, timeout):
    fd = proc.stdout.fileno()
    deadline = time.monotonic() + timeout
    buf = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        buf += chunk
        if needle in buf:
            return True
    return False


def idle(args):
    scratch = tempfile.mkdtemp(prefix="bench-idle-")
    env = base_env(scratch)
    env["QT_LOGGING_RULES"] = "platform.debug=false"
    launcher = subprocess.Popen([args.launcher], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    service = None
    out = {}
    try:
        time.sleep(args.settle + 2)  # start-up and the reconnect back-off settle
        out["service_absent"] = measure_idle(launcher.pid, args.seconds)

        service = subprocess.Popen([args.service, "quillhaven"], stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        if not wait_line(service, b"accepted", 15):
            raise RuntimeError("the launcher did not connect to the service")
        time.sleep(args.settle)
        out["service_connected_silent"] = measure_idle(launcher.pid, args.seconds)

        service.kill()
        service.wait()
        service = None
        time.sleep(args.settle + 2)
        out["service_gone"] = measure_idle(launcher.pid, args.seconds)
        if launcher.poll() is not None:
            raise RuntimeError("the launcher ended during the idle measurement")
    finally:
        if service:
            service.kill()
            service.wait()
        if launcher.poll() is None:
            launcher.send_signal(signal.SIGTERM)
            try:
                launcher.wait(timeout=10)
            except subprocess.TimeoutExpired:
                launcher.kill()
                launcher.wait()
    out["seconds"] = args.seconds
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--launcher", required=True)
    p.add_argument("--barewindow", required=True)
    p.add_argument("--service", required=True)
    p.add_argument("--runs", type=int, default=7)
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--settle", type=float, default=1.0)
    p.add_argument("--only", choices=["startup", "idle"])
    p.add_argument("--out", required=True)
    args = p.parse_args()
    result = {}
    if args.only in (None, "startup"):
        result["startup"] = startup(args)
    if args.only in (None, "idle"):
        result["idle"] = idle(args)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=2)


if __name__ == "__main__":
    sys.exit(main())
