"""Circuit building and jobs shared by the Cirq-based workers (qsimcirq and
Cirq's own simulator).

Cirq orders a state big-endian (the first qubit of qubit_order is the most
significant bit). Mapping wavesim's qubit q to LineQubit(n - 1 - q) therefore
gives exactly wavesim's memory layout, so states need no reordering and both
sides touch memory in the same pattern.
"""

import cirq
import numpy as np
import sympy

import protocol

# X**0.5 and Y**0.5 are exactly wavesim's SX and SY (no global phase between them).
_FIXED = {"H": cirq.H, "CX": cirq.CNOT, "CZ": cirq.CZ, "SX": cirq.X**0.5, "SY": cirq.Y**0.5, "T": cirq.T}
_ROTATIONS = {"RX": cirq.rx, "RY": cirq.ry, "RZ": cirq.rz}
_PAULIS = {"I": cirq.I, "X": cirq.X, "Y": cirq.Y, "Z": cirq.Z}


def line_qubits(n):
    """Cirq qubits in wavesim order: element q is wavesim's qubit q."""
    return [cirq.LineQubit(n - 1 - q) for q in range(n)]


def build_circuit(job):
    """The job's circuit; sweep angles become sympy symbols p<k>."""
    qubits = line_qubits(job["n"])
    operations = []
    for name, targets, angle in job["ops"]:
        on = [qubits[q] for q in targets]
        if name == "MEASURE":  # a mid-circuit read-out: angle is its record index
            operations.append(cirq.measure(*on, key=f"a{angle}"))
        elif name == "RESET":
            operations.append(cirq.reset(*on))
        elif name in _FIXED:
            operations.append(_FIXED[name](*on))
        elif name in _ROTATIONS:
            value = sympy.Symbol(f"p{angle['index']}") if isinstance(angle, dict) else angle
            operations.append(_ROTATIONS[name](value)(*on))
        else:
            raise ValueError(f"unsupported gate {name}")
    if job["kind"] in ("shots", "dynamic"):
        operations.append(cirq.measure(*qubits, key="m"))
    return cirq.Circuit(operations)


def pauli_sum(job):
    """The job's observable as a cirq.PauliSum on line_qubits."""
    qubits = line_qubits(job["n"])
    strings = [cirq.PauliString({qubits[q]: _PAULIS[p] for p, q in zip(paulis, targets) if p != "I"},
                                coefficient=coefficient)
               for paulis, targets, coefficient in protocol.observable_terms(job)]
    return cirq.PauliSum.from_pauli_strings(strings)


def _resolvers(job):
    return [cirq.ParamResolver({f"p{k}": float(v) for k, v in enumerate(row)})
            for row in protocol.load_params(job)]


def build_job(job, simulator):
    """(run, to_array) for a job on a Cirq-interface simulator."""
    n = job["n"]
    circuit = build_circuit(job)
    order = cirq.LineQubit.range(n)
    if job["kind"] == "state":
        def run():
            return simulator.simulate(circuit, qubit_order=order).final_state_vector
        return run, np.asarray
    if job["kind"] == "expval":
        observables = [pauli_sum(job)]

        def run_expval():
            return simulator.simulate_expectation_values(circuit, observables, qubit_order=order)
        return run_expval, lambda values: np.array([values[0].real])
    if job["kind"] == "expval_sweep":
        observables = [pauli_sum(job)]
        resolvers = _resolvers(job)

        def run_expval_sweep():
            return simulator.simulate_expectation_values_sweep(circuit, observables, params=resolvers,
                                                               qubit_order=order)
        return run_expval_sweep, lambda values: np.array([row[0].real for row in values])
    if job["kind"] == "sweep":
        resolvers = _resolvers(job)

        def run_sweep():
            results = simulator.simulate_sweep(circuit, params=resolvers, qubit_order=order)
            return np.stack([r.final_state_vector for r in results])
        return run_sweep, np.asarray

    def run_shots():
        return simulator.run(circuit, repetitions=job["shots"])
    if job["kind"] == "dynamic":
        def dynamic_array(result):
            records = [result.measurements[f"a{k}"][:, 0] for k in range(job["records"])]
            return protocol.dynamic_summary(result.measurements["m"], records)
        return run_shots, dynamic_array
    # Measurement column q is wavesim's qubit q (line_qubits order).
    return run_shots, lambda result: protocol.marginals_from_bits(result.measurements["m"])
