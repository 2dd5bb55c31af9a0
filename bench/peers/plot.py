"""Plots wavesim / peer time ratios from peers.json (run with the harness env's
python: plot.py RESULTS.json OUT.png)."""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (backend must be chosen first)
from matplotlib.ticker import MaxNLocator  # noqa: E402

# Which wavesim column each peer's ratio uses, and which peers each panel shows.
PANELS = [
    ("1", "W1 layered, double (peers at their best setting)", {"qulacs": "wavesim", "lightning": "wavesim", "cirq": "wavesim"}),
    ("2", "W2 layered, single (qsim at its best fusion)", {"qsim": "wavesim", "lightning": "wavesim"}),
    ("3", "W3 256-set sweep", {"qulacs": "wavesim", "lightning": "wavesim", "cirq": "wavesim",
                               "qsim": "wavesim-single"}),
    ("4", "W4 1e5 shots", {"qulacs": "wavesim", "lightning": "wavesim", "cirq": "wavesim",
                           "qsim": "wavesim-single"}),
]
TARGETS = {"1": 0.5, "2": 0.6, "3": 0.5, "4": 1.0}
COLOURS = {"qulacs": "tab:blue", "lightning": "tab:orange", "cirq": "tab:green", "qsim": "tab:red"}


def main(source, target):
    tables = json.load(open(source))["tables"]
    figure, axes = plt.subplots(2, 2, figsize=(11, 8))
    for axis, (key, title, peers) in zip(axes.flat, PANELS):
        axis.set_title(title)
        axis.set_xlabel("qubits n")
        axis.set_ylabel("wavesim time / peer time")
        axis.set_yscale("log")
        axis.xaxis.set_major_locator(MaxNLocator(integer=True))
        for peer, base in peers.items():
            points = [(row["n"], row["times"][base] / row["times"][peer])
                      for row in tables.get(key, [])
                      if isinstance(row["times"].get(base), float)
                      and isinstance(row["times"].get(peer), float)]
            if points:
                xs, ys = zip(*points)
                axis.plot(xs, ys, "o-", label=peer, color=COLOURS[peer])
        if key in tables:
            axis.axhline(TARGETS[key], color="grey", linestyle="--", linewidth=1, label="target")
            axis.legend(fontsize="small")
        else:
            axis.text(0.5, 0.5, "not run", transform=axis.transAxes, ha="center")
    figure.suptitle("wavesim against peers (below 1: wavesim faster)")
    figure.tight_layout()
    figure.savefig(target, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
