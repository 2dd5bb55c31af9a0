"""The circuit families and the observable the benchmarks run, each written once.

A circuit is a list of ops [name, qubits, angle] (the neutral form of
peers/protocol.py): CX and CZ name the control first; an angle is None, a
number, a list of values (one per parameter set of a batch) or, for the peer
workers, {"index": k}. Every family takes its random numbers from the
generator it is given, in a fixed order, so a seed gives the same circuit in
every script and every run. circuit_data() turns ops into wavesim's records.

NumPy only: the peer harness imports this under the project's python, the
benchmarks under whatever python runs them.
"""

import math

import numpy as np

RANDOM_GATES = ("SX", "SY", "T")
ROTATIONS = ("RX", "RY", "RZ")
ISING_FIELD = 0.7


def hadamards(n):
    return [["H", [q], None] for q in range(n)]


def brick(name, n, first):
    """Two-qubit gates on (q, q + 1) for q = first, first + 2, ..."""
    return [[name, [q, q + 1], None] for q in range(first, n - 1, 2)]


def layer(n, rng, gates=("RZ", "RX")):
    """Each of `gates` on every qubit (a rotation takes a uniform angle in
    [0, 2 pi), drawn for all qubits at once), then a CX brick from qubit 0
    and one from qubit 1."""
    ops = []
    for name in gates:
        if name in ROTATIONS:
            ops += [[name, [q], float(a)] for q, a in enumerate(rng.uniform(0, 2 * np.pi, n))]
        else:
            ops += [[name, [q], None] for q in range(n)]
    return ops + brick("CX", n, 0) + brick("CX", n, 1)


def layered(n, layers, rng, gates=("RZ", "RX")):
    """The layered circuit: an H layer, then `layers` of layer()."""
    ops = hadamards(n)
    for _ in range(layers):
        ops += layer(n, rng, gates)
    return ops


# How a random layer picks each qubit's gate, never the one the qubit had the
# layer before (None before the first layer). The scripts grew three rules
# that draw differently from the same seed; each keeps its own so that its
# circuits, and the results measured on them, stay what they were.

def redraw_layer(rng, previous):
    """All of a layer's gates drawn at once, the repeats redrawn together
    until none is left (the peer suite's rule)."""
    before = np.array([-1 if name is None else RANDOM_GATES.index(name) for name in previous])
    drawn = rng.integers(len(RANDOM_GATES), size=len(previous))
    repeats = drawn == before
    while repeats.any():
        drawn[repeats] = rng.integers(len(RANDOM_GATES), size=int(repeats.sum()))
        repeats = drawn == before
    return [RANDOM_GATES[g] for g in drawn]


def redraw_each(rng, previous):
    """Qubit by qubit, one draw at a time until it differs."""
    chosen = []
    for before in previous:
        name = before
        while name == before:
            name = RANDOM_GATES[rng.integers(len(RANDOM_GATES))]
        chosen.append(name)
    return chosen


def pick_other(rng, previous):
    """Qubit by qubit, one draw among the gates it did not have."""
    chosen = []
    for before in previous:
        others = [name for name in RANDOM_GATES if name != before]
        chosen.append(others[int(rng.integers(len(others)))])
    return chosen


def random_layers(n, layers, rng, draw=redraw_layer, both_bricks=False):
    """The random circuit: an H layer, then per layer one of RANDOM_GATES on
    every qubit (picked by `draw`) and a CZ brick from qubit 0 in even layers
    and qubit 1 in odd ones, or with both_bricks both, every layer."""
    ops = hadamards(n)
    previous = [None] * n
    for index in range(layers):
        previous = draw(rng, previous)
        ops += [[name, [q], None] for q, name in enumerate(previous)]
        firsts = (0, 1) if both_bricks else (index % 2,)
        for first in firsts:
            ops += brick("CZ", n, first)
    return ops


def n_local(n, reps, angles, entangler="CX", last_rotations=True):
    """The n-local ansatz: `reps` times an RY on every qubit and a chain of
    `entangler` on (q, q + 1), then (last_rotations) a last RY layer; the k-th
    RY takes angles[k]."""
    angles = iter(angles)
    ops = []
    for rep in range(reps + last_rotations):
        ops += [["RY", [q], next(angles)] for q in range(n)]
        if rep < reps:
            ops += [[entangler, [q, q + 1], None] for q in range(n - 1)]
    return ops


def seeded_angles(count, seed):
    return [float(a) for a in np.random.default_rng(seed).uniform(0, 2 * np.pi, count)]


def reps_for_parameters(n, minimum):
    """The fewest n_local repetitions (at least 1) with `minimum` or more angles."""
    return max(1, math.ceil(minimum / n) - 1)


def dynamic(n, rounds, rng):
    """An H layer, `rounds` of [layer(), read-out of the ancilla (qubit n - 1)
    into record k, its reset], then a last layer()."""
    ancilla = n - 1
    ops = hadamards(n)
    for k in range(rounds):
        ops += layer(n, rng) + [["MEASURE", [ancilla], k], ["RESET", [ancilla], None]]
    return ops + layer(n, rng)


def deferred(ops, n):
    """The same distribution without mid-circuit operations: record k is
    copied onto a fresh qubit n + k (CX), which then clears the ancilla (CX).
    Valid as every RESET directly follows the read-out of its qubit."""
    out = []
    for name, targets, angle in ops:
        if name == "MEASURE":
            record = n + angle
            out.append(["CX", [targets[0], record], None])
        elif name == "RESET":
            out.append(["CX", [record, targets[0]], None])
        else:
            out.append([name, targets, angle])
    return out


def noisy_layered(n, layers, rng, p, channel="DEPOLARIZE"):
    """The layered circuit with noise after every gate: DEPOLARIZE1(p) after each one-qubit gate and
    DEPOLARIZE2(p) after each two-qubit gate, or (channel "AMPLITUDE_DAMPING") AMPLITUDE_DAMPING(p) on
    each qubit of every gate. A channel op is [name, qubits, p]."""
    ops = []
    for name, qubits, angle in layered(n, layers, rng):
        ops.append([name, qubits, angle])
        if channel == "DEPOLARIZE":
            ops.append([f"DEPOLARIZE{len(qubits)}", list(qubits), p])
        else:
            ops += [[channel, [q], p] for q in qubits]
    return ops


def ising_ring(n, field=ISING_FIELD):
    """The transverse-field Ising ring: Z_q Z_(q+1 mod n) and field X_q for
    every q, as (paulis, qubits, coefficient) terms."""
    return ([("ZZ", [q, (q + 1) % n], 1.0) for q in range(n)]
            + [("X", [q], field) for q in range(n)])


def circuit_data(n, ops, measure_all=False, name_params=False):
    """The ops as wavesim's circuitcore.CircuitData. MEASURE [q] k reads into
    classical bit n + k; measure_all ends with qubit q read into bit q.
    Rotations are named p0, p1, ... in op order with name_params (a gradient
    tells its parameters apart by name), else left unnamed."""
    # Imported here: a benchmark may first put a build's python directory on sys.path.
    import circuitcore

    instructions = []
    rotations = 0
    for name, qubits, angle in ops:
        if name == "MEASURE":
            instructions.append(circuitcore.CircuitInstruction(name=name, qubits=list(qubits),
                                                               controls=[n + int(angle)]))
        elif name in ("CX", "CZ"):
            instructions.append(circuitcore.CircuitInstruction(name=name, controls=[qubits[0]],
                                                               qubits=[qubits[1]]))
        elif angle is None:
            instructions.append(circuitcore.CircuitInstruction(name=name, qubits=list(qubits)))
        else:
            values = [float(angle)] if np.ndim(angle) == 0 else [float(v) for v in angle]
            label = f"p{rotations}" if name_params else ""
            rotations += 1
            instructions.append(circuitcore.CircuitInstruction(
                name=name, qubits=list(qubits), param=circuitcore.ParamBinding(label, values), has_param=True))
    if measure_all:
        instructions += [circuitcore.CircuitInstruction(name="MEASURE", qubits=[q], controls=[q])
                         for q in range(n)]
    return circuitcore.CircuitData(n, instructions=instructions)
