"""Peak extra memory of one call, measured in a fresh interpreter per case.

Three views, each a lower bound of the true peak, and the peak is the largest:
- RSS peak: how far the process's resident high-water mark rises during the
  first call at this n (reset through /proc/self/clear_refs just before);
  it sees every allocator, in whole pages.
- heap growth: bytes in use in the C library's heap (mallinfo2) after the
  first call with its result still alive, against before; exact to the byte
  for whatever is still allocated, and this includes a buffer ondulix keeps.
- tracemalloc peak: NumPy reports its array data to tracemalloc, so this is
  the exact peak of everything NumPy allocates in a second call, temporaries
  included; ondulix's own buffer is invisible to it.
"""
import ctypes
import gc
import json
import os
import subprocess
import sys
import tracemalloc
from pathlib import Path

HERE = Path(__file__).resolve().parent

EXPLANATION = (
    "Each case runs in a fresh interpreter after one warm-up call at n = 1. "
    "*RSS peak*: rise of the resident high-water mark during the first call at n "
    "(whole pages, every allocator). *heap growth*: C-library heap bytes in use after that "
    "call with the result alive, against before (mallinfo2; exact, and it includes the "
    "buffer ondulix keeps for reuse). *tracemalloc peak*: exact peak of NumPy's own "
    "allocations during a second call, temporaries included. *peak* is the largest of the "
    "three views, each of which is a lower bound. *held after*: heap bytes ondulix still "
    "holds once the result is gone (its reused buffer). The result itself is 8·n bytes."
)


class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
        "uordblks", "fordblks", "keepcost")]


def _mallinfo2():
    try:
        function = ctypes.CDLL(None).mallinfo2
    except AttributeError:  # glibc before 2.33
        return None
    function.restype = MallInfo2
    return function


_MALLINFO2 = _mallinfo2()


def heap_in_use():
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def _status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def reset_rss_peak():
    """Set the high-water mark to the current RSS; returns the RSS in bytes,
    or None where the mark cannot be reset."""
    try:
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")
    except OSError:
        return None
    return _status_kib("VmRSS") * 1024


def difference(after, before):
    return None if after is None or before is None else after - before


def child(function, arguments, n, tool):
    sys.path.insert(0, str(HERE))
    import ondulix  # noqa: F401

    import alternatives
    from cases import sample_times

    arguments, n = json.loads(arguments), int(n)
    if tool == "ondulix":
        f = getattr(ondulix, function)
    else:
        f = alternatives.implementations(function)["numpy"]
    t = sample_times(n)
    f(sample_times(1), *arguments)
    gc.collect()
    gc.disable()

    heap_before = heap_in_use()
    rss_before = reset_rss_peak()
    result = f(t, *arguments)
    rss_peak = None if rss_before is None else _status_kib("VmHWM") * 1024 - rss_before
    heap_growth = difference(heap_in_use(), heap_before)
    del result
    heap_held = difference(heap_in_use(), heap_before)

    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    tracemalloc.reset_peak()
    result = f(t, *arguments)
    traced_peak = tracemalloc.get_traced_memory()[1] - base
    tracemalloc.stop()

    views = [v for v in (rss_peak, heap_growth, traced_peak) if v is not None]
    print(json.dumps({"rss_peak": rss_peak, "heap_growth": heap_growth,
                      "heap_held": heap_held, "traced_peak": traced_peak,
                      "peak": max(views)}))


def probe(function, arguments, n, tool):
    command = [sys.executable, str(HERE / "run.py"), "--memory-probe",
               function, json.dumps(list(arguments)), str(n), tool]
    done = subprocess.run(command, capture_output=True, text=True, env=dict(os.environ))
    if done.returncode != 0:
        raise RuntimeError(f"memory probe {function} n={n} {tool} failed:\n{done.stderr}")
    return json.loads(done.stdout)
