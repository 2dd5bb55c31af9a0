"""Plots wavesim / peer time ratios from peers.json (run with the harness env's
python: plot.py RESULTS.json OUT.png).

In the state workloads (1, 2, 6, 7) each peer has two lines: solid for
wavesim's default setting, dashed for wavesim's fastest setting, each with its
own target line."""

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (backend must be chosen first)
from matplotlib.ticker import MaxNLocator  # noqa: E402

STATE_PEERS_DOUBLE = {"qulacs": "wavesim", "lightning": "wavesim", "cirq": "wavesim"}
STATE_PEERS_SINGLE = {"qsim": "wavesim", "lightning": "wavesim"}
# Which wavesim column each peer's ratio uses, and which peers each panel shows.
PANELS = [
    ("1", "W1 layered, double (peers at their best setting)", STATE_PEERS_DOUBLE),
    ("2", "W2 layered, single (qsim at its best fusion)", STATE_PEERS_SINGLE),
    ("6", "W6 random, double (peers at their best setting)", STATE_PEERS_DOUBLE),
    ("7", "W7 random, single (qsim at its best fusion)", STATE_PEERS_SINGLE),
    ("3", "W3 256-set sweep", {"qulacs": "wavesim", "lightning": "wavesim", "cirq": "wavesim",
                               "qsim": "wavesim-single"}),
    ("4", "W4 1e5 shots", {"qulacs": "wavesim", "lightning": "wavesim", "cirq": "wavesim",
                           "qsim": "wavesim-single"}),
]
# Bounds on the ratio: wavesim's default column, then (state workloads) its fastest.
TARGETS = {"1": {"wavesim": 0.5, "wavesim-best": 0.4}, "2": {"wavesim": 0.6, "wavesim-best": 0.5},
           "6": {"wavesim": 0.5, "wavesim-best": 0.4}, "7": {"wavesim": 0.6, "wavesim-best": 0.5},
           "3": {"wavesim": 0.5}, "4": {"wavesim": 1.0}}
FASTEST = {"wavesim": "wavesim-best"}
STYLES = {"wavesim": ("-", "default"), "wavesim-best": ("--", "fastest")}
COLOURS = {"qulacs": "tab:blue", "lightning": "tab:orange", "cirq": "tab:green", "qsim": "tab:red"}


def ratio_points(rows, base, peer):
    return [(row["n"], row["times"][base] / row["times"][peer]) for row in rows
            if isinstance(row["times"].get(base), float) and isinstance(row["times"].get(peer), float)]


def main(source, target):
    tables = json.load(open(source))["tables"]
    figure, axes = plt.subplots(3, 2, figsize=(11, 12))
    for axis, (key, title, peers) in zip(axes.flat, PANELS):
        axis.set_title(title)
        axis.set_xlabel("qubits n")
        axis.set_ylabel("wavesim time / peer time")
        axis.set_yscale("log")
        axis.xaxis.set_major_locator(MaxNLocator(integer=True))
        rows = tables.get(key, [])
        several = len(TARGETS[key]) > 1
        for peer, base in peers.items():
            for column in [base] + ([FASTEST[base]] if several else []):
                points = ratio_points(rows, column, peer)
                if points:
                    style, words = STYLES.get(column, STYLES["wavesim"])
                    xs, ys = zip(*points)
                    axis.plot(xs, ys, "o" + style, label=f"{peer} (wavesim {words})" if several else peer,
                              color=COLOURS[peer])
        if key in tables:
            for column, bound in TARGETS[key].items():
                style, words = STYLES[column]
                axis.axhline(bound, color="grey", linestyle=style, linewidth=1,
                             label=f"target ({words})" if several else "target")
            axis.legend(fontsize="x-small", ncol=2 if several else 1)
        else:
            axis.text(0.5, 0.5, "not run", transform=axis.transAxes, ha="center")
    figure.suptitle("wavesim against peers (below 1: wavesim faster)")
    figure.tight_layout()
    figure.savefig(target, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
