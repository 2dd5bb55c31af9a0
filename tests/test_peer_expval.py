"""The references of the expectation-value benchmark (bench/peers): NumPy
energies against dense Kronecker algebra, parameter shift against finite
differences. Every peer and wavesim's native functions are checked against
these, so they are checked here against something independent of them."""

import functools
import sys
from pathlib import Path

import numpy as np
import pytest

import circuitcore  # noqa: F401  (before wavesim, as the modules require)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench" / "peers"))

import pauli_sums  # noqa: E402
import worker_wavesim  # noqa: E402

PAULI_MATRICES = {"I": np.eye(2), "X": np.array([[0, 1], [1, 0]]),
                  "Y": np.array([[0, -1j], [1j, 0]]), "Z": np.diag([1, -1])}


def dense(observable, n):
    """The observable's 2^n x 2^n matrix; qubit q is bit q, so the
    Kronecker factors run from qubit n - 1 down to qubit 0."""
    total = np.zeros((1 << n, 1 << n), dtype=complex)
    for paulis, qubits, coefficient in observable:
        factors = [PAULI_MATRICES["I"]] * n
        for letter, q in zip(paulis, qubits):
            factors[q] = PAULI_MATRICES[letter]
        total += coefficient * functools.reduce(np.kron, factors[::-1], np.eye(1))
    return total


def random_observable(rng, n, terms):
    observable = []
    for _ in range(terms):
        qubits = [int(q) for q in rng.permutation(n)[:rng.integers(0, n + 1)]]
        paulis = "".join(rng.choice(list("IXYZ"), len(qubits)))
        observable.append((paulis, qubits, float(rng.normal())))
    return observable


@pytest.mark.parametrize("n", [1, 2, 5])
@pytest.mark.parametrize("dtype", [np.complex128, np.complex64])
@pytest.mark.parametrize("block", [pauli_sums.BLOCK_AMPLITUDES, 1])
def test_energies_match_dense_algebra(n, dtype, block, monkeypatch):
    """Random Pauli sums (I, X, Y, Z, the empty string, shared flip groups)
    on unnormalised batches, one row at a time or all rows at once."""
    monkeypatch.setattr(pauli_sums, "BLOCK_AMPLITUDES", block)
    rng = np.random.default_rng(n)
    tolerance = 1e-12 if dtype == np.complex128 else 1e-4
    for _ in range(20):
        observable = random_observable(rng, n, terms=6)
        states = (rng.normal(size=(3, 1 << n)) + 1j * rng.normal(size=(3, 1 << n))).astype(dtype)
        matrix = dense(observable, n)
        exact = np.einsum("bi,ij,bj->b", states.conj().astype(complex), matrix, states).real
        scale = max(1.0, np.abs(exact).max())
        assert np.abs(pauli_sums.expectation_values(states, observable) - exact).max() <= tolerance * scale
        single = pauli_sums.expectation_values(states[1], observable)
        assert single.shape == () and abs(single - exact[1]) <= tolerance * scale


def test_qubit_zero_is_the_low_bit():
    # |q1 q0> = |01>: Z on qubit 0 reads -1, on qubit 1 +1; X on qubit 0 maps it to |00>.
    state = np.array([0, 1, 0, 0], dtype=complex)
    assert pauli_sums.expectation_values(state, [("Z", [0], 1.0)]) == -1
    assert pauli_sums.expectation_values(state, [("Z", [1], 1.0)]) == 1
    plus = np.array([1, 1, 0, 0], dtype=complex) / np.sqrt(2)
    assert pauli_sums.expectation_values(plus, [("X", [0], 1.0)]) == pytest.approx(1)
    assert pauli_sums.expectation_values(plus, [("X", [1], 1.0)]) == 0


@pytest.mark.parametrize("term, text", [
    (("ZZ", [0], 1.0), "names 1 qubits"),
    (("ZZ", [1, 1], 1.0), "repeats a qubit"),
    (("Z", [3], 1.0), "outside qubits"),
    (("Z", [-1], 1.0), "outside qubits"),
    (("W", [0], 1.0), "letters"),
])
def test_malformed_terms_are_refused(term, text):
    with pytest.raises(ValueError, match=text):
        pauli_sums.expectation_values(np.ones(8, dtype=complex), [term])


def test_amplitude_counts_other_than_powers_of_two_are_refused():
    with pytest.raises(ValueError, match="not"):
        pauli_sums.expectation_values(np.ones(6, dtype=complex), [("Z", [0], 1.0)])


@pytest.mark.parametrize("batch_bytes", [worker_wavesim.SHIFT_BATCH_BYTES, 1, 3 * (16 << 4)])
def test_parameter_shift_matches_finite_differences(batch_bytes, monkeypatch):
    """The shift gradient, whatever the batches it is cut into, against
    central differences of the NumPy energy; entry 0 is the energy itself."""
    monkeypatch.setattr(worker_wavesim, "SHIFT_BATCH_BYTES", batch_bytes)
    n, step = 4, 1e-6
    rng = np.random.default_rng(7)
    angles = rng.uniform(0, 2 * np.pi, 3 * n)
    names = ["RY", "RX", "RZ"]

    def ops(values):
        out = [["H", [q], None] for q in range(n)]
        for k, value in enumerate(values):
            out.append([names[k % 3], [k % n], float(value)])
            out.append(["CX", [k % n, (k + 1) % n], None])
        return out

    observable = [("ZZ", [0, 1], 1.0), ("X", [2], 0.7), ("YZ", [3, 0], -0.4), ("", [], 2.0)]

    def run(kind, values, method):
        job = {"kind": kind, "n": n, "ops": ops(values), "observable": observable,
               "precision": "double", "method": method}
        call, to_array = worker_wavesim.build(job)
        return to_array(call())

    result = run("grad", angles, "shift")
    energy = run("expval", angles, "numpy")[0]
    differences = [(run("expval", angles + step * unit, "numpy")[0]
                    - run("expval", angles - step * unit, "numpy")[0]) / (2 * step)
                   for unit in np.eye(len(angles))]
    assert result.shape == (1 + len(angles),)
    assert result[0] == energy
    np.testing.assert_allclose(result[1:], differences, atol=1e-8)
