"""brickgen part of the demo: a quantum-volume operation list and a look at it."""

import numpy as np

import brickgen
import circuitcore  # noqa: F401  registers CircuitInstruction, which the result needs

NUM_QUBITS = 6
SEED = 2024
PAIRS_SHOWN = 4


def run() -> None:
    ops = brickgen.build_qv_op_list(NUM_QUBITS, 0, SEED)
    print(f"quantum-volume list for {NUM_QUBITS} qubits, seed {SEED}: {len(ops)} '{ops[0].name}' records "
          f"(n * (n // 2) = {NUM_QUBITS * (NUM_QUBITS // 2)})")
    pairs = ", ".join(f"({op.controls[0]}, {op.qubits[0]})" for op in ops[:PAIRS_SHOWN])
    print(f"first (control, target) pairs: {pairs}")
    u = np.array(ops[0].matrix).reshape(4, 4).T  # stored column-major
    deviation = np.abs(u.conj().T @ u - np.eye(4)).max()
    print(f"record 0: max |U^H U - I| = {deviation:.1e}, |det U| = {abs(np.linalg.det(u)):.15f}")
    again = brickgen.build_qv_op_list(NUM_QUBITS, 0, SEED)
    same = all(a.matrix == b.matrix for a, b in zip(ops, again))
    print(f"same seed again: matrices identical = {same} (qubit pairs continue the thread's sequence)")
