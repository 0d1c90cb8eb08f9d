"""The benchmark's figure: time per sample against n for every case, and the
ratio of ondulix to the floor."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

STYLES = {
    "ondulix": dict(color="tab:red", marker="o", linewidth=2.2, zorder=5),
    "floor": dict(color="black", marker="s", linestyle="--", linewidth=1.2, zorder=4),
    "numpy": dict(color="tab:blue", marker="^"),
    "numexpr 1 thread": dict(color="tab:green", marker="v"),
    "python loop": dict(color="tab:gray", marker="x", linestyle=":"),
}
LABELS = {"numpy": "NumPy expression", "python loop": "Python loop over math",
          "floor": "floor (bare C loop)"}


def draw(results, per_sample, sizes, python_samples, info, path):
    labels = list(results)
    figure, axes = plt.subplots(2, 4, figsize=(17, 8.5))
    axes = axes.ravel()
    for ax, label in zip(axes, labels):
        by_n = results[label]
        names = list(next(iter(by_n.values())))
        for name in names:
            if name in ("np.empty(1)", "copy"):
                continue
            style = STYLES.get(name, dict(color="tab:orange", marker="D"))  # numexpr, threaded
            if name in ("ondulix", "numpy"):  # also measured at the crossover sizes
                xs = sorted(per_sample[label])
                ys = [per_sample[label][n][name] * 1e9 for n in xs]
            else:
                xs = sizes
                ys = [by_n[n][name].best / min(n, python_samples if name == "python loop" else n)
                      * 1e9 for n in sizes]
            ax.plot(xs, ys, label=LABELS.get(name, name), **style)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(label, fontsize=10)
        ax.set_xlabel("n (samples)")
        ax.set_ylabel("ns per sample")
        ax.grid(True, which="major", alpha=0.3)
    handles, names = axes[0].get_legend_handles_labels()

    ratio_ax = axes[len(labels)]
    for label in labels:
        ratio_ax.plot(sizes, [results[label][n]["ondulix"].best / results[label][n]["floor"].best
                              for n in sizes], marker="o", label=label)
    ratio_ax.axhline(1.05, color="tab:red", linestyle="--", linewidth=1, label="target 1.05")
    ratio_ax.axhline(1.0, color="black", linewidth=0.8)
    ratio_ax.set_xscale("log")
    ratio_ax.set_title("ondulix time / floor time", fontsize=10)
    ratio_ax.set_xlabel("n (samples)")
    ratio_ax.grid(True, alpha=0.3)
    ratio_ax.legend(fontsize=7)
    for ax in axes[len(labels) + 1:]:
        ax.axis("off")

    figure.legend(handles, names, loc="upper center", ncol=len(names), fontsize=9,
                  frameon=False)
    figure.text(0.5, 0.005, f"Measured on {info['summary']}", ha="center", fontsize=8)
    figure.tight_layout(rect=(0, 0.02, 1, 0.95))
    figure.savefig(path, dpi=110)
    plt.close(figure)
