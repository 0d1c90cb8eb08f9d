"""Bit-for-bit reproducible waveform generators for NumPy arrays."""

from typing import SupportsFloat, SupportsIndex, Union

import numpy as np
from numpy.typing import NDArray

# What the double parameters accept: anything with __float__ or __index__.
_Real = Union[SupportsFloat, SupportsIndex]

__all__ = [
    "harmonic_oscillator",
    "pseudo_square_wave",
    "fourier_square_wave",
    "pseudo_cycloid_wave",
    "transient_impulse",
]

def harmonic_oscillator(
    time: NDArray[np.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
) -> NDArray[np.float64]:
    """Damped or growing cosine: cos((t + phi)*omega) * (exp(t*gamma)*amplitude) + y."""

def pseudo_square_wave(
    time: NDArray[np.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
) -> NDArray[np.float64]:
    """Sine plus half the triple-angle sine, theta = (t + phi)*omega, times the envelope, plus y."""

def fourier_square_wave(
    time: NDArray[np.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
    num_harmonics: SupportsIndex,
) -> NDArray[np.float64]:
    """Square wave from num_harmonics odd sine harmonics, lifted by 1, times the envelope, plus y."""

def pseudo_cycloid_wave(
    time: NDArray[np.float64],
    amplitude: _Real,
    gamma: _Real,
    omega: _Real,
    phi: _Real,
    y: _Real,
) -> NDArray[np.float64]:
    """Doubled-angle cosine minus twice the cosine, times the envelope, plus y."""

def transient_impulse(
    time: NDArray[np.float64],
    amplitude: _Real,
    period: _Real,
    width: _Real,
    equilibrium: _Real,
) -> NDArray[np.float64]:
    """One-sided Gaussian pulse repeating every 6.283185297179586 time units, scaled, plus equilibrium."""
