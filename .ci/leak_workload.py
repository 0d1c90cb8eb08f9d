"""The focused leak check's workload: every kind of call into ondulix, valid
and failing, repeated ROUNDS times, plus one deliberately leaked block per
round from the sanitizer canary (the check's own positive control).

    python .ci/leak_workload.py ROUNDS CANARY_LIBRARY SCRATCH_DIR

Run under AddressSanitizer with leak detection; the check compares what leaks
after two different numbers of rounds.
"""
import ctypes
import gc
import os
import sys

import numpy as np

import ondulix

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from registry_access import Registry  # noqa: E402

rounds = int(sys.argv[1])
canary = ctypes.CDLL(sys.argv[2])
scratch = sys.argv[3]

ARGS = {
    ondulix.harmonic_oscillator: (1.0, -0.25, 2.0, 0.5, 0.1),
    ondulix.pseudo_square_wave: (1.0, -0.25, 2.0, 0.5, 0.1),
    ondulix.fourier_square_wave: (1.0, -0.25, 2.0, 0.5, 0.1, 4),
    ondulix.pseudo_cycloid_wave: (1.0, -0.25, 2.0, 0.5, 0.1),
    ondulix.transient_impulse: (1.0, 6.0, 0.4, 0.1),
}


class Sub(np.ndarray):
    pass


class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error

    def __index__(self):
        raise self.error


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FailsInside:
    def __float__(self):
        return float(ondulix.harmonic_oscillator(np.zeros(4)[::2], 1, 0, 1, 0, 0)[0])


def internal_failure_class():
    try:
        ondulix.harmonic_oscillator(np.zeros(4)[::2], 1, 0, 1, 0, 0)
    except BaseException as failure:  # noqa: B036 - it is not an Exception
        return type(failure)


Failure = internal_failure_class()


class RaisesFailure:
    def __float__(self):
        raise Failure("from Python")


def caused_type_error():
    error = TypeError("inner")
    error.__cause__ = KeyError("root")
    return Raises(error)


t = np.linspace(-3.0, 7.0, 257)
raw = np.zeros(8 * 33 + 1, np.uint8)
unaligned = raw[1:].view(np.float64)
readonly = t.copy()
readonly.flags.writeable = False
held = np.arange(16.0)
huge_path = os.path.join(scratch, "huge.f8")
with open(huge_path, "wb") as f:
    f.truncate(1 << 41)
huge = np.memmap(huge_path, dtype=np.float64, mode="r+")
registry = Registry()

valid_times = [t, t[:0], t[:1], t.view(Sub), readonly, unaligned, np.frombuffer(t.tobytes())]
bad_times = [t[::2], t[::-1], [1.0, 2.0], np.zeros((2, 2)), np.zeros(3, np.float32),
             np.zeros(3, ">f8"), np.array(1.0), None, huge]


def attempt(function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except BaseException:  # noqa: B036 - internal failures included
        pass


def one_round():
    for function, args in ARGS.items():
        for time in valid_times:
            function(time, *args)
        names = function.__text_signature__.strip("()").split(", ")
        function(**dict(zip(names, (t, *args))))
        attempt(function, t)
        attempt(function, t, *args, 1.0)
        attempt(function, t, *args, nonsense=1.0)
        attempt(function, t, *args[:-1], **{names[1]: 1.0})
        for bad in ("1", 10 ** 400, Raises(ValueError("v")), Raises(TypeError("\udc80")),
                    caused_type_error(), FailsInside(), RaisesFailure()):
            attempt(function, t, bad, *args[1:])
        for time in bad_times:
            attempt(function, time, *args)
    fourier = ondulix.fourier_square_wave
    for count in (Index(3), np.uint64(2), True):
        fourier(t, 1.0, 0.0, 2.0, 0.0, 0.0, count)
    fourier(t[:0], 1.0, 0.0, 2.0, 0.0, 0.0, 2 ** 64 - 1)
    for count in (2.0, -1, 2 ** 64, Raises(RuntimeError("i")), "3"):
        attempt(fourier, t, 1.0, 0.0, 2.0, 0.0, 0.0, count)
    # A call meets a write borrow that another module holds.
    assert registry.acquire_write(held) == 0
    attempt(ondulix.harmonic_oscillator, held, 1, 0, 1, 0, 0)
    registry.release_write(held)


for _ in range(rounds):
    one_round()
    canary.canary_leak()

del huge
gc.collect()
print(f"leak workload: {rounds} rounds done", flush=True)
