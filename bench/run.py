"""ondulix against the floor (a bare C loop of the same formulas), the NumPy
expression, numexpr and a Python loop over math, all measured in one run.

Prints the tables and writes docs/benchmark.md and docs/benchmark.png.
`make bench` sets up everything it needs and runs this script.

Timing: every contender of one case is timed in batches (enough calls for a
batch to last --batch seconds), the contenders take turns within each round
in a rotating order, and the best batch over --rounds rounds gives the time
per call. The ratio to the floor is also given as the median of the per-round
ratios, which a slow drift of the machine affects less. Single-threaded
contenders are timed in the CPU time of the calling thread, which leaves out
the time it waited for a core while other processes ran; multi-threaded
numexpr is timed by the wall clock, since its workers' time would not show
in the calling thread's."""
import argparse
import gc
import json
import math
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

# OpenBLAS's idle worker threads would compete for the cores; nothing here
# uses BLAS.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

import machine  # noqa: E402
from cases import CASES, sample_times  # noqa: E402
import memory  # noqa: E402
from build_floor import load_floor  # noqa: E402

SIZES = (1, 100, 10**4, 10**6)
SWEEP_SIZES = (10, 1000, 10**5)  # extra sizes for the NumPy crossover
PYTHON_LOOP_SAMPLES = 10**4       # the Python loop runs on at most this many
OTHER_BORROWS = 10**4
SMALL_CONSTANT = 128 << 10         # page granularity and the interpreter's own noise
BEYOND_KEPT_BUFFER = 5 * 10**6    # 40 MB of samples: more than ondulix keeps between calls
FLOOR_TARGET = 1.05
EMPTY_TARGET = 2.0


# ---------------------------------------------------------------------------
# Timing

@dataclass
class Timing:
    per_call: list = field(default_factory=list)  # seconds, one per round

    @property
    def best(self):
        return min(self.per_call)


def time_batch(function, calls, clock=time.thread_time):
    gc.disable()
    try:
        start = clock()
        for _ in range(calls):
            function()
        return (clock() - start) / calls
    finally:
        gc.enable()


def calls_per_batch(function, batch, clock=time.thread_time):
    function()  # warm up
    calls = 1
    while True:
        elapsed = time_batch(function, calls, clock) * calls
        if elapsed >= batch / 4 or calls >= 1 << 22:
            return max(1, int(calls * batch / max(elapsed, 1e-9)))
        calls *= 4


@dataclass
class Contender:
    call: object
    setup: object = None            # run untimed before each batch
    clock: object = time.thread_time


def race(contenders, rounds, batch):
    """Time every contender in turn, round after round."""
    calls = {}
    for name, c in contenders.items():
        if c.setup:
            c.setup()
        calls[name] = calls_per_batch(c.call, batch, c.clock)
    timings = {name: Timing() for name in contenders}
    names = list(contenders)
    for r in range(rounds):
        shift = r % len(names)
        order = names[shift:] + names[:shift]
        for name in (order if r % 2 == 0 else order[::-1]):
            c = contenders[name]
            if c.setup:
                c.setup()
            timings[name].per_call.append(time_batch(c.call, calls[name], c.clock))
    return timings


def paired_ratio(a, b):
    return statistics.median(x / y for x, y in zip(a.per_call, b.per_call))


# ---------------------------------------------------------------------------
# The contenders

def bind(function, t, args):
    """function(t, *args) as a user writes it, arguments spelled out: a
    call through *args would build a tuple in every call."""
    if len(args) == 4:
        a, b, c, d = args
        return lambda: function(t, a, b, c, d)
    if len(args) == 5:
        a, b, c, d, e = args
        return lambda: function(t, a, b, c, d, e)
    a, b, c, d, e, f = args
    return lambda: function(t, a, b, c, d, e, f)


def contenders_for(case, n, ondulix, floor, alternatives, numexpr, include_all=True):
    """The calls to time for one case and n."""
    t = sample_times(n)
    args = case.arguments
    impl = alternatives.implementations(case.function)
    contenders = {"ondulix": Contender(bind(getattr(ondulix, case.function), t, args)),
                  "numpy": Contender(bind(impl["numpy"], t, args))}
    if not include_all:
        return contenders
    contenders["floor"] = Contender(bind(getattr(floor, case.function), t, args))
    threads = numexpr.default_threads
    contenders["numexpr 1 thread"] = Contender(
        bind(impl["numexpr"], t, args), lambda: numexpr.module.set_num_threads(1))
    contenders[f"numexpr {threads} threads"] = Contender(
        bind(impl["numexpr"], t, args), lambda: numexpr.module.set_num_threads(threads),
        time.perf_counter)
    contenders["python loop"] = Contender(bind(impl["python"], t[:PYTHON_LOOP_SAMPLES], args))
    # What ondulix must do beyond the floor's work: copy a filled buffer of n
    # doubles into a fresh array.
    filled = np.full(n, 0.5)
    contenders["copy"] = Contender(filled.copy)
    if n == 1:
        empty = np.empty
        contenders["np.empty(1)"] = Contender(lambda: empty(1))
    return contenders


def bit_identity(case, ondulix, floor, alternatives):
    """Fraction of samples, at n = 10^4, where each contender agrees with
    ondulix bit for bit."""
    t = sample_times(10**4)
    expected = getattr(ondulix, case.function)(t, *case.arguments).view(np.uint64)
    impl = alternatives.implementations(case.function)
    results = {"floor": getattr(floor, case.function)(t, *case.arguments)}
    results.update({style: impl[style](t, *case.arguments) for style in impl})
    return {name: float(np.mean(result.view(np.uint64) == expected))
            for name, result in results.items()}


# ---------------------------------------------------------------------------
# The shared borrow registry

def registry_costs(ondulix, floor, rounds, batch):
    """acquire + release of the read borrow with and without 10^4 other
    borrowed arrays: directly through the record, and as whole calls."""
    import numpy.core.multiarray as multiarray

    t = sample_times(1)
    ondulix.harmonic_oscillator(t, 1.0, 0.0, 1.0, 0.0, 0.0)  # creates the registry
    capsule = getattr(multiarray, "_array_borrow_registry")
    iterations = 200_000
    other_owners = [np.empty(1) for _ in range(OTHER_BORROWS)]
    # Views of one array: borrows of one owner, the time array among them.
    shared = np.zeros(2 * OTHER_BORROWS + 2)
    t_view = shared[:1]
    same_owner = [shared[2 + 2 * i:3 + 2 * i] for i in range(OTHER_BORROWS)]

    def direct(array, others):
        floor.read_borrows(capsule, others, True)
        try:
            return floor.read_borrow_ns(capsule, array, iterations)
        finally:
            floor.read_borrows(capsule, others, False)

    result = {
        "direct, no other borrow": min(direct(t, []) for _ in range(rounds)),
        f"direct, {OTHER_BORROWS} other arrays borrowed":
            min(direct(t, other_owners) for _ in range(rounds)),
        f"direct, {OTHER_BORROWS} other views of the same array borrowed":
            min(direct(t_view, same_owner) for _ in range(rounds)),
    }

    call = lambda: ondulix.harmonic_oscillator(t, 1.0, -0.1, 2.0, 0.1, 0.5)  # noqa: E731
    calls = calls_per_batch(call, batch)
    alone, crowded = [], []
    for _ in range(rounds):
        alone.append(time_batch(call, calls))
        floor.read_borrows(capsule, other_owners, True)
        try:
            crowded.append(time_batch(call, calls))
        finally:
            floor.read_borrows(capsule, other_owners, False)
    result["call at n = 1, no other borrow"] = min(alone) * 1e9
    result[f"call at n = 1, {OTHER_BORROWS} other arrays borrowed by a peer"] = min(crowded) * 1e9
    return result


# ---------------------------------------------------------------------------
# Report

def fmt_time(seconds):
    ns = seconds * 1e9
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns" if ns < 100 else f"{ns:.0f} ns"


def fmt_bytes(value):
    if value is None:
        return "n/a"
    if abs(value) >= 1 << 20:
        return f"{value / (1 << 20):.2f} MiB"
    if abs(value) >= 1 << 10:
        return f"{value / (1 << 10):.1f} KiB"
    return f"{value} B"


def fmt_n(n):
    exponent = round(math.log10(n)) if n > 0 else 0
    return f"10^{exponent}" if n >= 1000 and 10**exponent == n else f"{n:,}"


def faster_than_ondulix(points, tool):
    """Where tool beats ondulix per sample: the sizes, the size below the
    first of them (the crossover lies in between) and the best ratio."""
    sizes = sorted(n for n in points if tool in points[n])
    faster = [n for n in sizes if points[n][tool] < points[n]["ondulix"]]
    if not faster:
        return "never"
    below = [n for n in sizes if n < faster[0]]
    best = min(points[n][tool] / points[n]["ondulix"] for n in faster)
    text = "at n = " + ", ".join(fmt_n(n) for n in faster) + f" (best {best:.2f}×"
    if below:
        text += f"; crossover between {fmt_n(below[-1])} and {fmt_n(faster[0])}"
    return text + ")"


class Report:
    def __init__(self):
        self.lines = []

    def __call__(self, text=""):
        print(text, flush=True)
        self.lines.append(text)

    def table(self, header, rows):
        self("| " + " | ".join(header) + " |")
        self("|" + "|".join("---:" if i else "---" for i in range(len(header))) + "|")
        for row in rows:
            self("| " + " | ".join(str(cell) for cell in row) + " |")
        self()


def run(args):
    import ondulix
    import numexpr as ne

    import alternatives

    floor = load_floor(ROOT / "build" / "bench")

    class Numexpr:
        module = ne
        default_threads = ne.get_num_threads()

    report = Report()
    info = machine.describe(ne)
    report("# ondulix benchmark")
    report()
    report(f"Measured on {info['summary']}.")
    report()
    report(machine.markdown(info))
    report(f"Timing: best of {args.rounds} rounds of batches of about {args.batch * 1e3:g} ms "
           "(or one call, where a call takes longer), contenders interleaved in a rotating "
           "order; `ratio` is ondulix / floor from those best times, `paired` the median of "
           "the per-round ratios. Single-threaded contenders are timed in the calling "
           "thread's CPU time, which leaves out waits for a core while other processes ran "
           "on this shared machine; multi-threaded numexpr by the wall clock. "
           f"The Python loop runs on at most {PYTHON_LOOP_SAMPLES} samples "
           "(its cost per sample does not depend on n).")
    report()

    sizes = SIZES if not args.quick else SIZES[:3]
    results = {}       # label -> n -> name -> Timing
    per_sample = {}    # label -> n -> name -> seconds per sample (ondulix, numpy)
    started = time.perf_counter()
    for case in CASES:
        results[case.label] = {}
        per_sample[case.label] = {}
        for n in sizes:
            contenders = contenders_for(case, n, ondulix, floor, alternatives, Numexpr)
            timings = race(contenders, args.rounds, args.batch)
            results[case.label][n] = timings
            per_sample[case.label][n] = {name: timings[name].best / n for name in ("ondulix", "numpy")}
            print(f"  {case.label:32} n={n:<8} ondulix {fmt_time(timings['ondulix'].best):>10}"
                  f"  floor {fmt_time(timings['floor'].best):>10}"
                  f"  ratio {timings['ondulix'].best / timings['floor'].best:.3f}", flush=True)
        for n in (SWEEP_SIZES if not args.quick else SWEEP_SIZES[:2]):
            contenders = contenders_for(case, n, ondulix, floor, alternatives, Numexpr,
                                        include_all=False)
            timings = race(contenders, args.rounds, args.batch)
            per_sample[case.label][n] = {name: timings[name].best / n for name in timings}
    beyond = None
    if not args.quick:
        case = CASES[0]
        contenders = contenders_for(case, BEYOND_KEPT_BUFFER, ondulix, floor, alternatives,
                                    Numexpr)
        beyond = race({name: contenders[name] for name in ("ondulix", "floor")},
                      max(3, args.rounds // 2), args.batch)
    print(f"  (timing took {time.perf_counter() - started:.0f} s)", flush=True)
    report()

    report("## Time")
    report()
    report("Per sample unless marked per call; n = 1 is both. `copy`: a new array made by "
           "copying a filled array of n doubles (`a.copy()`), the one step a call must take "
           "beyond the floor's work besides its fixed costs.")
    report()
    for case in CASES:
        report(f"### {case.label}")
        report()
        header = ["n", "ondulix per call", "ondulix per sample", "floor per sample", "ratio",
                  "paired", "copy", "NumPy expr", "numexpr 1 thread",
                  f"numexpr {Numexpr.default_threads} threads", "Python loop"]
        rows = []
        for n in sizes:
            tm = results[case.label][n]
            python_n = min(n, PYTHON_LOOP_SAMPLES)
            rows.append([
                f"{n:,}", fmt_time(tm["ondulix"].best), fmt_time(tm["ondulix"].best / n),
                fmt_time(tm["floor"].best / n),
                f"{tm['ondulix'].best / tm['floor'].best:.3f}",
                f"{paired_ratio(tm['ondulix'], tm['floor']):.3f}",
                fmt_time(tm["copy"].best / n),
                fmt_time(tm["numpy"].best / n),
                fmt_time(tm["numexpr 1 thread"].best / n),
                fmt_time(tm[f"numexpr {Numexpr.default_threads} threads"].best / n),
                fmt_time(tm["python loop"].best / python_n),
            ])
        report.table(header, rows)

    if beyond:
        ratio = beyond["ondulix"].best / beyond["floor"].best
        report("### Beyond the buffer kept between calls")
        report()
        report(f"ondulix keeps one result buffer of up to 32 MiB between calls. At n = "
               f"{BEYOND_KEPT_BUFFER:,} ({8 * BEYOND_KEPT_BUFFER / 2**20:.0f} MiB), "
               f"{CASES[0].label} allocates a fresh buffer in every call, whose pages are "
               f"faulted in again: ondulix {fmt_time(beyond['ondulix'].best / BEYOND_KEPT_BUFFER)}"
               f" per sample, floor {fmt_time(beyond['floor'].best / BEYOND_KEPT_BUFFER)}, "
               f"ratio {ratio:.3f}.")
        report()

    report("## One sample: the cost of a call")
    report()
    report("At n = 1 a call is almost all overhead. The target compares it with `np.empty(1)`, "
           "for each function in its cheapest form (the Fourier wave with N = 1: with N = 8 "
           "or 64 the one sample alone costs more than two `np.empty(1)`, in the floor too).")
    report()
    rows = []
    for case in CASES:
        tm = results[case.label][1]
        rows.append([case.label, fmt_time(tm["ondulix"].best), fmt_time(tm["floor"].best),
                     fmt_time(tm["np.empty(1)"].best),
                     f"{tm['ondulix'].best / tm['np.empty(1)'].best:.2f}",
                     fmt_time(tm["ondulix"].best - tm["floor"].best)])
    report.table(["case", "ondulix", "floor", "np.empty(1)", "ondulix / np.empty(1)",
                  "ondulix − floor"], rows)

    identity = {case.label: bit_identity(case, ondulix, floor, alternatives) for case in CASES}
    report("## Bit-identical to ondulix?")
    report()
    report("Share of 10^4 samples whose bits equal ondulix's. The floor and the Python loop "
           "call the same C library functions as ondulix; NumPy and numexpr bring their own "
           "where they vectorise.")
    report()
    names = ["floor", "numpy", "numexpr", "python"]
    report.table(["case"] + names,
                 [[label] + [f"{100 * identity[label][name]:.2f} %" for name in names]
                  for label in identity])

    report("## Where another tool is faster than ondulix")
    report()
    report("Sizes at which a tool took less time per sample than ondulix, with its best "
           "time relative to ondulix's. The NumPy expression was also measured at n = "
           + ", ".join(fmt_n(n) for n in sorted(SWEEP_SIZES)) + " to place the crossover.")
    report()
    threaded = f"numexpr {Numexpr.default_threads} threads"
    rows = []
    for label in per_sample:
        points = {n: dict(values) for n, values in per_sample[label].items()}
        for n, tm in results[label].items():
            points[n].update({name: tm[name].best / n for name in ("numexpr 1 thread", threaded)})
        rows.append([label] + [faster_than_ondulix(points, tool)
                               for tool in ("numpy", "numexpr 1 thread", threaded)])
    report.table(["case", "NumPy expression", "numexpr 1 thread", threaded], rows)

    if not args.quick:
        report("## Peak extra memory per call")
        report()
        report(memory.EXPLANATION)
        report()
        mem_rows = []
        mem_results = {}
        for case in CASES:
            for n in SIZES:
                ours = memory.probe(case.function, case.arguments, n, "ondulix")
                theirs = memory.probe(case.function, case.arguments, n, "numpy")
                mem_results[(case.label, n)] = (ours, theirs)
                mem_rows.append([
                    case.label, f"{n:,}",
                    fmt_bytes(ours["rss_peak"]), fmt_bytes(ours["heap_growth"]),
                    fmt_bytes(ours["peak"]),
                    f"{ours['peak'] / n:.1f}" if n >= 10**4 else "",
                    fmt_bytes(ours["heap_held"]),
                    fmt_bytes(theirs["rss_peak"]), fmt_bytes(theirs["traced_peak"]),
                    fmt_bytes(theirs["peak"]),
                    f"{theirs['peak'] / n:.1f}" if n >= 10**4 else "",
                ])
        report.table(["case", "n", "ondulix RSS peak", "ondulix heap growth", "ondulix peak",
                      "bytes/n", "ondulix held after", "NumPy RSS peak",
                      "NumPy tracemalloc peak", "NumPy peak", "bytes/n"], mem_rows)
    else:
        mem_results = {}

    registry = registry_costs(ondulix, floor, args.rounds, args.batch)
    report("## Shared borrow registry")
    report()
    report("`direct`: acquire_read + release_read through the registry record, timed in C "
           "(best of 7 × 200,000 pairs per round). `call`: a whole `harmonic_oscillator` "
           "call at n = 1, alone and while a peer holds read borrows of 10^4 other arrays, "
           "interleaved. 10^4 views of one array are another matter: they all share one "
           "memory owner, whose borrows the registry keeps in one list and searches linearly.")
    report()
    report.table(["measurement", "time"], [[k, f"{v:.1f} ns"] for k, v in registry.items()])

    summary = targets(results, per_sample, mem_results, registry, sizes)
    report("## Targets")
    report()
    report.table(["target", "worst case measured", "met"], summary)

    if not args.quick:
        out = ROOT / "docs"
        out.mkdir(exist_ok=True)
        (out / "benchmark.md").write_text("\n".join(report.lines) + "\n")
        import plot
        plot.draw(results, per_sample, sizes, PYTHON_LOOP_SAMPLES, info, out / "benchmark.png")
        raw = {label: {str(n): {name: t.per_call for name, t in tm.items()}
                       for n, tm in by_n.items()} for label, by_n in results.items()}
        (ROOT / "build" / "bench" / "results.json").write_text(json.dumps(raw))
        print(f"\nwrote {out / 'benchmark.md'} and {out / 'benchmark.png'}")


def targets(results, per_sample, mem_results, registry, sizes):
    rows = []
    large = [n for n in sizes if n >= 10**4]
    worst = max(((results[label][n]["ondulix"].best / results[label][n]["floor"].best, label, n)
                 for label in results for n in large))
    rows.append([f"ondulix ≤ {FLOOR_TARGET} × floor at n ≥ 10^4",
                 f"{worst[0]:.3f} ({worst[1]}, n = {worst[2]:,})", yes(worst[0] <= FLOOR_TARGET)])
    worst = max((results[case.label][1]["ondulix"].best
                 / results[case.label][1]["np.empty(1)"].best, case.label)
                for case in CASES if case.cheapest)
    rows.append([f"call at n = 1 ≤ {EMPTY_TARGET:g} × np.empty(1)",
                 f"{worst[0]:.2f} ({worst[1]})", yes(worst[0] <= EMPTY_TARGET)])
    if mem_results:
        worst = max((ours["peak"] - 16 * n, label, n)
                    for (label, n), (ours, _) in mem_results.items())
        rows.append([f"peak extra memory ≤ 16·n bytes + {fmt_bytes(SMALL_CONSTANT)}",
                     f"16·n + {fmt_bytes(worst[0])} ({worst[1]}, n = {worst[2]:,})",
                     yes(worst[0] <= SMALL_CONSTANT)])
    alone = registry["direct, no other borrow"]
    crowded = registry[f"direct, {OTHER_BORROWS} other arrays borrowed"]
    rows.append(["registry cost independent of 10^4 other borrowed arrays",
                 f"{alone:.1f} ns alone, {crowded:.1f} ns with 10^4 others",
                 yes(crowded <= 1.25 * alone + 5)])
    worst = max((per_sample[label][n]["ondulix"] / per_sample[label][n]["numpy"], label, n)
                for label in per_sample for n in per_sample[label] if n <= 100)
    rows.append(["ondulix faster than the NumPy expression at n ≤ 100",
                 f"ondulix / NumPy = {worst[0]:.2f} ({worst[1]}, n = {worst[2]:,})",
                 yes(worst[0] < 1.0)])
    return rows


def yes(flag):
    return "yes" if flag else "**no**"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=11)
    parser.add_argument("--batch", type=float, default=0.01, help="seconds per timed batch")
    parser.add_argument("--quick", action="store_true",
                        help="a smoke run: small sizes, no memory probes, nothing written")
    parser.add_argument("--memory-probe", nargs=4, metavar=("FUNCTION", "ARGUMENTS", "N", "TOOL"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_probe:
        memory.child(*args.memory_probe)
        return
    if args.quick:
        args.rounds, args.batch = min(args.rounds, 3), min(args.batch, 0.002)
    run(args)


if __name__ == "__main__":
    main()
