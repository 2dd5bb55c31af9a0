"""Benchmarks wavesim's expectation values and gradients against peer simulators in one run.

    bench/peers/setup.sh                                   # once: the peers' envs
    .venv/bin/python bench/peers/run_expval.py [--quick] [--build-dir build/x]

The machinery of harness.py, as in run_suite.py: one worker process per
system, every result checked against wavesim's (|difference| at most 1e-8 in
double precision, 1e-4 in single) before anything is timed, each peer at its
fastest setting.
The observable is the transverse-field Ising ring
    H = sum_q Z_q Z_(q+1 mod n) + h sum_q X_q       (2n terms, h = families.ISING_FIELD)
after an n-local circuit: an RY layer and a linear CX chain (q, q+1), `reps`
times, then a last RY layer, with seeded angles.

Workloads:
  1  the energy, n = 12 ... 24: wavesim's expval_cpp; cal_states_cpp followed by
     NumPy energies; qulacs (plain or optimised circuit, circuit and energy
     timed together); qsimcirq (fusion 2, 3, 4; single precision only, so
     against wavesim in float32); lightning.qubit in both precisions
  2  the energy over SWEEP_SETS parameter sets (n = 12, 16): wavesim in one
     batched call against each peer's own way of running many sets
  3  its gradient by every angle of a circuit with at least MIN_PARAMETERS
     of them, n = 12 ... 22: wavesim's expval_grad_cpp against lightning.qubit's
     adjoint method, qulacs's backprop and parameter shift through batched
     cal_states_cpp; times also in units of one forward cal_states_cpp call
If this build has no expval_cpp (expval_grad_cpp), wavesim's worker runs its
NumPy (parameter-shift) path in the wavesim column, and the report says so.
Writes expval.md and expval.json under bench/results/.
"""

import argparse
import dataclasses
import math
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

import harness
import pauli_sums
from harness import WorkerError, cell, table, variant_name

sys.path.insert(0, str(harness.HERE.parent))  # bench/, for families.py
import families  # noqa: E402

ENERGY_REPS = 4
SWEEP_SETS = 256
MIN_PARAMETERS = 100
ANGLE_SEED = 20240917
ENERGY_SIZES = list(range(12, 25, 2))
SWEEP_SIZES = [12, 16]
GRAD_SIZES = list(range(12, 23, 2))
QUICK_SIZES = [12, 14, 16]
# Parameter shift runs 2P + 1 circuits and NumPy energies for each: above
# this size it takes minutes per gradient.
SHIFT_MAX_QUBITS = 16
TOLERANCE = {"double": 1e-8, "single": 1e-4}
GRAD_TARGET = 4.0
GRAD_TARGET_QUBITS = 20
PEERS = ("qulacs", "qsim", "lightning")

QULACS_SETTINGS = tuple(harness.VARIANTS["qulacs"])
QULACS_SWEEP_SETTINGS = ({"circuit": "parametric"}, {"circuit": "per_set"})
QSIM_SETTINGS = tuple(harness.VARIANTS["qsim"])
LIGHTNING_SETTINGS = ({"observable": "hamiltonian"}, {"observable": "sum"})


@dataclasses.dataclass(frozen=True)
class Column:
    """One timed system: its worker, what its job differs in, and the settings
    it is tried at (the fastest that agrees with wavesim is reported)."""
    name: str
    system: str
    precision: str = "double"
    method: str | None = None  # wavesim's native / numpy / shift
    kind: str | None = None  # instead of the workload's job kind
    settings: tuple = ({},)
    max_n: int | None = None


def energy_columns(sweep):
    return [Column("wavesim", "wavesim", method="native"),
            Column("wavesim-single", "wavesim", "single", method="native"),
            Column("cal_states+numpy", "wavesim", method="numpy"),
            Column("qulacs", "qulacs", settings=QULACS_SWEEP_SETTINGS if sweep else QULACS_SETTINGS),
            Column("qsim", "qsim", "single", settings=QSIM_SETTINGS),
            Column("lightning", "lightning", settings=LIGHTNING_SETTINGS),
            Column("lightning-single", "lightning", "single", settings=LIGHTNING_SETTINGS)]


def grad_columns(args, native):
    # Without expval_grad_cpp the wavesim column is parameter shift as well.
    return [Column("wavesim", "wavesim", method="native", max_n=None if native else args.shift_n_max),
            Column("forward", "wavesim", kind="state"),
            Column("shift", "wavesim", method="shift", max_n=args.shift_n_max),
            Column("lightning", "lightning", settings=LIGHTNING_SETTINGS),
            Column("qulacs", "qulacs")]


ENERGY_RATIOS = [("wavesim", "cal_states+numpy"), ("wavesim", "qulacs"), ("wavesim", "lightning"),
                 ("wavesim-single", "qsim"), ("wavesim-single", "lightning-single")]
RATIOS = {1: ENERGY_RATIOS, 2: ENERGY_RATIOS,
          3: [("wavesim", "lightning"), ("wavesim", "qulacs"), ("wavesim", "shift"),
              ("wavesim", "forward"), ("shift", "forward")]}
TITLES = {
    1: f"Workload 1: energy of the Ising ring (h = {families.ISING_FIELD}) after the RY/CX circuit, "
       f"{ENERGY_REPS} repetitions",
    2: f"Workload 2: the same energy for {SWEEP_SETS} parameter sets",
    3: f"Workload 3: gradient of the energy by every angle (at least {MIN_PARAMETERS})",
}


# ----------------------------------------------------------------------------
# One measurement point


def deviation(column, result, reference, observable):
    """Largest |difference| from the reference result; a forward state is
    compared through its energy, the reference's first entry."""
    if column.kind == "state":
        result = np.atleast_1d(pauli_sums.expectation_values(result, observable))
        reference = reference[:1]
    if result.shape != reference.shape:
        return math.inf
    return float(np.max(np.abs(result - reference)))


def run_column(worker, column, job, label, tmp, args, reference):
    """(seconds at the fastest agreeing setting or a failure text, that
    setting, the check's result, its largest deviation)."""
    best, best_setting, result, worst = None, None, None, 0.0
    failure = None
    for setting in column.settings:
        point = dict(job, precision=column.precision, variant=setting)
        point.update({key: value for key, value in (("method", column.method), ("kind", column.kind))
                      if value is not None})
        point_id = f"{label}-{column.name}-{variant_name(setting)}"
        try:
            result = harness.run_checked(worker, point_id, point, tmp)[0]
            delta = deviation(column, result, result if reference is None else reference, job["observable"])
            worst = max(worst, delta)
            if not delta <= TOLERANCE[column.precision]:
                failure = f"MISMATCH (|Δ| = {delta:.3g}, {variant_name(setting)})"
                continue
            seconds = harness.median_seconds(worker, point_id, args)
            if best is None or seconds < best:
                best, best_setting = seconds, variant_name(setting)
        except WorkerError as error:
            failure = f"error: {error}"
        finally:
            worker.call(op="drop", id=point_id)
    return (best if best is not None else failure), best_setting, result, worst


def measure_point(workers, columns, job, label, tmp, args):
    """A table row: every column checked against the first (wavesim in
    double precision) and timed if it agrees."""
    row = {"n": job["n"], "times": {}, "settings": {}, "deviations": {}}
    reference = None
    for index, column in enumerate(columns):
        if column.system not in workers:
            continue
        if column.max_n is not None and job["n"] > column.max_n:
            row["times"][column.name] = f"not run above n = {column.max_n}"
            continue
        if index > 0 and reference is None:
            row["times"][column.name] = "not checked: no wavesim reference"
            continue
        outcome, setting, result, worst = run_column(workers[column.system], column, job, label, tmp,
                                                     args, reference)
        if index == 0:
            reference = result if isinstance(outcome, float) else None
        row["times"][column.name] = outcome
        if len(column.settings) > 1 and setting is not None:
            row["settings"][column.name] = setting
        if index > 0 and result is not None:
            row["deviations"][column.name] = worst
    print(f"n={job['n']} {label}: " + ", ".join(
        f"{name}={cell(value)}{'s' if isinstance(value, float) else ''}"
        + (f" ({row['settings'][name]})" if name in row["settings"] else "")
        for name, value in row["times"].items()), flush=True)
    return row


# ----------------------------------------------------------------------------
# Workloads


def workload_energy(workers, tmp, args):
    rows = []
    for n in args.energy_sizes:
        count = (ENERGY_REPS + 1) * n
        job = {"kind": "expval", "n": n, "observable": families.ising_ring(n),
               "ops": families.n_local(n, ENERGY_REPS, families.seeded_angles(count, ANGLE_SEED + n))}
        rows.append(measure_point(workers, energy_columns(sweep=False), job, f"w1-{n}", tmp, args))
    return rows


def workload_sweep(workers, tmp, args):
    rows = []
    for n in args.sweep_sizes:
        count = (ENERGY_REPS + 1) * n
        params = np.random.default_rng(ANGLE_SEED + 1000 + n).uniform(0, 2 * np.pi, (SWEEP_SETS, count))
        params_file = Path(tmp) / f"params-{n}.npy"
        np.save(params_file, params)
        job = {"kind": "expval_sweep", "n": n, "observable": families.ising_ring(n),
               "params_file": str(params_file),
               "ops": families.n_local(n, ENERGY_REPS, [{"index": k} for k in range(count)])}
        rows.append(measure_point(workers, energy_columns(sweep=True), job, f"w2-{n}", tmp, args))
    return rows


def workload_grad(workers, tmp, args, native):
    rows = []
    for n in args.grad_sizes:
        reps = families.reps_for_parameters(n, MIN_PARAMETERS)
        count = (reps + 1) * n
        job = {"kind": "grad", "n": n, "observable": families.ising_ring(n),
               "ops": families.n_local(n, reps, families.seeded_angles(count, ANGLE_SEED + 2000 + n))}
        row = measure_point(workers, grad_columns(args, native), job, f"w3-{n}", tmp, args)
        row["parameters"] = count
        rows.append(row)
    return rows


# ----------------------------------------------------------------------------
# Reporting


def ratio(row, numerator, denominator):
    top, bottom = row["times"].get(numerator), row["times"].get(denominator)
    if isinstance(top, float) and isinstance(bottom, float):
        return top / bottom
    return None


def fallback_columns(workload, native):
    """The columns a missing native function left to wavesim's NumPy path."""
    if workload == 3:
        return {"wavesim"} if native.get("expval_grad_cpp") != "present" else set()
    return {"wavesim", "wavesim-single"} if native.get("expval_cpp") != "present" else set()


def markdown_tables(workload, rows, fallback):
    names = list(dict.fromkeys(name for row in rows for name in row["times"]))
    extra = ["parameters"] if workload == 3 else []
    head = [f"{name} (s){' [fallback]' if name in fallback else ''}" for name in names]
    times = table(["n"] + extra + head, [
        [str(row["n"])] + [str(row[key]) for key in extra]
        + [cell(row["times"].get(name)) + (f" ({row['settings'][name]})" if name in row["settings"] else "")
           for name in names] for row in rows])
    pairs = RATIOS[workload]
    ratios = table(["n"] + [f"{a} / {b}" for a, b in pairs], [
        [str(row["n"])] + [f"{r:.3g}" if (r := ratio(row, a, b)) is not None else "—" for a, b in pairs]
        for row in rows])
    checked = list(dict.fromkeys(name for row in rows for name in row["deviations"]))
    deviations = table(["n"] + checked, [
        [str(row["n"])] + [f"{row['deviations'][name]:.2g}" if name in row["deviations"] else "—"
                           for name in checked] for row in rows])
    return (["Median seconds per call (fastest setting in brackets):", ""] + times
            + ["", "Ratios (below 1: the first is faster):", ""] + ratios
            + ["", "Largest |difference| from wavesim's double-precision result (energy, then "
                   "every derivative), over all settings:", ""] + deviations)


def notes(facts):
    lines = []
    native = facts["wavesim native"]
    if native.get("expval_cpp") != "present":
        lines.append("- **wavesim.expval_cpp is missing from this build**: the wavesim and wavesim-single "
                     "columns of workloads 1 and 2 (marked [fallback]) are cal_states_cpp + NumPy.")
    if native.get("expval_grad_cpp") != "present":
        lines.append("- **wavesim.expval_grad_cpp is missing from this build**: the wavesim column of "
                     "workload 3 (marked [fallback]) is parameter shift, run up to the shift column's size.")
    return lines


def target_lines(tables):
    if 3 not in tables:
        return []
    ratios = [r for row in tables[3] if row["n"] == GRAD_TARGET_QUBITS
              for r in [ratio(row, "wavesim", "forward")] if r is not None]
    verdict = (f"{'met' if ratios[0] <= GRAD_TARGET else 'NOT met'} (ratio {ratios[0]:.2f})" if ratios
               else "not measured")
    return [f"- W3, wavesim's gradient / one forward cal_states_cpp <= {GRAD_TARGET:g} at "
            f"n = {GRAD_TARGET_QUBITS}: {verdict}"]


def write_results(tables, facts, name):
    harness.write_json(tables, facts, name)
    lines = harness.report_head(
        "wavesim expectation values and gradients against peer simulators", facts,
        "Median wall time of the timed call, circuit and observable already built. "
        "A system is timed only after its result agreed with wavesim's "
        f"(|difference| <= {TOLERANCE['double']:g} in double precision, {TOLERANCE['single']:g} "
        "in single). qsimcirq simulates in single precision only, so its ratio is taken against "
        "wavesim-single. qulacs times circuit and energy together; lightning times its QNode "
        "call (qml.grad of it, adjoint method, for gradients).")
    lines += ["wavesim native functions: " + ", ".join(f"{k} {v}" for k, v in facts["wavesim native"].items()),
              ""]
    lines += notes(facts) + [""]
    lines += ["## Targets", ""] + (target_lines(tables) or ["- not measured"]) + [""]
    for workload, rows in tables.items():
        fallback = fallback_columns(workload, facts["wavesim native"])
        lines += [f"## {TITLES[workload]}", ""] + markdown_tables(workload, rows, fallback) + [""]
    (harness.RESULTS / f"{name}.md").write_text("\n".join(lines))


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES} only")
    parser.add_argument("--n-max", type=int, default=max(ENERGY_SIZES), help="largest size")
    parser.add_argument("--workloads", default="1,2,3", help="comma-separated subset")
    parser.add_argument("--shift-n-max", type=int, default=SHIFT_MAX_QUBITS,
                        help="largest size parameter shift is run at")
    parser.add_argument("--results-name", default="expval", help="write bench/results/<name>.md and .json")
    harness.timing_arguments(parser)
    args = parser.parse_args()

    def sizes(full):
        return [n for n in full if n <= args.n_max and (not args.quick or n in QUICK_SIZES)]
    args.energy_sizes, args.sweep_sizes, args.grad_sizes = (
        sizes(ENERGY_SIZES), sizes(SWEEP_SIZES), sizes(GRAD_SIZES))
    args.sizes = sorted(set(args.energy_sizes + args.sweep_sizes + args.grad_sizes))
    args.workloads = [int(w) for w in args.workloads.split(",")]
    return args


def main():
    args = parse_args()
    if args.render_only:
        write_results(*harness.read_json(args.results_name), args.results_name)
        return
    load_before = os.getloadavg()
    log_path = Path(tempfile.gettempdir()) / "expval-workers.log"
    with harness.running_workers(args, log_path, PEERS) as (workers, tmp):
        native = {k: v for k, v in workers["wavesim"].info.items() if k != "system"}
        for function, state in native.items():
            if state != "present":
                print(f"*** wavesim.{function} is MISSING from this build: its NumPy path stands in ***")
        tables = {}
        for workload in args.workloads:
            if workload == 1:
                tables[1] = workload_energy(workers, tmp, args)
            elif workload == 2:
                tables[2] = workload_sweep(workers, tmp, args)
            elif workload == 3:
                tables[3] = workload_grad(workers, tmp, args, native.get("expval_grad_cpp") == "present")
        facts = harness.machine_facts(workers, args, load_before)
        facts["wavesim native"] = native
    write_results(tables, facts, args.results_name)
    print("\n".join(target_lines(tables)))
    print(f"wrote {harness.RESULTS / (args.results_name + '.md')} (worker log: {log_path})")


if __name__ == "__main__":
    main()
