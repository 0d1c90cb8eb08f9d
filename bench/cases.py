"""The waveform calls the benchmark measures, and their sample times."""
from dataclasses import dataclass

import numpy as np


@dataclass(frozen=True)
class Case:
    function: str
    arguments: tuple

    @property
    def label(self):
        if self.function == "fourier_square_wave":
            return f"{self.function} (N={self.arguments[-1]})"
        return self.function

    @property
    def cheapest(self):
        """The function in its cheapest form: the Fourier wave with one term."""
        return self.function != "fourier_square_wave" or self.arguments[-1] == 1


CASES = (
    Case("harmonic_oscillator", (1.0, -0.1, 2.0, 0.1, 0.5)),
    Case("pseudo_square_wave", (1.0, -0.1, 2.0, 0.1, 0.5)),
    Case("fourier_square_wave", (1.0, -0.1, 2.0, 0.1, 0.5, 1)),
    Case("fourier_square_wave", (1.0, -0.1, 2.0, 0.1, 0.5, 8)),
    Case("fourier_square_wave", (1.0, -0.1, 2.0, 0.1, 0.5, 64)),
    Case("pseudo_cycloid_wave", (1.0, -0.1, 2.0, 0.1, 0.5)),
    Case("transient_impulse", (1.0, 6.0, 0.4, 0.5)),
)


def sample_times(n):
    """Sample times spread over a few periods of every waveform."""
    return np.random.default_rng(n).uniform(0.0, 20.0, n)
