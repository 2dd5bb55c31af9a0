"""Benchmark worker for Qiskit Aer's AerSimulator, statevector method.

Qiskit numbers qubits like wavesim (qubit 0 = least significant bit) and its
RX/RY/RZ are exp(-i angle P / 2), so ops map one to one onto QuantumCircuit
gates and states need no reordering. Qiskit has no square root of Y: SY is
RY(pi / 2) and a global phase of pi / 4, which is wavesim's matrix exactly.

A job is compiled and assembled into Aer's own circuit once, when it is
prepared, by the steps AerSimulator.run takes (_compile, assemble_circuits,
generate_aer_config); the timed call is the execution of that
(_execute_circuits), up to the state saved by save_statevector as a NumPy
array, or the counts of a shots job. run() would redo the compilation and start a job
thread on every call.

Threads: max_parallel_threads = the machine's cores, one experiment and one
shot at a time, so that all threads work on the one state (below
statevector_parallel_threshold, 14 qubits, Aer keeps a state on one thread,
as it does by default).

A state job's "variant" is {"fusion": "off"}, or {"fusion": k}: gate fusion
up to k qubits (fusion_max_qubit) with fusion_threshold 1, so that it fuses at
every size (by default only from 14 qubits on). Shots jobs run at Aer's
default settings.
"""

import os

import numpy as np
import qiskit
import qiskit_aer
from qiskit import QuantumCircuit
from qiskit_aer import AerSimulator
from qiskit_aer.backends.aer_compiler import assemble_circuits, generate_aer_config

import protocol

SAMPLE_SEED = 7
_GATES = {"H": "h", "SX": "sx", "T": "t", "CX": "cx", "CZ": "cz", "RX": "rx", "RY": "ry", "RZ": "rz"}


def _circuit(job):
    """The job's QuantumCircuit: a shots job measures qubit q into clbit q at
    its end, a state job saves the state."""
    n = job["n"]
    circuit = QuantumCircuit(n, n) if job["kind"] == "shots" else QuantumCircuit(n)
    for name, qubits, angle in job["ops"]:
        if name == "SY":
            circuit.ry(np.pi / 2, qubits[0])
            circuit.global_phase += np.pi / 4
        elif name not in _GATES:
            raise ValueError(f"unsupported gate {name}")
        elif angle is None:
            getattr(circuit, _GATES[name])(*qubits)
        else:
            getattr(circuit, _GATES[name])(angle, *qubits)
    if job["kind"] == "shots":
        circuit.measure(range(n), range(n))
    else:
        circuit.save_statevector()
    return circuit


def _simulator(job):
    options = dict(method="statevector", precision=job["precision"], max_parallel_threads=os.cpu_count(),
                   max_parallel_experiments=1, max_parallel_shots=1, seed_simulator=SAMPLE_SEED,
                   shots=job.get("shots", 1))
    fusion = job.get("variant", {}).get("fusion")
    if fusion == "off":
        options["fusion_enable"] = False
    elif fusion is not None:
        options.update(fusion_enable=True, fusion_max_qubit=int(fusion), fusion_threshold=1)
    return AerSimulator(**options)


def _data(output):
    """The data of the one experiment of Aer's raw output, or its error."""
    result = output["results"][0]
    if not result.get("success"):
        raise RuntimeError(f"Aer: {result.get('status') or output.get('status')}")
    return result["data"]


def _marginals(data, n):
    """Per qubit, the fraction of shots reading 1 (Aer's raw counts are keyed
    by the clbits as a hex number, clbit q its bit q)."""
    counts = data["counts"]
    return protocol.marginals_from_indices(np.repeat([int(key, 16) for key in counts], list(counts.values())), n)


def build(job):
    if job["kind"] not in ("state", "shots"):
        raise ValueError(f"no {job['kind']} jobs for Aer here")
    simulator = _simulator(job)
    circuits, noise_model = simulator._compile([_circuit(job)])
    aer_circuits, _ = assemble_circuits(circuits)
    config = generate_aer_config(circuits, simulator.options)

    def run():
        return simulator._execute_circuits(aer_circuits, noise_model, config)
    if job["kind"] == "shots":
        return run, lambda output: _marginals(_data(output), job["n"])
    return run, lambda output: np.asarray(_data(output)["statevector"])


def describe():
    return {"system": "aer", "version": qiskit_aer.__version__, "qiskit": qiskit.__version__,
            "threads": os.cpu_count()}


if __name__ == "__main__":
    protocol.serve(build, describe)
