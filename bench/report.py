#!/usr/bin/env python3
"""Turns the benchmark outputs into one table and one JSON file.

Inputs: the Google Benchmark JSON of bench_mculink (repetitions allowed: the
median of each figure is taken) and the JSON of procbench.py (start-up,
memory, idle CPU).
"""

import argparse
import json
import platform
import statistics
import subprocess
import sys


def machine():
    model = ""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True).stdout
        for line in out.splitlines():
            if line.startswith("Model name:"):
                model = line.split(":", 1)[1].strip()
    except OSError:
        pass
    mem = ""
    try:
        with open("/proc/meminfo") as f:
            kb = int(f.readline().split()[1])
            mem = "%.1f GiB" % (kb / 1024 / 1024)
    except OSError:
        pass
    try:
        with open("/proc/loadavg") as f:
            load = f.read().split()[0]
    except OSError:
        load = ""
    import os
    return {"nproc": os.cpu_count(), "cpu": model, "memory": mem, "kernel": platform.release(),
            "load_at_report": load}


def runs_by_name(gbench):
    """{run_name: [run, ...]} for the iteration runs (not the aggregates)."""
    out = {}
    for b in gbench.get("benchmarks", []):
        if b.get("run_type") == "aggregate":
            continue
        if b.get("error_occurred"):
            out.setdefault(b["run_name"], []).append({"error": b.get("error_message", "error")})
            continue
        out.setdefault(b["run_name"], []).append(b)
    return out


def med(runs, key):
    vals = [r[key] for r in runs if key in r]
    return statistics.median(vals) if vals else None


def fmt_rate(v):
    if v is None:
        return "-"
    if v >= 1e6:
        return "%.2f M/s" % (v / 1e6)
    return "%.0f k/s" % (v / 1e3)


def fmt_us(v):
    return "-" if v is None else "%.1f us" % (v / 1000.0)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--mculink", required=True)
    p.add_argument("--proc", required=True)
    p.add_argument("--out", required=True)
    args = p.parse_args()
    with open(args.mculink) as f:
        gb = json.load(f)
    with open(args.proc) as f:
        proc = json.load(f)
    runs = runs_by_name(gb)

    rows = []  # (figure, measured, limit, ratio, target, met)

    def add(figure, measured, limit, ratio, target, met):
        rows.append({"figure": figure, "measured": measured, "limit": limit,
                     "ratio": None if ratio is None else round(ratio, 3),
                     "target": target, "met": met})

    def find(prefix):
        for name, r in runs.items():
            if name.startswith(prefix):
                return r
        return []

    for label, prefix, floor in (("receive short 13078 (with log line)", "BM_ReceiveShort", 0.5),
                                 ("receive long 57, 268 B", "BM_ReceiveLong", 0.8),
                                 ("receive mix 1:1", "BM_ReceiveMix", None)):
        r = find(prefix)
        ratio = med(r, "ratio")
        add(label, fmt_rate(med(r, "link_rec_s")), fmt_rate(med(r, "bare_rec_s")) + " read loop",
            ratio, ">= %.1f" % floor if floor else "-",
            None if floor is None or ratio is None else ratio >= floor)

    lat = find("BM_Latency")
    key50, bare50 = med(lat, "key_p50_ns"), med(lat, "bare_p50_ns")
    ratio = med(lat, "key_ratio_p50")
    add("latency key press p50 (journal stamp)", fmt_us(key50), fmt_us(bare50) + " ping-pong",
        ratio, "<= 1.5", None if ratio is None else ratio <= 1.5)
    add("latency key press p99", fmt_us(med(lat, "key_p99_ns")),
        fmt_us(med(lat, "bare_p99_ns")) + " ping-pong",
        None if not lat else med(lat, "key_p99_ns") / med(lat, "bare_p99_ns"), "-", None)
    ratio = med(lat, "key_less_offset_ratio_p50")
    add("latency key press p50 less stand-in trace offset",
        fmt_us(None if key50 is None else key50 - med(lat, "standin_offset_p50_ns")),
        fmt_us(bare50) + " ping-pong", ratio, "<= 1.5", None if ratio is None else ratio <= 1.5)
    ratio = med(lat, "echo529_ratio_p50")
    add("latency 529/13 round trip / 2, p50", fmt_us(med(lat, "echo529_p50_ns")),
        fmt_us(bare50) + " ping-pong", ratio, "<= 1.5", None if ratio is None else ratio <= 1.5)

    for name, r in sorted(runs.items()):
        if not name.startswith("BM_Send/"):
            continue
        parts = dict(x.split(":") for x in name.split("/")[1:] if ":" in x)
        bad = (med(r, "corrupt") or 0) + (med(r, "reordered") or 0)
        add("send %s B, %s thread(s)" % (parts.get("bytes"), parts.get("threads")),
            fmt_rate(med(r, "link_rec_s")) + ", %d dropped" % (med(r, "dropped") or 0),
            fmt_rate(med(r, "bare_rec_s")) + " write loop", med(r, "ratio"),
            "records intact", bad == 0)

    idle = proc.get("idle", {})
    for state in ("service_absent", "service_connected_silent", "service_gone"):
        s = idle.get(state)
        if not s:
            continue
        add("idle CPU, %s" % state.replace("_", " "),
            "%.3f %% of a core (stat), %.3f %% (schedstat)" % (s["core_percent"], s["sched_core_percent"]),
            "-", None, "< 0.5 %", s["sched_core_percent"] < 0.5)

    st = proc.get("startup")
    if st:
        lm, fm, bm = (st["medians_s"][k] for k in ("launcher", "fair", "bare"))
        spread = "%.2f to %.2f" % (min(st["paired_ratio_fair"]), max(st["paired_ratio_fair"]))

        def ms(v):
            return "%.1f ms" % (v * 1000)

        add("start-up to first frame, fair limit (median of %d)" % st["runs"], ms(lm["first frame"]),
            ms(fm["first frame"]) + " same libraries", st["ratio_fair"], "<= 1.15", st["ratio_fair"] <= 1.15)
        add("start-up, first frame run by run, against the fair limit", "ratios " + spread, "-", None, "-", None)
        add("start-up to first frame, plain bare window", ms(lm["first frame"]),
            ms(bm["first frame"]) + " Core, Gui, Widgets", st["ratio_bare"], "-", None)
        add("start-up to the application made", ms(lm["application made"]),
            ms(fm["application made"]) + " same libraries", lm["application made"] / fm["application made"],
            "-", None)
        # Where the rest goes: between successive checkpoints (medians of each).
        for label, a, b, fa, fb in (
                ("the launcher's own steps, to \"UI is\"", "application made", "UI is", None, None),
                ("to the home screen shown", "UI is", "home screen shown", "application made", "window shown"),
                ("home screen shown to the first frame", "home screen shown", "first frame", "window shown",
                 "first frame")):
            if a in lm and b in lm:
                limit = "-" if fa is None else ms(fm[fb] - fm[fa]) + " same libraries"
                add("start-up, " + label, ms(lm[b] - lm[a]), limit, None, "-", None)

    mem = proc.get("memory")
    if mem:
        def mb(kb):
            return "%.1f MiB" % (kb / 1024.0)

        for label, when in (("at the first frame", "first_frame"),
                            ("after %.0f s of traffic" % mem["traffic_seconds"], "after_traffic")):
            l, f, b = (mem.get("%s_%s" % (k, when)) for k in ("launcher", "fair", "bare"))
            if not l or not f:
                continue
            ratio = l["pss_kb"] / f["pss_kb"]
            add("memory PSS %s, fair limit" % label, mb(l["pss_kb"]), mb(f["pss_kb"]) + " same libraries",
                ratio, "<= 1.3", ratio <= 1.3)
            if b:
                add("memory PSS %s, plain bare window" % label, mb(l["pss_kb"]),
                    mb(b["pss_kb"]) + " Core, Gui, Widgets", l["pss_kb"] / b["pss_kb"], "-", None)
            add("memory RSS %s, fair limit" % label, mb(l["rss_kb"]), mb(f["rss_kb"]) + " same libraries",
                l["rss_kb"] / f["rss_kb"], "-", None)
            add("memory private dirty %s, fair limit" % label, mb(l["private_dirty_kb"]),
                mb(f["private_dirty_kb"]) + " same libraries", l["private_dirty_kb"] / f["private_dirty_kb"],
                "-", None)
            if "pss_share_kb" in l and "pss_share_kb" in f:
                add("the sound's libraries' PSS %s" % label, mb(l["pss_share_kb"]["sound"]),
                    mb(f["pss_share_kb"]["sound"]) + " same libraries", None, "-", None)
        lt = mem.get("launcher_after_traffic") or {}
        stacks = lt.get("thread_stacks_private_dirty_kb", {})
        by_name = {}
        for thread, kb in stacks.items():
            by_name.setdefault(thread.split("[")[0], []).append(kb)
        for name, kbs in sorted(by_name.items()):
            add("thread stack private dirty, %s%s" % (name, "" if len(kbs) == 1 else " (%d threads)" % len(kbs)),
                " + ".join("never blocked" if kb is None else "%d kB" % kb for kb in kbs), "-", None, "-", None)

    bp = proc.get("beep")
    if bp:
        l, f = bp["launcher"], bp["fair"]
        def ms2(v):
            return "-" if v is None else "%.2f ms" % v
        for q in ("p50", "p99"):
            lv, fv = l[q + "_ms"], f[q + "_ms"]
            add("key record written to beep onset, %s (%d presses)" % (q, l["n"]), ms2(lv),
                ms2(fv) + " QSound played directly", None if lv is None or not fv else lv / fv, "-", None)
        add("key presses that made no beep (each past the 120 ms window)", "%d of %d" % (l["silent"], bp["presses"]),
            "%d of %d" % (f["silent"], bp["presses"]), None, "0", l["silent"] == 0)

    for label, prefix, key in (("allocations / record, link short", "BM_AllocLinkShort", "allocs_per_record"),
                               ("allocations / record, link long", "BM_AllocLinkLong", "allocs_per_record"),
                               ("allocations / record, link mix", "BM_AllocLinkMix", "allocs_per_record"),
                               ("allocations / record, framer alone", "BM_AllocFramer", "allocs_per_record"),
                               ("allocations / record, resolvePacket 13078", "BM_AllocDispatch/record:0", "allocs_per_record"),
                               ("allocations / record, resolvePacket long 57", "BM_AllocDispatch/record:1", "allocs_per_record"),
                               ("allocations / record, resolvePacket 529/13", "BM_AllocDispatch/record:2", "allocs_per_record"),
                               ("allocations / event, MEventFilter non-key", "BM_EventFilter", "allocs_per_event")):
        r = find(prefix)
        v = med(r, key)
        add(label, "-" if v is None else "%g" % v, "0", None, "0", None if v is None else v == 0)
    probe = med(find("BM_AllocProbe"), "allocs_per_record")
    add("allocation counter check (1 QString each)", "-" if probe is None else "%g" % probe, "1",
        None, ">= 1", None if probe is None else probe >= 1)

    result = {"machine": machine(), "rows": rows, "raw": {"proc": proc}}
    with open(args.out, "w") as f:
        json.dump(result, f, indent=2)

    m = result["machine"]
    print("Machine: %s cores, %s, %s memory, kernel %s" % (m["nproc"], m["cpu"], m["memory"], m["kernel"]))
    widths = [58, 44, 30, 7, 14, 4]
    head = ["figure", "measured", "limit (same run)", "ratio", "target", "met"]
    print(" | ".join(h.ljust(w) for h, w in zip(head, widths)))
    print("-+-".join("-" * w for w in widths))
    for r in rows:
        met = "-" if r["met"] is None else ("yes" if r["met"] else "NO")
        ratio = "-" if r["ratio"] is None else "%.2f" % r["ratio"]
        cells = [r["figure"], r["measured"], r["limit"], ratio, r["target"], met]
        print(" | ".join(str(c).ljust(w) for c, w in zip(cells, widths)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
