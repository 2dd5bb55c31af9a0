"""Plots wavesim / peer time ratios from peers.json (run with the harness env's
python: plot.py RESULTS.json OUT.png), one panel per workload that was run.

In the state workloads (1, 2, 6, 7) each peer has two lines: solid for
wavesim's default setting, dashed for wavesim's fastest setting, each with its
own target line. Peers, the wavesim column each is set against, and targets
are suite_report.py's."""

import json
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (backend must be chosen first)
from matplotlib.ticker import MaxNLocator  # noqa: E402

import suite_report  # noqa: E402

PANELS = {1: "W1 layered, double (peers at their best setting)",
          2: "W2 layered, single (peers at their best setting)",
          6: "W6 random, double (peers at their best setting)",
          7: "W7 random, single (peers at their best setting)",
          3: "W3 256-set sweep", 4: "W4 1e5 shots"}
FASTEST = {"wavesim": "wavesim-best"}
STYLES = {"wavesim": ("-", "default"), "wavesim-best": ("--", "fastest")}
COLOURS = {"qulacs": "tab:blue", "lightning": "tab:orange", "cirq": "tab:green", "qsim": "tab:red",
           "aer": "tab:purple"}


def ratio_points(rows, base, peer):
    return [(row["n"], row["times"][base] / row["times"][peer]) for row in rows
            if isinstance(row["times"].get(base), float) and isinstance(row["times"].get(peer), float)]


def draw(axis, workload, rows):
    axis.set_title(PANELS[workload])
    axis.set_xlabel("qubits n")
    axis.set_ylabel("wavesim time / peer time")
    axis.set_yscale("log")
    axis.xaxis.set_major_locator(MaxNLocator(integer=True))
    several = workload in suite_report.STATE_WORKLOADS
    for peer in suite_report.PEERS[workload]:
        base = suite_report.BASELINE[workload].get(peer, "wavesim")
        for column in [base] + ([FASTEST[base]] if several else []):
            points = ratio_points(rows, column, peer)
            if points:
                style, words = STYLES.get(column, STYLES["wavesim"])
                xs, ys = zip(*points)
                axis.plot(xs, ys, "o" + style, label=f"{peer} (wavesim {words})" if several else peer,
                          color=COLOURS[peer])
    for column, bound in suite_report.targets(workload).items():
        style, words = STYLES[column]
        axis.axhline(bound, color="grey", linestyle=style, linewidth=1,
                     label=f"target ({words})" if several else "target")
    axis.legend(fontsize="x-small", ncol=2 if several else 1)


def main(source, target):
    tables = json.load(open(source))["tables"]
    run = [workload for workload in PANELS if str(workload) in tables]
    if not run:
        print(f"plot: none of workloads {sorted(PANELS)} in {source}, so no plot")
        return
    columns = min(2, len(run))
    rows = math.ceil(len(run) / columns)
    figure, axes = plt.subplots(rows, columns, figsize=(5.5 * columns, 4 * rows), squeeze=False)
    for axis, workload in zip(axes.flat, run):
        draw(axis, workload, tables[str(workload)])
    for axis in axes.flat[len(run):]:
        axis.remove()
    figure.suptitle("wavesim against peers (below 1: wavesim faster)")
    figure.tight_layout()
    figure.savefig(target, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
