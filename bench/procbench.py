#!/usr/bin/env python3
"""Whole-process benchmarks of the launcher: start-up time, memory and idle CPU.

Run inside a private network and mount namespace (scripts/bench.sh does it with
`unshare -mn` and a private /tmp), so the fixed socket names are this run's own.

  startup  time from the process's start to its first flushed frame, as the
           launcher reports it on every start (its "Start-up (ms since the
           process began)" line: application made, UI is, home screen shown,
           first frame), against two bare QApplication windows of 1024x600
           that report the same checkpoints off the same clock: the fair
           limit (bench_barewindow_samelibs, loading the libraries that the
           launcher's design needs: Qt Core, Gui, Widgets, Multimedia) and
           the plain one (Core, Gui, Widgets). Runs alternate between the
           three; medians of each checkpoint. Each subject runs at a realtime
           priority (SCHED_FIFO, where the kernel allows it), so that other
           work on the machine stretches neither side: a launcher with four
           threads at start-up loses more to a busy machine than a window
           with one.
  memory   resident and proportional set size (/proc/<pid>/smaps_rollup) of
           the launcher and of both windows, all running side by side: as
           soon as each reports its first frame, and after a window of MCU
           traffic (mcusim --serve count --traffic) into the launcher while the
           windows stay up (the fair limit makes and plays its beep sound
           when the traffic starts, as the launcher's beep key presses make
           it sound); and the private dirty memory of each of the
           launcher's thread stacks (the mapping that holds the stack
           pointer each thread is blocked with, /proc/<pid>/task/*/syscall).
  idle     CPU time (utime+stime of /proc/<pid>/stat, and the per-thread
           scheduler run time of /proc/<pid>/task/*/schedstat) of one launcher
           over a window in each state: no service, a silent service
           connected, and the service gone after a connection.
  beep     key to sound: the time from the write of an MCU key press record
           (this script is the MCU service) to the beep's onset in a
           recording of the sound server's sink, against the same sound
           played with the same library (the fair limit's QSound, told to
           play on its standard input): p50 and p99 of each. Needs the sound
           server that scripts/bench.sh starts (PULSE_SERVER, its null sink
           "headunit"); every phase runs with it, so the launcher makes and
           plays its sound as on the unit.
"""

import argparse
import array
import json
import os
import re
import select
import signal
import socket
import struct
import statistics
import subprocess
import sys
import tempfile
import threading
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


# The start-up lines: the launcher's and the windows', each checkpoint as
# "<name> <ms>" ("-": not passed).
STARTUP_LINE = re.compile(rb"(?:Start-up|barewindow start-up) \(ms since the process began\): ([^\n]*)\n")


def parse_checkpoints(text):
    out = {}
    for part in text.decode().split(", "):
        name, _, value = part.rpartition(" ")
        out[name] = None if value == "-" else float(value) / 1000.0
    return out


class RealtimePriority:
    """Within it this process, and what it starts, runs at a realtime
    priority if the kernel gives one (root); else as it is. Children inherit
    it, so they are still started without a fork of this interpreter's own."""

    def __enter__(self):
        self.before = os.sched_getscheduler(0), os.sched_getparam(0)
        try:
            os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(10))
        except OSError:
            pass
        return self

    def __exit__(self, *exc):
        os.sched_setscheduler(0, self.before[0], self.before[1])


def time_first_frame(argv, env, timeout=30.0):
    """{checkpoint: seconds since the process began} from the subject's
    start-up line on stdout, and "arrival": seconds from just before exec to
    the line's arrival, for comparison."""
    t0 = time.monotonic_ns()
    proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    fd = proc.stdout.fileno()
    buf = b""
    found = None
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
            m = STARTUP_LINE.search(buf)
            if m:
                found = parse_checkpoints(m.group(1))
                found["arrival"] = (now - t0) / 1e9
            buf = buf[-4096:]
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
        try:
            proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
    if found is None or found.get("first frame") is None:
        raise RuntimeError("%s: no start-up line with a first frame within %.0f s" % (argv[0], timeout))
    return found


def startup(args):
    scratch = tempfile.mkdtemp(prefix="bench-startup-")
    env = base_env(scratch)
    subjects = {
        "launcher": ([args.launcher], env),
        # The fair limit: a bare window loading the libraries the design needs.
        "fair": ([args.fairwindow], env),
        "bare": ([args.barewindow], env),
    }
    runs = {k: [] for k in subjects}
    with RealtimePriority():
        # One unmeasured run of each warms the page cache and the font cache.
        for s in subjects.values():
            time_first_frame(*s)
        for _ in range(args.runs):
            for k, s in subjects.items():
                runs[k].append(time_first_frame(*s))

    def medians(k):
        names = {n for r in runs[k] for n in r}
        return {n: statistics.median(r[n] for r in runs[k] if r.get(n) is not None)
                for n in names if any(r.get(n) is not None for r in runs[k])}

    med = {k: medians(k) for k in subjects}
    # Run by run (they alternate), so that a drift of the machine's speed
    # moves both sides of a ratio.
    paired = {k: [l["first frame"] / r["first frame"] for l, r in zip(runs["launcher"], runs[k])]
              for k in ("fair", "bare")}
    return {
        "runs": args.runs,
        "checkpoints_s": runs,
        "medians_s": med,
        "ratio_fair": med["launcher"]["first frame"] / med["fair"]["first frame"],
        "ratio_bare": med["launcher"]["first frame"] / med["bare"]["first frame"],
        "paired_ratio_fair": paired["fair"],
        "paired_ratio_bare": paired["bare"],
    }


def rollup(pid):
    """{field: kB} of /proc/<pid>/smaps_rollup."""
    out = {}
    with open("/proc/%d/smaps_rollup" % pid) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[-1] == "kB":
                out[parts[0].rstrip(":")] = int(parts[1])
    return out


def mappings(pid):
    """[(start, end, name, {field: kB})] of /proc/<pid>/smaps."""
    maps = []
    with open("/proc/%d/smaps" % pid) as f:
        cur = None
        for line in f:
            head = line.split(None, 5)
            if "-" in head[0] and not head[0].endswith(":"):
                start, end = (int(x, 16) for x in head[0].split("-"))
                cur = (start, end, head[5].strip() if len(head) > 5 else "", {})
                maps.append(cur)
            elif cur is not None and len(head) >= 3 and head[2] == "kB":
                cur[3][head[0].rstrip(":")] = int(head[1])
    return maps


def blocked_stack_pointer(taskdir, tid, tries=500):
    """The stack pointer of a thread blocked in a system call; a running
    thread is asked again (it blocks soon: every thread here waits for
    work), None if it never is."""
    for _ in range(tries):
        try:
            with open(os.path.join(taskdir, tid, "syscall")) as f:
                words = f.read().split()
        except OSError:
            return None
        if len(words) >= 3 and words[0] != "running":
            return int(words[-2], 16)
        time.sleep(0.001)
    return None


def thread_stacks(pid):
    """{thread name[tid]: private dirty kB} of the mapping that holds each
    thread's stack pointer, read while the thread is blocked in a system
    call."""
    maps = mappings(pid)
    out = {}
    taskdir = "/proc/%d/task" % pid
    for tid in sorted(os.listdir(taskdir), key=int):
        try:
            with open(os.path.join(taskdir, tid, "comm")) as f:
                name = f.read().strip()
        except OSError:
            continue
        sp = blocked_stack_pointer(taskdir, tid)
        if sp is None:
            out["%s[%s]" % (name, tid)] = None
            continue
        if int(tid) == pid:
            name = "main thread"
        for start, end, _, fields in maps:
            if start <= sp < end:
                out["%s[%s]" % (name, tid)] = fields.get("Private_Dirty", 0)
                break
    return out


# Mappings whose proportional size is summed apart, by what needs them: the
# beep sound (Qt Multimedia, which brings Qt Network with its bearer plugins
# and D-Bus, PulseAudio and its codecs) and text (fonts and their rendering).
SHARE_GROUPS = (
    ("sound", re.compile(r"libQt5(Multimedia|Network|DBus)|/bearer/|/mediaservice/|/audio/|pulse|"
                         r"libdbus|libsndfile|libFLAC|libvorbis|libogg|libopus|libmpg123|libmp3lame|"
                         r"libasyncns|libsystemd|libgcrypt|libgpg-error|liblz4|libxcb|libX|libapparmor|libwrap")),
    ("text", re.compile(r"/fonts/|libfreetype|libharfbuzz|libfontconfig|libexpat|libpng|libgraphite|"
                        r"libbrotli")),
)


def footprint(pid, stacks=False):
    r = rollup(pid)
    out = {"rss_kb": r.get("Rss", 0), "pss_kb": r.get("Pss", 0),
           "private_dirty_kb": r.get("Private_Dirty", 0)}
    if stacks:
        out["thread_stacks_private_dirty_kb"] = thread_stacks(pid)
        shares = {name: 0 for name, _ in SHARE_GROUPS}
        for _, _, path, fields in mappings(pid):
            for name, pattern in SHARE_GROUPS:
                if path and pattern.search(path):
                    shares[name] += fields.get("Pss", 0)
                    break
        out["pss_share_kb"] = shares
    return out


def drain(proc, seconds):
    """Reads and drops the process's stdout for the given time, so that its
    output never blocks it."""
    fd = proc.stdout.fileno()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if ready and not os.read(fd, 65536):
            time.sleep(max(0.0, deadline - time.monotonic()))
            return


def stop(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def memory(args):
    scratch = tempfile.mkdtemp(prefix="bench-memory-")
    env = base_env(scratch)
    bare = fair = launcher = service = None
    out = {"traffic_seconds": args.traffic_seconds, "traffic_per_second": args.traffic_rate}
    try:
        # The windows run beside the launcher: the pages of the libraries they
        # share count a part to each, the same for all.
        bare = subprocess.Popen([args.barewindow, "--stay"], env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # It makes its beep sound after its first frame, as the launcher
        # does, and is told to play it when the launcher's traffic (with its
        # beep key presses) starts.
        fair = subprocess.Popen([args.fairwindow, "--stay"], env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        for p in (bare, fair):
            if not wait_line(p, b"first frame", 30):
                raise RuntimeError("a bare window showed no first frame")

        # Its output (a line per record under traffic) is read and dropped.
        launcher = subprocess.Popen([args.launcher], env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not wait_line(launcher, b"first frame", 30):
            raise RuntimeError("the launcher showed no first frame")
        out["launcher_first_frame"] = footprint(launcher.pid, stacks=True)
        out["fair_first_frame"] = footprint(fair.pid, stacks=True)
        out["bare_first_frame"] = footprint(bare.pid)
        # The same again once the start-up is over (the staging, the beep
        # sound made after the frame), with every thread's stack.
        drain(launcher, args.settle)
        out["launcher_settled"] = footprint(launcher.pid, stacks=True)

        service = subprocess.Popen([args.service, "--serve", "count", "--traffic", str(args.traffic_rate)],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not wait_line(service, b"accepted", 15):
            raise RuntimeError("the launcher did not connect to the service")
        fair.stdin.write(b"beep\n")
        fair.stdin.flush()
        # The launcher's log (a line per record) is read and dropped meanwhile.
        drain(launcher, args.traffic_seconds)
        if launcher.poll() is not None:
            raise RuntimeError("the launcher ended during the traffic")
        out["launcher_after_traffic"] = footprint(launcher.pid, stacks=True)
        out["fair_after_traffic"] = footprint(fair.pid, stacks=True)
        out["bare_after_traffic"] = footprint(bare.pid)
    finally:
        for p in (service, launcher, fair, bare):
            if p:
                stop(p)
    return out


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


def wait_line(proc, needle, timeout, stream="stdout"):
    """True once `needle` shows in the process's stdout (or stderr) within
    `timeout` seconds; what was read is dropped."""
    fd = getattr(proc, stream).fileno()
    deadline = time.monotonic() + timeout
    buf = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            break
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        buf = (buf + chunk)[-8192:]
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

        service = subprocess.Popen([args.service, "--serve", "count"], stdout=subprocess.PIPE,
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


SOUND_RATE = 16000
SOUND_BYTES_PER_SECOND = SOUND_RATE * 2


class Recorder:
    """The sound server's sink, recorded from its monitor (parec: raw s16le,
    mono, 16 kHz). The time of each sample is known from the file's growth:
    a sample reaches the file after it was captured, so the least of (the
    time its file size was seen - the audio that size holds) is the capture
    time of the first sample, late by the recorder's least delivery delay
    (the same for every sound of the recording)."""

    def __init__(self, path):
        self.path = path
        self.proc = subprocess.Popen(["parec", "--device=headunit.monitor", "--raw", "--format=s16le",
                                      "--rate=%d" % SOUND_RATE, "--channels=1", "--latency-msec=5"],
                                     stdout=open(path, "wb"), stderr=subprocess.DEVNULL)
        self.start = None
        self.done = False
        self.watcher = threading.Thread(target=self._watch, daemon=True)
        self.watcher.start()

    def _watch(self):
        while not self.done:
            seen = time.monotonic()
            size = os.path.getsize(self.path)
            if size:
                t = seen - size / SOUND_BYTES_PER_SECOND
                self.start = t if self.start is None else min(self.start, t)
            time.sleep(0.001)

    def stop(self):
        self.done = True
        self.watcher.join()
        stop(self.proc)

    def onsets(self, threshold=1000, quiet_s=0.04):
        """Monotonic times at which a sound begins after at least quiet_s of
        silence (|sample| below threshold, about 3 % of full scale)."""
        samples = array.array("h")
        with open(self.path, "rb") as f:
            data = f.read()
        samples.frombytes(data[: len(data) // 2 * 2])
        quiet_needed = int(quiet_s * SOUND_RATE)
        out, quiet = [], quiet_needed
        for i, v in enumerate(samples):
            if -threshold < v < threshold:
                quiet += 1
                continue
            if quiet >= quiet_needed:
                out.append(self.start + i / SOUND_RATE)
            quiet = 0
        return out


def latencies(writes, onsets, limit_s=0.3, early_s=0.02):
    """For each write, the time to the first onset after it (within limit_s);
    writes that got no sound are counted apart. The null sink hands samples
    to its monitor up to its latency (the recorder asks for 5 ms) before their
    time, so the recording's clock may run that much early: an onset up to
    early_s before the write is the write's own."""
    out, silent = [], 0
    for t in writes:
        later = [o - t for o in onsets if t - early_s <= o < t + limit_s]
        if later:
            out.append(later[0])
        else:
            silent += 1
    return out, silent


def percentiles(values):
    if not values:
        return {"p50_ms": None, "p99_ms": None, "n": 0}
    values = sorted(values)
    at = lambda q: values[min(len(values) - 1, int(round(q * (len(values) - 1))))]
    return {"p50_ms": at(0.5) * 1000, "p99_ms": at(0.99) * 1000, "n": len(values)}


def drain_forever(fd):
    def run():
        try:
            while os.read(fd, 65536):
                pass
        except OSError:
            pass
    threading.Thread(target=run, daemon=True).start()


def beep(args):
    if not os.environ.get("PULSE_SERVER"):
        raise RuntimeError("no sound server (PULSE_SERVER): scripts/bench.sh starts one")
    scratch = tempfile.mkdtemp(prefix="bench-beep-")
    env = base_env(scratch)
    env["QT_LOGGING_RULES"] = "platform.debug=false"
    recorder = Recorder(os.path.join(scratch, "sink.raw"))
    launcher = fair = conn = None
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    out = {"presses": args.presses, "gap_s": args.beep_gap}
    try:
        # This script is the MCU service: the launcher connects to it.
        listener.bind("\0quillhaven")
        listener.listen(1)
        listener.settimeout(15)
        launcher = subprocess.Popen([args.launcher], env=env, stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not wait_line(launcher, b"first frame", 30):
            raise RuntimeError("the launcher showed no first frame")
        drain_forever(launcher.stdout.fileno())
        conn, _ = listener.accept()
        drain_forever(conn.fileno())
        # The sound is made just after the first frame; a first press warms it.
        time.sleep(args.settle)
        press = struct.pack("<4I", 1, 13078, 3, 1)
        conn.sendall(press)
        time.sleep(args.beep_gap)
        launcher_writes = []
        for _ in range(args.presses):
            launcher_writes.append(time.monotonic())
            conn.sendall(press)
            time.sleep(args.beep_gap)
        stop(launcher)

        fair = subprocess.Popen([args.fairwindow, "--stay"], env=env, stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        if not wait_line(fair, b"first frame", 30):
            raise RuntimeError("the fair limit showed no first frame")
        drain_forever(fair.stdout.fileno())
        fair.stdin.write(b"beep\n")  # plays the sound it made after its first frame
        fair.stdin.flush()
        time.sleep(args.settle)
        fair_writes = []
        for _ in range(args.presses):
            fair_writes.append(time.monotonic())
            fair.stdin.write(b"beep\n")
            fair.stdin.flush()
            time.sleep(args.beep_gap)
        time.sleep(0.3)
    finally:
        for p in (launcher, fair):
            if p:
                stop(p)
        if conn:
            conn.close()
        listener.close()
        recorder.stop()
    onsets = recorder.onsets()
    for name, writes in (("launcher", launcher_writes), ("fair", fair_writes)):
        lat, silent = latencies(writes, onsets)
        out[name] = dict(percentiles(lat), silent=silent)
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--launcher", required=True)
    p.add_argument("--barewindow", required=True)
    p.add_argument("--fairwindow", required=True,
                   help="the bare window loading the same required libraries (bench_barewindow_samelibs)")
    p.add_argument("--service", required=True)
    p.add_argument("--runs", type=int, default=7)
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--settle", type=float, default=1.0)
    p.add_argument("--traffic-seconds", type=float, default=60.0)
    p.add_argument("--traffic-rate", type=int, default=1000, help="records a second")
    p.add_argument("--presses", type=int, default=40, help="key presses of the beep benchmark")
    p.add_argument("--beep-gap", type=float, default=0.4, help="seconds between the beep benchmark's presses")
    p.add_argument("--only", choices=["startup", "memory", "idle", "beep"])
    p.add_argument("--out", required=True)
    args = p.parse_args()
    result = {}
    if args.only in (None, "startup"):
        result["startup"] = startup(args)
    if args.only in (None, "memory"):
        result["memory"] = memory(args)
    if args.only in (None, "idle"):
        result["idle"] = idle(args)
    if args.only in (None, "beep"):
        result["beep"] = beep(args)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=2)


if __name__ == "__main__":
    sys.exit(main())
