"""Benchmark worker for qsimcirq's noisy simulation (run_noise.py; single precision, its own env).

The circuit of cirq_common with the channels as Cirq's: cirq.depolarize(p) (X, Y, Z each p/3),
cirq.depolarize(p, n_qubits=2) (each non-identity product p/15), cirq.amplitude_damp(p). qsim runs a
noisy circuit one trajectory per repetition: "noisy_shots" is QSimSimulator.run, "trajectory_energy"
simulate_expectation_values with ev_noisy_repetitions trajectories (the mean only: no spread).
"""

import os

import cirq
import numpy as np
import qsimcirq

import cirq_common
import protocol

SEED = 7


def _channel(name, p):
    if name == "AMPLITUDE_DAMPING":
        return cirq.amplitude_damp(p)
    return cirq.depolarize(p, n_qubits=1 if name == "DEPOLARIZE1" else 2)


def _circuit(job):
    qubits = cirq_common.line_qubits(job["n"])
    noiseless = [op for op in job["ops"] if op[0] not in ("DEPOLARIZE1", "DEPOLARIZE2", "AMPLITUDE_DAMPING")]
    gates = iter(cirq_common.build_circuit(dict(job, ops=noiseless, kind="state")).all_operations())
    operations = []
    for name, targets, angle in job["ops"]:
        if name in ("DEPOLARIZE1", "DEPOLARIZE2", "AMPLITUDE_DAMPING"):
            operations.append(_channel(name, angle).on(*[qubits[q] for q in targets]))
        else:
            operations.append(next(gates))
    if job["kind"] == "noisy_shots":
        operations.append(cirq.measure(*qubits, key="m"))
    return cirq.Circuit(operations)


def build(job):
    if job["precision"] != "single":
        raise ValueError("qsim simulates in single precision only")
    n = job["n"]
    fusion = job.get("variant", {}).get("fusion", 2)
    repetitions = job.get("trajectories", 1)
    options = qsimcirq.QSimOptions(cpu_threads=os.cpu_count(), max_fused_gate_size=fusion,
                                   ev_noisy_repetitions=repetitions)
    simulator = qsimcirq.QSimSimulator(qsim_options=options, seed=SEED)
    circuit = _circuit(job)
    if job["kind"] == "noisy_shots":
        def run():
            return simulator.run(circuit, repetitions=job["shots"]).measurements["m"]
        # Column j of the measured bits is qubits[j] = wavesim's qubit j.
        return run, protocol.marginals_from_bits
    if job["kind"] == "trajectory_energy":
        observables = [cirq_common.pauli_sum(job)]
        order = cirq.LineQubit.range(n)

        def run_energy():
            return simulator.simulate_expectation_values(circuit, observables, qubit_order=order)
        return run_energy, lambda values: np.array([values[0].real, np.nan])
    raise ValueError(f"no {job['kind']} jobs for qsim here")


def describe():
    return {"system": "qsimcirq", "version": qsimcirq.__version__, "cirq": cirq.__version__,
            "threads": os.cpu_count()}


if __name__ == "__main__":
    protocol.serve(build, describe)
