"""A small NumPy state-vector simulator and a model of run_cpp's random stream.

Written from the gate tables and the qubit-order rule (bit q of a basis index is
qubit q), independently of the engine: gates act by gathering each group of
amplitudes and multiplying it by the full target matrix; controls are a mask on
the group's base index. Used by the wavesim tests as the oracle.
"""

import math

import numpy as np

H = 0.7071067811865475  # the catalogue's 1/sqrt(2), one ulp below the rounded value
I1 = 1j
SKIPPED = {"MEASURE", "BARRIER", "RESET", "QIF", "QWHILE"}


def _half(theta):
    return math.cos(theta * 0.5), math.sin(theta * 0.5)


def _phase(a):
    return complex(math.cos(a), math.sin(a))


def _rx(p):
    c, s = _half(p[0])
    return [[c, -1j * s], [-1j * s, c]]


def _ry(p):
    c, s = _half(p[0])
    return [[c, -s], [s, c]]


def _rz(p):
    c, s = _half(p[0])
    return [[complex(c, -s), 0], [0, complex(c, s)]]


def _p(p):
    return [[1, 0], [0, _phase(p[0])]]


def _r(p):
    c, s = _half(p[0])
    return [[c, -1j * _phase(-p[1]) * s], [-1j * _phase(p[1]) * s, c]]


def _u2(p):
    return [[H, -H * _phase(p[1])], [H * _phase(p[0]), H * _phase(p[0] + p[1])]]


def _u3(p):
    c, s = _half(p[0])
    return [[c, -s * _phase(p[2])], [s * _phase(p[1]), c * _phase(p[1] + p[2])]]


def _cu(p):
    return np.array(_u3(p)) * _phase(p[3])


def _rxx(p):
    c, s = _half(p[0])
    return [[c, 0, 0, -1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [-1j * s, 0, 0, c]]


def _ryy(p):
    c, s = _half(p[0])
    return [[c, 0, 0, 1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [1j * s, 0, 0, c]]


def _rzz(p):
    c, s = _half(p[0])
    return np.diag([complex(c, -s), complex(c, s), complex(c, s), complex(c, -s)])


def _fixed(m):
    return lambda p: m


X = [[0, 1], [1, 0]]
Y = [[0, -1j], [1j, 0]]
Z = [[1, 0], [0, -1]]
HM = [[H, H], [H, -H]]
SWAP = [[1, 0, 0, 0], [0, 0, 1, 0], [0, 1, 0, 0], [0, 0, 0, 1]]

# name -> (parameter count, target matrix as a function of the parameters)
ONE_QUBIT = {
    "I": (0, _fixed([[1, 0], [0, 1]])), "ID": (0, _fixed([[1, 0], [0, 1]])), "H": (0, _fixed(HM)),
    "X": (0, _fixed(X)), "Y": (0, _fixed(Y)), "Z": (0, _fixed(Z)), "S": (0, _fixed([[1, 0], [0, 1j]])),
    "SDG": (0, _fixed([[1, 0], [0, -1j]])), "T": (0, _fixed([[1, 0], [0, complex(H, H)]])),
    "TDG": (0, _fixed([[1, 0], [0, complex(H, -H)]])),
    "SX": (0, _fixed([[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]])),
    "SY": (0, _fixed([[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]])),
    "RX": (1, _rx), "RY": (1, _ry), "RZ": (1, _rz), "P": (1, _p), "U1": (1, _p), "R": (2, _r),
    "U2": (2, _u2), "U3": (3, _u3), "U": (3, _u3),
}
TWO_QUBIT = {
    "SWAP": (0, _fixed(SWAP)), "ISWAP": (0, _fixed([[1, 0, 0, 0], [0, 0, 1j, 0], [0, 1j, 0, 0], [0, 0, 0, 1]])),
    "RXX": (1, _rxx), "RYY": (1, _ryy), "RZZ": (1, _rzz), "ISINGZZ": (1, _rzz), "IZZ": (1, _rzz),
}
# controlled names: (parameter count, target block, number of controls of the full gate)
CONTROLLED = {
    "CX": (0, _fixed(X), 1), "CNOT": (0, _fixed(X), 1), "CY": (0, _fixed(Y), 1), "CZ": (0, _fixed(Z), 1),
    "CH": (0, _fixed(HM), 1), "CRX": (1, _rx, 1), "CRY": (1, _ry, 1), "CRZ": (1, _rz, 1), "CP": (1, _p, 1),
    "CU1": (1, _p, 1), "CU2": (2, _u2, 1), "CU3": (3, _u3, 1), "CU": (4, _cu, 1),
    "CCX": (0, _fixed(X), 2), "TOFFOLI": (0, _fixed(X), 2), "CSWAP": (0, _fixed(SWAP), 1),
}


def param_count(name):
    for table in (ONE_QUBIT, TWO_QUBIT, CONTROLLED):
        if name in table:
            return table[name][0]
    return 0


def target_matrix(name, params):
    for table in (CONTROLLED, ONE_QUBIT, TWO_QUBIT):
        if name in table:
            count, make = table[name][:2]
            padded = list(params[:count]) + [0.0] * max(0, count - len(params))
            return np.array(make(padded), dtype=complex)
    raise KeyError(name)


def parameter_set(value, k, batch):
    """Set `batch` of a list of k-value sets: k values at k*batch, or the first set past the end."""
    values = [value] if isinstance(value, float) else list(value)
    if k >= 1 and len(values) > k:
        start = k * batch if k * batch + k <= len(values) else 0
        return values[start:start + k]
    return values


def values_for_batch(value, name, batch):
    """The parameter set batch `batch` uses of a gate."""
    return parameter_set(value, param_count(name), batch)


def apply_matrix(psi, targets, controls, control_values, u):
    """psi[group] <- u @ psi[group] for every group whose controls hold their values.

    Local index bit j of the matrix belongs to targets[j]."""
    idx = np.arange(psi.size)
    tmask = sum(1 << t for t in targets)
    cmask = sum(1 << c for c in controls)
    cvalue = sum((1 << c) for c, v in zip(controls, control_values) if v)
    base = idx[((idx & tmask) == 0) & ((idx & cmask) == cvalue)]
    offsets = np.array([sum(((k >> j) & 1) << t for j, t in enumerate(targets)) for k in range(1 << len(targets))])
    groups = base[:, None] + offsets[None, :]
    psi[groups] = psi[groups] @ u.T


def apply_instruction(psi, ins, batch=0):
    """One instruction as the engine defines it (names, controls, slicing, dagger)."""
    name = ins.name
    if name in SKIPPED:
        return
    values = values_for_batch(ins.param.value, name, batch)
    controls = list(ins.controls)
    control_values = [not (i < len(ins.ctrl_state) and ins.ctrl_state[i] == "0") for i in range(len(controls))]
    targets = list(ins.qubits)
    if not controls and len(targets) == 2 and name in ("CX", "CNOT", "CZ") and not ins.dagger:
        u = np.array(X if name != "CZ" else Z, dtype=complex)
        apply_matrix(psi, [targets[1]], [targets[0]], [True], u)
        return
    if name == "Tdg" and not controls and len(targets) == 1 and not ins.dagger:
        name = "TDG"  # the one mixed-case spelling a fast path accepts
    u = target_matrix(name, values)
    if ins.dagger:
        u = u.conj().T
    if len(targets) == 3:
        targets = sorted(targets)
    apply_matrix(psi, targets, controls, control_values, u)


def simulate(data, batch=0, dtype=complex):
    psi = np.zeros(1 << data.num_qubits, dtype=complex)
    psi[0] = 1.0
    for ins in data.instructions:
        apply_instruction(psi, ins, batch)
    return psi.astype(dtype)


class MT19937:
    """The standard 32-bit Mersenne Twister (init_genrand seeding, standard tempering)."""

    N, M = 624, 397

    def __init__(self, seed):
        mt = [seed & 0xFFFFFFFF]
        for i in range(1, self.N):
            mt.append((1812433253 * (mt[-1] ^ (mt[-1] >> 30)) + i) & 0xFFFFFFFF)
        self.mt = np.array(mt, dtype=np.uint64)
        self.index = self.N
        self.out = None

    def _twist(self):
        mt = [int(v) for v in self.mt]
        for i in range(self.N):
            y = (mt[i] & 0x80000000) | (mt[(i + 1) % self.N] & 0x7FFFFFFF)
            mt[i] = mt[(i + self.M) % self.N] ^ (y >> 1) ^ (0x9908B0DF if y & 1 else 0)
        self.mt = np.array(mt, dtype=np.uint64)
        y = self.mt.copy()
        y ^= y >> np.uint64(11)
        y ^= (y << np.uint64(7)) & np.uint64(0x9D2C5680)
        y ^= (y << np.uint64(15)) & np.uint64(0xEFC60000)
        y ^= y >> np.uint64(18)
        self.out = [int(v) & 0xFFFFFFFF for v in y]
        self.index = 0

    def next32(self):
        if self.index >= self.N:
            self._twist()
        value = self.out[self.index]
        self.index += 1
        return value

    def uniform(self):
        """Two outputs per draw: (x2 * 2^21 + (x1 >> 11)) * 2^-53."""
        x1 = self.next32()
        x2 = self.next32()
        return (x2 * (1 << 21) + (x1 >> 11)) * 2.0 ** -53


CHUNK = 1 << 16


def probabilities(psi):
    re = psi.real.astype(np.float64)
    im = psi.imag.astype(np.float64)
    return re * re + im * im


class Sampler:
    """The basis index a draw selects: one running sum per amplitude up to 2^16
    amplitudes (last entry forced to 1), else one per chunk of 2^16 followed by
    a walk inside the chosen chunk."""

    def __init__(self, psi):
        p = probabilities(psi)
        self.size = p.size
        self.chunked = p.size > CHUNK
        self.chunks = p.reshape(-1, CHUNK) if self.chunked else p[None, :]
        self.table = np.cumsum(self.chunks.sum(axis=1) if self.chunked else p)
        self.table[-1] = 1.0

    def margin(self, r):
        """How far r lies from the nearest boundary between two basis states' shares."""
        if not hasattr(self, "_running"):
            self._running = np.cumsum(self.chunks.reshape(-1))
        return float(np.min(np.abs(self._running[:-1] - r))) if self.size > 1 else math.inf

    def index(self, r):
        k = min(int(np.searchsorted(self.table, r, side="left")), self.table.size - 1)
        if not self.chunked:
            return k
        rho = r - (self.table[k - 1] if k > 0 else 0.0)
        hits = np.nonzero(np.cumsum(self.chunks[k]) >= rho)[0]
        return k * CHUNK + (int(hits[0]) if hits.size else CHUNK - 1)


def zero_odds(psi, q):
    """P(qubit q reads 0): what a measurement's or reset's draw is compared with."""
    bit = (np.arange(psi.size) >> q) & 1
    return float(probabilities(psi)[bit == 0].sum())


def reset(psi, q, r):
    """Reset with a given draw: the |1> branch when r > P0, moved down to |0>."""
    p = probabilities(psi)
    bit = (np.arange(psi.size) >> q) & 1
    p0 = float(p[bit == 0].sum())
    outcome = 1 if r > p0 else 0
    branch = p0 if outcome == 0 else 1.0 - p0
    if branch < 1e-15:
        psi[:] = 0
        return
    low = np.nonzero(bit == 0)[0]
    psi[low] = psi[low + (outcome << q)] / math.sqrt(branch)
    psi[low + (1 << q)] = 0


def measure(psi, q, r):
    """Projective measurement with a given draw: outcome 1 when r >= p0."""
    p = probabilities(psi)
    bit = (np.arange(psi.size) >> q) & 1
    p0 = float(p[bit == 0].sum())
    outcome = 1 if r >= p0 else 0
    branch = p0 if outcome == 0 else 1.0 - p0
    k = 1.0 / math.sqrt(branch) if branch > 1e-15 else 0.0
    psi[bit != outcome] = 0
    psi[bit == outcome] *= k
    return outcome


def classical_bit(ins):
    return ins.controls[0] if ins.controls else ins.qubits[0]


def counted(ins, num_cbits):
    """A MEASURE that records into the register; any other acts as no instruction at all."""
    return ins.name == "MEASURE" and len(ins.qubits) > 0 and classical_bit(ins) < num_cbits


def key(register):
    return "".join(str(b) for b in reversed(register))
