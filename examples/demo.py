"""Evaluate the five ondulix waveforms on one time grid and print a table."""
import numpy as np

import ondulix

WAVEFORMS = {
    "harmonic_oscillator": lambda t: ondulix.harmonic_oscillator(t, 1.0, -0.15, 2.0, 0.0, 0.0),
    "pseudo_square_wave": lambda t: ondulix.pseudo_square_wave(t, 1.0, -0.1, 1.5, 0.0, 0.0),
    "fourier_square_wave": lambda t: ondulix.fourier_square_wave(t, 0.5, 0.0, 1.0, 0.0, 0.0, 8),
    "pseudo_cycloid_wave": lambda t: ondulix.pseudo_cycloid_wave(t, 0.5, 0.0, 1.0, 0.0, 0.0),
    "transient_impulse": lambda t: ondulix.transient_impulse(t, 1.0, 6.0, 0.4, 0.0),
}


def main():
    t = np.linspace(0.0, 10.0, 11)
    columns = {name: wave(t) for name, wave in WAVEFORMS.items()}
    names = list(columns)
    print(f"{'t':>6}  " + "  ".join(f"{name:>20}" for name in names))
    for i, ti in enumerate(t):
        print(f"{ti:6.2f}  " + "  ".join(f"{columns[name][i]:20.12f}" for name in names))


if __name__ == "__main__":
    main()
