"""Pauli-sum observables for the tests: random ones drawn with hypothesis, and their
expectation values from NumPy, written from the Pauli matrices and the qubit-order rule
(bit q of a basis index is qubit q), independently of the engine."""

import numpy as np
from hypothesis import strategies as st

import reference_model as ref

PAULI = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
         "Z": np.diag([1.0, -1.0])}


def dense_observable(terms, n):
    """Sum of coefficient times the Kronecker product (qubit 0 the rightmost factor)."""
    total = np.zeros((1 << n, 1 << n), dtype=complex)
    for paulis, qubits, coefficient in terms:
        factors = [np.eye(2)] * n
        for letter, q in zip(paulis, qubits):
            factors[q] = PAULI[letter]
        product = np.ones((1, 1))
        for q in reversed(range(n)):
            product = np.kron(product, factors[q])
        total += complex(coefficient) * product
    return total


def applied_observable(psi, terms):
    """O psi, each Pauli applied by the reference model's gate loop (no matrix of the whole state)."""
    out = np.zeros_like(psi)
    for paulis, qubits, coefficient in terms:
        phi = psi.copy()
        for letter, q in zip(paulis, qubits):
            ref.apply_matrix(phi, [q], [], [], PAULI[letter].astype(complex))
        out += complex(coefficient) * phi
    return out


def expectation(psi, terms):
    if not terms:
        return 0.0  # the zero operator reads nothing, also off a NaN state
    psi = psi.astype(complex)
    n = psi.size.bit_length() - 1
    o_psi = dense_observable(terms, n) @ psi if n <= 8 else applied_observable(psi, terms)
    return float(np.vdot(psi, o_psi).real)


@st.composite
def terms(draw, n):
    """One observable: any letters, identity terms, terms on every qubit, repeated X/Y parts."""
    out = []
    for _ in range(draw(st.integers(0, 6))):
        size = draw(st.sampled_from([0, n, *range(n + 1)]))
        qubits = draw(st.permutations(range(n)))[:size]
        letters = "".join(draw(st.sampled_from("IXYZ")) for _ in qubits)
        coefficient = draw(st.one_of(st.floats(-3, 3), st.integers(-3, 3),
                                     st.floats(-3, 3).map(lambda x: complex(x, 0.0))))
        out.append((letters, list(qubits), coefficient))
        if letters and draw(st.booleans()):  # same X/Y part, other Z part
            z_swapped = "".join({"I": "Z", "Z": "I"}.get(c, c) for c in letters)
            out.append((z_swapped, list(qubits), draw(st.floats(-3, 3))))
    return out
