"""Benchmarks wavesim against peer simulators on the same machine in one run.

    bench/peers/setup.sh                                   # once: the peers' envs
    .venv/bin/python bench/peers/run_suite.py [--quick] [--workloads 1,2,3,4,6,7]
        [--build-dir build/x]   # a build dir (relative to the repo, or absolute) to take wavesim from

Every system runs in its own worker process (worker_<system>.py under its own
env's python). Per workload and size, each system first builds the same
circuit and writes its result; the results are compared (state fidelity, or
per-qubit shot frequencies) and only systems that agree are then timed.
Writes peers.md, peers.json and peers.png under bench/results/.

Each peer runs at every setting of VARIANTS (qsim's fusion sizes, qulacs's
circuit optimisers); its column holds the fastest variant that agreed with
wavesim, and the tables name which one it was. wavesim runs state jobs at its
own VARIANTS too (gate fusion off, the default, and on at 2, 3 and 4 qubits,
given only to a build that has the option): its default is the reference every
other result is checked against, fused settings included, and the tables show
both its default time and its fastest setting's, with a ratio for each.

Workloads:
  1  layered circuit (H layer, 20 x [RZ layer, RX layer, CX brick]), double
  2  the same in single precision (qsimcirq, lightning's complex64 mode)
  6  random circuit (H layer, 20 x [one of SX, SY, T per qubit, never the one
     it had in the layer before; CZ brick starting on even, then odd qubits]),
     double, against the peers of workload 1
  7  the same in single precision, against the peers of workload 2
  3  2-layer RY/CZ ansatz, 256 parameter sets: wavesim's batched call against
     each peer's own loop over the sets
  4  10^5 shots of the 20-qubit layered circuit, all qubits measured
  5  dynamic circuit: DYNAMIC_ROUNDS rounds of [layer, MEASURE and RESET of an
     ancilla], a last layer, all qubits measured; 10^3 and 10^4 shots against
     qsimcirq at its fastest fusion size (2, 3 or 4), and wavesim's time
     against the number of shots
"""

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
ENVS = HERE.parent / ".peer-envs"
RESULTS = HERE.parent / "results"

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
RANDOM_GATES = ("SX", "SY", "T")
FIDELITY_TOLERANCE = {"double": 1e-10, "single": 1e-5}
# Shot frequencies must lie within this many binomial standard deviations of
# the exact marginal (plus a floor for marginals at exactly 0 or 1).
SHOT_SIGMAS = 6.0
SHOT_FLOOR = 1e-3
# The plain Cirq simulator is a baseline, not a contender: it stops here.
CIRQ_MAX_QUBITS = 20
TARGET_MIN_QUBITS = 16

DYNAMIC_ROUNDS = 4
DYNAMIC_SHOTS = [1000, 10_000]
DYNAMIC_CURVE = [10, 100, 1000, 10_000, 100_000]
QSIM_FUSIONS = [2, 3, 4]
DYNAMIC_BOUND = 0.25

SYSTEMS = ("wavesim", "qulacs", "qsim", "lightning", "cirq")
# Settings each system is timed at; the fastest correct one is reported. State jobs
# only: sweeps and shots keep each system's plain setting. wavesim's first (its
# default) is the reference state and is reported as well.
VARIANTS = {"wavesim": [{}, {"fusion": 2}, {"fusion": 3}, {"fusion": 4}],
            "qsim": [{"fusion": 2}, {"fusion": 3}, {"fusion": 4}],
            "qulacs": [{}, {"optimize": "light"}, {"optimize": 2}]}
REFERENCE = ("wavesim", "plain")
PEER_ENV = {"qulacs": "qulacs", "qsim": "qsim", "lightning": "lightning", "cirq": "cirq"}


# ----------------------------------------------------------------------------
# Circuits, in the neutral form of protocol.py


def layered_ops(n, seed):
    rng = np.random.default_rng(seed)
    ops = [["H", [q], None] for q in range(n)]
    for _ in range(LAYERS):
        ops += [["RZ", [q], float(a)] for q, a in enumerate(rng.uniform(0, 2 * np.pi, n))]
        ops += [["RX", [q], float(a)] for q, a in enumerate(rng.uniform(0, 2 * np.pi, n))]
        for first in (0, 1):
            ops += [["CX", [q, q + 1], None] for q in range(first, n - 1, 2)]
    return ops


def random_ops(n, seed):
    """Like layered_ops with fixed gates: each layer gives every qubit one of
    RANDOM_GATES, redrawn while it repeats the qubit's gate of the layer
    before, then a CZ brick on (q, q + 1) from q = 0 in even layers and q = 1
    in odd ones."""
    rng = np.random.default_rng(seed)
    ops = [["H", [q], None] for q in range(n)]
    previous = np.full(n, -1)
    for layer in range(LAYERS):
        drawn = rng.integers(len(RANDOM_GATES), size=n)
        repeats = drawn == previous
        while repeats.any():
            drawn[repeats] = rng.integers(len(RANDOM_GATES), size=int(repeats.sum()))
            repeats = drawn == previous
        ops += [[RANDOM_GATES[g], [q], None] for q, g in enumerate(drawn)]
        ops += [["CZ", [q, q + 1], None] for q in range(layer % 2, n - 1, 2)]
        previous = drawn
    return ops


def ansatz_ops(n):
    """RY on every qubit, then a CZ chain, SWEEP_REPS times, then a last RY
    layer; angle k is column k of the parameter array."""
    ops = []
    column = 0
    for rep in range(SWEEP_REPS + 1):
        ops += [["RY", [q], {"index": column + q}] for q in range(n)]
        column += n
        if rep < SWEEP_REPS:
            ops += [["CZ", [q, q + 1], None] for q in range(n - 1)]
    return ops, column


def dynamic_ops(n, seed):
    """Rounds of one layer of layered_ops followed by a read-out (record k)
    and reset of the ancilla, qubit n - 1; then a last layer."""
    rng = np.random.default_rng(seed)
    ancilla = n - 1

    def layer():
        ops = [["RZ", [q], float(a)] for q, a in enumerate(rng.uniform(0, 2 * np.pi, n))]
        ops += [["RX", [q], float(a)] for q, a in enumerate(rng.uniform(0, 2 * np.pi, n))]
        for first in (0, 1):
            ops += [["CX", [q, q + 1], None] for q in range(first, n - 1, 2)]
        return ops

    ops = [["H", [q], None] for q in range(n)]
    for k in range(DYNAMIC_ROUNDS):
        ops += layer() + [["MEASURE", [ancilla], k], ["RESET", [ancilla], None]]
    return ops + layer()


def deferred_ops(ops, n):
    """The same distribution without mid-circuit operations: record k is
    copied onto a fresh qubit n + k (CX), which then clears the ancilla (CX).
    Valid as every RESET directly follows the read-out of its qubit."""
    out = []
    for name, targets, angle in ops:
        if name == "MEASURE":
            out.append(["CX", [targets[0], n + angle], None])
            record = n + angle
        elif name == "RESET":
            out.append(["CX", [record, targets[0]], None])
        else:
            out.append([name, targets, angle])
    return out


# ----------------------------------------------------------------------------
# Workers


class WorkerError(RuntimeError):
    pass


class Worker:
    """One system's long-lived worker process."""

    def __init__(self, system, python, env, log):
        self.system = system
        self.process = subprocess.Popen(
            [python, str(HERE / f"worker_{system}.py")], cwd=HERE, env=env, text=True,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=log)
        self.info = self.call(op="info")

    def call(self, **request):
        self.process.stdin.write(json.dumps(request) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise WorkerError(f"{self.system} worker exited (see the log)")
        reply = json.loads(line)
        if "error" in reply:
            raise WorkerError(f"{self.system}: {reply['error']}")
        return reply

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=60)


def start_workers(args, log, peers=SYSTEMS[1:]):
    """wavesim's worker and one per peer in `peers` that has an env."""
    threads = str(os.cpu_count())
    base = dict(os.environ, OMP_NUM_THREADS=threads, PYTHONUNBUFFERED="1")
    workers = {}
    wavesim_env = dict(base)
    if args.build_dir:
        wavesim_env["PYTHONPATH"] = os.pathsep.join(
            [str((REPO / args.build_dir / "python").resolve()), base.get("PYTHONPATH", "")])
    workers["wavesim"] = Worker("wavesim", sys.executable, wavesim_env, log)
    for system in peers:
        python = ENVS / PEER_ENV[system] / "bin" / "python"
        if not python.exists():
            print(f"skipping {system}: no env at {python.parent.parent} (run bench/peers/setup.sh)")
            continue
        try:
            workers[system] = Worker(system, str(python), base, log)
        except WorkerError as error:
            print(f"skipping {system}: {error}")
    return workers


# ----------------------------------------------------------------------------
# Checking


def fidelities(a, b):
    """|<a|b>|^2 / (<a|a><b|b>) per row (one row for a single state)."""
    a = np.atleast_2d(a).astype(np.complex128)
    b = np.atleast_2d(b).astype(np.complex128)
    if a.shape != b.shape:
        return np.zeros(1)
    overlap = np.abs(np.einsum("ij,ij->i", a.conj(), b)) ** 2
    norms = np.einsum("ij,ij->i", a.conj(), a).real * np.einsum("ij,ij->i", b.conj(), b).real
    return overlap / norms


def exact_marginals(state, n):
    probabilities = np.abs(state) ** 2
    indices = np.arange(probabilities.size)
    return np.array([probabilities[(indices >> q) & 1 == 1].sum() for q in range(n)])


def exact_dynamic(state, n, records):
    """The result array of a dynamic job (protocol.py), exactly, from the state
    of the deferred circuit on n + records qubits."""
    probabilities = np.abs(state) ** 2
    marginals = exact_marginals(state, n + records)[:n]
    joint = probabilities.reshape(1 << records, 1 << n).sum(axis=1)
    return np.concatenate([marginals, joint])


def shots_agree(frequencies, exact, shots):
    sigma = np.sqrt(exact * (1 - exact) / shots)
    return bool(np.all(np.abs(frequencies - exact) <= SHOT_SIGMAS * sigma + SHOT_FLOOR))


# ----------------------------------------------------------------------------
# One measurement point: every system builds, checks, then is timed


def variant_name(variant):
    return ",".join(f"{k}={v}" for k, v in variant.items()) or "plain"


def settings(workers, system, job):
    """The settings `system` runs `job` at: its VARIANTS for state jobs (less
    wavesim's fused ones if its build lacks the option), else its plain one."""
    if job["kind"] != "state":
        return [{}]
    variants = VARIANTS.get(system, [{}])
    if system == "wavesim" and workers["wavesim"].info.get("fusion") != "present":
        variants = [v for v in variants if "fusion" not in v]
    return variants


def measure_point(workers, systems, job, label, tmp, args, reference_state=None):
    """Returns {system: median seconds or a failure text} for one job.

    systems maps system -> precision. wavesim's default setting comes first
    and is the reference for states (every other setting of every system,
    wavesim's own included, must agree with it to be timed); for shots,
    reference_state gives the exact marginals. See summarise() for the keys
    of systems timed at several settings."""
    tried = {}
    results = {}
    failures = {}
    for system, precision in systems.items():
        if system not in workers:
            continue
        tried[system] = []
        for variant in settings(workers, system, job):
            key = (system, variant_name(variant))
            tried[system].append(key[1])
            point = dict(job, precision=precision, variant=variant)
            point_id = f"{label}-{system}-{key[1]}"
            try:
                workers[system].call(op="prepare", id=point_id, job=point)
                out = str(Path(tmp) / f"{point_id}.npy")
                workers[system].call(op="check", id=point_id, out=out)
                results[key] = (point_id, np.load(out))
                os.remove(out)
            except WorkerError as error:
                failures[key] = f"error: {error}"
                workers[system].call(op="drop", id=point_id)

    agreed = []
    if job["kind"] in ("shots", "dynamic"):
        exact = (exact_marginals(reference_state, job["n"]) if job["kind"] == "shots"
                 else exact_dynamic(reference_state, job["n"], job["records"]))
        for key, (_, frequencies) in results.items():
            if shots_agree(frequencies, exact, job["shots"]):
                agreed.append(key)
            else:
                failures[key] = "MISMATCH (shot frequencies)"
    elif REFERENCE in results:
        reference = results[REFERENCE][1]
        for key, (_, state) in results.items():
            tolerance = FIDELITY_TOLERANCE[systems[key[0]]]
            worst = float(fidelities(reference, state).min())
            if key == REFERENCE or worst > 1 - tolerance:
                agreed.append(key)
            else:
                failures[key] = f"MISMATCH (fidelity {worst:.12f})"
    else:
        for key in results:
            failures[key] = "not checked: no wavesim default state"

    seconds = {}
    for system, name in agreed:
        point_id = results[(system, name)][0]
        times = workers[system].call(op="time", id=point_id, min_repeats=args.min_repeats,
                                     max_repeats=args.max_repeats, budget=args.budget)["times"]
        seconds[(system, name)] = statistics.median(times)
    for (system, _), (point_id, _) in results.items():
        workers[system].call(op="drop", id=point_id)
    return summarise(tried, seconds, failures, several=job["kind"] == "state")


def summarise(tried, seconds, failures, several):
    """{system: seconds or failure} from the outcome of each (system, setting).

    When several settings apply (state jobs) and a system has more than one in
    VARIANTS, its column holds the fastest that agreed, "<column>-variant"
    names it, and "<system>-settings" keeps every setting's seconds or
    failure. wavesim's column stays its default setting; its fastest goes to
    "wavesim-best" (default included, so it is there even for a build without
    fusion)."""
    outcome = {}
    for system, names in tried.items():
        each = {name: seconds.get((system, name), failures.get((system, name), "not run"))
                for name in names}
        if not several or len(VARIANTS.get(system, [{}])) == 1:
            outcome[system] = each[names[0]]
            continue
        column = system
        if system == "wavesim":
            outcome["wavesim"] = each[REFERENCE[1]]
            column = "wavesim-best"
        timed = {name: value for name, value in each.items() if isinstance(value, float)}
        if timed:
            fastest = min(timed, key=timed.get)
            outcome[column] = timed[fastest]
            outcome[f"{column}-variant"] = fastest
        else:
            outcome[column] = next(f"{value} ({name})" for name, value in each.items())
        outcome[f"{system}-settings"] = each
    return outcome


def report_point(workload, n, outcome):
    def show(value):
        if isinstance(value, dict):
            return "{" + ", ".join(f"{k}: {show(v)}" for k, v in value.items()) + "}"
        return f"{value:.4g}s" if isinstance(value, float) else str(value)
    print(f"W{workload} n={n}: " + ", ".join(f"{s}={show(v)}" for s, v in outcome.items()), flush=True)


# ----------------------------------------------------------------------------
# Workloads


# The state workloads: circuit family, its seed (plus n) and precision.
STATE_WORKLOADS = {1: (layered_ops, ANGLE_SEED, "double"), 2: (layered_ops, ANGLE_SEED, "single"),
                   6: (random_ops, RANDOM_SEED, "double"), 7: (random_ops, RANDOM_SEED, "single")}


def workload_state(workers, tmp, args, workload):
    circuit, seed, precision = STATE_WORKLOADS[workload]
    rows = []
    for n in args.sizes:
        systems = {"wavesim": precision}
        for peer in PEERS[workload]:
            if peer == "cirq" and n > CIRQ_MAX_QUBITS:
                continue
            systems[peer] = precision
        job = {"kind": "state", "n": n, "ops": circuit(n, seed + n)}
        outcome = measure_point(workers, systems, job, f"w{workload}-{n}", tmp, args)
        report_point(workload, n, outcome)
        rows.append({"n": n, "times": outcome})
    return rows


def workload_sweep(workers, tmp, args):
    rows = []
    for n in SWEEP_SIZES:
        ops, count = ansatz_ops(n)
        params = np.random.default_rng(ANGLE_SEED + 1000 + n).uniform(
            0, 2 * np.pi, (SWEEP_SETS, count))
        params_file = str(Path(tmp) / f"params-{n}.npy")
        np.save(params_file, params)
        job = {"kind": "sweep", "n": n, "ops": ops, "params_file": params_file}
        outcome = measure_point(workers, {"wavesim": "double", "qulacs": "double",
                                          "lightning": "double", "cirq": "double"},
                                job, f"w3-{n}", tmp, args)
        single = measure_point(workers, {"wavesim": "single", "qsim": "single"},
                               job, f"w3s-{n}", tmp, args)
        outcome["wavesim-single"] = single.get("wavesim", "not run")
        if "qsim" in single:
            outcome["qsim"] = single["qsim"]
        report_point(3, n, outcome)
        rows.append({"n": n, "times": outcome})
    return rows


def workload_shots(workers, tmp, args):
    n = SHOTS_QUBITS
    ops = layered_ops(n, ANGLE_SEED + n)
    state_file = str(Path(tmp) / "shots-reference.npy")
    workers["wavesim"].call(op="prepare", id="w4-state",
                            job={"kind": "state", "n": n, "ops": ops, "precision": "double"})
    workers["wavesim"].call(op="check", id="w4-state", out=state_file)
    workers["wavesim"].call(op="drop", id="w4-state")
    reference = np.load(state_file)
    job = {"kind": "shots", "n": n, "ops": ops, "shots": SHOTS}
    outcome = measure_point(workers, {"wavesim": "double", "qulacs": "double",
                                      "lightning": "double", "cirq": "double"},
                            job, "w4", tmp, args, reference_state=reference)
    single = measure_point(workers, {"wavesim": "single", "qsim": "single"},
                           job, "w4s", tmp, args, reference_state=reference)
    outcome["wavesim-single"] = single.get("wavesim", "not run")
    if "qsim" in single:
        outcome["qsim"] = single["qsim"]
    report_point(4, n, outcome)
    return [{"n": n, "times": outcome}]


def reference_state(workers, tmp, n, ops, label):
    """wavesim's double-precision state of `ops` on n qubits."""
    path = str(Path(tmp) / f"{label}.npy")
    workers["wavesim"].call(op="prepare", id=label,
                            job={"kind": "state", "n": n, "ops": ops, "precision": "double"})
    workers["wavesim"].call(op="check", id=label, out=path)
    workers["wavesim"].call(op="drop", id=label)
    state = np.load(path)
    os.remove(path)
    return state


def qsim_dynamic_time(worker, job, label, tmp, exact):
    """One checked run of qsimcirq: its time, or a failure text. Each of its
    repetitions is a whole simulation, so one run is all it can afford."""
    out = str(Path(tmp) / f"{label}.npy")
    try:
        worker.call(op="prepare", id=label, job=dict(job, precision="single"))
        seconds = worker.call(op="check", id=label, out=out)["seconds"]
        agrees = shots_agree(np.load(out), exact, job["shots"])
        os.remove(out)
    except WorkerError as error:
        return f"error: {error}"
    finally:
        worker.call(op="drop", id=label)
    return seconds if agrees else "MISMATCH (shot frequencies)"


def workload_dynamic(workers, tmp, args):
    """qsimcirq runs every repetition of a circuit with mid-circuit
    measurements as a simulation of its own, so its time grows linearly with
    the shots: it is run at most --dynamic-qsim-shots shots per point and its
    time scaled to the point's shots (marked in the table)."""
    rows = []
    for n in args.sizes:
        ops = dynamic_ops(n, ANGLE_SEED + 2000 + n)
        state = reference_state(workers, tmp, n + DYNAMIC_ROUNDS, deferred_ops(ops, n), f"w5-ref-{n}")
        job = {"kind": "dynamic", "n": n, "ops": ops, "records": DYNAMIC_ROUNDS}
        exact = exact_dynamic(state, n, DYNAMIC_ROUNDS)
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
# Reporting

# Which wavesim column each peer is compared with, per workload.
BASELINE = {1: {}, 2: {}, 3: {"qsim": "wavesim-single"}, 4: {"qsim": "wavesim-single"},
            5: {"qsim": "wavesim-single"}, 6: {}, 7: {}}
PEERS = {1: ["qulacs", "lightning", "cirq"], 2: ["qsim", "lightning"],
         3: ["qulacs", "lightning", "cirq", "qsim"], 4: ["qulacs", "lightning", "cirq", "qsim"],
         5: ["qsim"], 6: ["qulacs", "lightning", "cirq"], 7: ["qsim", "lightning"]}
TITLES = {
    1: f"Workload 1: layered circuit ({LAYERS} layers), double precision",
    2: f"Workload 2: layered circuit ({LAYERS} layers), single precision",
    3: f"Workload 3: RY/CZ ansatz ({SWEEP_REPS} layers), {SWEEP_SETS} parameter sets "
       "(qsim row: wavesim single precision)",
    4: f"Workload 4: {SHOTS} shots, {SHOTS_QUBITS}-qubit layered circuit "
       "(qsim row: wavesim single precision)",
    5: f"Workload 5: dynamic circuit, {DYNAMIC_ROUNDS} ancilla read-out and reset rounds "
       "(ratio: wavesim single precision against qsimcirq at its fastest fusion size)",
    6: f"Workload 6: random circuit ({LAYERS} layers of {', '.join(RANDOM_GATES)} and CZ), double precision",
    7: f"Workload 7: random circuit ({LAYERS} layers of {', '.join(RANDOM_GATES)} and CZ), single precision",
}
# Targets of the state workloads: (workloads, wavesim column, bound, peers whose
# fastest time at their fastest setting is the denominator).
STATE_TARGETS = [
    ((1, 6), "wavesim", 0.5, ("qulacs", "lightning")),
    ((1, 6), "wavesim-best", 0.4, ("qulacs", "lightning")),
    ((2, 7), "wavesim", 0.6, ("qsim",)),
    ((2, 7), "wavesim-best", 0.5, ("qsim",)),
]
SETTING_WORDS = {"wavesim": "wavesim default", "wavesim-best": "wavesim at its fastest setting"}
PEER_WORDS = {("qulacs", "lightning"): "the fastest of qulacs (at its best optimiser) and lightning",
              ("qsim",): "qsimcirq at its fastest fusion"}


def ratio(row, workload, peer, base=None):
    """wavesim's time over the peer's; base names wavesim's column (default:
    the one BASELINE gives)."""
    base = row["times"].get(base or BASELINE[workload].get(peer, "wavesim"))
    other = row["times"].get(peer)
    if isinstance(base, float) and isinstance(other, float):
        return base / other
    return None


def cell(value):
    if isinstance(value, float):
        return f"{value:.4g}"
    return "—" if value is None else str(value)


def timed_cell(times, column):
    """A time, with the setting it was measured at when several were tried."""
    text = cell(times.get(column))
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
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for row in rows:
        if "times" not in row:
            continue
        times = row["times"]
        cells = [str(row["n"])] + ([str(row["shots"])] if workload == 5 else [])
        cells += [cell(times.get("wavesim"))]
        cells += [timed_cell(times, "wavesim-best")] if states else [cell(times.get(c)) for c in extra]
        for peer in peers:
            bases = ["wavesim", "wavesim-best"] if states else [None]
            ratios = [ratio(row, workload, peer, base) for base in bases]
            cells += [timed_cell(times, peer)] + ["—" if r is None else f"{r:.3g}" for r in ratios]
        if workload == 5:
            ran = row.get("qsim shots run", row.get("shots"))
            scaled = f" (timed at {ran} shots, scaled)" if ran != row.get("shots") else ""
            cells.append(str(times.get("qsim fusion", "—")) + scaled)
        lines.append("| " + " | ".join(cells) + " |")
    notes = settings_notes(rows)
    if notes:
        lines += ["", "Settings not timed (failed, or did not agree with wavesim's default):", ""] + notes
    curves = [row for row in rows if "curve" in row]
    if curves:
        shots = list(curves[0]["curve"])
        lines += ["", "wavesim (single precision) time in seconds against the number of shots:", "",
                  "| n | " + " | ".join(shots) + " |", "|" + "---|" * (len(shots) + 1)]
        lines += ["| " + " | ".join([str(row["n"])] + [cell(row["curve"][k]) for k in shots]) + " |"
                  for row in curves]
    return "\n".join(lines)


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
    for workload, bound in ((3, 0.5), (4, 1.0)):
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


def machine_facts(workers, args, load_before):
    cpu = "unknown"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    compiler = "unknown"
    build = REPO / (args.build_dir or "build")
    cache = build / "CMakeCache.txt"
    if cache.exists():
        for line in cache.read_text().splitlines():
            if line.startswith("CMAKE_CXX_COMPILER:"):
                compiler = line.split("=", 1)[1]
    versions = {s: {k: v for k, v in w.info.items() if k != "system"} for s, w in workers.items()}
    # A build dir given may belong to another worktree: its commit is wavesim's.
    source = build if args.build_dir and build.exists() else REPO
    commit = subprocess.run(["git", "-C", str(source), "describe", "--always", "--dirty"],
                            capture_output=True, text=True).stdout.strip()
    fusion = {"fusion": workers["wavesim"].info["fusion"]} if "fusion" in workers["wavesim"].info else {}
    versions["wavesim"] = {"commit": commit or "unknown", **fusion}
    return {"date": datetime.datetime.now().isoformat(timespec="seconds"), "cpu": cpu,
            "cores": os.cpu_count(), "python": platform.python_version(),
            "compiler": compiler, "load_before": load_before, "load_after": os.getloadavg(),
            "versions": versions, "sizes": args.sizes}


def write_results(tables, facts, name="peers"):
    RESULTS.mkdir(parents=True, exist_ok=True)
    settings_words = ""
    if any("wavesim-settings" in row.get("times", {}) for rows in tables.values() for row in rows):
        settings_words = (
            " In the state workloads (1, 2, 6, 7) wavesim runs at every setting ("
            + ", ".join(variant_name(v) for v in VARIANTS["wavesim"])
            + ": plain is its default, fusion=k fuses gates on up to k qubits), a fused one timed "
            "only after it agreed with the default: \"default / peer\" is the default's time over "
            "the peer's, \"fastest / peer\" that of wavesim's fastest setting (named beside its time).")
    (RESULTS / f"{name}.json").write_text(json.dumps({"facts": facts, "tables": {
        str(k): v for k, v in tables.items()}}, indent=1))
    lines = ["# wavesim against peer simulators", "",
             f"Run {facts['date']} on {facts['cpu']} ({facts['cores']} cores); load average "
             f"{facts['load_before'][0]:.2f} before, {facts['load_after'][0]:.2f} after "
             "(the machine is shared, so other work may inflate any column). "
             "Median wall time of the timed call, circuit already built; ratio = wavesim / peer "
             "(below 1 means wavesim is faster). A peer is timed only after its result agreed "
             "with wavesim's." + settings_words, ""]
    lines += ["Versions: " + "; ".join(
        f"{s} " + ", ".join(f"{k} {v}" for k, v in info.items()) for s, info in facts["versions"].items()), ""]
    lines += ["## Targets", ""] + target_lines(tables) + [""]
    for workload, rows in tables.items():
        lines += [f"## {TITLES[workload]}", "", markdown_table(workload, rows), ""]
    (RESULTS / f"{name}.md").write_text("\n".join(lines))
    harness = ENVS / "harness" / "bin" / "python"
    if harness.exists():
        subprocess.run([str(harness), str(HERE / "plot.py"), str(RESULTS / f"{name}.json"),
                        str(RESULTS / f"{name}.png")], check=True)
    else:
        print("no harness env: skipped the plot (run bench/peers/setup.sh)")


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help=f"sizes {QUICK_SIZES} only")
    parser.add_argument("--n-max", type=int, default=max(FULL_SIZES), help="largest size")
    parser.add_argument("--workloads", default="1,2,3,4,6,7",
                        help="comma-separated subset of 1-7 (5, the dynamic circuit, only when asked)")
    parser.add_argument("--results-name", default="peers",
                        help="write bench/results/<name>.md, .json and .png")
    parser.add_argument("--dynamic-qsim-shots", type=int, default=max(DYNAMIC_SHOTS),
                        help="W5: shots of the one qsimcirq run per fusion size, its time scaled to "
                             "larger points (a run of 10^4 shots takes many minutes at n = 20)")
    parser.add_argument("--build-dir", default=None,
                        help="a CMake build dir whose python/ holds wavesim (default: installed)")
    parser.add_argument("--min-repeats", type=int, default=3)
    parser.add_argument("--max-repeats", type=int, default=15)
    parser.add_argument("--render-only", action="store_true",
                        help="only rewrite peers.md and peers.png from peers.json")
    parser.add_argument("--budget", type=float, default=2.0,
                        help="seconds of timed runs per system and point, beyond min-repeats")
    args = parser.parse_args()
    args.sizes = [n for n in (QUICK_SIZES if args.quick else FULL_SIZES) if n <= args.n_max]
    args.workloads = [int(w) for w in args.workloads.split(",")]
    if not set(args.workloads) <= set(TITLES):
        parser.error(f"--workloads: choose from {sorted(TITLES)}")
    return args


def main():
    args = parse_args()
    if args.render_only:
        saved = json.loads((RESULTS / f"{args.results_name}.json").read_text())
        write_results({int(k): v for k, v in saved["tables"].items()}, saved["facts"], args.results_name)
        return
    load_before = os.getloadavg()
    RESULTS.mkdir(parents=True, exist_ok=True)
    with open(ENVS / "workers.log", "w") as log, tempfile.TemporaryDirectory() as tmp:
        workers = start_workers(args, log)
        if workers["wavesim"].info.get("fusion") != "present":
            print("wavesim: this build has no fusion option, so state jobs run at its default only")
        try:
            tables = {}
            for workload in args.workloads:
                if workload in STATE_WORKLOADS:
                    tables[workload] = workload_state(workers, tmp, args, workload)
                elif workload == 3:
                    tables[3] = workload_sweep(workers, tmp, args)
                elif workload == 4:
                    tables[4] = workload_shots(workers, tmp, args)
                elif workload == 5:
                    tables[5] = workload_dynamic(workers, tmp, args)
            facts = machine_facts(workers, args, load_before)
        finally:
            for worker in workers.values():
                worker.close()
    write_results(tables, facts, args.results_name)
    print("\n".join(target_lines(tables)))
    print(f"wrote {RESULTS / (args.results_name + '.md')}")


if __name__ == "__main__":
    main()
