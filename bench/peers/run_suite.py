"""Benchmarks wavesim against peer simulators on the same machine in one run.

    bench/peers/setup.sh                                   # once: the peers' envs
    .venv/bin/python bench/peers/run_suite.py [--quick] [--workloads 1,2,3,4,6,7]
        [--build-dir build/x]   # a build dir (relative to the repo, or absolute) to take wavesim from

Every system runs in its own worker process (worker_<system>.py under its own
env's python). Per workload and size, each system first builds the same
circuit and writes its result; the results are compared (state fidelity, or
per-qubit shot frequencies) and only systems that agree are then timed.
Writes peers.md, peers.json and peers.png under bench/results/.

Each peer runs at every setting of harness.VARIANTS (qsim's fusion sizes, qulacs's
circuit optimisers, Aer's fusion off and on at 2 to 5 qubits); its column holds
the fastest variant that agreed with wavesim, and the tables name which one it
was. wavesim runs state jobs at its
own VARIANTS too (gate fusion off, the default, and on at 2, 3 and 4 qubits,
given only to a build that has the option): its default is the reference every
other result is checked against, fused settings included, and the tables show
both its default time and its fastest setting's, with a ratio for each.

Workloads:
  1  layered circuit (H layer, 20 x [RZ layer, RX layer, CX brick]), double
     (qulacs, lightning, Aer; cirq up to CIRQ_MAX_QUBITS)
  2  the same in single precision (qsimcirq, lightning's complex64 mode, Aer's
     single precision)
  6  random circuit (H layer, 20 x [one of SX, SY, T per qubit, never the one
     it had in the layer before; CZ brick starting on even, then odd qubits]),
     double, against the peers of workload 1
  7  the same in single precision, against the peers of workload 2
  3  2-layer RY/CZ ansatz, 256 parameter sets: wavesim's batched call against
     each peer's own loop over the sets
  4  10^5 shots of the 20-qubit layered circuit, all qubits measured (qsimcirq
     against wavesim in single precision, the other peers in double)
  5  dynamic circuit: DYNAMIC_ROUNDS rounds of [layer, MEASURE and RESET of an
     ancilla], a last layer, all qubits measured; 10^3 and 10^4 shots against
     qsimcirq at its fastest fusion size (2, 3 or 4), and wavesim's time
     against the number of shots
"""

import argparse
import os
import sys

import numpy as np

import harness
import suite_report
from harness import WorkerError, measure_point, report_point

sys.path.insert(0, str(harness.HERE.parent))  # bench/, for families.py
import families  # noqa: E402

LAYERS = 20
SWEEP_REPS = 2
SWEEP_SETS = 256
SHOTS = 100_000
SHOTS_QUBITS = 20
FULL_SIZES = list(range(12, 27, 2))
QUICK_SIZES = [12, 16, 20]
SWEEP_SIZES = [8, 12, 16]
ANGLE_SEED = 20240601
RANDOM_SEED = ANGLE_SEED + 3000
# The plain Cirq simulator is a baseline, not a contender: it stops here.
CIRQ_MAX_QUBITS = 20

DYNAMIC_ROUNDS = 4
DYNAMIC_SHOTS = [1000, 10_000]
DYNAMIC_CURVE = [10, 100, 1000, 10_000, 100_000]
QSIM_FUSIONS = [2, 3, 4]

TITLES = {
    1: f"Workload 1: layered circuit ({LAYERS} layers), double precision",
    2: f"Workload 2: layered circuit ({LAYERS} layers), single precision",
    3: f"Workload 3: RY/CZ ansatz ({SWEEP_REPS} layers), {SWEEP_SETS} parameter sets "
       "(qsim row: wavesim single precision)",
    4: f"Workload 4: {SHOTS} shots, {SHOTS_QUBITS}-qubit layered circuit "
       "(qsim row: wavesim single precision)",
    5: f"Workload 5: dynamic circuit, {DYNAMIC_ROUNDS} ancilla read-out and reset rounds "
       "(ratio: wavesim single precision against qsimcirq at its fastest fusion size)",
    6: f"Workload 6: random circuit ({LAYERS} layers of {', '.join(families.RANDOM_GATES)} and CZ), "
       "double precision",
    7: f"Workload 7: random circuit ({LAYERS} layers of {', '.join(families.RANDOM_GATES)} and CZ), "
       "single precision",
}


# ----------------------------------------------------------------------------
# Circuits, in the neutral form of protocol.py


def layered_ops(n, seed):
    return families.layered(n, LAYERS, np.random.default_rng(seed))


def random_ops(n, seed):
    return families.random_layers(n, LAYERS, np.random.default_rng(seed))


def ansatz_ops(n):
    """The RY/CZ ansatz of SWEEP_REPS repetitions; angle k is column k of the
    parameter array. Returns the ops and the number of angles."""
    count = (SWEEP_REPS + 1) * n
    return families.n_local(n, SWEEP_REPS, [{"index": k} for k in range(count)], "CZ"), count


# ----------------------------------------------------------------------------
# Workloads


# The state workloads: circuit family, its seed (plus n) and precision.
STATE_CIRCUITS = {1: (layered_ops, ANGLE_SEED, "double"), 2: (layered_ops, ANGLE_SEED, "single"),
                  6: (random_ops, RANDOM_SEED, "double"), 7: (random_ops, RANDOM_SEED, "single")}


def workload_state(workers, tmp, args, workload):
    circuit, seed, precision = STATE_CIRCUITS[workload]
    rows = []
    for n in args.sizes:
        systems = {"wavesim": precision}
        for peer in suite_report.PEERS[workload]:
            if peer == "cirq" and n > CIRQ_MAX_QUBITS:
                continue
            systems[peer] = precision
        job = {"kind": "state", "n": n, "ops": circuit(n, seed + n)}
        outcome = measure_point(workers, systems, job, f"w{workload}-{n}", tmp, args)
        report_point(workload, n, outcome)
        rows.append({"n": n, "times": outcome})
    return rows


def measure_precisions(workers, workload, job, label, tmp, args, reference=None):
    """One point of a workload run in both precisions: wavesim and the peers
    in double, then wavesim in single with the peers that BASELINE sets
    against it ("wavesim-single" in the outcome)."""
    single_peers = [p for p in suite_report.PEERS[workload]
                    if suite_report.BASELINE[workload].get(p) == "wavesim-single"]
    double = {system: "double" for system in ["wavesim"] + suite_report.PEERS[workload]
              if system not in single_peers}
    outcome = measure_point(workers, double, job, label, tmp, args, reference_state=reference)
    single = measure_point(workers, {system: "single" for system in ["wavesim"] + single_peers},
                           job, f"{label}-single", tmp, args, reference_state=reference)
    outcome["wavesim-single"] = single.get("wavesim", "not run")
    outcome.update({peer: single[peer] for peer in single_peers if peer in single})
    report_point(workload, job["n"], outcome)
    return outcome


def workload_sweep(workers, tmp, args):
    rows = []
    for n in SWEEP_SIZES:
        ops, count = ansatz_ops(n)
        params = np.random.default_rng(ANGLE_SEED + 1000 + n).uniform(
            0, 2 * np.pi, (SWEEP_SETS, count))
        params_file = os.path.join(tmp, f"params-{n}.npy")
        np.save(params_file, params)
        job = {"kind": "sweep", "n": n, "ops": ops, "params_file": params_file}
        rows.append({"n": n, "times": measure_precisions(workers, 3, job, f"w3-{n}", tmp, args)})
    return rows


def workload_shots(workers, tmp, args):
    n = SHOTS_QUBITS
    ops = layered_ops(n, ANGLE_SEED + n)
    reference = harness.reference_state(workers, tmp, n, ops, "w4-state")
    job = {"kind": "shots", "n": n, "ops": ops, "shots": SHOTS}
    return [{"n": n, "times": measure_precisions(workers, 4, job, "w4", tmp, args, reference)}]


def qsim_dynamic_time(worker, job, label, tmp, exact):
    """One checked run of qsimcirq: its time, or a failure text. Each of its
    repetitions is a whole simulation, so one run is all it can afford."""
    try:
        frequencies, seconds = harness.run_checked(worker, label, dict(job, precision="single"), tmp)
    except WorkerError as error:
        return f"error: {error}"
    finally:
        worker.call(op="drop", id=label)
    return seconds if harness.shots_agree(frequencies, exact, job["shots"]) else "MISMATCH (shot frequencies)"


def workload_dynamic(workers, tmp, args):
    """qsimcirq runs every repetition of a circuit with mid-circuit
    measurements as a simulation of its own, so its time grows linearly with
    the shots: it is run at most --dynamic-qsim-shots shots per point and its
    time scaled to the point's shots (marked in the table)."""
    rows = []
    for n in args.sizes:
        ops = families.dynamic(n, DYNAMIC_ROUNDS, np.random.default_rng(ANGLE_SEED + 2000 + n))
        state = harness.reference_state(workers, tmp, n + DYNAMIC_ROUNDS, families.deferred(ops, n),
                                        f"w5-ref-{n}")
        job = {"kind": "dynamic", "n": n, "ops": ops, "records": DYNAMIC_ROUNDS}
        exact = harness.exact_dynamic(state, n, DYNAMIC_ROUNDS)
        qsim_times = {}
        if "qsim" in workers:
            qsim_shots = min(args.dynamic_qsim_shots, max(DYNAMIC_SHOTS))
            for size in QSIM_FUSIONS:
                t = qsim_dynamic_time(workers["qsim"], dict(job, shots=qsim_shots, fusion=size),
                                      f"w5q-{n}-{size}", tmp, exact)
                qsim_times[size] = t / qsim_shots if isinstance(t, float) else t
            print(f"W5 n={n}: qsimcirq seconds per shot by fusion size ({qsim_shots} shots): {qsim_times}",
                  flush=True)
        per_shot = {size: t for size, t in qsim_times.items() if isinstance(t, float)}
        for shots in DYNAMIC_SHOTS:
            point = dict(job, shots=shots)
            outcome = measure_point(workers, {"wavesim": "double"}, point, f"w5-{n}-{shots}", tmp, args,
                                    reference_state=state)
            single = measure_point(workers, {"wavesim": "single"}, point, f"w5s-{n}-{shots}", tmp, args,
                                   reference_state=state)
            outcome["wavesim-single"] = single.get("wavesim", "not run")
            if per_shot:
                fusion = min(per_shot, key=per_shot.get)
                outcome["qsim"] = per_shot[fusion] * shots
                outcome["qsim fusion"] = fusion
            elif qsim_times:
                outcome["qsim"] = next(iter(qsim_times.values()))
            report_point(5, f"{n}, {shots} shots", outcome)
            rows.append({"n": n, "shots": shots, "times": outcome,
                         "qsim shots run": min(args.dynamic_qsim_shots, shots)})
        curve = {}
        for shots in DYNAMIC_CURVE:
            point = measure_point(workers, {"wavesim": "single"}, dict(job, shots=shots), f"w5c-{n}-{shots}",
                                  tmp, args, reference_state=state)
            curve[shots] = point.get("wavesim")
        print(f"W5 n={n}: wavesim single time against shots: " + ", ".join(
            f"{shots}: {t:.4g}s" if isinstance(t, float) else f"{shots}: {t}" for shots, t in curve.items()),
            flush=True)
        rows.append({"n": n, "curve": {str(k): v for k, v in curve.items()}})
    return rows


# ----------------------------------------------------------------------------
# Command line


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES} only")
    parser.add_argument("--n-min", type=int, default=min(FULL_SIZES), help="smallest size")
    parser.add_argument("--n-max", type=int, default=max(FULL_SIZES), help="largest size")
    parser.add_argument("--workloads", default="1,2,3,4,6,7",
                        help="comma-separated subset of 1-7 (5, the dynamic circuit, only when asked)")
    parser.add_argument("--results-name", default="peers",
                        help="write bench/results/<name>.md, .json and .png")
    parser.add_argument("--dynamic-qsim-shots", type=int, default=max(DYNAMIC_SHOTS),
                        help="W5: shots of the one qsimcirq run per fusion size, its time scaled to "
                             "larger points (a run of 10^4 shots takes many minutes at n = 20)")
    harness.timing_arguments(parser)
    args = parser.parse_args()
    args.sizes = [n for n in (QUICK_SIZES if args.quick else FULL_SIZES) if args.n_min <= n <= args.n_max]
    args.workloads = [int(w) for w in args.workloads.split(",")]
    if not set(args.workloads) <= set(TITLES):
        parser.error(f"--workloads: choose from {sorted(TITLES)}")
    return args


def main():
    args = parse_args()
    if args.render_only:
        suite_report.write_results(*harness.read_json(args.results_name), args.results_name, TITLES)
        return
    load_before = os.getloadavg()
    harness.ENVS.mkdir(parents=True, exist_ok=True)
    with harness.running_workers(args, harness.ENVS / "workers.log", suite_report.SYSTEMS) as (workers, tmp):
        if workers["wavesim"].info.get("fusion") != "present":
            print("wavesim: this build has no fusion option, so state jobs run at its default only")
        tables = {}
        for workload in args.workloads:
            if workload in STATE_CIRCUITS:
                tables[workload] = workload_state(workers, tmp, args, workload)
            elif workload == 3:
                tables[3] = workload_sweep(workers, tmp, args)
            elif workload == 4:
                tables[4] = workload_shots(workers, tmp, args)
            elif workload == 5:
                tables[5] = workload_dynamic(workers, tmp, args)
        facts = harness.machine_facts(workers, args, load_before)
    suite_report.write_results(tables, facts, args.results_name, TITLES)
    print("\n".join(suite_report.target_lines(tables)))
    print(f"wrote {harness.RESULTS / (args.results_name + '.md')}")


if __name__ == "__main__":
    main()
