"""Every sample of the five waveforms, bit for bit against the references."""
import math

import numpy as np
import pytest

import ondulix
import waveform_reference as ref

INF, NAN = math.inf, math.nan
TINY = 5e-324  # the smallest subnormal
PI = math.pi

# Sample times: signed zeros, subnormals, ordinary and negative values, points
# where exp overflows or underflows, huge arguments for sin/cos, infinities.
TIMES = np.array([
    0.0, -0.0, TINY, -TINY, 2.2250738585072014e-308, 1.0, -1.0, 0.5, 2.75, -3.5,
    1e-7, 6.283185297179586, 6.283185307179586, -6.283185297179586, 12.566370594359172,
    709.0, 710.0, -745.0, -746.0, 1e22, -1e22, 1e300, 2.0 ** 1023, INF, -INF, NAN,
])
RNG_TIMES = np.random.default_rng(20261211).normal(scale=[1, 1e3, 1e8], size=(400, 3)).ravel()

OSCILLATOR_PARAMETERS = [
    # amplitude, gamma, omega, phi, y
    (1.0, -0.5, 2.0, 0.0, 0.0),
    (2.5, 0.1, 3.0, 0.25, -1.0),
    (1.0, 0.0, PI, 0.0, 0.0),
    (1.0, 0.0, PI / 2, 0.0, 0.0),
    (-1.5, 1.0, 0.0, -0.75, 4.0),
    (0.0, 2.0, 1.0, 1.0, 1.0),
    (TINY, -TINY, TINY, -0.0, -0.0),
    (1e308, 1.0, 1e300, 1e300, 1e308),
    (1.0, 0.5, 2.0 ** 1023, 0.0, 0.0),
    (1.0, -2.0, -7.0, -1.0, 3.0),
    (INF, 0.0, 1.0, 0.0, 0.0),
    (1.0, -INF, 1.0, 0.0, 0.0),
    (1.0, 0.0, INF, 0.0, 0.0),
    (1.0, 0.0, 1.0, -INF, 0.0),
    (1.0, 0.0, 1.0, 0.0, INF),
    (NAN, 0.0, 1.0, 0.0, 0.0),
    (1.0, NAN, 1.0, 0.0, 0.0),
    (1.0, 0.0, NAN, 0.0, 0.0),
    (1.0, 0.0, 1.0, NAN, 0.0),
    (1.0, 0.0, 1.0, 0.0, NAN),
]

IMPULSE_PARAMETERS = [
    # amplitude, period, width, equilibrium
    (2.0, 0.0, 1.0, 1.0),
    (1.0, 12.0, 0.5, 0.0),
    (1.0, 24.0, 1.0, 0.0),
    (3.0, -6.0, 0.25, -1.0),
    (1.0, 0.0, -1.0, 0.0),
    (1.0, 0.0, 0.0, 0.0),
    (1.0, 1.0, INF, 0.0),
    (1.0, 0.0, NAN, 2.0),
    (INF, 3.0, 1.0, 0.0),
    (NAN, 3.0, 1.0, 0.0),
    (1.0, INF, 1.0, 0.0),
    (1.0, -INF, 1.0, 0.0),
    (1.0, -INF, INF, 0.0),
    (1.0, NAN, 1.0, 5.0),
    (-0.0, 0.0, 1.0, -0.0),
    (TINY, 0.0, TINY, TINY),
]

CASES = (
    [(name, p) for name in ("harmonic_oscillator", "pseudo_square_wave", "pseudo_cycloid_wave")
     for p in OSCILLATOR_PARAMETERS]
    + [("fourier_square_wave", p + (n,)) for p in OSCILLATOR_PARAMETERS for n in (0, 1, 2, 7)]
    + [("transient_impulse", p) for p in IMPULSE_PARAMETERS]
)


def check_bits(name, times, parameters):
    actual = getattr(ondulix, name)(times, *parameters)
    expected = ref.evaluate(getattr(ref, name), times, *parameters)
    assert actual.dtype == np.float64 and actual.shape == times.shape
    assert ref.same_bits(actual, expected), ref.mismatches(actual, expected, times)[:5]


@pytest.mark.parametrize("name,parameters", CASES, ids=lambda v: repr(v))
def test_special_values_bit_exact(name, parameters):
    check_bits(name, TIMES, parameters)


@pytest.mark.parametrize("name,parameters", [
    ("harmonic_oscillator", (1.3, -0.01, 2.0, 0.3, 0.5)),
    ("pseudo_square_wave", (0.7, 0.001, 1.1, -2.0, 0.0)),
    ("fourier_square_wave", (1.0, -0.002, 0.9, 0.1, 0.2, 25)),
    ("pseudo_cycloid_wave", (2.0, 0.0005, 0.3, 1.0, -1.0)),
    ("transient_impulse", (1.5, 3.0, 0.8, 0.1)),
])
def test_many_ordinary_times_bit_exact(name, parameters):
    check_bits(name, RNG_TIMES, parameters)


@pytest.mark.parametrize("name,parameters,times,expected", [
    # cos(2π) = 1 and cos(π) = -1: 1 - 2 * (-1) = 3
    ("pseudo_cycloid_wave", (1.0, 0.0, PI, 0.0, 0.0), [1.0], [3.0]),
    # omega = 0: the bracket is 1 - 2 = -1 exactly, so y minus the envelope
    ("pseudo_cycloid_wave", (2.0, 0.0, 0.0, 5.0, 10.0), [1.0, -4.0], [8.0, 8.0]),
    # sin(π/2) = 1 and sin(3π/2) = -1: 1 - 0.5
    ("pseudo_square_wave", (1.0, 0.0, PI / 2, 0.0, 0.0), [1.0], [0.5]),
    # no harmonics: envelope + y, whatever omega and phi are
    ("fourier_square_wave", (2.0, 0.0, NAN, INF, 1.0, 0), [0.0, 5.0], [3.0, 3.0]),
    # shifted time 0: every sine is zero and the sample is envelope + y
    ("fourier_square_wave", (2.0, 0.0, 3.0, -1.5, 1.0, 9), [1.5], [3.0]),
    # gamma = 0 and omega = 0: cos(0) * amplitude + y
    ("harmonic_oscillator", (4.0, 0.0, 0.0, 1.0, -1.0), [7.0], [3.0]),
    # amplitude 0 does not protect against an infinite envelope
    ("harmonic_oscillator", (0.0, 1.0, 1.0, 0.0, 1.0), [1000.0], [NAN]),
    # exp underflows to zero: the sample equals y
    ("pseudo_square_wave", (5.0, -1.0, 1.0, 0.3, 2.0), [800.0], [2.0]),
    # |omega| >= 2^1023 doubles to infinity: NaN even where u * omega is finite
    ("pseudo_cycloid_wave", (1.0, 0.0, 2.0 ** 1023, 0.0, 0.0), [0.5], [NAN]),
    # lag 0 gives pulse 1, lag -1 gives none, the cycle is 6.283185297179586
    ("transient_impulse", (2.0, 0.0, 1.0, 1.0), [0.0, -1.0, 6.283185297179586], [3.0, 1.0, 3.0]),
    # an onset of 2π is never reached: every sample is 0.0 * amplitude + equilibrium
    ("transient_impulse", (5.0, 24.0, 1.0, 1.0), [6.2831852971, 3.0], [1.0, 1.0]),
    # an infinite or NaN time gives no pulse, so not NaN
    ("transient_impulse", (2.0, 0.0, 1.0, 1.0), [INF, NAN], [1.0, 1.0]),
    # width 0 at lag 0 is 0/0
    ("transient_impulse", (2.0, 0.0, 0.0, 1.0), [0.0, 1.0], [NAN, 1.0]),
    # -0.0 keeps its sign through fmod and passes the lag test
    ("transient_impulse", (2.0, 0.0, 1.0, 1.0), [-0.0, -6.283185297179586], [3.0, 3.0]),
])
def test_documented_exact_points(name, parameters, times, expected):
    result = getattr(ondulix, name)(np.array(times), *parameters)
    assert ref.same_bits(result, expected), (result, expected)


def test_onset_at_pi_for_period_twelve():
    onset = (12.0 / 24.0) * ref.TWO_PI
    times = np.array([0.0, np.nextafter(onset, 0.0), onset])
    result = ondulix.transient_impulse(times, 1.0, 12.0, 1.0, 0.0)
    assert list(result) == [0.0, 0.0, 1.0]


def test_the_pulse_repeats_on_its_own_cycle_not_on_two_pi():
    times = np.array([0.5, 0.5 + ref.CYCLE_LENGTH, 0.5 + ref.TWO_PI])
    a, b, c = ondulix.transient_impulse(times, 1.0, 0.0, 1.0, 0.0)
    assert a == pytest.approx(b, abs=1e-12) and a != c


def test_negative_width_gives_the_same_samples():
    times = np.linspace(-10.0, 10.0, 101)
    assert ref.same_bits(ondulix.transient_impulse(times, 1.0, 2.0, -0.7, 0.0),
                         ondulix.transient_impulse(times, 1.0, 2.0, 0.7, 0.0))


@pytest.mark.parametrize("n", [0, 1, 2, 3])
def test_short_arrays_use_the_same_formula(n):
    times = RNG_TIMES[:n].copy()
    for name, parameters in [("harmonic_oscillator", (1.0, 0.1, 2.0, 0.3, 0.0)),
                             ("fourier_square_wave", (1.0, 0.1, 2.0, 0.3, 0.0, 3)),
                             ("transient_impulse", (1.0, 2.0, 0.5, 0.0))]:
        check_bits(name, times, parameters)
