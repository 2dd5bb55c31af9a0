"""Expectation values of Pauli sums on amplitude arrays, in NumPy alone.

The benchmark's reference for energies: it checks wavesim's native
expectation values and every peer's against it, and it is itself timed (after
cal_states_cpp) as the way to get energies without the native function.

An observable is a list of terms (paulis, qubits, coefficient), e.g.
[("ZZ", [0, 1], 0.5), ("X", [2], -1.0), ("", [], 3.0)]; letter k of paulis
(I, X, Y or Z) acts on qubits[k]. Qubit q is bit q of the amplitude index.

A Pauli string P maps |i> to i^(#Y) (-1)^popcount(i & z) |i ^ x>, where x
holds the qubits under X or Y and z those under Z or Y (Y = iXZ). So
<psi|P|psi> = Re(i^(#Y) S), S = sum_i conj(psi[i ^ x]) psi[i] (-1)^popcount(i & z),
of which only Re S (#Y even) or Im S (#Y odd) is needed. Each is one einsum
over the real and imaginary parts of the state and of its flipped view, kept
apart along the qubits of z, whose signs are applied to the small result:
one pass over the state per term and no copy of it.

Imported by workers under different interpreters: standard library and NumPy
only.
"""

import numpy as np

# Rows are taken this many amplitudes at a time, so that the float64 copy of
# a single-precision batch never holds more than one block.
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
    terms = parse_terms(observable, n)
    block = max(1, BLOCK_AMPLITUDES // size)
    values = np.zeros(len(rows))
    for start in range(0, len(rows), block):
        # Sums run over up to 2^n products: float64 whatever the state's precision.
        chunk = np.ascontiguousarray(rows[start:start + block], dtype=np.complex128)
        values[start:start + block] = _block_values(chunk, n, terms)
    return values if states.ndim == 2 else values[0]


def _block_values(rows, n, terms):
    """The energies of a block of rows. The amplitudes are viewed as real
    (B, 2, ..., 2, 2) arrays, the last axis the real and imaginary parts, so
    that einsum forms each term's sum without a temporary copy of the state."""
    parts = rows.view(np.float64).reshape((len(rows),) + (2,) * n + (2,))
    axes = list(range(n + 2))
    values = np.zeros(len(rows))
    for factor, flipped, signed in terms:
        partner = np.flip(parts, axis=tuple(_axis(q, n) for q in flipped)) if flipped else parts
        kept = [0] + [_axis(q, n) for q in signed]
        if factor.imag == 0:  # Re S = sum of re re + im im
            partial = np.einsum(partner, axes, parts, axes, kept)
            weight = factor.real
        else:  # Im S = sum of re(partner) im - im(partner) re
            partial = (np.einsum(partner[..., 0], axes[:-1], parts[..., 1], axes[:-1], kept)
                       - np.einsum(partner[..., 1], axes[:-1], parts[..., 0], axes[:-1], kept))
            weight = -factor.imag
        # Axis 1 onward are the signed qubits: each one contributes
        # (its 0 half) - (its 1 half).
        for _ in signed:
            partial = partial[:, 0] - partial[:, 1]
        values += weight * partial
    return values


def _axis(q, n):
    """The axis of qubit q in a (B, 2, ..., 2[, 2]) view: qubit 0 is the
    last axis of the amplitudes."""
    return n - q
