"""Noise channels, density matrices and exact shot distributions in NumPy, for the
noisy wavesim tests.

Written from the channel definitions and the qubit-order rule (bit q of a basis
index is qubit q; bit j of a channel's local index is qubits[j]), independently of
the engine. Gates come from the state-vector model in reference_model; everything
here works on dense 2^n x 2^n matrices, so it is meant for n <= 6.
"""

import itertools
import math

import numpy as np
from scipy import stats

import circuitcore as cc
import reference_model as ref
from pauli_reference import PAULI, dense_observable
from wavesim_circuits import instruction, random_instruction

# channel name -> values per parameter set
CHANNEL_PARAMS = {"X_ERROR": 1, "Y_ERROR": 1, "Z_ERROR": 1, "DEPOLARIZE1": 1, "DEPOLARIZE2": 1,
                  "PAULI_CHANNEL_1": 3, "PAULI_CHANNEL_2": 15, "AMPLITUDE_DAMPING": 1, "PHASE_DAMPING": 1,
                  "KRAUS": 0}
TWO_QUBIT_CHANNELS = {"DEPOLARIZE2", "PAULI_CHANNEL_2"}
# first letter on qubits[0], second on qubits[1]
PAULI_PAIRS = ["".join(pair) for pair in itertools.product("IXYZ", repeat=2)][1:]
# one-qubit Kraus sets of the non-selective measurement (index = outcome) and of RESET
MEASURE_KRAUS = [np.diag([1.0, 0.0]).astype(complex), np.diag([0.0, 1.0]).astype(complex)]
RESET_KRAUS = [MEASURE_KRAUS[0], np.array([[0, 1], [0, 0]], dtype=complex)]
NON_UNITARY = set(CHANNEL_PARAMS) | {"MEASURE", "RESET"}
# the rounding a sum of probabilities may carry past 1
PROBABILITY_SLACK = 1e-12
# a key this unlikely is rounding left on an impossible branch
ZERO_PROBABILITY = 1e-14


def pauli_operator(letters):
    """The local matrix of a Pauli product, letters[j] acting on local bit j."""
    out = np.ones((1, 1), dtype=complex)
    for letter in letters:
        out = np.kron(PAULI[letter], out)
    return out


def pauli_channel(probabilities):
    """Kraus set of a mixture of Pauli products: {letters: probability}, identity takes the rest."""
    width = len(next(iter(probabilities)))
    rest = 1.0 - sum(probabilities.values())
    if rest < -PROBABILITY_SLACK or min(probabilities.values()) < 0:
        raise ValueError(f"not a probability distribution: {probabilities}")
    kraus = [math.sqrt(max(rest, 0.0)) * np.eye(1 << width, dtype=complex)]
    return kraus + [math.sqrt(p) * pauli_operator(letters) for letters, p in probabilities.items()]


def damping(strength, lower):
    """K0 = diag(1, sqrt(1-s)); K1 moves |1> down to |0> (amplitude) or keeps it (phase)."""
    if not 0.0 <= strength <= 1.0:
        raise ValueError(f"damping strength {strength} outside [0, 1]")
    k1 = np.zeros((2, 2), dtype=complex)
    k1[0 if lower else 1, 1] = math.sqrt(strength)
    return [np.diag([1.0, math.sqrt(1.0 - strength)]).astype(complex), k1]


def matrix_blocks(matrix, width):
    """The operators of a KRAUS record: 2^width x 2^width blocks one after another, each column-major."""
    d = 1 << width
    flat = np.asarray(matrix, dtype=complex)
    if flat.size == 0 or flat.size % (d * d):
        raise ValueError(f"{flat.size} entries are not whole {d}x{d} blocks")
    return [block.reshape(d, d).T for block in flat.reshape(-1, d * d)]


def kraus_operators(ins, batch=0):
    """Local Kraus set of a channel, MEASURE (index = outcome) or RESET instruction for parameter set `batch`."""
    name = ins.name
    if name == "MEASURE":
        return MEASURE_KRAUS
    if name == "RESET":
        return RESET_KRAUS
    if name == "KRAUS":
        return matrix_blocks(ins.matrix, len(ins.qubits))
    v = ref.parameter_set(ins.param.value, CHANNEL_PARAMS[name], batch)
    if name.endswith("_ERROR"):
        return pauli_channel({name[0]: v[0]})
    if name == "DEPOLARIZE1":
        return pauli_channel({letter: v[0] / 3 for letter in "XYZ"})
    if name == "DEPOLARIZE2":
        return pauli_channel({letters: v[0] / 15 for letters in PAULI_PAIRS})
    if name == "PAULI_CHANNEL_1":
        return pauli_channel(dict(zip("XYZ", v)))
    if name == "PAULI_CHANNEL_2":
        return pauli_channel(dict(zip(PAULI_PAIRS, v)))
    return damping(v[0], lower=name == "AMPLITUDE_DAMPING")


def superoperator(kraus):
    """S = sum K (x) conj(K): S @ rho.reshape(-1) is (sum K rho K^dagger).reshape(-1) (row-major)."""
    return sum(np.kron(k, k.conj()) for k in kraus)


def completeness_error(kraus):
    """Largest entry of |sum K^dagger K - I|: 0 for a trace-preserving set."""
    total = sum(k.conj().T @ k for k in kraus)
    return float(np.abs(total - np.eye(total.shape[0])).max())


def full_operator(n, act):
    """The 2^n x 2^n matrix of a linear map given as an in-place action on a state vector."""
    columns = []
    for j in range(1 << n):
        psi = np.zeros(1 << n, dtype=complex)
        psi[j] = 1.0
        act(psi)
        columns.append(psi)
    return np.stack(columns, axis=1)


def full_kraus(ins, n, batch=0):
    """An instruction as a Kraus set on all n qubits: [U] for a gate, the identity for
    a channel without qubits; MEASURE and RESET act on qubits[0]."""
    if ins.name not in NON_UNITARY:
        return [full_operator(n, lambda psi: ref.apply_instruction(psi, ins, batch))]
    if not ins.qubits:
        return [np.eye(1 << n, dtype=complex)]
    targets = list(ins.qubits[:1] if ins.name in ("MEASURE", "RESET") else ins.qubits)
    return [full_operator(n, lambda psi, k=k: ref.apply_matrix(psi, targets, [], [], k))
            for k in kraus_operators(ins, batch)]


def evolve(rho, kraus):
    return sum(k @ rho @ k.conj().T for k in kraus)


def initial_density(n):
    rho = np.zeros((1 << n, 1 << n), dtype=complex)
    rho[0, 0] = 1.0
    return rho


def density_matrix(data, batch=0):
    """The final rho of a whole circuit for parameter set `batch`: U rho U^dagger for a gate,
    sum K rho K^dagger for a channel, every MEASURE with a qubit as the non-selective
    measurement (blocks between its outcomes vanish), RESET as the reset channel."""
    rho = initial_density(data.num_qubits)
    for ins in data.instructions:
        rho = evolve(rho, full_kraus(ins, data.num_qubits, batch))
    return rho


def expectation(rho, terms):
    """Tr(rho O) for an observable given as expval_cpp's terms (paulis, qubits, coefficient)."""
    n = rho.shape[0].bit_length() - 1
    return float(np.trace(rho @ dense_observable(terms, n)).real)


def readout_pairs(readout_error, num_cbits):
    """One (p(1|0), p(0|1)) pair per classical bit from None, one pair, or a pair per bit."""
    if readout_error is None:
        return [(0.0, 0.0)] * num_cbits
    pairs = np.asarray(readout_error, dtype=float)
    if pairs.ndim == 1:
        return [tuple(pairs)] * num_cbits
    if len(pairs) != num_cbits:
        raise ValueError(f"{len(pairs)} readout pairs for {num_cbits} classical bits")
    return [tuple(pair) for pair in pairs]


def recorded(true_bit, pair):
    """[(recorded bit, probability)] for a true outcome under one readout pair."""
    flip = pair[0] if true_bit == 0 else pair[1]
    return [(bit, p) for bit, p in ((true_bit, 1.0 - flip), (1 - true_bit, flip)) if p > 0]


def key_distribution(data, num_cbits, batch=0, readout_error=None):
    """Exact {key: probability} of run_cpp's keys: one unnormalised rho per recorded register.

    A counted MEASURE splits every branch by its outcome (the state follows the true
    outcome, the register gets the recorded one); a MEASURE whose classical bit is
    outside the register does nothing, as in the engine. Keys below ZERO_PROBABILITY
    are left out."""
    pairs = readout_pairs(readout_error, num_cbits)
    branches = {(0,) * num_cbits: initial_density(data.num_qubits)}
    for ins in data.instructions:
        if ins.name == "MEASURE" and not ref.counted(ins, num_cbits):
            continue
        kraus = full_kraus(ins, data.num_qubits, batch)
        if ins.name != "MEASURE":
            branches = {register: evolve(rho, kraus) for register, rho in branches.items()}
            continue
        c = ref.classical_bit(ins)
        split = {}
        for register, rho in branches.items():
            for outcome, k in enumerate(kraus):
                part = k @ rho @ k.conj().T
                for bit, p in recorded(outcome, pairs[c]):
                    target = register[:c] + (bit,) + register[c + 1:]
                    split[target] = split.get(target, 0) + p * part
        branches = split
    out = {ref.key(register): float(np.trace(rho).real) for register, rho in branches.items()}
    return {key: p for key, p in sorted(out.items()) if p > ZERO_PROBABILITY}


MIN_EXPECTED = 5.0
REJECT_BELOW = 1e-4


def fit_p_value(counts, distribution):
    """p-value of a chi-square test of counts {key: count} against an exact {key: probability}.

    Cells are taken in ascending expectation and pooled until each bin expects at
    least MIN_EXPECTED shots. A count on a key of probability 0 gives 0. Tests reject
    below REJECT_BELOW, so a correct engine fails one such check with probability
    about 1e-4."""
    if any(count > 0 and distribution.get(key, 0.0) <= 0.0 for key, count in counts.items()):
        return 0.0
    shots = sum(counts.values())
    total = sum(distribution.values())
    cells = sorted((p * shots / total, counts.get(key, 0)) for key, p in distribution.items() if p > 0)
    bins, expected, observed = [], 0.0, 0
    for e, o in cells:
        expected, observed = expected + e, observed + o
        if expected >= MIN_EXPECTED:
            bins.append([expected, observed])
            expected, observed = 0.0, 0
    if bins and expected > 0:
        bins[-1][0] += expected
        bins[-1][1] += observed
    if len(bins) < 2:
        return 1.0
    e, o = np.array(bins).T
    return float(stats.chisquare(o, e * (o.sum() / e.sum())).pvalue)


def random_isometry_kraus(rng, width, count):
    """`count` operators on `width` qubits stacked into a random isometry V (V^dagger V = I)."""
    d = 1 << width
    g = rng.normal(size=(count * d, d)) + 1j * rng.normal(size=(count * d, d))
    v = np.linalg.qr(g)[0]
    return [v[i * d:(i + 1) * d] for i in range(count)]


def kraus_instruction(qubits, kraus):
    return instruction("KRAUS", qubits, matrix=np.concatenate([k.flatten(order="F") for k in kraus]))


def strength(rng):
    """A probability in [0, 1], now and then exactly an end point."""
    return float(rng.choice([0.0, 1.0])) if rng.random() < 0.1 else float(rng.random())


def pauli_probabilities(rng, count):
    """`count` probabilities whose sum is at most 1."""
    return [float(p) for p in rng.dirichlet(np.ones(count + 1))[:count] * rng.random() ** 0.5]


def random_channel(rng, n, batches=1):
    """One random channel on n qubits with valid strengths; `batches` parameter sets in one list."""
    names = sorted(set(CHANNEL_PARAMS) - (TWO_QUBIT_CHANNELS if n < 2 else set()))
    name = str(rng.choice(names))
    width = 2 if name in TWO_QUBIT_CHANNELS or (name == "KRAUS" and n >= 2 and rng.random() < 0.5) else 1
    qubits = [int(q) for q in rng.choice(n, size=width, replace=False)]
    if name == "KRAUS":
        return kraus_instruction(qubits, random_isometry_kraus(rng, width, int(rng.integers(1, 5))))
    k = CHANNEL_PARAMS[name]
    sets = [pauli_probabilities(rng, k) if k > 1 else [strength(rng)] for _ in range(batches)]
    values = [v for s in sets for v in s]
    return instruction(name, qubits, values=values[0] if len(values) == 1 and rng.random() < 0.5 else values)


def random_noisy_circuit(seed, n, length, batches=1):
    """Gates over the whole vocabulary, channels, MEASUREs (some outside an n-bit register) and RESETs."""
    rng = np.random.default_rng(seed)
    ops = [instruction("H", [q]) for q in range(n)]
    for _ in range(length):
        roll = rng.random()
        if roll < 0.1:
            q = int(rng.integers(0, n))
            ops.append(instruction("MEASURE", [q], [int(rng.integers(0, n + 1))] if rng.random() < 0.7 else []))
        elif roll < 0.15:
            ops.append(instruction("RESET", [int(rng.integers(0, n))]))
        elif roll < 0.5:
            ops.append(random_channel(rng, n, batches))
        else:
            ops.append(random_instruction(rng, n, batches))
    return cc.CircuitData(n, ops)
