"""Benchmark worker for qulacs (run with its own env's python; see protocol.py).

qulacs numbers qubits like wavesim (qubit 0 = least significant bit), so states
need no reordering. Its RX/RY/RZ are exp(+i theta P / 2): angles are negated to
get the usual exp(-i theta P / 2).

A job's "variant" may set {"optimize": "light"} (QuantumCircuitOptimizer's
optimize_light) or {"optimize": k} (its optimize(circuit, k), fusing gates of up
to k qubits); the circuit is optimised once when the job is prepared.

Energies use an Observable (get_expectation_value after update_quantum_state,
both timed); gradients ParametricQuantumCircuit.backprop, whose derivatives by
the negated angles are negated back. Energies over a sweep come from the
parametric circuit, or with {"circuit": "per_set"} from a plain circuit built
for each set inside the timed loop (cheaper than a parametric circuit's gates).
"""

import os

import numpy as np
import qulacs
from qulacs.circuit import QuantumCircuitOptimizer

import protocol

SAMPLE_SEED = 7
# qulacs's matrices for these are exactly wavesim's.
_ROOTS = {"SX": "add_sqrtX_gate", "SY": "add_sqrtY_gate", "T": "add_T_gate"}


def _add_fixed(circuit, op):
    name, qubits, angle = op
    if name == "H":
        circuit.add_H_gate(qubits[0])
    elif name == "CX":
        circuit.add_CNOT_gate(qubits[0], qubits[1])
    elif name == "CZ":
        circuit.add_CZ_gate(qubits[0], qubits[1])
    elif name in _ROOTS:
        getattr(circuit, _ROOTS[name])(qubits[0])
    elif name in ("RX", "RY", "RZ"):
        getattr(circuit, f"add_{name}_gate")(qubits[0], -angle)
    else:
        raise ValueError(f"unsupported gate {name}")


def _fixed_circuit(job):
    circuit = qulacs.QuantumCircuit(job["n"])
    for op in job["ops"]:
        _add_fixed(circuit, op)
    optimize = job.get("variant", {}).get("optimize")
    if optimize == "light":
        QuantumCircuitOptimizer().optimize_light(circuit)
    elif optimize is not None:
        QuantumCircuitOptimizer().optimize(circuit, int(optimize))
    return circuit


def _parametric_circuit(job):
    """A ParametricQuantumCircuit whose parameter k is angle {"index": k} of
    the ops, negated when set; the fixed ops as they are."""
    circuit = qulacs.ParametricQuantumCircuit(job["n"])
    slots = []
    for op in job["ops"]:
        name, qubits, angle = op
        if isinstance(angle, dict):
            getattr(circuit, f"add_parametric_{name}_gate")(qubits[0], 0.0)
            slots.append(angle["index"])
        else:
            _add_fixed(circuit, op)
    return circuit, slots


def _observable(job):
    observable = qulacs.Observable(job["n"])
    for paulis, qubits, coefficient in protocol.observable_terms(job):
        observable.add_operator(coefficient, " ".join(f"{p} {q}" for p, q in zip(paulis, qubits)))
    return observable


def _build_state_job(job):
    n = job["n"]
    circuit = _fixed_circuit(job)
    state = qulacs.QuantumState(n)

    def run():
        state.set_zero_state()
        circuit.update_quantum_state(state)
        if job["kind"] == "shots":
            return state.sampling(job["shots"], SAMPLE_SEED)
        return state.get_vector()

    if job["kind"] == "shots":
        return run, lambda indices: protocol.marginals_from_indices(indices, n)
    return run, np.asarray


def _build_per_set_sweep(job, params):
    observable = _observable(job)
    state = qulacs.QuantumState(job["n"])

    def run():
        out = np.empty(len(params))
        for b, row in enumerate(params):
            ops = [[name, qubits, float(row[angle["index"]]) if isinstance(angle, dict) else angle]
                   for name, qubits, angle in job["ops"]]
            circuit = _fixed_circuit(dict(job, ops=ops, variant={}))
            state.set_zero_state()
            circuit.update_quantum_state(state)
            out[b] = observable.get_expectation_value(state)
        return out
    return run, np.asarray


def _build_sweep_job(job):
    # The documented way to evaluate many parameter sets: one parametric
    # circuit, set_parameter per set, one reused state.
    n = job["n"]
    params = protocol.load_params(job)
    if job.get("variant", {}).get("circuit") == "per_set":
        return _build_per_set_sweep(job, params)
    circuit, slots = _parametric_circuit(job)
    state = qulacs.QuantumState(n)
    negated = -params
    if job["kind"] == "expval_sweep":
        read, shape, dtype = _observable(job).get_expectation_value, (), np.float64
    else:
        read, shape, dtype = qulacs.QuantumState.get_vector, (1 << n,), np.complex128

    def run():
        out = np.empty((params.shape[0],) + shape, dtype=dtype)
        for b, row in enumerate(negated):
            for slot, column in enumerate(slots):
                circuit.set_parameter(slot, row[column])
            state.set_zero_state()
            circuit.update_quantum_state(state)
            out[b] = read(state)
        return out

    return run, np.asarray


def _build_expval_job(job):
    circuit = _fixed_circuit(job)
    observable = _observable(job)
    state = qulacs.QuantumState(job["n"])

    def run():
        state.set_zero_state()
        circuit.update_quantum_state(state)
        return observable.get_expectation_value(state)
    return run, np.atleast_1d


def _build_grad_job(job):
    ops, angles = protocol.indexed_rotations(job)
    circuit, _ = _parametric_circuit(dict(job, ops=ops))
    for slot, angle in enumerate(angles):
        circuit.set_parameter(slot, -angle)
    observable = _observable(job)

    def to_array(backprop):
        state = qulacs.QuantumState(job["n"])
        circuit.update_quantum_state(state)
        return np.concatenate([[observable.get_expectation_value(state)], -np.asarray(backprop)])
    return lambda: circuit.backprop(observable), to_array


def build(job):
    if job["precision"] != "double":
        raise ValueError("qulacs has no single-precision mode")
    if job["kind"] in ("sweep", "expval_sweep"):
        return _build_sweep_job(job)
    if job["kind"] == "expval":
        return _build_expval_job(job)
    if job["kind"] == "grad":
        return _build_grad_job(job)
    return _build_state_job(job)


def describe():
    return {"system": "qulacs", "version": qulacs.__version__,
            "threads": os.environ.get("OMP_NUM_THREADS", "default")}


if __name__ == "__main__":
    protocol.serve(build, describe)
