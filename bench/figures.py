"""Runs the benchmarks case by case and prints one line per case (bench/run calls it).

Each case runs in a process of its own: the case and its floors side by side. Each of them runs
REPETITIONS x ROUNDS short runs (MIN_TIME/ROUNDS seconds each; a run of a start-up case is a
few start-ups, each timed alone, and gives their median), and all those runs are shuffled together, so that every stretch of the measurement holds
runs of the case and of its floors. Each run of the case is compared with the floor's runs next to
it in time (the last before it and the first after it): on a shared machine the speed of the
whole machine drifts by a third from one second to the next, and a case and its floor measured at
different moments would carry that drift into their ratio. The paired ratios, in the order they
ran, are cut into REPETITIONS stretches; a stretch's median is one repetition's ratio. Then, unless
COUNT=0 or valgrind is missing, the same process runs again under callgrind, which counts the
instructions of each measured loop alone (bench/Measure.h).

A line holds, for the case (T), its host floor (H) and its kernel floor (K): the median time of
each over all its runs, the engine's share T-H, the platform's H-K and the kernel's K, the same
in instructions, the ratio the goal is set on (the median over the repetitions of T/H, or T/K for
a case with no host floor) with its spread over the repetitions ((max-min)/median), and PASS or
MISS. A spread above 10% adds UNSTABLE.

With CALLGRIND_DIR set, each case's callgrind dumps are kept in CALLGRIND_DIR/<case>/, one file per
measured loop, named in its "desc: Trigger" line ("<benchmark> <iterations>"), for
callgrind_annotate.

Instruction counts are user-space instructions only: the kernel's work inside system calls is not
in them, so the kernel floor's count is small whatever its time. Valgrind 3.19 does not know the
openat2 system call, so under callgrind the sandbox resolves paths by its walk (DeviceRoot.cpp),
not by openat2 as in the timed runs; the platform's counts include that walk.
"""

import bisect
import glob
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

BENCH = "./build/bench/harbrite-bench"


class Case:
    def __init__(self, name, goal, host=True, goal_floor="host"):
        self.name = name
        self.goal = goal
        # host=True: a <case>.host benchmark exists. host="case": the case is the platform's own
        # work (its host figure is the case). host=False: no platform work (its host figure is
        # the kernel floor's).
        self.host = host
        self.goal_floor = goal_floor


CASES = [
    Case("decision_no_change", 1.5),
    Case("decision_switch", 1.5),
    Case("persist_front_enabled", 1.5),
    Case("persist_exit_1", 1.5),
    Case("persist_exit_100", 1.5),
    Case("persist_exit_10000", 1.5),
    Case("load_prefs", 2.0),
    Case("pane_read", 1.5),
    Case("pane_write", 1.5),
    Case("jbrootpath", 1.5, host=False, goal_floor="kernel"),
    Case("sandbox_read", 1.3, host="case", goal_floor="kernel"),
    Case("sandbox_replace", 1.3, host="case", goal_floor="kernel"),
    Case("boot", None),
]

UNIT = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}


def benchmark_filter(case):
    return "^" + re.escape(case.name) + r"(\.host|\.kernel)?(/|$)"


def base_name(run_name):
    return run_name.split("/", 1)[0]


def on_one_cpu():
    """Keeps the timed process on one processor (BENCH_CPU, or the last this one may use), as
    `taskset -c` does: a case and its floors then run on the same processor, never moved between
    two in the middle of a run."""
    allowed = sorted(os.sched_getaffinity(0))
    wanted = os.environ.get("BENCH_CPU")
    cpu = int(wanted) if wanted is not None and int(wanted) in allowed else allowed[-1]
    os.sched_setaffinity(0, {cpu})


def timed(case, repetitions, min_time, rounds):
    """The runs of the case and of its floors, by benchmark name: {name: [(started, ns), ...]},
    each list in the order the runs ran (started is None where a benchmark does not say when it
    began, and then the order is the repetitions').

    Each benchmark runs repetitions*rounds times, min_time/rounds seconds each, and all the runs
    of the case and of its floors are shuffled together: each stretch of the measurement holds
    runs of all three, so that a moment when the machine is slow (another process, the disk
    flushing, the hypervisor) falls on a case and its floors alike.
    """
    out = subprocess.run(
        [BENCH, "--benchmark_filter=" + benchmark_filter(case),
         "--benchmark_repetitions=%d" % (repetitions * rounds),
         "--benchmark_enable_random_interleaving=true",
         "--benchmark_min_time=%g" % (min_time / rounds), "--benchmark_format=json"],
        check=True, stdout=subprocess.PIPE, preexec_fn=on_one_cpu).stdout
    runs = {}
    for run in json.loads(out)["benchmarks"]:
        if run.get("run_type") != "iteration" or run.get("error_occurred"):
            continue
        # A run of start-ups reports its median start-up (bench/Measure.h).
        ns = run.get("median_ns") or run["real_time"] * UNIT[run.get("time_unit", "ns")]
        runs.setdefault(base_name(run["run_name"]), []).append(
            (run.get("started_ns"), run.get("repetition_index", 0), ns))
    times = {}
    for name, values in runs.items():
        if all(started is not None for started, _, _ in values):
            values.sort(key=lambda v: v[0])
        else:
            values = [(None, index, ns) for _, index, ns in sorted(values, key=lambda v: v[1])]
        times[name] = [(started, ns) for started, _, ns in values]
    return times


def paired_ratios(case_runs, floor_runs):
    """Each run of the case over the runs of the floor next to it in time: the mean of the floor's
    last run before it and first run after it (one of them at either end). Without start times,
    the runs are paired by their place in each list."""
    if any(started is None for started, _ in case_runs + floor_runs):
        count = min(len(case_runs), len(floor_runs))
        return [case_runs[i][1] / floor_runs[i][1] for i in range(count) if floor_runs[i][1] > 0]
    starts = [started for started, _ in floor_runs]
    ratios = []
    for started, ns in case_runs:
        after = bisect.bisect_left(starts, started)
        near = [floor_runs[i][1] for i in (after - 1, after) if 0 <= i < len(floor_runs)]
        floor = statistics.fmean(near) if near else 0
        if floor > 0:
            ratios.append(ns / floor)
    return ratios


def by_repetition(ratios, repetitions):
    """The paired ratios cut, in the order they ran, into `repetitions` stretches of the
    measurement, and each stretch's median: the ratio of one repetition."""
    if len(ratios) < repetitions:
        return list(ratios)
    size = len(ratios) / repetitions
    return [statistics.median(ratios[round(i * size):round((i + 1) * size)])
            for i in range(repetitions)]


def counted(case, folder):
    """Instructions per iteration under callgrind, by benchmark name."""
    for old in glob.glob(os.path.join(folder, "cg.*")):
        os.remove(old)
    subprocess.run(
        ["valgrind", "--tool=callgrind", "--collect-atstart=no",
         "--callgrind-out-file=" + os.path.join(folder, "cg.%p"), BENCH,
         "--benchmark_filter=" + benchmark_filter(case)],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    dumps = {}  # name -> iterations -> [instructions]
    for path in glob.glob(os.path.join(folder, "cg.*")):
        label, total = None, None
        with open(path, errors="replace") as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    label = line[len("desc: Trigger: Client Request: "):].strip()
                elif line.startswith("summary: "):
                    total = int(line.split()[1])
                    break
        if label is None or total is None or " " not in label:
            continue
        name, iterations = label.rsplit(" ", 1)
        dumps.setdefault(name, {}).setdefault(int(iterations), []).append(total)
    counts = {}
    for name, by_iterations in dumps.items():
        # The longest run of the name; start-ups (one iteration each) averaged.
        iterations = max(by_iterations)
        totals = by_iterations[iterations]
        counts[name] = sum(totals) / len(totals) / iterations
    return counts


def shares(t, h, k):
    return t - h, h - k


def figure(value, digits=0):
    if value is None:
        return "n/a"
    if digits == 0:
        return "%d" % round(value)
    return ("%." + str(digits) + "f") % value


def line(case, times, counts, repetitions):
    t = times.get(case.name)
    k = times.get(case.name + ".kernel")
    if case.host is True:
        h = times.get(case.name + ".host")
    elif case.host == "case":
        h = t
    else:
        h = k
    if not t or not h or not k:
        return None
    floor = h if case.goal_floor == "host" else k
    ratios = by_repetition(paired_ratios(t, floor), repetitions)
    if not ratios:
        return None
    ratio = statistics.median(ratios)
    spread = (max(ratios) - min(ratios)) / ratio if ratio > 0 else float("inf")
    tm, hm, km = (statistics.median(ns for _, ns in x) for x in (t, h, k))
    engine, platform = shares(tm, hm, km)

    ir = counts.get(case.name) if counts is not None else None
    kir = counts.get(case.name + ".kernel") if counts is not None else None
    if case.host is True:
        hir = counts.get(case.name + ".host") if counts is not None else None
    elif case.host == "case":
        hir = ir
    else:
        hir = kir
    have_ir = None not in (ir, hir, kir)
    engine_ir, platform_ir = shares(ir, hir, kir) if have_ir else (None, None)
    floor_ir = hir if case.goal_floor == "host" else kir
    ir_ratio = ir / floor_ir if have_ir and floor_ir else None

    fields = [
        "case=" + case.name,
        "time_ns=" + figure(tm), "host_ns=" + figure(hm), "kernel_ns=" + figure(km),
        "engine_ns=" + figure(engine), "platform_ns=" + figure(platform),
        "ir=" + figure(ir), "host_ir=" + figure(hir), "kernel_ir=" + figure(kir),
        "engine_ir=" + figure(engine_ir), "platform_ir=" + figure(platform_ir),
        "ratio=%.2f" % ratio, "vs=" + case.goal_floor, "ir_ratio=" + figure(ir_ratio, 2),
        "spread=%.1f%%" % (100 * spread),
    ]
    if case.goal is None:
        fields.append("goal=none")
    else:
        fields.append("goal=%g" % case.goal)
        fields.append("PASS" if ratio <= case.goal else "MISS")
    if spread > 0.10:
        fields.append("UNSTABLE")
    return " ".join(fields)


def main(args):
    wanted = [c for c in CASES if not args or any(re.search(a, c.name) for a in args)]
    if not wanted:
        print("no case matches %s; the cases: %s" % (" ".join(args),
                                                     " ".join(c.name for c in CASES)),
              file=sys.stderr)
        return 2
    repetitions = int(os.environ.get("REPETITIONS", "5"))
    min_time = float(os.environ.get("MIN_TIME", "0.5"))
    rounds = max(1, int(os.environ.get("ROUNDS", "40")))
    count = os.environ.get("COUNT", "1") != "0" and shutil.which("valgrind") is not None
    missing = 0
    kept = os.environ.get("CALLGRIND_DIR")
    with tempfile.TemporaryDirectory(prefix="harbrite-callgrind-") as scratch:
        for case in wanted:
            times = timed(case, repetitions, min_time, rounds)
            folder = os.path.join(kept, case.name) if kept else scratch
            os.makedirs(folder, exist_ok=True)
            counts = counted(case, folder) if count else None
            text = line(case, times, counts, repetitions)
            if text is None:
                print("case=%s not measured" % case.name, flush=True)
                missing += 1
            else:
                print(text, flush=True)
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
