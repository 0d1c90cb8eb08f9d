"""The soak, run as its own process: `python soak_driver.py CALLS`.

It builds a few hundred calls of all five functions from arguments of every
kind (call_model), valid and invalid, bound by position, keyword or straight
through the C entry, and makes CALLS calls in turn from them, checking each
outcome exactly. Then it prints one JSON object with what the test judges:

- failures: calls whose outcome was not the expected one (a few, described);
- refcount_changes: argument objects (and the float64 descriptor) whose
  reference count differs after the calls from before them;
- borrowed: time arrays of which a borrow is still recorded;
- memory: resident set size, bytes in use by malloc and blocks in use by
  the interpreter's object allocator, after a warm-up of a tenth of the calls
  and at the end, each after a full garbage collection.

Diagnostics of internal failures go to standard error, one per such call."""
import ctypes
import gc
import json
import os
import random
import sys
import warnings

import numpy as np

import call_model as model
import ondulix
from registry_access import Registry

SEED = 20240611
CASES = 400
MAX_TERMS = 200  # keeps fourier_square_wave sums short


def fresh(text):
    """A str of its own, not the interned constant."""
    return "".join(list(text))


def random_time(rng):
    kind = rng.random()
    if kind < 0.08:
        return model.TimeArray(rng.choice(model.other_time_objects()), None, None)
    if kind < 0.12:
        return model.huge_zero_stride_array()
    if kind < 0.75:
        dtype, shape = rng.choice(["<f8", "=f8"]), (rng.randrange(0, 13),)
        steps = [1 if rng.random() < 0.8 else rng.choice([-1, 0, 2])]
    else:
        ndim = rng.randrange(0, 4)
        shape = tuple(rng.randrange(0, 13 if ndim == 1 else 5) for _ in range(ndim))
        steps = [rng.choice([1, -1, 0, 2, -2, 3]) for _ in range(ndim)]
        dtype = rng.choice(model.DTYPES)
    specials = [0.0, -0.0, float("nan"), float("inf"), -float("inf"), 5e-324, 1e308, -1.0]
    return model.make_time_array(
        dtype=dtype, shape=shape, steps=steps,
        misalign=rng.choice([0, 0, 1, 4]),
        subclass=rng.choice(model.SUBCLASSES) if rng.random() < 0.15 else None,
        read_only=rng.random() < 0.5,
        raw_bytes=bytes(rng.randrange(256) for _ in range(rng.randrange(1, 24))),
        values=[rng.choice(specials) if rng.random() < 0.3 else rng.uniform(-50, 50)
                for _ in range(rng.randrange(0, 7))])


def random_scalar(rng, parameter, catalogue):
    if rng.random() < 0.15:
        return rng.choice(catalogue)
    if parameter == model.COUNT_PARAMETER:
        return rng.randrange(0, 9)
    return rng.uniform(-5.0, 5.0)


def random_call(rng, catalogue):
    function = rng.choice(sorted(model.PARAMETERS))
    parameters = model.PARAMETERS[function]
    time = random_time(rng)
    values = [time.array] + [random_scalar(rng, p, catalogue) for p in parameters[1:]]
    n_positional = rng.randrange(0, len(parameters) + 1)
    positional = values[:n_positional]
    keywords = [(model.Shown(name) if rng.random() < 0.1 else fresh(name), value)
                for name, value in zip(parameters[n_positional:], values[n_positional:])]
    if rng.random() < 0.2:
        fault = rng.choice(["surplus", "missing", "unknown", "twice"])
        if fault == "surplus":
            positional, keywords = values + [rng.uniform(-1, 1)], []
        elif fault == "missing" and keywords:
            del keywords[rng.randrange(len(keywords))]
        elif fault == "unknown":
            keywords.append((rng.choice([fresh("z"), "\udc80", model.Shown("w")]), 1.0))
        elif fault == "twice" and n_positional:
            keywords.append((fresh(rng.choice(parameters[:n_positional])), 2.0))
    rng.shuffle(keywords)
    raw = rng.random() < 0.3
    if raw and rng.random() < 0.1:
        keywords.insert(rng.randrange(len(keywords) + 1), (7.5, 1.0))
    if not raw:
        keywords = list(dict(keywords).items())
    return function, time, positional, keywords, raw


def build_cases():
    """Calls with their expected outcome; the result of each successful one
    is checked against the reference once, then kept as the bytes every later
    call must return."""
    rng = random.Random(SEED)
    catalogue = model.scalar_objects()
    cases = []
    while len(cases) < CASES:
        function, time, positional, keywords, raw = random_call(rng, catalogue)
        expected = model.expected_outcome(function, positional, keywords)
        if isinstance(expected, model.Returns):
            if expected.cost > MAX_TERMS:
                continue
            result = model.check_call(
                expected, lambda: model.call(function, positional, keywords, raw))
            expected = result.tobytes()
        cases.append((function, time, positional, keywords, raw, expected))
    return cases


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def under_sanitizer():
    with open("/proc/self/maps") as maps:
        return any("asan" in line for line in maps)


def memory():
    """(resident bytes, bytes in use by malloc, interpreter allocator blocks);
    None where a sanitizer's allocator makes the number meaningless."""
    gc.collect()
    with open("/proc/self/statm") as statm:
        resident = int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    if under_sanitizer():
        return None, None, sys.getallocatedblocks()
    mallinfo2 = ctypes.CDLL(None).mallinfo2
    mallinfo2.restype = MallocInfo
    info = mallinfo2()
    return resident, info.uordblks + info.hblkhd, sys.getallocatedblocks()


def private(obj):
    """Objects whose reference count belongs to the soak alone (not the
    interpreter's shared singletons: small ints, one-character strings)."""
    if obj is None or isinstance(obj, bool):
        return False
    if type(obj) is str and len(obj) <= 1:
        return False
    return not (type(obj) is int and -5 <= obj <= 256)


def argument_objects(cases):
    seen = {}
    for function, time, positional, keywords, raw, expected in cases:
        objects = [time.array, time.memory, time.twin, *positional]
        for name, value in keywords:
            objects += [name, value]
        for obj in objects:
            if obj is not None and private(obj):
                seen[id(obj)] = obj
    return list(seen.values())


def refcounts(objects):
    return [sys.getrefcount(obj) for obj in objects]


def run(cases, calls, failures):
    for i in range(calls):
        function, time, positional, keywords, raw, expected = cases[i % len(cases)]
        try:
            result = model.call(function, positional, keywords, raw)
        except BaseException as error:  # noqa: B036 - the internal failure is no Exception
            if isinstance(expected, bytes):
                failures.append(f"{function} raised {error!r}")
                continue
            try:
                expected.check(error)
            except AssertionError as mismatch:
                failures.append(f"{function}: {mismatch}")
        else:
            if result.tobytes() != expected:
                failures.append(f"{function} returned {result!r}, expected {expected!r}")


def main(calls):
    warnings.simplefilter("error")
    ondulix.harmonic_oscillator(np.zeros(1), 1, 0, 1, 0, 0)  # publishes the registry
    registry = Registry()
    cases = build_cases()
    objects = argument_objects(cases) + [np.dtype(np.float64)]

    failures = []
    warm_up = max(calls // 10, 25_000)  # the allocators settle within about 20,000
    run(cases, warm_up, failures)
    counts, before = refcounts(objects), memory()
    run(cases, calls - warm_up, failures)
    changed = [f"{obj!r:.60}: {old} -> {new}"
               for obj, old, new in zip(objects, counts, refcounts(objects)) if new != old]
    after = memory()
    borrowed = [repr(view)[:80] for _, time, *_ in cases for view in (time.memory, time.twin)
                if view is not None and not registry.is_free(view)]
    print(json.dumps({
        "calls": calls, "cases": len(cases),
        "outcomes": sorted({type(c[-1]).__name__ for c in cases}),
        "failures": failures[:10], "failure_count": len(failures),
        "refcount_changes": changed, "borrowed": borrowed,
        "memory_before": before, "memory_after": after,
    }))


if __name__ == "__main__":
    main(int(sys.argv[1]))
