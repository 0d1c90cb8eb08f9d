"""Sample-by-sample references for the five waveforms.

Python's float arithmetic is one rounded IEEE-754 operation per operator, and
ctypes reaches the C library's own exp, sin, cos and fmod, so these
references reproduce the module's samples bit for bit."""
import ctypes
import ctypes.util

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))


def _function(name, arity):
    f = getattr(_libm, name)
    f.restype = ctypes.c_double
    f.argtypes = [ctypes.c_double] * arity
    return f


exp, sin, cos = (_function(name, 1) for name in ("exp", "sin", "cos"))
fmod = _function("fmod", 2)

FOUR_OVER_PI = 1.2732395447351628
TWO_PI = 6.283185307179586
CYCLE_LENGTH = 6.283185297179586


def divide(a, b):
    """IEEE division; Python's own float division refuses a zero divisor."""
    with np.errstate(all="ignore"):
        return float(np.float64(a) / np.float64(b))


def harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    envelope = exp(t * gamma) * amplitude
    return cos((t + phi) * omega) * envelope + y


def pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    envelope = exp(t * gamma) * amplitude
    theta = (t + phi) * omega
    bracket = sin(theta) + sin(theta * 3.0) * 0.5
    return bracket * envelope + y


def fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    envelope = exp(t * gamma) * amplitude
    u = t + phi
    total = 0.0
    for k in range(num_harmonics):
        m = float(2 * k + 1)
        total = total + (sin((m * omega) * u) * FOUR_OVER_PI) / m
    return envelope * (total + 1.0) + y


def pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    envelope = exp(t * gamma) * amplitude
    u = t + phi
    c1 = cos(u * omega)
    bracket = cos((omega + omega) * u) - (c1 + c1)
    return bracket * envelope + y


def transient_impulse(t, amplitude, period, width, equilibrium):
    onset = (period / 24.0) * TWO_PI
    lag = fmod(t, CYCLE_LENGTH) - onset
    pulse = 0.0
    if lag >= 0.0:
        q = divide(lag, width)
        pulse = exp((q * q) * -0.5)
    return pulse * amplitude + equilibrium


def evaluate(reference, times, *scalars):
    """The reference applied to every element. The doubles are converted as
    the module converts them; num_harmonics, the sixth scalar, stays an int."""
    scalars = [float(s) for s in scalars[:5]] + [int(s) for s in scalars[5:]]
    return np.array([reference(float(t), *scalars) for t in times], dtype=np.float64)


def same_bits(actual, expected):
    """Bit-identical, except that any two NaNs match."""
    actual = np.asarray(actual, dtype=np.float64)
    expected = np.asarray(expected, dtype=np.float64)
    if actual.shape != expected.shape:
        return False
    both_nan = np.isnan(actual) & np.isnan(expected)
    equal_bits = actual.view(np.uint64) == expected.view(np.uint64)
    return bool(np.all(both_nan | equal_bits))


def mismatches(actual, expected, times):
    """Readable list of the samples that differ, for assertion messages."""
    out = []
    for t, a, e in zip(times, actual, expected):
        if not same_bits(a, e):
            out.append(f"t={t!r}: got {a!r}, expected {e!r}")
    return out
