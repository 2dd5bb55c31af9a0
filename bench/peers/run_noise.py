"""Benchmarks wavesim's noisy entries against peer simulators in one run.

    bench/peers/setup.sh                                  # once: the peers' envs
    .venv/bin/python bench/peers/run_noise.py [--quick] [--workloads 1,2,3,4] [--build-dir build/x]

The circuit is families.noisy_layered: the layered RZ/RX/CX circuit with DEPOLARIZE1(p) after every
one-qubit gate and DEPOLARIZE2(p) after every two-qubit gate, or AMPLITUDE_DAMPING(p) on each qubit
of every gate. Each system runs in its own worker (worker_<system>_noise.py, its env's python); a
result is timed only after it agreed with wavesim's (shot frequencies within SHOT_SIGMAS of each
other, energies within 1e-8 in double precision, trajectory means within 5 combined standard errors).

Workloads:
  1  noisy shots: 10^4 shots at n = 12, 16, 20 (and 10^5 at n = 12), p = 1e-3 and 1e-2, both channels:
     wavesim (run_cpp, fusion off and 2, double and single) against Aer's statevector method with shot
     branching off and on, qulacs's NoiseSimulator and qsimcirq (single precision)
  2  the exact noisy energy of the transverse-field Ising ring, n = 6 ... 13: wavesim's expval_cpp
     (through its density matrix) against Aer's density_matrix method and qulacs's DensityMatrix
  3  the noisy energy by TRAJECTORIES trajectories at n = 20: wavesim's expval_trajectories_cpp against
     Aer (one trajectory per shot, per-shot values) and qsimcirq (ev_noisy_repetitions): times and
     standard errors
  4  the peak memory of a noisy 10^4-shot call of wavesim at n = 20, in states, in a fresh process
Writes noise.md and noise.json under bench/results/.
"""

import argparse
import os
import subprocess
import sys
import tempfile

import numpy as np

import harness
from harness import WorkerError, cell, table

sys.path.insert(0, str(harness.HERE.parent))  # bench/, for families.py
import families  # noqa: E402

LAYERS = 10
DENSITY_LAYERS = 6
SEED = 20251209
TRAJECTORIES = 1000
SHOT_SIGMAS = 6.0
SHOT_FLOOR = 2e-3
ENERGY_TOLERANCE = {"double": 1e-8, "single": 1e-4}
SHOT_POINTS = [(12, 10_000), (16, 10_000), (20, 10_000), (12, 100_000)]
QUICK_SHOT_POINTS = [(12, 10_000), (16, 10_000)]
STRENGTHS = (1e-3, 1e-2)
CHANNELS = ("DEPOLARIZE", "AMPLITUDE_DAMPING")
DENSITY_SIZES = list(range(6, 14))
QUICK_DENSITY_SIZES = [6, 8, 10]
TRAJECTORY_QUBITS = 20
# Targets: wavesim's fastest over the fastest peer.
SHOT_TARGET = {1e-3: 0.1, 1e-2: 0.25}
DENSITY_TARGET = 0.3
MEMORY_TARGET = 4.0

# (column, system, precision, settings): the fastest setting that agrees is a column's time.
SHOT_COLUMNS = [("wavesim", "wavesim", "double", [{}, {"fusion": 2}]),
                ("wavesim-single", "wavesim", "single", [{}, {"fusion": 2}]),
                ("aer", "aer", "double", [{"branching": False}]),
                ("aer-branching", "aer", "double", [{"branching": True}]),
                ("qulacs", "qulacs", "double", [{}]),
                ("qsim", "qsim", "single", [{"fusion": 2}, {"fusion": 3}])]
DENSITY_COLUMNS = [("wavesim", "wavesim", "double", [{}, {"fusion": 2}, {"fusion": 4}]),
                   ("aer-density", "aer", "double", [{}]),
                   ("qulacs-density", "qulacs", "double", [{}])]
TRAJECTORY_COLUMNS = [("wavesim", "wavesim", "double", [{}, {"fusion": 2}]),
                      ("wavesim-single", "wavesim", "single", [{}, {"fusion": 2}]),
                      ("aer", "aer", "double", [{"branching": False}]),
                      ("aer-branching", "aer", "double", [{"branching": True}]),
                      ("qsim", "qsim", "single", [{"fusion": 2}])]
PEERS = ("aer", "qulacs", "qsim")


def start_workers(args, log):
    """wavesim's noise worker (from args.build_dir if given) and one per peer that has an env."""
    base = dict(os.environ, OMP_NUM_THREADS=str(os.cpu_count()), PYTHONUNBUFFERED="1")
    wavesim_env = dict(base)
    if args.build_dir:
        wavesim_env["PYTHONPATH"] = str((harness.REPO / args.build_dir / "python").resolve())
    workers = {"wavesim": harness.Worker("wavesim_noise", sys.executable, wavesim_env, log)}
    for system in PEERS:
        python = harness.ENVS / system / "bin" / "python"
        if not python.exists():
            print(f"skipping {system}: no env at {python.parent.parent} (run bench/peers/setup.sh)")
            continue
        try:
            workers[system] = harness.Worker(f"{system}_noise", str(python), base, log)
        except WorkerError as error:
            print(f"skipping {system}: {error}")
    return workers


def agrees(job, result, reference):
    if job["kind"] == "noisy_shots":
        sigma = np.sqrt(2 * reference * (1 - reference) / job["shots"])
        return bool(np.all(np.abs(result - reference) <= SHOT_SIGMAS * sigma + SHOT_FLOOR))
    if job["kind"] == "density_energy":
        return bool(abs(result[0] - reference[0]) <= ENERGY_TOLERANCE["double"])
    errors = [e for e in (result[1], reference[1]) if np.isfinite(e)]
    return bool(abs(result[0] - reference[0]) <= 5 * np.sqrt(sum(e * e for e in errors) * 2) + 1e-9)


def measure_row(workers, columns, job, label, tmp, args):
    """{column: seconds or a failure}, the setting of each timed column and what each one returned."""
    row = {"times": {}, "settings": {}, "results": {}}
    reference = None
    for name, system, precision, variants in columns:
        if system not in workers or name in args.skip_columns:
            continue
        best, failure = None, None
        if name in args.only_setting:
            variants = [v for v in variants if harness.variant_name(v) == args.only_setting[name]]
            if not variants:
                raise SystemExit(f"--only-setting {name}={args.only_setting[name]}: {name} has no such setting")
        for variant in variants:
            point = f"{label}-{name}-{harness.variant_name(variant)}"
            try:
                result, check_seconds = harness.run_checked(workers[system], point,
                                                            dict(job, precision=precision, variant=variant), tmp,
                                                            args.peer_timeout if system != "wavesim" else None)
                if reference is None:
                    reference = result
                if not agrees(job, result, reference):
                    failure = f"MISMATCH ({harness.variant_name(variant)})"
                    continue
                # A call slower than --single-run-above is timed once: its checked run (a fresh call too).
                seconds = check_seconds if args.single_run_above and check_seconds > args.single_run_above \
                    else harness.median_seconds(workers[system], point, args)
                if best is None or seconds < best:
                    best = seconds
                    row["settings"][name] = harness.variant_name(variant)
                    row["results"][name] = [float(x) for x in np.atleast_1d(result)[:2]]
            except harness.TimedOut as error:
                failure = str(error)
            except WorkerError as error:
                failure = f"error: {str(error)[:120]}"
            finally:
                workers[system].call(op="drop", id=point)
        row["times"][name] = best if best is not None else failure
    print(f"{label}: " + ", ".join(f"{k}={cell(v)}" for k, v in row["times"].items()), flush=True)
    return row


def stopped_after(value):
    """The seconds of a peer stopped by --peer-timeout ("> 600 s"), else None."""
    return float(value.split()[1]) if isinstance(value, str) and value.startswith("> ") else None


def ratio(row, mine, peers):
    """wavesim's time over the fastest peer's and which peer that was; a peer stopped after T seconds
    took more than T, so where T is below every finished peer's time the ratio is at most mine / T and
    is shown "<= x"."""
    timed = {p: row["times"][p] for p in peers if isinstance(row["times"].get(p), float)}
    stopped = {p: t for p in peers if (t := stopped_after(row["times"].get(p))) is not None}
    if not isinstance(row["times"].get(mine), float) or not (timed or stopped):
        return None, None
    fastest = min({**stopped, **timed}.items(), key=lambda item: item[1])[0]
    value = row["times"][mine] / {**stopped, **timed}[fastest]
    return (value, fastest) if fastest in timed else (RatioBound(value), fastest)


class RatioBound(float):
    """An upper bound on a ratio (a peer was stopped before it finished)."""

    def __format__(self, fmt):
        return "<= " + format(float(self), fmt)


def workload_shots(workers, tmp, args):
    rows = []
    points = [tuple(int(x) for x in point.split(":")) for point in args.shot_points.split(",")] if args.shot_points \
        else (QUICK_SHOT_POINTS if args.quick else SHOT_POINTS)
    for n, shots in points:
        for channel in args.channels or CHANNELS:
            for p in args.strengths or STRENGTHS:
                ops = families.noisy_layered(n, LAYERS, np.random.default_rng(SEED + n), p, channel)
                job = {"kind": "noisy_shots", "n": n, "ops": ops, "shots": shots}
                row = measure_row(workers, SHOT_COLUMNS, job, f"w1-{n}-{shots}-{channel}-{p}", tmp, args)
                row.update(n=n, shots=shots, channel=channel, p=p)
                rows.append(row)
    return rows


def workload_density(workers, tmp, args):
    rows = []
    sizes = [int(n) for n in args.density_sizes.split(",")] if args.density_sizes \
        else (QUICK_DENSITY_SIZES if args.quick else DENSITY_SIZES)
    for n in sizes:
        ops = families.noisy_layered(n, DENSITY_LAYERS, np.random.default_rng(SEED + n), 1e-2)
        job = {"kind": "density_energy", "n": n, "ops": ops, "observable": families.ising_ring(n)}
        row = measure_row(workers, DENSITY_COLUMNS, job, f"w2-{n}", tmp, args)
        row.update(n=n)
        rows.append(row)
    return rows


def workload_trajectories(workers, tmp, args):
    n = args.trajectory_qubits or (16 if args.quick else TRAJECTORY_QUBITS)
    ops = families.noisy_layered(n, LAYERS, np.random.default_rng(SEED + n), 1e-2)
    job = {"kind": "trajectory_energy", "n": n, "ops": ops, "observable": families.ising_ring(n),
           "trajectories": TRAJECTORIES}
    row = measure_row(workers, TRAJECTORY_COLUMNS, job, f"w3-{n}", tmp, args)
    row.update(n=n)
    return [row]


MEMORY_PROBE = """
import resource, sys, time
sys.path.insert(0, {bench!r})
import numpy as np, circuitcore, wavesim, families
n = {n}
data = families.circuit_data(n, families.noisy_layered(n, {layers}, np.random.default_rng({seed}), {p}),
                             measure_all=True)
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
wavesim.run_cpp(data, {shots}, n, 7)
print(before, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, time.perf_counter() - start)
"""


def workload_memory(args):
    n, shots, rows = (16 if args.quick else 20), 10_000, []
    for p in STRENGTHS[:1] if args.quick else STRENGTHS:
        env = dict(os.environ)
        if args.build_dir:
            env["PYTHONPATH"] = str((harness.REPO / args.build_dir / "python").resolve())
        code = MEMORY_PROBE.format(bench=str(harness.HERE.parent), n=n, layers=LAYERS, seed=SEED + n, p=p,
                                   shots=shots)
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True)
        before, after, seconds = out.stdout.split()
        state = 16 << n
        rows.append({"n": n, "shots": shots, "p": p, "peak_states": (int(after) - int(before)) * 1024 / state,
                     "seconds": float(seconds)})
        print(f"w4 n={n} p={p}: {rows[-1]['peak_states']:.2f} states beside the interpreter", flush=True)
    return rows


def render(tables, facts):
    lines = harness.report_head(
        "Noisy simulation against peers", facts,
        "Median wall time of the timed call (circuit built); ratio = wavesim's fastest setting / the "
        "fastest peer (below 1: wavesim is faster). A result is timed only after it agreed with wavesim's.")
    targets = []
    if 1 in tables:
        lines += ["", f"## Workload 1: noisy shots, layered circuit ({LAYERS} layers), every qubit measured", ""]
        names = [c[0] for c in SHOT_COLUMNS]
        body = []
        for row in tables[1]:
            r, peer = ratio(row, "wavesim", names[2:])
            rs, peer_s = ratio(row, "wavesim-single", ["qsim"])
            body.append([str(row["n"]), str(row["shots"]), row["channel"], f"{row['p']:g}"]
                        + [cell(row["times"].get(c)) for c in names]
                        + [f"{r:.3g} ({peer})" if r else "—", f"{rs:.3g}" if rs else "—"])
            if r is not None:
                met = r <= SHOT_TARGET[row["p"]]
                targets.append(f"- W1 n={row['n']} shots={row['shots']} {row['channel']} p={row['p']:g}: "
                               f"wavesim / fastest peer {r:.3g} (target <= {SHOT_TARGET[row['p']]}): "
                               + ("met" if met else "undecided (a peer was stopped: the bound is above the target)"
                                  if isinstance(r, RatioBound) else "NOT met"))
        lines += table(["n", "shots", "channel", "p"] + [f"{c} (s)" for c in names]
                       + ["wavesim / fastest peer", "wavesim-single / qsim"], body)
    if 2 in tables:
        lines += ["", f"## Workload 2: exact noisy energy through the density matrix ({DENSITY_LAYERS} layers, "
                  "DEPOLARIZE p = 0.01)", ""]
        names = [c[0] for c in DENSITY_COLUMNS]
        body = []
        for row in tables[2]:
            r, peer = ratio(row, "wavesim", names[1:])
            body.append([str(row["n"])] + [cell(row["times"].get(c)) for c in names]
                        + [f"{r:.3g} ({peer})" if r else "—"])
            if r is not None:
                targets.append(f"- W2 n={row['n']}: wavesim / fastest peer {r:.3g} (target <= {DENSITY_TARGET}): "
                               + ("met" if r <= DENSITY_TARGET else "NOT met"))
        lines += table(["n"] + [f"{c} (s)" for c in names] + ["wavesim / fastest peer"], body)
    if 3 in tables:
        row = tables[3][0]
        lines += ["", f"## Workload 3: noisy energy by {TRAJECTORIES} trajectories, n = {row['n']} "
                  "(DEPOLARIZE p = 0.01)", ""]
        lines += table(["system", "seconds", "setting", "mean", "standard error"],
                       [[c, cell(row["times"].get(c)), row["settings"].get(c, ""),
                         cell(row["results"].get(c, [None])[0]),
                         cell(row["results"].get(c, [None, None])[1])] for c in row["times"]])
    if 4 in tables:
        lines += ["", "## Workload 4: peak memory of a noisy 10^4-shot call of wavesim", ""]
        lines += table(["n", "p", "peak beyond the interpreter (states)", "seconds"],
                       [[str(r["n"]), f"{r['p']:g}", f"{r['peak_states']:.2f}", cell(r["seconds"])]
                        for r in tables[4]])
        targets += [f"- W4 n={r['n']} p={r['p']:g}: {r['peak_states']:.2f} states (target <= {MEMORY_TARGET}): "
                    + ("met" if r["peak_states"] <= MEMORY_TARGET else "NOT met") for r in tables[4]]
    lines[5:5] = ["", "## Targets", ""] + targets
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer and smaller points")
    parser.add_argument("--workloads", default="1,2,3,4")
    parser.add_argument("--results-name", default="noise")
    parser.add_argument("--shot-points", default=None, help="workload 1's n:shots points, e.g. 12:10000,16:10000")
    parser.add_argument("--density-sizes", default=None, help="workload 2's n, e.g. 6,8,10")
    parser.add_argument("--trajectory-qubits", type=int, default=None, help="workload 3's n")
    parser.add_argument("--skip-columns", default="",
                        help="columns left out, e.g. aer (Aer without shot branching, far the slowest at large n)")
    parser.add_argument("--single-run-above", type=float, default=None,
                        help="seconds: a checked call slower than this is its own timing (no repeats)")
    parser.add_argument("--peer-timeout", type=float, default=None,
                        help="seconds: a peer's checked call still running after this is stopped and shown as "
                             "'> seconds'")
    parser.add_argument("--channels", default=None, help="workload 1's channels, e.g. DEPOLARIZE (default both)")
    parser.add_argument("--strengths", default=None, help="workload 1's p, e.g. 1e-3 (default 1e-3,1e-2)")
    parser.add_argument("--only-setting", action="append", default=[], metavar="COLUMN=SETTING",
                        help="time a column at this one setting, e.g. qsim=fusion=2 (repeatable)")
    harness.timing_arguments(parser)
    args = parser.parse_args()
    args.skip_columns = {c for c in args.skip_columns.split(",") if c}
    args.channels = args.channels.split(",") if args.channels else None
    if args.channels and not set(args.channels) <= set(CHANNELS):
        parser.error(f"--channels: choose from {','.join(CHANNELS)}")
    args.strengths = [float(p) for p in args.strengths.split(",")] if args.strengths else None
    args.only_setting = dict(item.split("=", 1) for item in args.only_setting)
    args.sizes = None
    chosen = {int(w) for w in args.workloads.split(",")}
    if args.render_only:
        tables, facts = harness.read_json(args.results_name)
    else:
        load = os.getloadavg()
        tables = {}
        harness.RESULTS.mkdir(parents=True, exist_ok=True)
        with open(harness.RESULTS / f"{args.results_name}.log", "w") as log:
            with tempfile.TemporaryDirectory() as tmp:
                workers = start_workers(args, log)
                try:
                    if 1 in chosen:
                        tables[1] = workload_shots(workers, tmp, args)
                    if 2 in chosen:
                        tables[2] = workload_density(workers, tmp, args)
                    if 3 in chosen:
                        tables[3] = workload_trajectories(workers, tmp, args)
                    facts = harness.machine_facts(workers, args, load)
                finally:
                    for worker in workers.values():
                        worker.close()
        if 4 in chosen:
            tables[4] = workload_memory(args)
        harness.write_json(tables, facts, args.results_name)
    (harness.RESULTS / f"{args.results_name}.md").write_text(render(tables, facts))
    print(f"wrote {harness.RESULTS / (args.results_name + '.md')}")


if __name__ == "__main__":
    main()
