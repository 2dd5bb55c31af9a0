"""Benchmark worker for wavesim (run with the project's python and the build's
python directory on PYTHONPATH; see protocol.py).

The records are built once per job; the timed call is cal_states_cpp or run_cpp
alone, which returns the NumPy amplitudes or the counts, as the peers' timed
calls return theirs.

A state job's "variant" may set {"fusion": k} (2, 3, 4 or "auto"), passed on as
cal_states_cpp's fusion=k; without it the call has no such keyword, so builds that predate
the option run the default. describe() says whether this build has it.

Expectation-value jobs take a "method": "native" times expval_cpp or
expval_grad_cpp; "numpy" is cal_states_cpp followed by NumPy energies
(pauli_sums.py); "shift" is the parameter-shift gradient, all shifted sets
through batched cal_states_cpp calls. A native function this build lacks is
replaced by the NumPy path (said on stderr and in describe()).
"""

import math
import sys
from pathlib import Path

import numpy as np

import circuitcore
import wavesim

import pauli_sums
import protocol

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))  # bench/, for families.py
import families  # noqa: E402

SAMPLE_SEED = 7
EXPVAL_KINDS = ("expval", "expval_sweep", "grad")
NATIVE = {"expval": "expval_cpp", "expval_sweep": "expval_cpp", "grad": "expval_grad_cpp"}
FALLBACK = {"expval": "numpy", "expval_sweep": "numpy", "grad": "shift"}
# A rotation exp(-i theta P / 2) has d f / d theta = (f(theta + s) - f(theta - s)) / 2 at s = pi / 2.
SHIFT = math.pi / 2
# The shifted sets go through cal_states_cpp this many bytes of rows at a time.
SHIFT_BATCH_BYTES = 256 << 20


def build_records(job, angle_lists=None):
    """The job's CircuitData. A sweep angle {"index": k} becomes the list of
    column k over all parameter sets, which is how a batch is given;
    angle_lists, if given, holds such a list for each literal angle in op
    order instead."""
    params = protocol.load_params(job) if job["kind"] in ("sweep", "expval_sweep") else None
    lists = iter(angle_lists or ())
    ops = []
    for name, targets, angle in job["ops"]:
        if isinstance(angle, dict):
            angle = params[:, angle["index"]]
        elif angle is not None and angle_lists is not None:
            angle = next(lists)
        ops.append([name, targets, angle])
    return families.circuit_data(job["n"], ops, measure_all=job["kind"] in ("shots", "dynamic"),
                                 name_params=True)


def _marginals(counts, n):
    ones = np.zeros(n)
    total = 0
    for key, count in counts.items():
        total += count
        for q in range(n):
            if key[n - 1 - q] == "1":  # classical bit 0 is the rightmost character
                ones[q] += count
    return ones / total


def _dynamic_summary(counts, n, records):
    """protocol.dynamic_summary from counts: bits 0 ... n-1 of a key are the
    final measurement, bits n ... n+records-1 the mid-circuit records."""
    final, record_bits = [], [[] for _ in range(records)]
    for key, count in counts.items():
        bits = [int(c) for c in reversed(key)]  # bit 0 is the rightmost character
        final += [bits[:n]] * count
        for k in range(records):
            record_bits[k] += [bits[n + k]] * count
    return protocol.dynamic_summary(np.array(final), record_bits)


def native_functions():
    """Which of the native expectation-value functions this build has."""
    return {name: "present" if hasattr(wavesim, name) else "MISSING"
            for name in ("expval_cpp", "expval_grad_cpp", "param_columns")}


def _energies(states, terms):
    return np.atleast_1d(pauli_sums.expectation_values(states, terms))


def _native_energies(result, rows):
    """expval_cpp's result for one observable as `rows` energies, refusing
    any other shape: (1,) for one set, (B, 1) for B sets."""
    result = np.asarray(result)
    expected = (1,) if rows is None else (rows, 1)
    if result.shape != expected or result.dtype != np.float64:
        raise ValueError(f"expval_cpp returned {result.dtype} {result.shape}, expected float64 {expected}")
    return result.reshape(-1)


def _native_gradient(records, angles):
    """(values, grads) of expval_grad_cpp -> [value, d/d angle 0, ...]: the
    columns are put in op order by what param_columns says they are."""
    rotations = [k for k, ins in enumerate(records.instructions) if ins.has_param]
    if hasattr(wavesim, "param_columns"):
        columns = wavesim.param_columns(records)
        if any(slot != 0 for _, _, slot in columns):
            raise ValueError(f"a one-angle rotation has a slot other than 0: {columns}")
        order = [rotations.index(instruction) for instruction, _, _ in columns]
        if sorted(order) != list(range(len(angles))):
            raise ValueError(f"param_columns does not name each rotation once: {columns}")
    else:
        order = list(range(len(angles)))

    def to_array(result):
        values, grads = (np.asarray(part) for part in result)
        if values.shape != () or grads.shape != (len(angles),):
            raise ValueError(f"expval_grad_cpp returned shapes {values.shape}, {grads.shape}; "
                             f"expected (), ({len(angles)},)")
        in_op_order = np.empty(len(angles))
        in_op_order[order] = grads
        return np.concatenate([[float(values)], in_op_order])
    return to_array


def _shifted_angles(angles, start, stop):
    """Each angle's values over sets start ... stop - 1: set 0 is unshifted;
    sets 1 + 2k and 2 + 2k move angle k by +SHIFT and -SHIFT."""
    def shift(s, k):
        return SHIFT if s == 1 + 2 * k else -SHIFT if s == 2 + 2 * k else 0.0
    return [[angle + shift(s, k) for s in range(start, stop)] for k, angle in enumerate(angles)]


def _build_shift_gradient(job, terms, single):
    _, angles = protocol.indexed_rotations(job)
    sets = 1 + 2 * len(angles)
    row_bytes = (8 if single else 16) << job["n"]
    per_call = max(1, SHIFT_BATCH_BYTES // row_bytes)
    batches = [build_records(job, _shifted_angles(angles, start, min(sets, start + per_call)))
               for start in range(0, sets, per_call)]

    def run():
        energies = np.concatenate([_energies(wavesim.cal_states_cpp(batch, single), terms)
                                   for batch in batches])
        return np.concatenate([energies[:1], (energies[1::2] - energies[2::2]) / 2])
    return run, np.asarray


def _build_expval(job):
    kind = job["kind"]
    single = job["precision"] == "single"
    terms = protocol.observable_terms(job)
    method = job.get("method", "native")
    if method == "native" and not hasattr(wavesim, NATIVE[kind]):
        method = FALLBACK[kind]
        print(f"wavesim.{NATIVE[kind]} is MISSING from this build: {kind} runs the {method} path",
              file=sys.stderr)
    if method == "shift":
        return _build_shift_gradient(job, terms, single)
    records = build_records(job)
    if method == "numpy":
        return lambda: _energies(wavesim.cal_states_cpp(records, single), terms), np.asarray
    if kind == "grad":
        to_array = _native_gradient(records, protocol.indexed_rotations(job)[1])
        return lambda: wavesim.expval_grad_cpp(records, terms, single), to_array
    rows = len(protocol.load_params(job)) if kind == "expval_sweep" else None
    return (lambda: wavesim.expval_cpp(records, [terms], single),
            lambda result: _native_energies(result, rows))


def build(job):
    if job["kind"] in EXPVAL_KINDS:
        return _build_expval(job)
    records = build_records(job)
    single = job["precision"] == "single"
    n = job["n"]
    if job["kind"] == "shots":
        def run_shots():
            return wavesim.run_cpp(records, job["shots"], n, SAMPLE_SEED, single)
        return run_shots, lambda counts: _marginals(counts, n)
    if job["kind"] == "dynamic":
        width = n + job["records"]

        def run_dynamic():
            return wavesim.run_cpp(records, job["shots"], width, SAMPLE_SEED, single)
        return run_dynamic, lambda counts: _dynamic_summary(counts, n, job["records"])

    options = {"fusion": job["variant"]["fusion"]} if "fusion" in job.get("variant", {}) else {}

    def run():
        return wavesim.cal_states_cpp(records, single, **options)
    return run, np.asarray


def fusion_option():
    """Whether cal_states_cpp takes fusion=, tried on a one-qubit circuit."""
    try:
        wavesim.cal_states_cpp(circuitcore.CircuitData(1, instructions=[]), fusion=2)
    except TypeError:
        return "MISSING"
    return "present"


def describe():
    return dict(system="wavesim", fusion=fusion_option(), **native_functions())


if __name__ == "__main__":
    protocol.serve(build, describe)
