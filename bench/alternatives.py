"""The same five waveforms the way a user would write them without ondulix:
a NumPy expression, the same expression in numexpr, and a plain Python loop
over the math module. Each keeps ondulix's order of operations, so any
difference in the results comes from the library functions alone."""
import math

import numexpr as ne
import numpy as np

FOUR_OVER_PI = 1.2732395447351628
TWO_PI = 6.283185307179586
CYCLE_LENGTH = 6.283185297179586


# --- NumPy -----------------------------------------------------------------

def numpy_harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    return np.cos((t + phi) * omega) * (np.exp(t * gamma) * amplitude) + y


def numpy_pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    theta = (t + phi) * omega
    return (np.sin(theta) + np.sin(theta * 3.0) * 0.5) * (np.exp(t * gamma) * amplitude) + y


def numpy_fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    u = t + phi
    total = 0.0
    for k in range(num_harmonics):
        m = float(2 * k + 1)
        total = total + (np.sin((m * omega) * u) * FOUR_OVER_PI) / m
    return (np.exp(t * gamma) * amplitude) * (total + 1.0) + y


def numpy_pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    u = t + phi
    c1 = np.cos(u * omega)
    return (np.cos((omega + omega) * u) - (c1 + c1)) * (np.exp(t * gamma) * amplitude) + y


def numpy_transient_impulse(t, amplitude, period, width, equilibrium):
    lag = np.fmod(t, CYCLE_LENGTH) - (period / 24.0) * TWO_PI
    q = lag / width
    pulse = np.where(lag >= 0.0, np.exp((q * q) * -0.5), 0.0)
    return pulse * amplitude + equilibrium


# --- numexpr (it finds the variables in the caller's frame) -----------------

def numexpr_harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    return ne.evaluate("cos((t + phi) * omega) * (exp(t * gamma) * amplitude) + y")


def numexpr_pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    theta = ne.evaluate("(t + phi) * omega")
    return ne.evaluate(
        "(sin(theta) + sin(theta * 3.0) * 0.5) * (exp(t * gamma) * amplitude) + y")


def numexpr_fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    u = ne.evaluate("t + phi")
    total = np.zeros_like(t)
    c = FOUR_OVER_PI
    for k in range(num_harmonics):
        m = float(2 * k + 1)
        w = m * omega
        total = ne.evaluate("total + (sin(w * u) * c) / m")
    return ne.evaluate("(exp(t * gamma) * amplitude) * (total + 1.0) + y")


def numexpr_pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    w2 = omega + omega
    u = ne.evaluate("t + phi")
    c1 = ne.evaluate("cos(u * omega)")
    return ne.evaluate("(cos(w2 * u) - (c1 + c1)) * (exp(t * gamma) * amplitude) + y")


def numexpr_transient_impulse(t, amplitude, period, width, equilibrium):
    onset = (period / 24.0) * TWO_PI
    lag = ne.evaluate("fmod(t, 6.283185297179586) - onset")
    return ne.evaluate(
        "where(lag >= 0.0, exp(((lag / width) * (lag / width)) * -0.5), 0.0)"
        " * amplitude + equilibrium")


# --- Python loops over math -------------------------------------------------

def python_harmonic_oscillator(t, amplitude, gamma, omega, phi, y):
    cos, exp = math.cos, math.exp
    return np.array([cos((x + phi) * omega) * (exp(x * gamma) * amplitude) + y
                     for x in t.tolist()])


def python_pseudo_square_wave(t, amplitude, gamma, omega, phi, y):
    sin, exp = math.sin, math.exp
    out = []
    for x in t.tolist():
        theta = (x + phi) * omega
        out.append((sin(theta) + sin(theta * 3.0) * 0.5) * (exp(x * gamma) * amplitude) + y)
    return np.array(out)


def python_fourier_square_wave(t, amplitude, gamma, omega, phi, y, num_harmonics):
    sin, exp = math.sin, math.exp
    out = []
    for x in t.tolist():
        u = x + phi
        total = 0.0
        for k in range(num_harmonics):
            m = float(2 * k + 1)
            total = total + (sin((m * omega) * u) * FOUR_OVER_PI) / m
        out.append((exp(x * gamma) * amplitude) * (total + 1.0) + y)
    return np.array(out)


def python_pseudo_cycloid_wave(t, amplitude, gamma, omega, phi, y):
    cos, exp = math.cos, math.exp
    out = []
    for x in t.tolist():
        u = x + phi
        c1 = cos(u * omega)
        out.append((cos((omega + omega) * u) - (c1 + c1)) * (exp(x * gamma) * amplitude) + y)
    return np.array(out)


def python_transient_impulse(t, amplitude, period, width, equilibrium):
    fmod, exp = math.fmod, math.exp
    onset = (period / 24.0) * TWO_PI
    out = []
    for x in t.tolist():
        lag = fmod(x, CYCLE_LENGTH) - onset
        pulse = 0.0
        if lag >= 0.0:
            q = lag / width
            pulse = exp((q * q) * -0.5)
        out.append(pulse * amplitude + equilibrium)
    return np.array(out)


def implementations(function):
    """The NumPy, numexpr and Python-loop versions of one ondulix function."""
    scope = globals()
    return {style: scope[f"{style}_{function}"] for style in ("numpy", "numexpr", "python")}
