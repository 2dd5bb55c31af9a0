"""ansatzkit part of the demo: an n-local ansatz, a batch of parameter values
bound into it, and its states from wavesim (checked against a NumPy model).

The builder writes every two-qubit gate as controls=[q1], qubits=[q2], which
wavesim applies as a controlled one-qubit gate, so the blocks here are ones
with that meaning: RY/RZ rotations and CX/CRZ entanglers.
"""

import numpy as np

import ansatzkit
import circuitcore  # noqa: F401  registers CircuitData, which the builder returns

NUM_QUBITS = 4
REPETITIONS = 2
BATCH = 3
SEED = 11
ROTATIONS = ["RY", "RZ"]
ENTANGLERS = [("CX", "linear"), ("CRZ", "circular")]


class Block:
    """What the builder reads of a gate class: its __name__."""

    def __init__(self, name):
        self.__name__ = name


def build():
    return ansatzkit.build_n_local_data(
        NUM_QUBITS, [Block(g) for g in ROTATIONS], [Block(g) for g, _ in ENTANGLERS], [m for _, m in ENTANGLERS],
        REPETITIONS, False, "theta", True, False, "")


def bind(circuit, angles):
    """Give parameter i the values angles[i, :], one per batch entry."""
    instructions = circuit.instructions  # a copy: changed here, assigned back below
    for ins in instructions:
        if ins.has_param:
            ins.param.value = list(angles[int(ins.param.name.removeprefix("theta[").rstrip("]"))])
    circuit.instructions = instructions
    entries = circuit.params.entries
    for i, entry in enumerate(entries):
        entry.value = list(angles[i])
    circuit.params.entries = entries


def one_qubit_matrix(name, theta):
    c, s = np.cos(theta / 2), np.sin(theta / 2)
    return {"RY": np.array([[c, -s], [s, c]]), "RZ": np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)]),
            "CX": np.array([[0, 1], [1, 0]]), "CRZ": np.diag([np.exp(-0.5j * theta), np.exp(0.5j * theta)])}[name]


def numpy_state(circuit, batch_index):
    """Plain tensor model: axis n-1-q of the state holds qubit q (qubit 0 is the low bit)."""
    n = circuit.num_qubits
    psi = np.zeros((2,) * n, dtype=complex)
    psi[(0,) * n] = 1
    for ins in circuit.instructions:
        theta = ins.param.value[batch_index] if ins.has_param else 0.0
        u, axis = one_qubit_matrix(ins.name, theta), n - 1 - ins.qubits[0]
        selected = [slice(None)] * n
        for control in ins.controls:
            selected[n - 1 - control] = 1
        sub = psi[tuple(selected)]
        sub_axis = axis - sum(1 for c in ins.controls if n - 1 - c < axis)
        psi[tuple(selected)] = np.moveaxis(np.tensordot(u, sub, ([1], [sub_axis])), 0, sub_axis)
    return psi.reshape(-1)


def run() -> None:
    circuit = build()
    names = [ins.name for ins in circuit.instructions]
    print(f"n-local ansatz on {NUM_QUBITS} qubits, {REPETITIONS} repetitions + final rotation: "
          f"{len(names)} instructions ({', '.join(f'{names.count(g)} {g}' for g in dict.fromkeys(names))}), "
          f"{circuit.params.size} parameters {circuit.params.entries[0].name} ... {circuit.params.entries[-1].name}")
    angles = np.random.default_rng(SEED).uniform(-np.pi, np.pi, size=(circuit.params.size, BATCH))
    bind(circuit, angles)
    try:
        import wavesim
        simulate = wavesim.cal_states_cpp
    except (ImportError, AttributeError):
        print(f"wavesim not available: bound {BATCH} values to each parameter, e.g. "
              f"{circuit.instructions[0].param.name} = {np.round(circuit.instructions[0].param.value, 3).tolist()}")
        return
    states = np.asarray(simulate(circuit))
    expected = np.array([numpy_state(circuit, b) for b in range(BATCH)])
    print(f"wavesim.cal_states_cpp: {states.shape[0]} states of {states.shape[1]} amplitudes, "
          f"norms {np.round(np.linalg.norm(states, axis=1), 12).tolist()}, "
          f"max deviation from the NumPy model {np.abs(states - expected).max():.1e}")
