#!/usr/bin/env python3
"""report.py - turns the JSON output of the benchmark binaries into one
table: each library figure beside the baselines measured in the same run,
their ratio, the goal and whether it was met.

    python3 bench/report.py build/bench/results   (a folder of *.json)

Figures are medians over the repetitions.  A ratio is always given so that
above 1 means the library is better: baseline time / library time for
per-call times, library rate / baseline rate for throughputs.  Rows whose
benchmark did not run (filtered out, a peer library missing, the task
process not there yet) say so instead of failing.
"""
import glob
import json
import math
import os
import sys


def load(folder):
    """{binary: {run name: [the repetitions' runs]}}."""
    runs = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        binary = os.path.splitext(os.path.basename(path))[0]
        try:
            with open(path) as f:
                data = json.load(f)
        except ValueError:
            continue  # a binary whose benchmarks were all filtered out
        table = runs.setdefault(binary, {})
        for b in data.get("benchmarks", []):
            if b.get("run_type", "iteration") == "iteration" and "error_occurred" not in b:
                table.setdefault(b.get("run_name", b["name"]), []).append(b)
    return runs


UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def median(values):
    v = sorted(values)
    if not v:
        return None
    mid = len(v) // 2
    return v[mid] if len(v) % 2 else (v[mid - 1] + v[mid]) / 2


def reps(runs, binary, prefix):
    """The repetitions of the run of `binary` named prefix (plus any
    '/real_time'-like suffix), or []."""
    for name, rs in runs.get(binary, {}).items():
        if name == prefix or name.startswith(prefix + "/"):
            return rs
    return []


def field(rs, key):
    """Median over the repetitions of one field or counter."""
    return median([r[key] for r in rs if key in r])


def per_item_ns(rs):
    """Median time per call or item (ns), from a benchmark's own timing."""
    return median([r["real_time"] * UNIT_NS[r.get("time_unit", "ns")] / r.get("batch", 1.0)
                   for r in rs])


def cpu_item_ns(rs):
    """As per_item_ns, from CPU time: for rows on one thread."""
    return median([r["cpu_time"] * UNIT_NS[r.get("time_unit", "ns")] / r.get("batch", 1.0)
                   for r in rs])


def paired_ratio(rs, lib, base):
    """Median over the repetitions of base time / library time, both taken
    in the same repetition."""
    return median([r[base + "_ns"] / r[lib + "_ns"] for r in rs
                   if r.get(lib + "_ns") and (base + "_ns") in r])


def fmt_time(ns):
    if ns < 10:
        return "%.2f ns" % ns
    if ns < 1e3:
        return "%.0f ns" % ns
    if ns < 1e6:
        return "%.2f µs" % (ns / 1e3)
    return "%.2f ms" % (ns / 1e6)


def fmt_us(us):
    return "%.0f µs" % us if us >= 10 else "%.1f µs" % us


class Table:
    def __init__(self):
        self.lines = []
        self.missed = []

    def section(self, title):
        self.lines.append("| **%s** | | | | | | |" % title)

    def row(self, what, lib, base, ratio, goal, verdict, cmd, topic=None):
        """topic: the row's subject when `what` is left blank under it."""
        self.lines.append("| %s | %s | %s | %s | %s | %s | %s |"
                          % (what, lib, base, ratio, goal, verdict, cmd))
        if verdict == "missed":
            self.missed.append("%s: %s %s (ratio %s)" % (topic or what, base, goal, ratio))

    def text(self):
        head = ["| Benchmark | Library | Baseline (same run) | Ratio | Goal | | Command |",
                "|---|---|---|---|---|---|---|"]
        return "\n".join(head + self.lines)


def cmd(binary, regex):
    # A table cell needs its pipes escaped, even inside a code span.
    return "`%s --benchmark_filter='%s'`" % (binary, regex.replace("|", "\\|"))


def verdict(ok):
    return "met" if ok else "missed"


def paired_rows(t, runs, binary, bench, what, lib, baselines, filt, rate=False):
    """Rows of a side-by-side benchmark: the library's counter `lib`, then
    one row per baseline (label, counter, goal text, least ratio or None).
    rate: the counters are ns per byte, shown as GB/s."""
    rs = reps(runs, binary, bench)
    show = (lambda ns: "%.2f GB/s" % (1.0 / ns)) if rate else fmt_time
    lib_ns = field(rs, lib + "_ns")
    first = True
    for label, name, goal, need in baselines:
        base_ns = field(rs, name + "_ns")
        lib_txt = "" if not first else (show(lib_ns) if lib_ns else "not run")
        c = cmd(binary, filt) if first else ""
        w = what if first else ""
        if lib_ns is None or base_ns is None:
            t.row(w, lib_txt, "%s: not run" % label, "", goal, "", c, what)
        else:
            r = paired_ratio(rs, lib, name)
            ok = "" if need is None else verdict(r >= need)
            t.row(w, lib_txt, "%s %s" % (label, show(base_ns)), "%.2f×" % r, goal, ok, c, what)
        first = False


def trace_section(t, runs):
    b = "bench_trace"
    t.section("Trace")
    loop = reps(runs, b, "BM_EmptyLoop")
    spd = reps(runs, b, "BM_SpdlogDisabled")
    what = "call site, level gate off"
    g = gate_row(t, reps(runs, b, "BM_TraceGateOff"), loop, what, "Gate|EmptyLoop|SpdlogDisabled")
    if g:
        if spd:
            r = cpu_item_ns(spd) / g
            t.row("", "", "spdlog, disabled level %s" % fmt_time(cpu_item_ns(spd)),
                  "%.2f×" % r, "no slower than spdlog (≥ 1×)", verdict(r >= 1.0), "", what)
        else:
            t.row("", "", "spdlog: not run", "", "no slower than spdlog", "", "", what)
    paired_rows(t, runs, b, "BM_TraceFormatted", "formatted to `output_hook`", "library",
                [("vsnprintf, stack buffer", "vsnprintf", "≥ 1/1.3 = 0.77×", 1 / 1.3),
                 ("spdlog, callback sink", "spdlog", "(peer)", None)], "Formatted")
    gate_row(t, reps(runs, b, "BM_TraceGateOffFollowed"), loop,
             "level gate off, an `lcctl follow` attached", "GateOffFollowed|EmptyLoop")
    paired_rows(t, runs, b, "BM_TraceFollowed", "formatted, and copied to an `lcctl follow`", "library",
                [("vsnprintf, stack buffer", "vsnprintf", "(recorded: a write per trace)", None)],
                "TraceFollowed")


def gate_row(t, gate, loop, what, filt):
    """The row of a closed level gate beside the empty loop; its time per
    call, or None when it did not run."""
    if not gate:
        t.row(what, "not run", "", "", "≤ 1 ns a call", "", cmd("bench_trace", filt))
        return None
    g = cpu_item_ns(gate)
    emitted = field(gate, "emitted") or 0
    t.row(what, fmt_time(g), "empty loop %s" % fmt_time(cpu_item_ns(loop)) if loop else "",
          "", "≤ 1 ns a call; nothing emitted (%d)" % emitted,
          verdict(g <= 1.0 and emitted == 0), cmd("bench_trace", filt))
    return g


def pool_section(t, runs):
    b = "bench_pool"
    t.section("Thread pool: 2 workers, list of 15, 20,000 empty tasks (time per task)")
    for n in (1, 2):
        sub = "%d submitter%s" % (n, "" if n == 1 else "s")
        bench = "BM_PoolThroughput/%d" % n
        filt = "Throughput/%d" % n
        for what, lib in (("`threadpool_add_task`, %s" % sub, "library"),
                          ("the same, level-6 traces off", "library_quiet")):
            paired_rows(t, runs, b, bench, what, lib,
                        [("minimal std::mutex pool, list of 15", "minimal", "≥ 0.8×", 0.8),
                         ("GThreadPool behind a semaphore of 15", "gthreadpool15",
                          "ahead (≥ 1×)", 1.0),
                         ("asio::thread_pool behind a semaphore of 15", "asio15",
                          "ahead (≥ 1×)", 1.0),
                         ("GThreadPool, unbounded", "gthreadpool",
                          "(recorded: its submitter never waits)", None),
                         ("asio::thread_pool, unbounded", "asio",
                          "(recorded: its submitter never waits)", None)], filt)
    paired_rows(t, runs, b, "BM_PoolSync", "`threadpool_add_task_sync` round trip", "library",
                [("minimal pool + std::promise", "minimal", "≥ 0.8×", 0.8)], "Sync")
    t.section("Thread pool, tasks that do work: 1 submitter, list of 15, time until the "
              "last of N tasks has run (time per task)")
    for work, tasks in ((20, 4000), (1000, 80)):
        for workers in (2, 4):
            bench = "BM_PoolWork/%d/%d" % (work, workers)
            label = "%d µs" % work if work < 1000 else "%d ms" % (work // 1000)
            filt = "Work/%d/%d" % (work, workers)
            for what, lib in (("tasks of %s, %d workers, N = %s" % (label, workers,
                                                                      format(tasks, ",")),
                               "library"),
                              ("the same, level-6 traces off", "library_quiet")):
                paired_rows(t, runs, b, bench, what, lib,
                            [("minimal std::mutex pool, list of 15", "minimal",
                              "ahead (≥ 1×)", 1.0),
                             ("GThreadPool, unbounded", "gthreadpool", "ahead (≥ 1×)", 1.0),
                             ("asio::thread_pool, unbounded", "asio", "ahead (≥ 1×)", 1.0)],
                            filt)


def sched_section(t, runs):
    b = "bench_sched"
    t.section("Scheduler (one run each; median / 99th percentile)")
    for what, lib_name, base_name, base_label, goal, need in (
            ("`add_task(0,0)` until the function starts", "BM_SchedAddTaskStart",
             "BM_SleepStartLateness", "clock_nanosleep, lateness at its deadline",
             "(recorded)", None),
            ("10 ms fixed-period task over 5 s, lateness", "BM_SchedFixPeriodLateness",
             "BM_SleepPeriodLateness", "clock_nanosleep, same deadlines",
             "median < 200 µs", 200.0)):
        lib = reps(runs, b, lib_name)
        base = reps(runs, b, base_name)
        base_txt = ("%s %s / %s" % (base_label, fmt_us(field(base, "median_us")),
                                    fmt_us(field(base, "p99_us"))) if base else "not run")
        if not lib:
            t.row(what, "not run", base_txt, "", goal, "",
                  cmd(b, "Sched|Sleep"))
            continue
        lib_med = field(lib, "median_us")
        lib_txt = "%s / %s" % (fmt_us(lib_med), fmt_us(field(lib, "p99_us")))
        ratio = ("%.2f× (medians)" % (field(base, "median_us") / lib_med)
                 if base and lib_med > 0 else "")
        ok = "" if need is None else verdict(lib_med < need)
        t.row(what, lib_txt, base_txt, ratio, goal, ok, cmd(b, "Sched|Sleep"))


def delay_section(t, runs):
    b = "bench_delay"
    t.section("Delay queue: time per call with N entries queued (growth exponent: "
              "1 linear, 2 quadratic)")
    for op, name in (("`addEntry`", "BM_DelayAddEntry"),
                     ("`removeEntry(token)`", "BM_DelayRemoveEntry")):
        prev = None
        for n in (10, 100, 1000, 10000):
            what = "%s, N = %s" % (op, format(n, ","))
            rs = reps(runs, b, "%s/%d" % (name, n))
            if not rs:
                t.row(what, "not run", "—", "", "", "", "")
                continue
            ns = per_item_ns(rs)
            if prev is None:
                t.row(what, fmt_time(ns), "—", "", "the growth is shown, and stays linear", "",
                      cmd(b, name))
            else:
                # ten times the entries: exponent log10(t_N / t_N/10)
                e = math.log10(ns / prev)
                t.row(what, fmt_time(ns), "—", "%.1f× (exponent %.2f)" % (ns / prev, e),
                      "exponent ≤ 1.6", verdict(e <= 1.6), "")
            prev = ns


def ring_section(t, runs):
    b = "bench_ring"
    t.section("Byte ring, producer thread → consumer thread, 32 MiB per run")
    for size in (64, 1024, 4096):
        label = "%d B" % size if size < 1024 else "%d KiB" % (size // 1024)
        paired_rows(t, runs, b, "BM_Ring/%d" % size, "`lwrb`, chunks of %s" % label, "library",
                    [("the limit: two threads, halves of 1 MiB", "halves",
                      "≥ 0.8×" if size == 4096 else "(recorded)", 0.8 if size == 4096 else None),
                     ("spsc_queue<char>", "spsc", "ahead (≥ 1×)", 1.0),
                     ("memcpy, one thread", "memcpy", "(information)", None)],
                    "Ring/%d/" % size, rate=True)


def spread(values):
    """(largest - smallest) / median of the values, or None."""
    m = median(values)
    return (max(values) - min(values)) / m if values and m else None


NOISY = 0.10  # a row whose repetitions' ratios spread more than this is marked
NO_TRIM = "glibc.malloc.trim_threshold=2147483647"  # as scripts/bench.sh sets it


def per_k(rs, lib, base, what):
    """'library / baseline' of one tally per 1,000 items (medians)."""
    a, b = field(rs, lib + "_" + what + "_k"), field(rs, base + "_" + what + "_k")
    show = lambda v: "—" if v is None else ("%.1f" % v if v < 100 else "%.0f" % v)
    return "%s / %s" % (show(a), show(b))


def queue_table(runs, b="bench_queue", goal=True):
    """The queue rows of binary run `b`, each with the counts that tell a
    comparison that holds from one that the load decided; returns (lines,
    missed).  goal: the rows are judged against ≥ 1.0× (else analysis)."""
    lines = ["| Queue, 1 KiB, 50,000 per run | Library | Baseline: minimal mutex + "
             "deque<vector<char>> | Ratio | Spread | Full writes /1k (lib / base) | "
             "Consumer waits /1k (lib / base) | Page faults /1k (lib / base) | Load | Goal | | "
             "Command |",
             "|---|---|---|---|---|---|---|---|---|---|---|---|"]
    missed = []
    for bench, what in (("BM_FrameQueue", "frame queue, producer → consumer"),
                        ("BM_BlockQueue", "block queue, 2 writers, 2 readers")):
        rs = reps(runs, b, bench)
        for lib, label in (("library", what), ("library_quiet", "the same, level-6 traces off")):
            c = cmd("bench_queue", bench[3:]) if lib == "library" else ""
            if c and b != "bench_queue":
                c = "`GLIBC_TUNABLES=%s %s" % (NO_TRIM, c[1:])
            lib_ns, base_ns = field(rs, lib + "_ns"), field(rs, "minimal_ns")
            goal_txt = "≥ 1.0×" if goal else "(analysis)"
            if lib_ns is None or base_ns is None:
                lines.append("| %s | not run | | | | | | | | %s | | %s |" % (label, goal_txt, c))
                continue
            ratios = [r["minimal_ns"] / r[lib + "_ns"] for r in rs
                      if r.get(lib + "_ns") and "minimal_ns" in r]
            r, sp = median(ratios), spread(ratios)
            loads = [x["load1"] for x in rs if "load1" in x]
            load = "%.1f–%.1f" % (min(loads), max(loads)) if loads else "?"
            mark = "%.0f%%%s" % (100 * sp, " **noisy**" if sp > NOISY else "")
            ok = verdict(r >= 1.0) if goal else ""
            if ok == "missed":
                missed.append("%s: minimal %s ≥ 1.0× (ratio %.2f×, spread %s)"
                              % (label if lib == "library" else what + ", traces off",
                                 fmt_time(base_ns), r, mark))
            lines.append("| %s | %s | %s | %.2f× | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                label, fmt_time(lib_ns), fmt_time(base_ns), r, mark,
                per_k(rs, lib, "minimal", "refused"), per_k(rs, lib, "minimal", "waits"),
                per_k(rs, lib, "minimal", "faults"), load, goal_txt, ok, c))
    return lines, missed


def fmt_latency(us):
    """Microseconds, or milliseconds from 1 ms on."""
    return fmt_us(us) if us < 1000 else "%.0f ms" % (us / 1e3) if us >= 1e4 else "%.1f ms" % (us / 1e3)


def latency_section(t, runs):
    """Queue latency from write to read (bench_latency): one row per family
    and load, beside the minimal queue at the same load."""
    b = "bench_latency"
    t.section("Queue latency, write to read: 512-byte frames, producer thread → consumer "
              "thread waiting as \"Choosing a queue\" says, 32 frames a queue (one run "
              "each; median / 99th percentile)")
    rows = (("slot queue, caller's mutex and condition", "Slot"),
            ("frame queue, capacity 32, consumer in `queue_get_frame_type`", "Frame"),
            ("frame queue, capacity 4 (live), the same consumer", "FrameLive"),
            ("block queue, semaphore per block", "Block"),
            ("element ring, caller's mutex and condition", "Ring"),
            ("stream queue, semaphore per entry", "Stream"),
            ("`lwrb`, semaphore posted by its event callback", "Bytes"))
    for load, arg in (("25 frames a second", 0), ("full speed", 1)):
        base = reps(runs, b, "BM_LatencyMinimal/%d" % arg)
        base_txt = ("minimal mutex + condition + deque %s / %s"
                    % (fmt_latency(field(base, "median_us")), fmt_latency(field(base, "p99_us")))
                    if base else "not run")
        for what, name in rows:
            lib = reps(runs, b, "BM_Latency%s/%d" % (name, arg))
            c = cmd(b, "Latency(%s|Minimal)/%d" % (name, arg))
            label = "%s, %s" % (what, load)
            if not lib:
                t.row(label, "not run", base_txt, "", "(recorded)", "", c)
                continue
            med = field(lib, "median_us")
            ratio = ""
            if base and med > 0:
                r = field(base, "median_us") / med
                ratio = ("%.2f× (medians)" % r if r >= 0.01
                         else "1/%s× (medians)" % format(int(round(1 / r)), ","))
            t.row(label, "%s / %s" % (fmt_latency(med), fmt_latency(field(lib, "p99_us"))), base_txt,
                  ratio, "(recorded)", "", c)


def config_section(t, runs):
    b = "bench_config"
    t.section("Configuration store")
    p = reps(runs, b, "BM_ConfigParse")
    if p:
        t.row("parse a 1,000-line text (new store)", "%s (%s a line)" % (
            fmt_time(cpu_item_ns(p) * field(p, "batch")), fmt_time(cpu_item_ns(p))), "—", "",
            "recorded", "", cmd(b, "Parse"))
    g = reps(runs, b, "BM_ConfigGetWhileSet")
    if g:
        t.row("`get` from 2 threads while 1 sets", "%s a get (%.0f sets meanwhile)" % (
            fmt_time(per_item_ns(g)), field(g, "sets_per_iter")), "—", "", "recorded", "",
            cmd(b, "GetWhileSet"))


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else "build/bench/results"
    runs = load(folder)
    if not runs:
        print("no benchmark results in %s" % folder, file=sys.stderr)
        return 1
    t = Table()
    for section in (trace_section, pool_section, sched_section, delay_section, ring_section,
                    config_section, latency_section):
        section(t, runs)
    print(t.text())
    print()
    q_lines, q_missed = queue_table(runs)
    t.missed.extend(q_missed)
    print("\n".join(q_lines))
    print()
    notrim, _ = queue_table(runs, "bench_queue_notrim", goal=False)
    if any("not run" not in line for line in notrim[2:]):
        print("The same rows with glibc's heap trimming off "
              "(`GLIBC_TUNABLES=%s`, for the analysis only): "
              "what the queues cost when the allocator keeps the memory the readers free." % NO_TRIM)
        print()
        print("\n".join(notrim))
        print()
    print("Queue rows: time per item (medians of the repetitions); the ratio is the median of the "
          "repetitions' own ratios (baseline time / library time), and its spread "
          "(largest − smallest) / median is marked **noisy** above %d%%. Per 1,000 items, "
          "library / baseline: writes refused because the queue was full; consumer waits (frame "
          "queue: the consumer thread's sleeps, on the condition or the mutex; block queue: reads "
          "that found the queue empty); page faults of the process (a heap that the allocator "
          "gives back to the system and takes again). Load: the 1-minute load average as each "
          "repetition began." % (100 * NOISY))
    print()
    c = {}
    for path in sorted(glob.glob(os.path.join(folder, "*.json"))):
        try:
            with open(path) as f:
                c = json.load(f).get("context", {})
            break
        except ValueError:
            continue
    print("Machine: %s CPUs at %s MHz, load average %s at the start; %s." % (
        c.get("num_cpus", "?"), c.get("mhz_per_cpu", "?"),
        ", ".join("%.2f" % x for x in c.get("load_avg", [])), c.get("date", "")))
    print("Goals missed: %d" % len(t.missed))
    for m in t.missed:
        print("  - " + m)
    return 0


if __name__ == "__main__":
    sys.exit(main())
