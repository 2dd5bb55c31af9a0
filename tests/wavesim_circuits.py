"""Seeded random circuits over the whole wavesim vocabulary, for the wavesim tests."""

import numpy as np

import circuitcore as cc

from reference_model import CONTROLLED, ONE_QUBIT, TWO_QUBIT

# Names taken by the fast paths only in their plain form.
PLAIN_ONLY = ["Tdg"]
TWO_TARGET_CONTROL = ["CX", "CNOT", "CZ"]


def instruction(name, qubits, controls=(), values=None, dagger=False, ctrl_state="", matrix=()):
    param = None
    if values is not None:
        param = cc.ParamBinding("", values)
    return cc.CircuitInstruction(name=name, qubits=list(qubits), controls=list(controls), param=param,
                                 has_param=values is not None, dagger=dagger, ctrl_state=ctrl_state,
                                 matrix=list(matrix))


def _pick(rng, n, count):
    return [int(q) for q in rng.choice(n, size=count, replace=False)]


def _ctrl_state(rng, count):
    return "".join(rng.choice(["0", "1", "x"]) for _ in range(count)) if rng.random() < 0.5 else ""


def random_instruction(rng, n, batches=1):
    """One random instruction that fits on n qubits (n >= 1); batches > 1 gives
    every parametrised gate `batches` parameter sets in one list."""
    kinds = ["one"]
    if n >= 2:
        kinds += ["controlled", "two_target_control", "plain"]
    if n >= 3:
        kinds += ["two", "cswap"]
    kind = rng.choice(kinds)
    dagger = bool(rng.random() < 0.3)
    if kind == "plain":
        return instruction(rng.choice(PLAIN_ONLY), _pick(rng, n, 1))
    if kind == "two_target_control":
        return instruction(rng.choice(TWO_TARGET_CONTROL), _pick(rng, n, 2))
    if kind == "one":
        name = str(rng.choice(sorted(ONE_QUBIT)))
        k = ONE_QUBIT[name][0]
        num_controls = int(rng.integers(0, min(3, n - 1) + 1))
        targets = 1
    elif kind == "two":
        name = str(rng.choice(sorted(TWO_QUBIT)))
        k = TWO_QUBIT[name][0]
        num_controls = int(rng.integers(0, min(2, n - 2) + 1))
        targets = 2
    elif kind == "cswap":
        name, k, num_controls, targets = "CSWAP", 0, 1, 2
    else:
        name = str(rng.choice(sorted(set(CONTROLLED) - {"CSWAP"})))
        k = CONTROLLED[name][0]
        num_controls = int(rng.integers(1, min(2, n - 1) + 1))
        targets = 1
    qubits = _pick(rng, n, targets + num_controls)
    values = None
    if k > 0:
        angles = [float(a) for a in rng.uniform(-np.pi, np.pi, size=k * batches)]
        values = angles[0] if len(angles) == 1 and rng.random() < 0.5 else angles
    return instruction(name, qubits[num_controls:], qubits[:num_controls], values, dagger,
                       _ctrl_state(rng, num_controls))


def random_circuit(seed, n, length, batches=1):
    rng = np.random.default_rng(seed)
    # start from a spread state so that every gate has something to act on
    instructions = [instruction("H", [q]) for q in range(n)]
    if n > 0:
        instructions += [random_instruction(rng, n, batches) for _ in range(length)]
    return cc.CircuitData(n, instructions)
