"""Benchmark worker for wavesim (run with the project's python and the build's
python directory on PYTHONPATH; see protocol.py).

The records are built once per job; the timed call is cal_states_cpp or run_cpp
alone, which returns the NumPy amplitudes or the counts, as the peers' timed
calls return theirs.
"""

import numpy as np

import circuitcore
import wavesim

import protocol

SAMPLE_SEED = 7


def _instruction(name, targets, value, n):
    if name == "MEASURE":  # mid-circuit record k goes to classical bit n + k
        return circuitcore.CircuitInstruction(name=name, qubits=list(targets), controls=[n + int(value[0])])
    if name in ("CX", "CZ"):
        return circuitcore.CircuitInstruction(name=name, controls=[targets[0]], qubits=[targets[1]])
    if value is None:
        return circuitcore.CircuitInstruction(name=name, qubits=list(targets))
    return circuitcore.CircuitInstruction(name=name, qubits=list(targets),
                                          param=circuitcore.ParamBinding("", value), has_param=True)


def build_records(job):
    """The job's CircuitData. A sweep angle {"index": k} becomes the list of
    column k over all parameter sets, which is how a batch is given."""
    params = protocol.load_params(job) if job["kind"] == "sweep" else None
    instructions = []
    for name, targets, angle in job["ops"]:
        if isinstance(angle, dict):
            value = [float(v) for v in params[:, angle["index"]]]
        elif angle is None:
            value = None
        else:
            value = [float(angle)]
        instructions.append(_instruction(name, targets, value, job["n"]))
    if job["kind"] in ("shots", "dynamic"):
        instructions += [circuitcore.CircuitInstruction(name="MEASURE", qubits=[q], controls=[q])
                         for q in range(job["n"])]
    return circuitcore.CircuitData(job["n"], instructions=instructions)


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


def build(job):
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

    def run():
        return wavesim.cal_states_cpp(records, single)
    return run, np.asarray


def describe():
    return {"system": "wavesim"}


if __name__ == "__main__":
    protocol.serve(build, describe)
