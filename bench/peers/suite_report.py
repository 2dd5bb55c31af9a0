"""How the peer suite (run_suite.py) reads its results: which peers each
workload is compared with and against which wavesim column, its targets, and
the markdown tables and plot it writes. plot.py reads the same definitions.
"""

import subprocess

import harness

# The peers, in the order their workers start and their versions are listed.
SYSTEMS = ("qulacs", "qsim", "lightning", "cirq", "aer")
STATE_WORKLOADS = (1, 2, 6, 7)
# Which wavesim column each peer is compared with, per workload.
BASELINE = {1: {}, 2: {}, 3: {"qsim": "wavesim-single"}, 4: {"qsim": "wavesim-single"},
            5: {"qsim": "wavesim-single"}, 6: {}, 7: {}}
PEERS = {1: ["qulacs", "lightning", "aer", "cirq"], 2: ["qsim", "lightning", "aer"],
         3: ["qulacs", "lightning", "cirq", "qsim"], 4: ["qulacs", "lightning", "aer", "cirq", "qsim"],
         5: ["qsim"], 6: ["qulacs", "lightning", "aer", "cirq"], 7: ["qsim", "lightning", "aer"]}
TARGET_MIN_QUBITS = 16
# Targets of the state workloads: (workloads, wavesim column, bound, peers whose
# fastest time at their fastest setting is the denominator).
STATE_TARGETS = [
    ((1, 6), "wavesim", 0.4, ("qulacs", "lightning", "aer")),
    ((1, 6), "wavesim-best", 0.25, ("qulacs", "lightning", "aer")),
    ((2, 7), "wavesim", 0.5, ("qsim", "aer")),
    ((2, 7), "wavesim-best", 0.3, ("qsim", "aer")),
]
# Bounds on the ratio to every peer, of the other workloads but 5.
TARGETS = {3: 0.5, 4: 1.0}
DYNAMIC_BOUND = 0.25
SETTING_WORDS = {"wavesim": "wavesim default", "wavesim-best": "wavesim at its fastest setting"}
PEER_WORDS = {("qulacs", "lightning", "aer"): "the fastest of qulacs (at its best optimiser), lightning "
                                              "and Aer (at its best fusion setting)",
              ("qsim", "aer"): "the fastest of qsimcirq and Aer, each at its fastest fusion"}


def targets(workload):
    """{wavesim column: bound on its ratio to the peers} of a workload."""
    bounds = {column: bound for workloads, column, bound, _ in STATE_TARGETS if workload in workloads}
    if workload in TARGETS:
        bounds["wavesim"] = TARGETS[workload]
    return bounds


def ratio(row, workload, peer, base=None):
    """wavesim's time over the peer's; base names wavesim's column (default:
    the one BASELINE gives)."""
    base = row["times"].get(base or BASELINE[workload].get(peer, "wavesim"))
    other = row["times"].get(peer)
    if isinstance(base, float) and isinstance(other, float):
        return base / other
    return None


def timed_cell(times, column):
    """A time, with the setting it was measured at when several were tried."""
    text = harness.cell(times.get(column))
    if f"{column}-variant" in times:
        text += f" ({times[f'{column}-variant']})"
    return text


def settings_notes(rows):
    """One line per setting that was tried but failed or did not agree."""
    notes = []
    for row in rows:
        for key, each in row.get("times", {}).items():
            if key.endswith("-settings"):
                notes += [f"- n = {row['n']}: {key[:-len('-settings')]} {name}: {value}"
                          for name, value in each.items() if not isinstance(value, float)]
    return notes


def markdown_table(workload, rows):
    peers = PEERS[workload]
    states = workload in STATE_WORKLOADS
    extra = ["wavesim-single"] if workload in (3, 4, 5) else []
    if states:
        head = ["n", "wavesim default (s)", "wavesim fastest (s)"]
        for peer in peers:
            head += [f"{peer} (s)", f"default / {peer}", f"fastest / {peer}"]
    else:
        head = ["n", "wavesim (s)"] + [f"{c} (s)" for c in extra]
        for peer in peers:
            head += [f"{peer} (s)", f"ratio vs {peer}"]
    if workload == 5:
        head = ["n", "shots"] + head[1:] + ["qsim fusion"]
    lines = []
    for row in rows:
        if "times" not in row:
            continue
        times = row["times"]
        cells = [str(row["n"])] + ([str(row["shots"])] if workload == 5 else [])
        cells += [harness.cell(times.get("wavesim"))]
        cells += [timed_cell(times, "wavesim-best")] if states else [harness.cell(times.get(c)) for c in extra]
        for peer in peers:
            bases = ["wavesim", "wavesim-best"] if states else [None]
            ratios = [ratio(row, workload, peer, base) for base in bases]
            cells += [timed_cell(times, peer)] + ["—" if r is None else f"{r:.3g}" for r in ratios]
        if workload == 5:
            ran = row.get("qsim shots run", row.get("shots"))
            scaled = f" (timed at {ran} shots, scaled)" if ran != row.get("shots") else ""
            cells.append(str(times.get("qsim fusion", "—")) + scaled)
        lines.append(cells)
    out = harness.table(head, lines)
    notes = settings_notes(rows)
    if notes:
        out += ["", "Settings not timed (failed, or did not agree with wavesim's default):", ""] + notes
    curves = [row for row in rows if "curve" in row]
    if curves:
        shots = list(curves[0]["curve"])
        out += ["", "wavesim (single precision) time in seconds against the number of shots:", ""]
        out += harness.table(["n"] + shots, [[str(row["n"])] + [harness.cell(row["curve"][k]) for k in shots]
                                             for row in curves])
    return "\n".join(out)


def state_target_ratios(rows, column, peers):
    """(wavesim's column over the fastest of `peers`, n) at each n >= TARGET_MIN_QUBITS
    where both were timed."""
    out = []
    for row in rows:
        times = row["times"]
        peer_times = [times[p] for p in peers if isinstance(times.get(p), float)]
        if row["n"] >= TARGET_MIN_QUBITS and peer_times and isinstance(times.get(column), float):
            out.append((times[column] / min(peer_times), row["n"]))
    return out


def target_lines(tables):
    """One line per target: met, not met, or not measured."""
    lines = []

    def verdict(ratios, bound):
        if not ratios:
            return "not measured"
        worst = max(ratios)
        return f"{'met' if worst <= bound else 'NOT met'} (worst ratio {worst:.2f})"

    for workloads, column, bound, peers in STATE_TARGETS:
        for workload in workloads:
            if workload not in tables:
                continue
            pairs = state_target_ratios(tables[workload], column, peers)
            text = verdict([r for r, _ in pairs], bound)
            if pairs:
                text += f" at n = {max(pairs)[1]}"
            lines.append(f"- W{workload}, {SETTING_WORDS[column]}, ratio <= {bound} vs {PEER_WORDS[peers]} "
                         f"at every n >= {TARGET_MIN_QUBITS}: {text}")
    for workload, bound in TARGETS.items():
        if workload in tables:
            ratios = [r for row in tables[workload] for p in PEERS[workload]
                      for r in [ratio(row, workload, p)] if r is not None]
            lines.append(f"- W{workload}, ratio <= {bound} vs every peer: {verdict(ratios, bound)}")
    if 5 in tables:
        ratios = [r for row in tables[5] if row.get("shots", 0) >= 1000
                  for r in [ratio(row, 5, "qsim")] if r is not None]
        lines.append(f"- W5, ratio <= {DYNAMIC_BOUND} vs qsimcirq at >= 1000 shots: "
                     f"{verdict(ratios, DYNAMIC_BOUND)}")
    return lines


def write_results(tables, facts, name, titles):
    """name.json, name.md (a section per workload, titled from `titles`) and,
    where the harness env is, name.png."""
    json_path = harness.write_json(tables, facts, name)
    settings_words = ""
    if any("wavesim-settings" in row.get("times", {}) for rows in tables.values() for row in rows):
        settings_words = (
            " In the state workloads (1, 2, 6, 7) wavesim runs at every setting ("
            + ", ".join(harness.variant_name(v) for v in harness.VARIANTS["wavesim"])
            + ": plain is its default, fusion=k fuses gates on up to k qubits, fusion=auto chooses "
            "the size group by group), a fused one timed "
            "only after it agreed with the default: \"default / peer\" is the default's time over "
            "the peer's, \"fastest / peer\" that of wavesim's fastest setting (named beside its time).")
    if any("aer" in row.get("times", {}) for rows in tables.values() for row in rows):
        settings_words += (
            " Aer (AerSimulator, statevector method, max_parallel_threads = the cores) runs the state "
            "workloads with fusion off and on at 2 to 5 qubits (fusion_max_qubit, with fusion_threshold "
            "lowered to 1 so that it fuses at every n), shots at its defaults; its time is the execution "
            "of the circuit already compiled and assembled, up to the saved state vector or the counts.")
    lines = harness.report_head(
        "wavesim against peer simulators", facts,
        "Median wall time of the timed call, circuit already built; ratio = wavesim / peer "
        "(below 1 means wavesim is faster). A peer is timed only after its result agreed "
        "with wavesim's." + settings_words) + [""]
    lines += ["## Targets", ""] + target_lines(tables) + [""]
    for workload, rows in tables.items():
        lines += [f"## {titles[workload]}", "", markdown_table(workload, rows), ""]
    (harness.RESULTS / f"{name}.md").write_text("\n".join(lines))
    plotter = harness.ENVS / "harness" / "bin" / "python"
    if plotter.exists():
        subprocess.run([str(plotter), str(harness.HERE / "plot.py"), str(json_path),
                        str(harness.RESULTS / f"{name}.png")], check=True)
    else:
        print("no harness env: skipped the plot (run bench/peers/setup.sh)")
