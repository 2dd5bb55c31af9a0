"""Benchmark worker for PennyLane's lightning.qubit.

PennyLane orders a state big-endian (wire 0 is the most significant bit), so
wavesim's qubit q goes on wire n - 1 - q: the state then has wavesim's layout
and needs no reordering. Tapes are built once and run through qml.execute
without a gradient method, which skips the QNode's per-call tape recording;
sweeps use parameter broadcasting, the documented way to evaluate many sets.
"""

import os
from importlib.metadata import version

import numpy as np
import pennylane as qml

import protocol

SAMPLE_SEED = 7
DTYPES = {"double": np.complex128, "single": np.complex64}
_GATES = {"H": qml.Hadamard, "CX": qml.CNOT, "CZ": qml.CZ,
          "RX": qml.RX, "RY": qml.RY, "RZ": qml.RZ}


def _operations(job, params):
    n = job["n"]
    operations = []
    for name, targets, angle in job["ops"]:
        wires = [n - 1 - q for q in targets]
        gate = _GATES[name]
        if angle is None:
            operations.append(gate(wires=wires))
        elif isinstance(angle, dict):
            operations.append(gate(params[:, angle["index"]], wires=wires))
        else:
            operations.append(gate(angle, wires=wires))
    return operations


def build(job):
    n = job["n"]
    device = qml.device("lightning.qubit", wires=n, c_dtype=DTYPES[job["precision"]],
                        seed=SAMPLE_SEED)
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
