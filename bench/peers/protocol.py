"""Line-based JSON protocol shared by every benchmark worker.

A worker is one long-lived process per simulator. The harness sends one JSON
request per line on stdin and reads one JSON reply per line on stdout:

  {"op": "info"}                                  -> {"version": ...}
  {"op": "prepare", "id": ..., "job": {...}}      -> {}
  {"op": "check", "id": ..., "out": path}         -> {"seconds": t}
  {"op": "time", "id": ..., "min_repeats": r, "max_repeats": R, "budget": s}
                                                  -> {"times": [...]}
  {"op": "drop", "id": ...}                        -> {}

"check" runs the prepared job once and writes its result to `out` as .npy:
amplitudes in the order where qubit 0 is the least significant bit of the index
(shape (2^n,) or (B, 2^n)), or for shots the fraction of shots that read 1 on
each qubit (shape (n,)). The harness compares these before it asks for "time",
so nothing is timed that was not checked first.

A job is {"kind": "state" | "sweep" | "shots" | "dynamic", "n": int, "ops": [...],
"precision": "double" | "single", "params_file": path (sweep), "shots": int,
"records": int (dynamic), "fusion": int (qsim's largest fused gate, optional),
"variant": {...} (the system's own settings, e.g. {"fusion": 3} for qsim or
wavesim, {"optimize": "light"} for qulacs; {} for its default)}.
An op is [name, qubits, angle]: angle is null, a number, or for sweeps the
column index into the (B, P) parameter array as {"index": k}. Names are H, SX,
SY, T, CX and CZ (control first), and RX, RY and RZ (exp(-i angle P / 2));
SX and SY are the square roots of X and Y with eigenvalues 1 and i. A dynamic job
also has ["MEASURE", [q], k] (read qubit q into mid-circuit record k) and
["RESET", [q], null]; all qubits are measured at its end, like a shots job.
Its result array is the fraction of shots reading 1 on each qubit at the end
(n entries), then the fraction of shots with each combination of the records
(2^records entries, record k is bit k of the position).

Expectation-value jobs (run_expval.py) add "observable": a list of terms
[paulis, qubits, coefficient] as in pauli_sums.py. "expval" returns the
energy as a (1,) array; "expval_sweep" (parameters as for "sweep") one energy
per set, shape (B,); "grad" returns the energy followed by its derivative by
each angle of the job's rotations in op order, shape (1 + P,), from
differentiation (wavesim: expval_grad_cpp or parameter shift, selected by the
job's "method") whose time is what "time" measures.

This file is imported by workers running under different interpreters, so it
uses the standard library and NumPy only.
"""

import json
import os
import sys
import time
import traceback

import numpy as np


def serve(build, describe):
    """Runs the request loop.

    build(job) returns (run, to_array): run() does the timed work and returns
    the simulator's native result; to_array(result) turns it into the array
    described above. describe() returns a dict of version facts.
    """
    # Peers sometimes print; keep the protocol stream clean.
    reply_stream = os.fdopen(os.dup(sys.stdout.fileno()), "w", buffering=1)
    sys.stdout = sys.stderr
    prepared = {}
    for line in sys.stdin:
        if not line.strip():
            continue
        request = json.loads(line)
        try:
            reply = _handle(request, prepared, build, describe)
        except Exception as error:  # reported to the harness, which decides
            reply = {"error": f"{type(error).__name__}: {error}",
                     "trace": traceback.format_exc()}
        reply_stream.write(json.dumps(reply) + "\n")


def _handle(request, prepared, build, describe):
    op = request["op"]
    if op == "info":
        return describe()
    if op == "prepare":
        prepared[request["id"]] = build(request["job"])
        return {}
    if op == "drop":
        prepared.pop(request["id"], None)
        return {}
    run, to_array = prepared[request["id"]]
    if op == "check":
        start = time.perf_counter()
        result = run()
        seconds = time.perf_counter() - start
        np.save(request["out"], to_array(result))
        return {"seconds": seconds}
    if op == "time":
        return {"times": time_runs(run, request["min_repeats"],
                                   request["max_repeats"], request["budget"])}
    raise ValueError(f"unknown op {op}")


def time_runs(run, min_repeats, max_repeats, budget):
    """Repeats run() at least min_repeats times, then until budget seconds
    have been spent or max_repeats is reached."""
    times = []
    spent = 0.0
    while len(times) < max_repeats and (len(times) < min_repeats or spent < budget):
        start = time.perf_counter()
        run()
        elapsed = time.perf_counter() - start
        times.append(elapsed)
        spent += elapsed
    return times


def load_params(job):
    """The (B, P) parameter array of a sweep or expval_sweep job."""
    return np.load(job["params_file"])


def observable_terms(job):
    """The job's observable as (paulis, qubits, coefficient) tuples."""
    return [(str(paulis), [int(q) for q in qubits], float(coefficient))
            for paulis, qubits, coefficient in job["observable"]]


def indexed_rotations(job):
    """A gradient job's ops with the angle of its k-th rotation replaced by
    {"index": k}, as a sweep gives it, and the angles (the parameters it is
    differentiated by) as an array."""
    ops, angles = [], []
    for name, qubits, angle in job["ops"]:
        if angle is not None:
            angle, value = {"index": len(angles)}, angle
            angles.append(float(value))
        ops.append([name, qubits, angle])
    return ops, np.array(angles)


def angle_of(op, params_row=None):
    """The angle of a neutral op: a literal or a column of one parameter set."""
    angle = op[2]
    if isinstance(angle, dict):
        return float(params_row[angle["index"]])
    return angle


def marginals_from_bits(bits):
    """Fraction of shots reading 1 per qubit, from a (shots, n) 0/1 array
    whose column q is qubit q."""
    return np.asarray(bits, dtype=np.float64).mean(axis=0)


def marginals_from_indices(indices, n):
    """Fraction of shots reading 1 per qubit, from basis-state indices in which
    qubit q is bit q."""
    indices = np.asarray(indices, dtype=np.int64)
    return np.array([((indices >> q) & 1).mean() for q in range(n)])


def dynamic_summary(final_bits, records):
    """The result array of a dynamic job from a (shots, n) 0/1 array of the
    final measurement and one 0/1 array per mid-circuit record."""
    index = np.zeros(len(final_bits), dtype=np.int64)
    for k, bits in enumerate(records):
        index |= np.asarray(bits, dtype=np.int64) << k
    joint = np.bincount(index, minlength=1 << len(records)) / len(final_bits)
    return np.concatenate([marginals_from_bits(final_bits), joint])
