"""Benchmark worker for PennyLane's lightning.qubit.

PennyLane orders a state big-endian (wire 0 is the most significant bit), so
wavesim's qubit q goes on wire n - 1 - q: the state then has wavesim's layout
and needs no reordering. Tapes are built once and run through qml.execute
without a gradient method, which skips the QNode's per-call tape recording;
sweeps use parameter broadcasting, the documented way to evaluate many sets.

Energies and gradients go through a QNode returning qml.expval of the
observable, built as a qml.Hamiltonian or as a qml.sum of qml.s_prod terms (a
job's "variant": {"observable": "hamiltonian" | "sum"}); gradients are
qml.grad of that QNode with diff_method="adjoint", timed as one call.
"""

import functools
import operator
import os
from importlib.metadata import version

import numpy as np
import pennylane as qml
from pennylane import numpy as pnp

import protocol

SAMPLE_SEED = 7
DTYPES = {"double": np.complex128, "single": np.complex64}
_GATES = {"H": qml.Hadamard, "CX": qml.CNOT, "CZ": qml.CZ,
          "RX": qml.RX, "RY": qml.RY, "RZ": qml.RZ, "SX": qml.SX, "T": qml.T}
# PennyLane has no square root of Y: this is wavesim's SY matrix, exactly. As one
# matrix pass it kept up with H then X and beat S^dagger SX S (both equal up to
# a global phase).
_SQRT_Y = np.array([[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]])
_PAULIS = {"I": qml.Identity, "X": qml.PauliX, "Y": qml.PauliY, "Z": qml.PauliZ}


def _operations(job, params):
    n = job["n"]
    operations = []
    for name, targets, angle in job["ops"]:
        wires = [n - 1 - q for q in targets]
        if name == "SY":
            operations.append(qml.QubitUnitary(_SQRT_Y, wires=wires))
            continue
        gate = _GATES[name]
        if angle is None:
            operations.append(gate(wires=wires))
        elif isinstance(angle, dict):
            operations.append(gate(params[..., angle["index"]], wires=wires))
        else:
            operations.append(gate(angle, wires=wires))
    return operations


def _observable(job):
    n = job["n"]
    coefficients, products = [], []
    for paulis, qubits, coefficient in protocol.observable_terms(job):
        factors = [_PAULIS[p](n - 1 - q) for p, q in zip(paulis, qubits)] or [qml.Identity(0)]
        coefficients.append(coefficient)
        products.append(functools.reduce(operator.matmul, factors))
    if job.get("variant", {}).get("observable", "hamiltonian") == "sum":
        return qml.sum(*(qml.s_prod(c, p) for c, p in zip(coefficients, products)))
    return qml.Hamiltonian(coefficients, products)


def _build_expval_job(job, device):
    observable = _observable(job)
    ops, angles = protocol.indexed_rotations(job) if job["kind"] == "grad" else (job["ops"], None)
    indexed = dict(job, ops=ops)

    def energy(params):
        _operations(indexed, params)
        return qml.expval(observable)

    if job["kind"] == "grad":
        qnode = qml.QNode(energy, device, diff_method="adjoint")
        params = pnp.array(angles, requires_grad=True)
        gradient = qml.grad(qnode)
        return (lambda: gradient(params),
                lambda grads: np.concatenate([[qnode(params)], np.asarray(grads)]))
    qnode = qml.QNode(energy, device, diff_method=None)
    params = protocol.load_params(job) if job["kind"] == "expval_sweep" else None
    return lambda: qnode(params), lambda energies: np.atleast_1d(np.asarray(energies, dtype=np.float64))


def build(job):
    n = job["n"]
    device = qml.device("lightning.qubit", wires=n, c_dtype=DTYPES[job["precision"]],
                        seed=SAMPLE_SEED)
    if job["kind"] in ("expval", "expval_sweep", "grad"):
        return _build_expval_job(job, device)
    params = protocol.load_params(job) if job["kind"] == "sweep" else None
    operations = _operations(job, params)
    if job["kind"] == "shots":
        # Column q of the samples is wavesim's qubit q.
        wires = [n - 1 - q for q in range(n)]
        tape = qml.tape.QuantumScript(operations, [qml.sample(wires=wires)], shots=job["shots"])
        to_array = protocol.marginals_from_bits
    else:
        tape = qml.tape.QuantumScript(operations, [qml.state()])
        to_array = np.asarray

    def run():
        return qml.execute([tape], device, diff_method=None)[0]

    return run, to_array


def describe():
    return {"system": "lightning.qubit", "version": version("pennylane-lightning"),
            "pennylane": qml.__version__, "threads": os.environ.get("OMP_NUM_THREADS", "default")}


if __name__ == "__main__":
    protocol.serve(build, describe)
