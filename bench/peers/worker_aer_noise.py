"""Benchmark worker for Qiskit Aer's noisy simulation (run_noise.py), every thread of the machine.

The channels are circuit instructions (QuantumError appended to the circuit): DEPOLARIZE1(p) and
DEPOLARIZE2(p) as Pauli errors of probability p/3 and p/15 per non-identity Pauli (wavesim's
convention), AMPLITUDE_DAMPING as amplitude_damping_error. Jobs as in worker_wavesim_noise.py:
"noisy_shots" with the statevector method, variant {"branching": True} turning on Aer's shot
branching; "density_energy" with the density_matrix method and save_expectation_value;
"trajectory_energy" with the statevector method, one trajectory per shot and the per-shot
expectation values saved (pershot), whose mean and spread give the mean and its standard error.
As in worker_aer.py, the circuit is compiled and assembled when the job is prepared; the timed call
is the execution.
"""

import itertools
import os

import numpy as np
import qiskit
import qiskit_aer
from qiskit import QuantumCircuit
from qiskit.quantum_info import SparsePauliOp
from qiskit_aer import AerSimulator
from qiskit_aer.backends.aer_compiler import assemble_circuits, generate_aer_config
from qiskit_aer.noise import amplitude_damping_error, pauli_error

import protocol

SEED = 7
_GATES = {"H": "h", "SX": "sx", "T": "t", "CX": "cx", "CZ": "cz", "RX": "rx", "RY": "ry", "RZ": "rz"}


def _error(name, p):
    if name == "AMPLITUDE_DAMPING":
        return amplitude_damping_error(p)
    width = 1 if name == "DEPOLARIZE1" else 2
    paulis = ["".join(letters) for letters in itertools.product("IXYZ", repeat=width)]
    each = p / (len(paulis) - 1)
    return pauli_error([(paulis[0], 1.0 - p)] + [(label, each) for label in paulis[1:]])


def _observable(job):
    n = job["n"]
    labels = []
    for paulis, qubits, coefficient in protocol.observable_terms(job):
        label = ["I"] * n
        for letter, q in zip(paulis, qubits):
            label[n - 1 - q] = letter
        labels.append(("".join(label), coefficient))
    return SparsePauliOp.from_list(labels)


def _circuit(job):
    n = job["n"]
    shots = job["kind"] == "noisy_shots"
    circuit = QuantumCircuit(n, n) if shots else QuantumCircuit(n)
    for name, qubits, angle in job["ops"]:
        if name in ("DEPOLARIZE1", "DEPOLARIZE2", "AMPLITUDE_DAMPING"):
            circuit.append(_error(name, angle).to_instruction(), qubits)
        elif angle is None:
            getattr(circuit, _GATES[name])(*qubits)
        else:
            getattr(circuit, _GATES[name])(angle, *qubits)
    if shots:
        circuit.measure(range(n), range(n))
    else:
        circuit.save_expectation_value(_observable(job), range(n), pershot=job["kind"] == "trajectory_energy")
    return circuit


def _simulator(job):
    method = "density_matrix" if job["kind"] == "density_energy" else "statevector"
    options = dict(method=method, precision=job["precision"], max_parallel_threads=os.cpu_count(),
                   max_parallel_experiments=1, seed_simulator=SEED,
                   shots=job.get("shots", job.get("trajectories", 1)))
    if job["kind"] != "density_energy":
        options["shot_branching_enable"] = bool(job.get("variant", {}).get("branching", False))
    return AerSimulator(**options)


def build(job):
    simulator = _simulator(job)
    circuits, noise_model = simulator._compile([_circuit(job)])
    aer_circuits, _ = assemble_circuits(circuits)
    config = generate_aer_config(circuits, simulator.options)

    def run():
        output = simulator._execute_circuits(aer_circuits, noise_model, config)
        result = output["results"][0]
        if not result.get("success"):
            raise RuntimeError(f"Aer: {result.get('status') or output.get('status')}")
        return result["data"]

    n = job["n"]
    if job["kind"] == "noisy_shots":
        counts = lambda data: protocol.marginals_from_indices(  # noqa: E731
            np.repeat([int(key, 16) for key in data["counts"]], list(data["counts"].values())), n)
        return run, counts
    if job["kind"] == "density_energy":
        return run, lambda data: np.array([float(np.real(next(iter(data.values()))))])

    def mean_and_error(data):
        values = np.real(np.asarray(next(iter(data.values())), dtype=complex)).ravel()
        return np.array([values.mean(), values.std(ddof=1) / np.sqrt(values.size)])
    return run, mean_and_error


def describe():
    return {"system": "aer", "version": qiskit_aer.__version__, "qiskit": qiskit.__version__,
            "threads": os.cpu_count()}


if __name__ == "__main__":
    protocol.serve(build, describe)
