"""Evaluate the five ondulix waveforms on one time grid, print a table and
render them into one figure (docs/waveforms.png unless --output says
otherwise)."""
import argparse
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # render to a file; no screen needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import ondulix  # noqa: E402

FIGURE = Path(__file__).resolve().parent.parent / "docs" / "waveforms.png"
CYCLE_LENGTH = 6.283185297179586  # transient_impulse repeats on this cycle

# Each waveform with the parameters it is shown with.
WAVEFORMS = {
    "harmonic_oscillator": dict(amplitude=1.0, gamma=-0.15, omega=2.0, phi=0.0, y=0.0),
    "pseudo_square_wave": dict(amplitude=1.0, gamma=-0.05, omega=1.5, phi=0.0, y=0.0),
    "fourier_square_wave": dict(amplitude=0.5, gamma=0.0, omega=1.0, phi=0.0, y=0.0,
                                num_harmonics=8),
    "pseudo_cycloid_wave": dict(amplitude=0.5, gamma=0.0, omega=1.0, phi=0.0, y=0.0),
    "transient_impulse": dict(amplitude=1.0, period=6.0, width=0.4, equilibrium=0.0),
}


def evaluate(name, t, **changes):
    return getattr(ondulix, name)(t, **{**WAVEFORMS[name], **changes})


def parameter_text(parameters):
    return ", ".join(f"{key}={value:g}" for key, value in parameters.items())


def print_tables(t):
    width = max(map(len, WAVEFORMS))
    print(f"{'waveform':<{width}}  {'min':>9}  {'max':>9}  parameters")
    for name, parameters in WAVEFORMS.items():
        samples = evaluate(name, t)
        print(f"{name:<{width}}  {samples.min():9.5f}  {samples.max():9.5f}  "
              f"{parameter_text(parameters)}")
    print()

    t_table = np.linspace(0.0, 10.0, 11)
    columns = {name: evaluate(name, t_table) for name in WAVEFORMS}
    print(f"{'t':>6}  " + "  ".join(f"{name:>20}" for name in columns))
    for i, ti in enumerate(t_table):
        print(f"{ti:6.2f}  " + "  ".join(f"{columns[name][i]:20.12f}" for name in columns))


def envelope(name, t):
    p = WAVEFORMS[name]
    return np.exp(t * p["gamma"]) * p["amplitude"]


def plot(t, path):
    fig, axes = plt.subplots(len(WAVEFORMS), 1, figsize=(11.0, 12.0), sharex=True)
    for ax, name in zip(axes, WAVEFORMS):
        ax.axhline(0.0, color="0.8", linewidth=0.8)
        label = "num_harmonics=8" if name == "fourier_square_wave" else name
        ax.plot(t, evaluate(name, t), color="C0", linewidth=1.4, label=label)
        if name in ("harmonic_oscillator", "pseudo_square_wave"):
            e = envelope(name, t)
            ax.plot(t, e, "--", color="0.45", linewidth=0.9, label="± envelope")
            ax.plot(t, -e, "--", color="0.45", linewidth=0.9)
        elif name == "fourier_square_wave":
            ax.plot(t, evaluate(name, t, num_harmonics=2), color="C1", linewidth=1.0,
                    alpha=0.8, label="num_harmonics=2")
        elif name == "transient_impulse":
            for k, start in enumerate(np.arange(0.0, t[-1], CYCLE_LENGTH)):
                ax.axvline(start, color="0.6", linestyle=":", linewidth=0.9,
                           label="cycle start" if k == 0 else None)
        ax.set_title(f"{name}({parameter_text(WAVEFORMS[name])})", fontsize=10,
                     loc="left", family="monospace")
        ax.set_ylabel("sample")
        ax.margins(x=0.0, y=0.1)
        ax.grid(True, color="0.92")
        # Above the plot, right of the title, where it hides no curve.
        ax.legend(loc="lower right", bbox_to_anchor=(1.0, 1.0), ncol=2, fontsize=8,
                  frameon=False, borderaxespad=0.1)
    axes[-1].set_xlabel("t (time units)")
    fig.suptitle("The five ondulix waveforms", fontsize=13)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    # No software version in the file, so the same picture has the same bytes.
    fig.savefig(path, dpi=100, metadata={"Software": None})
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--output", type=Path, default=FIGURE, help="where to write the PNG")
    args = parser.parse_args(argv)

    t = np.linspace(0.0, 20.0, 4001)
    print_tables(t)
    plot(t, args.output)
    print(f"\nwrote {args.output}")


if __name__ == "__main__":
    main()
