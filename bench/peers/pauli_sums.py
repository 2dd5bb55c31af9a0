"""Expectation values of Pauli sums on amplitude arrays, in NumPy alone.

The benchmark's reference for energies: it checks wavesim's native
expectation values and every peer's against it, and it is itself timed (after
cal_states_cpp) as the way to get energies without the native function.

An observable is a list of terms (paulis, qubits, coefficient), e.g.
[("ZZ", [0, 1], 0.5), ("X", [2], -1.0), ("", [], 3.0)]; letter k of paulis
(I, X, Y or Z) acts on qubits[k]. Qubit q is bit q of the amplitude index.

A Pauli string P maps |i> to i^(#Y) (-1)^popcount(i & z) |i ^ x>, where x
holds the qubits under X or Y and z those under Z or Y (Y = iXZ). So
<psi|P|psi> = i^(#Y) sum_i conj(psi[i ^ x]) psi[i] (-1)^popcount(i & z):
the products conj(psi[i ^ x]) psi[i] are formed once for all terms that flip
the same qubits (every diagonal term shares |psi|^2), then summed over the
qubits outside z before the signs are applied, so a term costs one reduction
of the state rather than a copy of it.

Imported by workers under different interpreters: standard library and NumPy
only.
"""

import numpy as np

# Rows are taken this many amplitudes at a time, so the products of a large
# batch never hold more than one block's worth of memory.
BLOCK_AMPLITUDES = 1 << 22
PAULI_LETTERS = "IXYZ"


def parse_terms(observable, n):
    """[(coefficient times i^(#Y), flipped qubits, signed qubits)] per term,
    after checking every term against n qubits."""
    parsed = []
    for paulis, qubits, coefficient in observable:
        qubits = [int(q) for q in qubits]
        if len(paulis) != len(qubits):
            raise ValueError(f"term {paulis!r} names {len(qubits)} qubits")
        if len(set(qubits)) != len(qubits):
            raise ValueError(f"term {paulis!r} repeats a qubit: {qubits}")
        if any(q < 0 or q >= n for q in qubits):
            raise ValueError(f"term {paulis!r} acts outside qubits 0..{n - 1}: {qubits}")
        if any(letter not in PAULI_LETTERS for letter in paulis):
            raise ValueError(f"term {paulis!r}: letters are I, X, Y, Z")
        flipped = tuple(sorted(q for letter, q in zip(paulis, qubits) if letter in "XY"))
        signed = tuple(sorted(q for letter, q in zip(paulis, qubits) if letter in "ZY"))
        factor = complex(coefficient) * 1j ** paulis.count("Y")
        parsed.append((factor, flipped, signed))
    return parsed


def expectation_values(states, observable):
    """<psi|O|psi> in float64 for a state of shape (2^n,) (a 0-d result) or
    each row of shape (B, 2^n) (shape (B,))."""
    states = np.asarray(states)
    rows = states.reshape(1, -1) if states.ndim == 1 else states
    size = rows.shape[1]
    n = size.bit_length() - 1
    if rows.ndim != 2 or size != 1 << n:
        raise ValueError(f"amplitudes of shape {states.shape} are not (2^n,) or (B, 2^n)")
    groups = {}
    for factor, flipped, signed in parse_terms(observable, n):
        groups.setdefault(flipped, []).append((factor, signed))
    block = max(1, BLOCK_AMPLITUDES // size)
    values = np.zeros(len(rows))
    for start in range(0, len(rows), block):
        values[start:start + block] = _block_values(rows[start:start + block], n, groups)
    return values if states.ndim == 2 else values[0]


def _axis(q, n):
    """The axis of qubit q in a (B, 2, ..., 2) view: the last is qubit 0."""
    return n - q


def _block_values(rows, n, groups):
    tensor = rows.reshape((len(rows),) + (2,) * n)
    values = np.zeros(len(rows))
    for flipped, terms in groups.items():
        if flipped:
            partner = np.flip(tensor, axis=tuple(_axis(q, n) for q in flipped))
            products = np.conj(partner) * tensor
            accumulate = np.complex128
        else:
            products = tensor.real ** 2 + tensor.imag ** 2
            accumulate = np.float64
        for factor, signed in terms:
            kept = {_axis(q, n) for q in signed}
            summed = tuple(axis for axis in range(1, n + 1) if axis not in kept)
            partial = products.sum(axis=summed, dtype=accumulate)
            # Axis 1 onward are the signed qubits: each one contributes
            # (its 0 half) - (its 1 half).
            for _ in signed:
                partial = partial[:, 0] - partial[:, 1]
            values += (factor * partial).real
    return values
